// The checks a run makes before its first change, reading only: which steps
// will run, and whether they can finish on this database. Each finds every
// problem of its kind, so a refused run names them all at once.
//
// - the data files the pending steps read are there and can be read;
// - the connection passes GBK both ways unchanged;
// - the login may change the schema, and no other session uses the database;
// - the rows the pending steps would fail on (a new key over existing
//   values, a key or width a rebuilt table has, an index the library system
//   did not make on a column a step alters). Each step lists its own in its
//   file (the Do...Checks functions below).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace steps {

class Upgrader;

// One statement of a pending step that can fail because of what it meets.
struct DataCheck {
  enum Kind {
    UniqueKey,  // a primary key over the column: no two rows alike
    NotNull,    // the column becomes NOT NULL: no row without a value
    FitsIn,     // the column is copied into char(width): no longer value
    OnlyIndex,  // the column is altered: no index on it but index (may be empty)
  } kind;
  DataCheck(Kind k, std::string t, std::string c, int w = 0, std::string i = {})
      : kind(k), table(std::move(t)), column(std::move(c)), width(w), index(std::move(i)) {}
  std::string table;
  std::string column;
  int width = 0;
  std::string index;
};

// The checks of each step whose statements can fail on the rows they meet.
std::vector<DataCheck> Do200703Checks();
std::vector<DataCheck> Do200709Checks();
std::vector<DataCheck> Do2007_03_12Checks();

// Every problem found, each a line of GBK text in Chinese (as the window shows
// it); empty when the run may start. Sends only reading statements.
std::vector<std::string> Preflight(Upgrader& upgrader);

// A run refused by its checks: what() is every problem, one a line (GBK).
class PreflightFailed : public std::runtime_error {
 public:
  explicit PreflightFailed(std::vector<std::string> problems);
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

}  // namespace steps
