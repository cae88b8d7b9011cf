// Placeholder until the loader is written.
#include "refdata/other.h"

#include <stdexcept>

namespace refdata {

void InputOtherData(db::StepContext&) { throw std::logic_error("InputOtherData: not built yet"); }

}  // namespace refdata
