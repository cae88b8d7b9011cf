// Upgrade step Do2017_01_09. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2017_01_09() {}

}  // namespace steps
