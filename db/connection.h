// The one database connection of a run, and the backends behind it.
//
// A data source name "embedded:PATH" opens the embedded engine's database file
// at PATH (which must exist); any other name is an ODBC data source opened
// through the driver manager with the narrow (ANSI) API, so GBK bytes pass
// unchanged both ways. No login prompt is ever shown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace db {

// A database error: the server's (or driver's) native error number and its
// message, unchanged. number() is 0 when the layer reported none.
class Error : public std::runtime_error {
 public:
  Error(int number, std::string message, bool connection_lost = false)
      : std::runtime_error(std::move(message)), number_(number), lost_(connection_lost) {}
  int number() const { return number_; }
  // The connection to the server is gone (the driver's SQLSTATE 08S01,
  // 08S02, 08003, 08007, or a connection the driver reports dead): nothing
  // more can be sent through it, and the server rolls back its open
  // transaction.
  bool connection_lost() const { return lost_; }
  // The message already tells the user what became of the failed unit of
  // work (undone whole, nothing of it kept), so that an outer handler does
  // not say it twice.
  bool says_undone() const { return says_undone_; }
  Error& SaysUndone() {
    says_undone_ = true;
    return *this;
  }

 private:
  int number_;
  bool lost_;
  bool says_undone_ = false;
};

// The failure LIBUPGRADE_FAULT=fail:N puts in place of a statement (number
// 50000, "injected fault"). It stands for a refusal the run cannot pass over,
// so a tolerated statement's trap lets it through.
class InjectedFault : public Error {
 public:
  InjectedFault() : Error(50000, "injected fault") {}
};

// The fault hook for tests, read from LIBUPGRADE_FAULT when a connection is
// opened: "kill:N" sends SIGKILL to this process right after the N-th
// statement sent through the connection has returned (successfully or not);
// "fail:N" makes the N-th statement fail unsent with InjectedFault. N counts
// from 1, every statement sent, probes and sign checks included, in the order
// of the statement log. Unset or empty: no fault.
struct FaultPlan {
  enum class Kind { None, Kill, Fail } kind = Kind::None;
  std::int64_t at = 0;
  // Parses the variable's value. Throws db::Error naming the variable when
  // the value is neither empty nor kill:N or fail:N with N >= 1.
  static FaultPlan Parse(const std::string& value);
  // The plan LIBUPGRADE_FAULT asks for in this process.
  static FaultPlan FromEnvironment();
};

// Raises a counter of the connection (tolerating, transactions_open) for the
// life of the object.
class CountedScope {
 public:
  explicit CountedScope(int& counter) : counter_(counter) { ++counter_; }
  ~CountedScope() { --counter_; }
  CountedScope(const CountedScope&) = delete;
  CountedScope& operator=(const CountedScope&) = delete;

 private:
  int& counter_;
};

struct ConnectParams {
  std::string data_source = "LibODBC";
  std::string user = "sa";
  std::string password;
};

// The rows of one executed statement, read forward only.
class Cursor {
 public:
  virtual ~Cursor() = default;
  // Column names of the result set; empty when the statement returned none.
  virtual const std::vector<std::string>& Columns() const = 0;
  // Moves to the next row; false once past the last one. Call before the first row.
  virtual bool Fetch() = 0;
  // Value of column i of the current row as text (GBK); nullopt for NULL.
  virtual const std::optional<std::string>& Value(std::size_t i) const = 0;
  // Rows affected by a statement without a result set; -1 when not known.
  virtual std::int64_t RowsAffected() const = 0;
};

// What the connection reports about each statement it sends (for the
// statement log).
struct StatementEvent {
  const std::string& sql;
  double ms;
  bool ok;
  std::int64_t rows;         // rows returned or affected; -1 when not known
  const std::string& error;  // the server's message when !ok
  bool tolerated = false;    // !ok inside db::RunTolerated: the step goes on
};

