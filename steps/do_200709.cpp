// Upgrade step Do200709. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do200709() {}

}  // namespace steps
