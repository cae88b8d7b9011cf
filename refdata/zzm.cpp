// Placeholder until the loader is written.
#include "refdata/zzm.h"

#include <stdexcept>

namespace refdata {

void InputZzmCode(db::StepContext&) { throw std::logic_error("InputZzmCode: not built yet"); }
void ExportZzm(db::StepContext&) { throw std::logic_error("ExportZzm: not built yet"); }

}  // namespace refdata
