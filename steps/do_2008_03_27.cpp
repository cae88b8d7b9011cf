// Upgrade step Do2008_03_27. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2008_03_27() {}

}  // namespace steps