// One statement of a batch (Connection::ExecuteBatch): a single statement
// that gives one result or one count, and whether its step passes over its
// failure (the statement log then says "tolerated").
struct BatchStatement {
  std::string sql;
  bool tolerated = false;
};

// What became of one statement of a batch.
struct BatchOutcome {
  std::int64_t rows = -1;      // rows returned or affected; -1 when not known
  std::optional<Error> error;  // the statement failed
  bool injected = false;       // the failure is the fault hook's InjectedFault
};

class Batch;

class Connection {
 public:
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends one statement text. Throws db::Error with the server's message.
  // Statements queued in an open db::Batch are sent first.
  std::unique_ptr<Cursor> Execute(const std::string& sql);

  // Sends statements several at a time, each batch one round trip, and
  // returns the outcomes of the first ones in order: every outcome but the
  // last is a success; the last is the first failure, when one came. The
  // statements after a failure have not run (the caller sends them again
  // once it has dealt with the failure); fewer outcomes than statements and
  // no failure means the rest were not run either. Every statement that ran
  // is reported to on_statement and counted by the fault hook as one, as if
  // sent alone: fail:N fails the N-th unsent, kill:N ends the process once
  // the batch holding the N-th has returned, and no statement after the N-th
  // is in that batch. Does not throw for a statement's failure.
  std::vector<BatchOutcome> ExecuteBatch(std::span<const BatchStatement> statements);

  // Where the backend keeps the database file itself (the embedded engine):
  // writes the changes committed so far, which its journal holds on disk
  // already, into the file now rather than when the connection closes, so
  // that a failure to write it (a full disk) can be reported. Nothing for a
  // server, which keeps its files itself. Throws db::Error with the file
  // layer's message; the changes stay in the journal either way.
  virtual void Checkpoint() {}

  // Statements sent so far (the fault hook's count).
  std::int64_t statements_sent() const { return sent_; }
  FaultPlan fault;

  // Depth of the units of work db::RunInTransaction has open on this
  // connection; tolerated statements read it to know a transaction is at stake.
  int transactions_open = 0;

  // Called by db::RunInTransaction when its outermost unit of work ends:
  // committed (its COMMIT returned) or not (rolled back, or lost with the
  // connection). Empty by default.
  std::function<void(bool committed)> on_unit_end;

  // Whether a statement failed because the connection to the server was lost.
  bool lost() const { return lost_; }

  // Observer called after every statement, successful or not. Empty by default.
  std::function<void(const StatementEvent&)> on_statement;

  // While above zero a failing statement is reported as tolerated; kept by
  // db::RunTolerated.
  int tolerating = 0;

 protected:
  Connection() = default;
  // The backend's send: runs sql, reports it through Report, returns its rows.
  virtual std::unique_ptr<Cursor> Send(const std::string& sql) = 0;
  // The backend's batch (at least one statement): runs the statements in one
  // round trip that ends at the first one that fails, reports each one that
  // ran through ReportBatch and returns their outcomes (see ExecuteBatch).
  // Must return at least one outcome. The default sends them one at a time.
  virtual std::vector<BatchOutcome> SendBatch(std::span<const BatchStatement> statements);
  // Calls on_statement for one statement of a batch.
  void ReportBatch(const BatchStatement& s, double ms, const BatchOutcome& outcome);
  // Calls on_statement (when set) for one statement sent. A failure is
  // reported as tolerated inside a tolerated trap unless tolerable is false.
  void Report(const std::string& sql, double ms, bool ok, std::int64_t rows,
              const std::string& error, bool tolerable = true);

 private:
  friend class Batch;
  std::int64_t sent_ = 0;
  bool lost_ = false;
  Batch* open_batch_ = nullptr;  // statements queued to be sent before any other
};

// Opens the connection named by params.data_source. Throws db::Error carrying
// the driver's or the engine's message when it cannot be opened.
std::unique_ptr<Connection> Connect(const ConnectParams& params);

}  // namespace db
