// Placeholder until the loader is written.
#include "refdata/prt_tables.h"

#include <stdexcept>

namespace refdata {

void CreatePrtTables(db::StepContext&) { throw std::logic_error("CreatePrtTables: not built yet"); }

}  // namespace refdata
