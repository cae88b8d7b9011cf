// The classification file other.dat, loaded into lib_fenlei.
#pragma once

#include "db/context.h"

namespace refdata {

void InputOtherData(db::StepContext& ctx);

}  // namespace refdata
