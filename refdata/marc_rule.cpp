// Placeholder until the loader is written.
#include "refdata/marc_rule.h"

#include <stdexcept>

namespace refdata {

void InputMarcRule(db::StepContext&) { throw std::logic_error("InputMarcRule: not built yet"); }
std::filesystem::path MarcRulePath(const db::StepContext& ctx) { return ctx.data_dir / "MarcRule.txt"; }

}  // namespace refdata
