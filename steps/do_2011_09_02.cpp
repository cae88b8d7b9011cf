// Upgrade step Do2011_09_02. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2011_09_02() {}

}  // namespace steps
