// An account of every row a run touches: the rows of every user table counted
// before the first change and after the run, and a verdict for each table.
// Rows may leave a table only where a step empties or drops it on purpose
// (a statistics table of an older layout, the author-number tables reloaded
// from zzm.dat, a work table left by an interrupted run); any other drop in
// rows is counted as lost.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/query.h"

namespace steps {

// Rows of every user table, keyed by the table's name in lower case (the
// server compares names without regard to case). Sends only reading
// statements on q.
struct TableRows {
  std::string name;  // as the catalogue spells it (GBK)
  std::int64_t rows = 0;
};
using RowCounts = std::map<std::string, TableRows>;
RowCounts CountRows(db::Query& q);

struct TableAccount {
  std::string name;
  std::optional<std::int64_t> before, after;  // nullopt: the table did not exist
  // "kept", "grown", "created", "shrunk by design", "dropped by design" or "lost".
  std::string verdict;
  std::string by;  // the step that empties or drops the table on purpose
};

struct RowAccount {
  std::vector<TableAccount> tables;  // by lower-case name
  std::int64_t lost_rows = 0;        // rows gone from tables no step empties
  // Whether any table is "lost" (an empty table dropped by no step counts,
  // though it lost no rows).
  bool AnyLost() const;
};

RowAccount Account(const RowCounts& before, const RowCounts& after);

// The step that empties or drops the table on purpose; nullptr for any other.
const char* EmptiedByDesign(const std::string& lower_case_table);

}  // namespace steps
