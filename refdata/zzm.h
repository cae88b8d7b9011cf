// The author-number tables (lib_zzm_new, lib_zzm_hz, lib_zzm_old, lib_zzm_zst)
// and their exchange file zzm.dat.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "db/context.h"

namespace refdata {

// Loads zzm.dat, found in ctx.data_dirs, into the four tables through qrTmp.
void InputZzmCode(db::StepContext& ctx);
// Writes the four tables into zzm.dat in DataFolder(ctx.data_dirs), made if
// it is missing (the export button), and returns the path written.
std::filesystem::path ExportZzm(db::StepContext& ctx);

// The even-byte reversal of a zzm.dat line (without its CR LF): the bytes at
// even positions (the first byte being position 1) in reverse order, the odd
// ones in place. Its own inverse.
std::string ReverseEvenBytes(std::string_view line);

}  // namespace refdata
