// Upgrade step Do2007_12_27. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2007_12_27() {}

}  // namespace steps
