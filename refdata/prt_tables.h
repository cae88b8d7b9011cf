// The statistics tables behind the hidden "生成Prt表" button.
#pragma once

#include "db/context.h"

namespace refdata {

// Creates the two statistics tables when they are missing (qrTmp only).
void CreatePrtTables(db::StepContext& ctx);

}  // namespace refdata
