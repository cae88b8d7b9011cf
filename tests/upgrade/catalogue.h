// What the whole-upgrade tests read back from a database: its catalogue
// (tables, columns, primary keys and indexes, from sysobjects, syscolumns and
// sysindexes) and the rows of every user table; and the expected catalogue of
// data/expected/final_catalogue.txt (its format is written at the top of that
// file) with the comparison that names each difference.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "db/connection.h"

namespace upgrade_check {

struct ColumnInfo {
  std::string name;
  std::string type;  // "int", "char(12)", "numeric(6,0)", ...
  bool nullable = true;
  bool has_default = false;
  // The default's text (GBK), when the server keeps it in syscomments.
  std::optional<std::string> default_text;
  // Whether the column is an identity, when syscolumns has status.
  std::optional<bool> identity;
};

struct IndexInfo {
  std::string name;
  bool primary_key = false;
  // Key columns in key order, when the server has sysindexkeys.
  std::optional<std::vector<std::string>> columns;
};

struct TableInfo {
  std::string name;
  std::vector<ColumnInfo> columns;  // in colid order
  std::vector<IndexInfo> indexes;   // ordered by lower-case name
};

struct Catalogue {
  std::map<std::string, TableInfo> tables;       // user tables by lower-case name
  std::map<std::string, std::string> objects;    // every object: lower-case name -> xtype
};

// Reads the catalogue through the given connection. Throws db::Error when a
// catalogue table that must be there cannot be read.
Catalogue ReadCatalogue(db::Connection& c);

// The catalogue as stable text (UTF-8): one line per table, column, key and
// index; default constraint names, which the server makes up, are left out.
std::string Describe(const Catalogue& cat);

struct ExpectedColumn {
  std::string name;
  std::string type;   // "?" when not checked
  std::string nulls;  // "null", "notnull" or "?"
  std::string dflt;   // "-" none, "?" not checked, else the expression (GBK)
  bool identity = false;
};

struct ExpectedIndex {
  std::string name;
  bool primary_key = false;
  std::vector<std::string> columns;
};

struct ExpectedTable {
  std::string name;
  bool partial = false;
  std::vector<ExpectedColumn> columns;
  std::vector<ExpectedIndex> indexes;
};

struct Expected {
  std::vector<ExpectedTable> tables;
  std::vector<std::string> absent;
};

// Parses the expected-catalogue file. Throws std::runtime_error naming the
// file and line of anything it cannot read.
Expected LoadExpected(const std::filesystem::path& file);
Expected ParseExpected(const std::string& utf8_text, const std::string& origin);

// Every difference between what is expected and what is there, one sentence
// each (UTF-8), naming the table, column, key or index. Empty when they agree.
std::vector<std::string> Compare(const Expected& expected, const Catalogue& found);

// The rows of every user table, each row one line of its values (GBK bytes,
// separated by 0x01, NULL as "\N"), the lines of a table sorted.
using DataDump = std::map<std::string, std::vector<std::string>>;
DataDump DumpData(db::Connection& c);

// A readable form (UTF-8, " | " between values) of a dumped row.
std::string ShowRow(const std::string& row);

// Catalogue and rows of a database, with what legitimately differs between two
// runs masked: identity values and datetimes of today (getdate() at the time of
// the run).
struct RunState {
  std::string catalogue;
  DataDump data;
};
RunState ReadRunState(db::Connection& c);
RunState ReadRunState(const std::filesystem::path& embedded_file);

// Every difference, one line each (UTF-8); empty when the states agree. The
// table named `ignored` (lower case) is left out of the comparison.
std::vector<std::string> Differences(const RunState& want, const RunState& got,
                                     const std::string& ignored = "");

}  // namespace upgrade_check
