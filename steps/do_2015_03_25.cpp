// Upgrade step Do2015_03_25. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2015_03_25() {}

}  // namespace steps
