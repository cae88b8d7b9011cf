// The MARC rule file MarcRule.txt, loaded into lib_marc_rule,
// lib_marc_field_rule and lib_pin_yin, and the two cataloguing templates the
// MARC editor starts from.
#pragma once

#include <filesystem>
#include <string>

#include "db/context.h"

namespace refdata {

// Reads the rule file found in ctx.data_dirs into the three (empty) rule tables
// through qrTmp, one insert per data line; a line whose insert fails is dropped.
// Sets the bar to 35, 45, 55 and 75. Throws refdata::DataFileError naming the
// file (and the folders looked in) when it cannot be found or opened.
void InputMarcRule(db::StepContext& ctx);
// Path of the rule file found in ctx.data_dirs (see LocateDataFile).
std::filesystem::path MarcRulePath(const db::StepContext& ctx);
// Throws refdata::DataFileError naming the file when it cannot be found or
// opened for reading; lets a step refuse to start work it could not finish.
void CheckMarcRuleReadable(const db::StepContext& ctx);

// The default ("默认模板") and brief ("简要模板") cataloguing templates, GBK,
// with the record number of tag 001 built from the given four-digit year.
std::string DefaultMarcModel(int year);
std::string BriefMarcModel(int year);

}  // namespace refdata
