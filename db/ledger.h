// The upgrade-sign ledger, the catalogue probes and the statement runner. All
// go through the given query component and send exactly the texts the
// library's upgrade procedure has always sent. Signs are placed unescaped:
// they never hold a quote. Names given to probes are placed unescaped too:
// they are the utility's own constants.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/query.h"

namespace db {

// Command form: clear, add the lines, execute, close.
void RunCommand(Query& q, const std::vector<std::string>& lines);
void RunCommand(Query& q, std::initializer_list<std::string> lines);
// Query form: clear, add the lines, open. The caller reads and closes.
void OpenQuery(Query& q, const std::vector<std::string>& lines);

// Creates ver_manage when the table probe finds it absent.
void EnsureLedger(Query& q);
// True (and the sign recorded) when the sign was not yet in ver_manage.
bool CheckVerSign(Query& q, std::string_view sign);

// Probes: true when the object is absent.
bool TableAbsent(Query& q, std::string_view table);
bool ColumnAbsent(Query& q, std::string_view table, std::string_view column);
bool IndexAbsent(Query& q, std::string_view index);
bool MenuAbsent(Query& q, int menu_code);
// syscolumns.length of the column; nullopt when the probe returns no row.
std::optional<std::int64_t> ColumnLength(Query& q, std::string_view table,
                                         std::string_view column);

// Runs a statement whose failure the step tolerates: every db::Error is
// swallowed. Returns false when it failed.
bool RunTolerated(Query& q, const std::vector<std::string>& lines);

}  // namespace db

namespace db {

// Runs work inside "begin transaction" ... "commit transaction" on q. When
// work throws, sends "rollback transaction" (its own failure ignored) and
// rethrows, so a table rebuild that fails leaves the old table as it was.
template <class Work>
void RunInTransaction(Query& q, Work&& work) {
  RunCommand(q, {"begin transaction"});
  try {
    work();
  } catch (...) {
    RunTolerated(q, {"if @@trancount > 0 rollback transaction"});
    throw;
  }
  RunCommand(q, {"commit transaction"});
}

}  // namespace db
