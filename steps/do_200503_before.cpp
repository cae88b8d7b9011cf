// Upgrade step Do200503Before. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do200503Before() {}

}  // namespace steps
