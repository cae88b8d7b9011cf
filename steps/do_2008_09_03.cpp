// Upgrade step Do2008_09_03. Its work arrives with the step's own change.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2008_09_03() {}

}  // namespace steps
