#include "cli/run_report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "cli/statement_log.h"
#include "steps/step_names.h"
#include "text/gbk.h"

namespace cli {

namespace {

std::string FirstWord(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i++])));
  return word;
}

StepTally& Find(std::vector<StepTally>& tallies, std::string_view step) {
  auto it = std::find_if(tallies.begin(), tallies.end(),
                         [&](const StepTally& t) { return t.step == step; });
  if (it != tallies.end()) return *it;
  tallies.push_back({std::string(step)});
  return tallies.back();
}

}  // namespace

bool ChangesDatabase(std::string_view sql) {
  const std::string word = FirstWord(sql);
  static const char* const kChanging[] = {"insert", "update",   "delete", "create", "alter",
                                          "drop",   "truncate", "exec",   "execute"};
  return std::any_of(std::begin(kChanging), std::end(kChanging),
                     [&](const char* w) { return word == w; });
}

bool Changed(const db::StatementEvent& e) {
  if (!e.ok || !ChangesDatabase(e.sql)) return false;
  const std::string word = FirstWord(e.sql);
  const bool rows_statement = word == "insert" || word == "update" || word == "delete";
  return !(rows_statement && e.rows == 0);
}

void StepTallies::Count(std::string_view step, const db::StatementEvent& e, bool in_unit) {
  Find(steps_, step);  // the committed list keeps the order steps began in
  StepTally& t = Find(in_unit ? pending_ : steps_, step);
  ++t.statements;
  if (Changed(e)) {
    ++t.changes;
    if (e.rows > 0) t.rows_changed += e.rows;
  }
}

void StepTallies::EndUnit(bool committed) {
  for (const StepTally& p : pending_) {
    if (committed) {
      StepTally& t = Find(steps_, p.step);
      t.statements += p.statements;
      t.changes += p.changes;
      t.rows_changed += p.rows_changed;
    } else if (p.changes > 0 &&
               std::find(undone_.begin(), undone_.end(), p.step) == undone_.end()) {
      undone_.push_back(p.step);
    }
  }
  pending_.clear();
}

namespace {

std::string Count(const std::optional<std::int64_t>& n) {
  return n ? std::to_string(*n) : "null";
}

}  // namespace

std::string AccountJson(const steps::RowAccount& account) {
  std::string out = "{\"tables\":[";
  bool first = true;
  for (const steps::TableAccount& t : account.tables) {
    if (!first) out += ",";
    first = false;
    out += "{\"name\":" + JsonString(t.name) + ",\"before\":" + Count(t.before) +
           ",\"after\":" + Count(t.after) + ",\"verdict\":\"" + t.verdict + "\"";
    if (!t.by.empty()) out += ",\"by\":\"" + t.by + "\"";
    out += "}";
  }
  out += "],\"lost_rows\":" + std::to_string(account.lost_rows) + "}\n";
  return out;
}

ReportFile::ReportFile(const std::filesystem::path& file)
    : path_(file), f_(std::fopen(file.string().c_str(), "w")) {
  if (!f_)
    throw std::runtime_error("cannot write the report " + file.string() + ": " +
                             std::strerror(errno));
}

ReportFile::~ReportFile() {
  std::fclose(f_);
}

void ReportFile::Write(const steps::RowAccount& account) {
  const std::string json = AccountJson(account);
  if (std::fwrite(json.data(), 1, json.size(), f_) != json.size() || std::fflush(f_) != 0)
    throw std::runtime_error("cannot write the report " + path_.string() + ": " +
                             std::strerror(errno));
}

void PrintAccount(std::FILE* out, const steps::RowAccount& account) {
  std::size_t width = 5;
  std::int64_t kept = 0;
  for (const steps::TableAccount& t : account.tables) {
    if (t.verdict == "kept")
      ++kept;
    else
      width = std::max(width, text::Utf8(t.name).size());
  }
  std::fprintf(out, "Rows of every table, before -> after:\n");
  for (const steps::TableAccount& t : account.tables) {
    if (t.verdict == "kept") continue;
    const std::string name = text::Utf8(t.name);
    std::string line = "  " + name + std::string(width - name.size(), ' ');
    char counts[64];
    std::snprintf(counts, sizeof counts, " %10s -> %-10s ",
                  t.before ? std::to_string(*t.before).c_str() : "-",
                  t.after ? std::to_string(*t.after).c_str() : "-");
    line += counts + t.verdict;
    if (!t.by.empty()) line += " (" + steps::StepLabel(t.by) + ")";
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "  %lld table(s) kept their rows; rows lost: %lld\n",
               static_cast<long long>(kept), static_cast<long long>(account.lost_rows));
}

void PrintSteps(std::FILE* out, const std::vector<StepTally>& steps, bool preview,
                const std::vector<std::string>& undone) {
  std::fprintf(out, "Steps that %s the database (statements sent, changes, rows changed):\n",
               preview ? "would change" : "changed");
  bool any = false;
  for (const StepTally& t : steps) {
    if (t.changes == 0) continue;
    any = true;
    // The counts first: a step's title is Chinese, of no fixed width.
    std::fprintf(out, "  %8lld %8lld %10lld  %s\n", static_cast<long long>(t.statements),
                 static_cast<long long>(t.changes), static_cast<long long>(t.rows_changed),
                 steps::StepLabel(t.step).c_str());
  }
  if (!any) std::fprintf(out, "  none\n");
  if (undone.empty()) return;
  std::string names;
  for (const std::string& u : undone) names += (names.empty() ? "" : ", ") + steps::StepLabel(u);
  std::fprintf(out,
               "Steps undone (rolled back whole, nothing of them kept; the next run does them "
               "again): %s\n",
               names.c_str());
}

}  // namespace cli
