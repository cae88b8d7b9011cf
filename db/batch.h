// The statements of a row walk, sent several at a time: one round trip for
// many records instead of one each.
//
// A walk queues its per-record statements (command form) and the batch sends
// them through Connection::ExecuteBatch once enough are queued, when Flush is
// called, or before any other statement goes through the connection, so that
// the server sees every statement in the order the walk made them. What each
// statement means is unchanged:
// - the statement log has one line per statement, in order, and the fault
//   hook counts each as one (Connection::ExecuteBatch);
// - a statement queued with RunTolerated that fails is dealt with exactly as
//   db::RunTolerated deals with it (GoOnAfter: the step goes on when its
//   transaction is still usable), and the statements after it are sent only
//   then;
// - any other failure throws db::Error with the server's message and the
//   failing statement; the unit of work around the walk is undone by it.
// The work given with a statement (the walk's progress) runs once the
// statement has run, so the window never shows a record as done before it
// is.
//
// Only statements whose outcome the walk does not read may be queued: the
// walk learns of a statement's success only through its work. A walk that
// reads the database for each record (a query per row) gains nothing: every
// query sends the queue first.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/query.h"

namespace db {

class Batch {
 public:
  // Statements and bytes of statement text sent in one batch at most.
  static constexpr std::size_t kStatements = 50;
  static constexpr std::size_t kBytes = 32 * 1024;

  // Statements are sent through q's connection; q is the component a
  // tolerated failure is dealt with on (the walk's inner component). One
  // batch at a time is open on a connection.
  explicit Batch(Query& q);
  // Statements still queued are dropped: the walk ended with an exception,
  // and its unit of work is undone.
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // Queues a statement of the given lines (sent joined by line breaks, as the
  // command form sends them); done runs once it has run.
  void Run(const std::vector<std::string>& lines, std::function<void()> done = {});
  // The same for a statement whose failure the step passes over.
  void RunTolerated(const std::vector<std::string>& lines, std::function<void()> done = {});
  // Sends what is queued. Throws db::Error for a failure the step does not
  // pass over (and InjectedFault for the fault hook's).
  void Flush();
  bool Empty() const { return queued_.empty(); }

 private:
  void Queue(const std::vector<std::string>& lines, bool tolerated, std::function<void()> done);

  Query& q_;
  std::vector<BatchStatement> queued_;
  std::vector<std::function<void()>> done_;
  std::size_t bytes_ = 0;
};

}  // namespace db
