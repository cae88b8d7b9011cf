// Upgrade step Do200703. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do200703() {}

}  // namespace steps
