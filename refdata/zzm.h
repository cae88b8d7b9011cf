// The author-number tables (lib_zzm_new, lib_zzm_hz, lib_zzm_old, lib_zzm_zst)
// and their exchange file zzm.dat.
#pragma once

#include "db/context.h"

namespace refdata {

// Loads zzm.dat from ctx.data_dir into the four tables through qrTmp.
void InputZzmCode(db::StepContext& ctx);
// Writes the four tables into ctx.data_dir/zzm.dat (the export button).
void ExportZzm(db::StepContext& ctx);

}  // namespace refdata
