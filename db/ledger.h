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
std::optional<std::int64_t> ColumnLength(Query& q, std::string_view table, std::string_view column);

// Runs a statement whose failure the step tolerates: a db::Error is
// swallowed and false returned, so the step goes on. Two failures are not
// swallowed: the fault hook's InjectedFault, and an error after which the
// unit of work RunInTransaction has open is no longer usable. So after a
// failure inside a unit the transaction is asked for its state
// ("select xact_state()" on q); when the server rolled it back or doomed it,
// the error is rethrown with an explanation, and the step is undone whole
// rather than committed without its earlier work.
bool RunTolerated(Query& q, const std::vector<std::string>& lines);

// The same local trap around any work that sends its statements through q (a
// step's own trap around a group of statements and reads). Returns false
// when work failed with a db::Error that the step may pass over.
template <class Work>
bool Tolerate(Query& q, Work&& work);

// What Tolerate does with a db::Error that work threw: returns false when
// the step may go on, throws otherwise. Closes q.
bool GoOnAfter(Query& q, const Error& e);

}  // namespace db

namespace db {

template <class Work>
bool Tolerate(Query& q, Work&& work) {
  try {
    CountedScope tolerating(q.connection().tolerating);
    work();
    return true;
  } catch (const InjectedFault&) {
    throw;
  } catch (const Error& e) {
    return GoOnAfter(q, e);
  }
}

// "if @@trancount > 0 rollback transaction" after a failure in a unit of
// work. Its own failure is swallowed so that the error that ended the unit is
// the one reported (a server that cannot roll back has lost the connection,
// and that rolls back by itself).
void RollBackAfterFailure(Query& q);

// The message of a COMMIT that failed, with the sentence that the unit of
// work was undone (GBK).
std::string UndoneAtCommit(const std::string& message);

// Runs work as one unit of work on q's connection: "begin transaction"
// before it, "commit transaction" after it. When work throws (a server error,
// a file error, anything), the transaction is rolled back ("if @@trancount > 0
// rollback transaction", its own failure ignored: a lost connection rolls
// back by itself) and the exception goes on unchanged. Units nest: an inner
// unit's COMMIT only lowers @@TRANCOUNT, and an inner failure rolls back the
// outer unit too, as the error ends the outer unit anyway.
// The outermost unit's end is told to the connection's on_unit_end. A COMMIT
// that fails (a disk the server cannot write its log to) has undone the unit:
// its error then says so.
template <class Work>
void RunInTransaction(Query& q, Work&& work) {
  Connection& c = q.connection();
  const bool outermost = c.transactions_open == 0;
  auto ended = [&](bool committed) {
    if (outermost && c.on_unit_end) c.on_unit_end(committed);
  };
  RunCommand(q, {"begin transaction"});
  try {
    {
      CountedScope open(c.transactions_open);
      work();
    }
    try {
      RunCommand(q, {"commit transaction"});
    } catch (const InjectedFault&) {
      throw;
    } catch (const Error& e) {
      if (e.connection_lost()) throw;
      throw Error(e.number(), UndoneAtCommit(e.what())).SaysUndone();
    }
  } catch (...) {
    RollBackAfterFailure(q);
    ended(false);
    throw;
  }
  ended(true);
}

}  // namespace db
