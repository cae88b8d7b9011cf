// What libupgrade-cli tells about a run beyond its progress: the account of
// every table's rows (printed as a short table after every upgrade run, and
// written as JSON with --report), and, for --dry-run, the statements each
// step sent and how many of them change the database.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "steps/run_account.h"

namespace cli {

// Statements sent by one step (or by the run outside its steps: "run").
struct StepTally {
  std::string step;
  std::int64_t statements = 0;
  std::int64_t changes = 0;       // statements that change the database
  std::int64_t rows_changed = 0;  // rows those statements reported affected
};

// Whether a statement text changes the database (insert, update, delete,
// create, alter, drop, truncate, exec), by its first word.
bool ChangesDatabase(std::string_view sql);

// Whether a statement that succeeded changed the database: one that
// ChangesDatabase names, but not an insert, update or delete that affected
// no row.
bool Changed(const db::StatementEvent& e);

// The tallies of the steps, in the order they first sent a statement. The
// statements of a unit of work count once it has committed: those of a unit
// rolled back (a step that failed, or whose connection was lost) changed
// nothing, and only the steps they belong to are kept, as undone.
class StepTallies {
 public:
  // A statement sent by step; in_unit: inside a unit of work not yet ended.
  void Count(std::string_view step, const db::StatementEvent& e, bool in_unit = false);
  // The unit of work in progress ended.
  void EndUnit(bool committed);
  const std::vector<StepTally>& steps() const { return steps_; }
  // Steps whose changes were rolled back with their unit, in order.
  const std::vector<std::string>& undone() const { return undone_; }

 private:
  std::vector<StepTally> steps_;
  std::vector<StepTally> pending_;
  std::vector<std::string> undone_;
};

// The account as the --report file holds it (UTF-8 JSON, one line):
// {"tables":[{"name":...,"before":N|null,"after":N|null,"verdict":...,
//   "by":...}],"lost_rows":N}; "by" only for the verdicts "by design".
std::string AccountJson(const steps::RowAccount& account);

// The report file, created (or emptied) when the run starts, so that a path
// that cannot be written stops the run before it begins.
class ReportFile {
 public:
  // Throws std::runtime_error naming the file.
  explicit ReportFile(const std::filesystem::path& file);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;
  void Write(const steps::RowAccount& account);

 private:
  std::filesystem::path path_;
  std::FILE* f_;
};

// The short table: every table whose rows changed, a count of those that
// kept theirs, and the rows lost.
void PrintAccount(std::FILE* out, const steps::RowAccount& account);

// The steps that changed the database (or, in a preview, would change it),
// with their statements, changes and rows changed.
// Steps whose unit of work was rolled back follow on a line of their own.
void PrintSteps(std::FILE* out, const std::vector<StepTally>& steps, bool preview,
                const std::vector<std::string>& undone = {});

}  // namespace cli
