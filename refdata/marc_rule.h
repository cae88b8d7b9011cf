// The MARC rule file MarcRule.txt, loaded into lib_marc_rule,
// lib_marc_field_rule and lib_pin_yin.
#pragma once

#include <filesystem>

#include "db/context.h"

namespace refdata {

void InputMarcRule(db::StepContext& ctx);
// Path of the rule file in ctx.data_dir.
std::filesystem::path MarcRulePath(const db::StepContext& ctx);

}  // namespace refdata
