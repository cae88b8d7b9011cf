// Upgrade step Do2010_04_09. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2010_04_09() {}

}  // namespace steps
