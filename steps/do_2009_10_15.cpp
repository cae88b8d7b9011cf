// Upgrade step Do2009_10_15. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2009_10_15() {}

}  // namespace steps
