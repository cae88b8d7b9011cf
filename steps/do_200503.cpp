// Upgrade step Do200503. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do200503() {}

}  // namespace steps
