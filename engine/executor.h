// Runs parsed statements against a catalogue: one session of one database,
// with its transaction state and the undo log that makes every statement (and
// every transaction) all-or-nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/ast.h"
#include "engine/catalog.h"
#include "engine/engine.h"
#include "engine/locks.h"
#include "port/file.h"

namespace engine {

// A change as the journal keeps it: the statement text and the clock it ran
// with, so that replaying it gives the same rows.
struct Committed {
  std::int64_t now;
  std::string text;
};

// Where a session records its changes so that they survive the process (the
// storage's journal). Statements arrive as they succeed; a unit of work ends
// with Commit (durable once it returns) or Abort (as if it never happened).
// A statement outside a transaction is a unit of its own: Statement then
// Commit. Inside a transaction the unit is everything up to the outermost
// COMMIT, including SAVE TRANSACTION and ROLLBACK TRANSACTION to a savepoint,
// which a replay must run too.
class JournalSink {
 public:
  virtual ~JournalSink() = default;
  // Throws engine::Error when the change cannot be recorded.
  virtual void Statement(const Committed& c) = 0;
  virtual void Commit() = 0;
  // Must not throw.
  virtual void Abort() noexcept = 0;
  // Writes a copy of the database as catalog holds it (committed changes
  // only) to path, a database file of its own (BACKUP DATABASE). Throws
  // engine::Error.
  virtual void Backup(const Catalog& catalog, const std::string& path) = 0;
};

struct UndoDetail;
struct ViewWrite;
class Session;

// What the sessions of one database share: who is connected, and the table
// and application locks they hold. The locks change only inside a statement
// (one runs at a time) or where the gate says; the lists of sessions under
// sessions_mutex, so that a login never waits for a running statement.
struct SharedState {
  std::string db_name;
  int db_id = 5;  // the first id SQL Server gives a user database
  mutable std::mutex sessions_mutex;
  std::map<int, SessionInfo> sessions;
  std::map<int, Session*> session_objects;
  LockTable locks;
  // An application lock held by one session, on its own behalf or its
  // transaction's, counted as often as it was taken.
  struct AppLock {
    int spid = 0;
    std::string mode;  // "Shared", "Update", "IntentShared", "IntentExclusive", "Exclusive"
    bool transaction = false;
    int count = 0;
  };
  std::map<std::string, std::vector<AppLock>> applocks;  // by resource, exact bytes
};

class Session;

// What serialises the sessions of one database: a statement of a session
// runs only between Enter and Leave, one at a time. Sessions keep each other
// from what they must not see or change with the table locks (SharedState):
// a statement whose lock is held by another session gives up its turn in
// WaitForLock until the lock is granted.
class StatementGate {
 public:
  virtual ~StatementGate() = default;
  // Waits until s may run a statement. cancelled, when given, is asked while
  // waiting; once it says true, throws Cancelled.
  virtual void Enter(const Session& s, const std::function<bool()>& cancelled) = 0;
  // After the statement.
  virtual void Leave(const Session& s) noexcept = 0;
  // Called during s's turn, with the statement undone: lets other statements
  // run until s can be granted the lock, grants it and takes the turn back.
  // Throws Error 1205 (s chosen as deadlock victim) when s's wait would close
  // a cycle of waits, Error 1222 after timeout_ms (-1: for ever), Cancelled
  // once cancelled (when given) says true; the turn is s's again either way.
  virtual void WaitForLock(const Session& s, const std::string& resource, bool exclusive,
                           long long timeout_ms, const std::function<bool()>& cancelled) = 0;
};

// Thrown inside a statement that needs a lock another session holds: the
// statement is undone and runs again once the lock is granted.
struct LockWait {
  std::string resource;
  bool exclusive;
};

class Session {
 public:
  // db_name appears in messages ("table 'lib.dbo.t'").
  Session(Catalog& catalog, std::string db_name);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Receives every change (none while replaying). When recording a
  // statement or a commit fails, the statement or the whole transaction is
  // undone and the error reaches the caller.
  JournalSink* journal = nullptr;
  // Serialises this session with the other sessions of the database; none
  // when the session is the only one (tests of the executor).
  StatementGate* gate = nullptr;
  // Where the rows of a large table dropped inside a transaction wait on disk
  // until it ends (the database's own folder); empty keeps them in memory.
  std::string spill_dir;

  // Runs a batch as SQL Server does with its default settings: a statement
  // that fails is undone; an error that ends only its statement (see
  // EndsStatementOnly) lets the next statement of the batch run, any other
  // ends the batch; with XACT_ABORT ON every error also rolls back an open
  // transaction. Throws the first error of the batch, later ones following
  // it as follow-on messages, once the batch has ended.
  std::vector<StatementResult> Execute(std::string_view batch,
                                       const std::function<bool()>& cancelled = {});
  // Database::call_procedure in this session.
  ProcedureCall CallProcedure(std::string_view name, const std::vector<ProcedureArgument>& args,
                              const std::function<bool()>& cancelled = {});
  // Replay of the journal at opening: the statements of one unit of work
  // with their recorded clocks, run in a transaction of their own, then its
  // end. A unit whose end was never recorded is aborted.
  void ReplayStatement(const Committed& c);
  void ReplayCommit();
  void ReplayAbort();
  // Undoes an open transaction (when the database closes).
  void RollbackAll();
  // Binds a column default read from a database file as CREATE TABLE binds
  // one. Throws what binding throws (a default naming a column, ...).
  void BindDefault(Expr& e);
  int trancount() const { return trancount_; }
  bool nocount() const { return nocount_; }
  // The session as its login left it: the open transaction rolled back
  // (unless keep_transaction), SET options back to their defaults.
  void Reset(bool keep_transaction);
  // Whether the open transaction holds changes not yet committed.
  bool changes_open() const { return trancount_ > 0 && !undo_.empty(); }

  // The database's shared state and this session's id in it (none for a
  // session of its own, as in tests of the executor).
  SharedState* shared = nullptr;
  int spid = 51;
  // What this session's #table names carry in the catalogue
  // (temp_tables.h); empty for the database's own session.
  std::string temp_suffix;
  // Releases the application locks of this session's transaction, or all of
  // them (it is closing), and its table locks.
  void ReleaseLocks(bool transaction_only);
  // Takes a table lock (resource: a folded name, or LockTable::kCatalog) for
  // the running statement; throws LockWait when another session holds it in
  // a mode that conflicts. Exclusive locks are kept until the transaction
  // ends. Shared ones end with the statement (READ COMMITTED), except for a
  // statement that changed something inside a transaction: the journal
  // replays its transaction after those that committed before it, so what
  // it read must not change until then.
  void Lock(const std::string& resource, bool exclusive);

  // Whether s is an EXEC of a stored procedure of the database (rather than
  // one of the system procedures the engine answers itself).
  static bool IsProcedureCall(const Stmt& s);
  // Whether SQL Server ends only the failing statement on this error (with
  // XACT_ABORT OFF), rather than the whole batch.
  static bool EndsStatementOnly(int error_number);

  // Defined in session_internal.h.
  struct Undo;
  struct Source;
  struct Scope;
  struct Ctx;

 private:
  // Checks a parsed batch before it runs, as SQL Server compiles one:
  // throws 137 for a variable used before its DECLARE and 207 for a column
  // no table of its query has, when every table the statement names exists.
  void CompileBatch(const std::vector<std::unique_ptr<Stmt>>& stmts);
  // The same check of a procedure's body, its parameters declared.
  void CompileProcedure(const Stmt& proc);
  // What Execute and CallProcedure share: runs body (the statements of the
  // batch) as a batch runs, then ends the batch; the batch's first error,
  // if any, with the later ones following it.
  std::optional<Error> RunTop(std::vector<StatementResult>& out,
                              const std::function<bool()>& cancelled,
                              const std::function<void()>& body);
  // EXEC of a user procedure (IsProcedureCall): binds its arguments to its
  // parameters, runs its statements as a batch's own (each with its own
  // turn, errors met as in a batch), then gives back the OUTPUT parameters
  // and the return status.
  void RunProcedure(const Stmt& s, std::vector<StatementResult>* out);
  // A procedure's parsed text, kept while its text stays the same.
  std::shared_ptr<const Stmt> ProcedureBody(const Object& o);
  std::map<int, std::pair<std::string, std::shared_ptr<const Stmt>>> procedures_;
  std::vector<std::string> procedure_names_;  // procedures running, innermost last
  // The last identity value an INSERT of the session gave (@@IDENTITY), and
  // of the running batch or procedure (SCOPE_IDENTITY()).
  std::optional<std::int64_t> identity_, scope_identity_;
  // Their values as the running statement began, and its text for the
  // journal with @@IDENTITY and SCOPE_IDENTITY() replaced by them: a replay
  // runs other sessions' statements in between.
  std::optional<std::int64_t> identity_before_, scope_identity_before_;
  std::string IdentityLiterals(std::string_view text) const;
  std::optional<int> return_value_;           // RETURN's value in the running procedure
  int errors_met_ = 0;                        // errors the running batch met so far
  // The parameter each argument of the outermost call went to (CallProcedure).
  std::vector<std::string> bound_params_;
  void Run(const Stmt& s, std::string_view batch, std::vector<StatementResult>* out);
  // Runs one statement of a batch or block and meets its error as SQL
  // Server does: inside TRY it goes to the CATCH block; otherwise it joins
  // the batch's errors (Record) and either the next statement runs or the
  // batch ends (BatchEnded).
  void RunChild(const Stmt& s, std::string_view batch, std::vector<StatementResult>* out);
  void Record(Error e);
  // IF's or WHILE's condition, in a turn of its own: 1 true, 0 false, -1 unknown.
  int Condition(const Stmt& s);
  // RAISERROR and THROW.
  void Raise(const Stmt& s, std::vector<StatementResult>* out);
  struct BatchEnded {};
  struct Returned {};
  struct LoopBreak {
    bool stop;  // BREAK; CONTINUE otherwise
  };
  // The error a CATCH block handles (ERROR_NUMBER() and the rest).
  struct Handling {
    int number, severity, state;
    std::string message;
    int line;
    std::string procedure;
  };
  std::vector<Handling> handling_;  // innermost last
  int in_try_ = 0;                  // TRY blocks the running statement is in
  bool raised_ = false;             // the error thrown came from RAISERROR
  int raised_state_ = 1;            // the state RAISERROR or THROW gave it
  bool doomed_ = false;             // the transaction can only be rolled back
  std::optional<Error> batch_error_;
  // Hands the statement's text to the journal (not while replaying).
  void Journal(const Stmt& s, std::string_view batch);
  StatementResult RunStatement(const Stmt& s);
  void Commit();
  void UndoTo(std::size_t mark);
  // ROLLBACK TRANSACTION name: back to the newest savepoint of that name
  // (true), or the whole transaction when it is the outermost BEGIN
  // TRANSACTION's name (false). 6401 for any other name.
  bool RollbackTo(const std::string& name, int line);

  StatementResult DoSelect(const Select& q);
  // Runs q: sets *columns before the first row (a type the expression does
  // not fix is left Other), then hands each result row to sink in order.
  void SelectRows(const Select& q, std::vector<ResultColumn>* columns,
                  const std::function<void(std::vector<Value>&)>& sink);
  // The combinations of rows of q's sources (two or more) that pass its
  // WHERE and ON, appended to matched (a row per source each, in the order
  // of nested loops over the sources as written); cur is the row context
  // the conditions are evaluated on.
  void JoinRows(const Select& q, Scope& scope, std::vector<const Row*>& cur,
                std::vector<const Row*>& matched);
  // A UNION, UNION ALL, EXCEPT or INTERSECT, as SelectRows.
  void CompoundRows(const Select& q, std::vector<ResultColumn>* columns,
                    const std::function<void(std::vector<Value>&)>& sink);
  // The rows of a derived table (FROM (SELECT ...) AS alias), made into a
  // table of their own for the statement.
  // names: the column names a column list gives, if any.
  std::shared_ptr<Table> DerivedTable(const Select& q, const std::string& alias,
                                      const std::vector<std::string>& names = {});
  // rows (with their columns, as SelectRows gave them) made into a table.
  std::shared_ptr<Table> RowsTable(std::vector<ResultColumn>& cols,
                                   std::vector<std::vector<Value>>& rows, const std::string& alias,
                                   const std::vector<std::string>& names);
  // Common table expressions of the running statement (WITH): the table a
  // name of its FROM clauses gives, null when no CTE has that name.
  std::shared_ptr<Table> CteTable(const std::string& name);
  std::shared_ptr<Table> RecursiveCte(const Cte& cte);
  const Stmt* cte_stmt_ = nullptr;  // the statement whose WITH is in force
  std::size_t ctes_visible_ = 0;    // how many of its CTEs a name may refer to
  // The rows of the previous round of a recursive CTE, by its name.
  std::vector<std::pair<std::string, std::shared_ptr<Table>>> cte_rounds_;
  // The table an UPDATE or DELETE changes: s.table, or the one table of the
  // simple view s.table names (vw then holds what the statement needs).
  std::shared_ptr<Table> WriteTarget(const Stmt& s, ViewWrite* vw);
  // The rows of a view, made into a table for the statement.
  std::shared_ptr<Table> ViewTable(const Object& view);
  std::vector<std::unique_ptr<Select>> statement_views_;  // parsed for the running statement
  StatementResult DoInsert(const Stmt& s);
  StatementResult DoUpdate(const Stmt& s);
  StatementResult DoDelete(const Stmt& s);
  void DoCreateTable(const Stmt& s);
  // Lets go of the table's part of the snapshot once nothing borrows from it:
  // no row of the table, no deleted row the undo log keeps (UPDATE records
  // that point into it hold it themselves).
  void ReleaseSnapshot(Table& t);
  void DoDropTable(const Stmt& s);
  void DoCreateIndex(const Stmt& s);
  void DoDropIndex(const Stmt& s);
  void DoAlterAdd(const Stmt& s);
  void DoAlterColumn(const Stmt& s);
  void DoDropColumn(const Stmt& s);
  void DoAddPk(const Stmt& s);
  void DoAddDefault(const Stmt& s);
  void DoDropConstraint(const Stmt& s);
  void DoCreateObject(const Stmt& s);
  void DoDropObject(const Stmt& s);
  StatementResult DoExec(const Stmt& s);
  std::int64_t GetAppLock(const std::vector<Value>& args);
  std::int64_t ReleaseAppLock(const std::vector<Value>& args);
  void DoBackup(const Stmt& s);
  static std::string ServerName();
  static std::string LastNamePart(const std::string& name);
  // DB_ID(name) (want_id) or DB_NAME(id); NULL for a database not there.
  Value DatabaseNamed(const Value& v, bool want_id) const;
  Value ServerProperty(const std::string& name) const;
  Value DatabaseProperty(const std::string& name) const;
  static Value CollationProperty(const std::string& collation, const std::string& property);
  static Value RoleMember(const std::string& role);
  Value HasPerms(const std::string& securable, const std::string& cls,
                 const std::string& permission);
  void DoDeclare(const Stmt& s);
  // Session-level system views: master..sysprocesses, sys.dm_exec_sessions.
  std::shared_ptr<Table> SessionView(const std::string& name);
  // DECLARE statements that give the variables a statement names their
  // current values, for the journal.
  std::string VariablePrefix(std::string_view text) const;

  // Query machinery.
  std::shared_ptr<Table> UserTable(const std::string& name);
  std::shared_ptr<Table> AnyTable(const std::string& name);
  void Bind(Expr& e, Scope& scope, std::vector<Expr*>* aggs);
  Value Eval(const Expr& e, const Ctx& ctx);
  int Truth(const Expr& e, const Ctx& ctx);  // 1 true, 0 false, -1 unknown
  const std::vector<Value>& SubqueryValues(const Expr& e, const Ctx& ctx);
  // Runs q as a subquery of the row ctx stands on (its outer columns bind
  // to the enclosing queries), handing each row to sink.
  void SubqueryRows(const Select& q, const Ctx& ctx,
                    const std::function<void(std::vector<Value>&)>& sink);
  // Slots of table t (source src of scope) that may satisfy where, using an index
  // on an equality when there is one; nullopt means scan everything.
  bool IndexCandidates(const Table& t, const Expr* where, std::vector<std::uint32_t>* out,
                       int src = 0);
  std::vector<std::uint32_t> MatchingSlots(const std::shared_ptr<Table>& t, Expr* where,
                                           Scope& scope);

  // Records the catalogue's lists for undoing; takes the catalogue's lock,
  // since undoing puts the lists back whole.
  void SchemaSnapshot();
  // Runs f, a statement's work; when it meets a lock another session holds,
  // undoes back to mark, waits for the lock and runs it again.
  template <class F>
  void WithLocks(std::size_t mark, int line, F&& f);
  // At a statement's end: gives back its shared locks (all locks when no
  // transaction is open), unless keep.
  void EndStatementLocks(bool keep);
  std::vector<std::string> statement_shared_;  // shared locks the statement took
  int NewId() {
    Lock(LockTable::kCatalog, true);
    return cat_.next_id++;
  }
  std::string DefaultName(const Table& t, const Column& c, int id) const;
  // Makes the default constraint object of col (a system DF__ name when name
  // is empty) and binds its expression. 2714/1750 when the name is taken.
  void AddDefault(const Table& t, Column& col, const std::string& name, const std::string& text);
  void CheckUnique(const Table& t, const std::vector<Value>& vals, std::uint32_t self);
  // Throws 2627 (a primary key) or 2601 for a row whose key in ix (key_vals)
  // another row has.
  [[noreturn]] static void DuplicateKey(const Table& t, const Index& ix,
                                        const std::vector<Value>& key_vals);
  Value DefaultValue(const Column& c);
  [[noreturn]] void Fail515(const Table& t, const Column& c, const char* verb) const;

  Catalog& cat_;
  std::string db_name_;
  int trancount_ = 0;
  std::string tran_name_;  // name given to the outermost BEGIN TRANSACTION
  struct Savepoint {
    std::string name;
    std::size_t undo;  // undo_.size() when it was saved
  };
  std::vector<Savepoint> savepoints_;  // of the open transaction, oldest first
  bool xact_abort_ = false;            // SET XACT_ABORT, kept across batches
  long long lock_timeout_ = -1;        // SET LOCK_TIMEOUT, milliseconds
  std::int64_t row_limit_ = 0;         // SET ROWCOUNT: rows a statement stops after, 0 none
  std::int64_t text_size_ = 0;         // SET TEXTSIZE: bytes of a text or image value, 0 all
  bool nocount_ = false;               // SET NOCOUNT
  int last_error_ = 0;                 // @@ERROR: of the statement before
  std::int64_t rowcount_ = 0;          // @@ROWCOUNT: rows the statement before touched
  std::int64_t now_ = 0;
  bool replaying_ = false;
  std::vector<Undo> undo_;
  // An unlinked file in spill_dir holding the rows of the tables the open
  // transaction dropped, each table's rows after the one before.
  class SpillFile {
   public:
    SpillFile() = default;
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;
    ~SpillFile() = default;
    // Writes bytes at the end; false when the file cannot be made or written.
    bool Append(const std::string& dir, std::string_view bytes);
    // Reads n bytes at offset at into out; false when they cannot be read.
    bool Read(std::uint64_t at, std::size_t n, char* out) const;
    std::uint64_t end() const { return end_; }
    // Forgets what lies at and after offset at (all of it at 0).
    void CutTo(std::uint64_t at);

   private:
    port::File file_;
    std::uint64_t end_ = 0;
  };
  SpillFile spill_;
  void SpillRows(const std::shared_ptr<Table>& t);
  void UnspillRows(Table& t, const UndoDetail& d);
  std::size_t stmt_mark_ = 0;  // undo_.size() when the running statement began
  // The running batch's cancel check (Execute's), asked as a statement goes
  // through rows, at most every few milliseconds however slow or fast each
  // row is: an attention stops a long statement at once.
  const std::function<bool()>* cancel_ = nullptr;
  std::uint32_t cancel_tick_ = 0;
  std::chrono::steady_clock::time_point cancel_asked_{};
  void CheckCancel() {
    if (++cancel_tick_ % 32 != 0 || !cancel_ || !*cancel_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - cancel_asked_ < std::chrono::milliseconds(5)) return;
    cancel_asked_ = now;
    if ((*cancel_)()) throw Cancelled();
  }
  std::unordered_map<const Expr*, std::vector<Value>> subquery_cache_;  // and RAND()'s value
  std::mt19937_64 random_;  // RAND()
  bool random_seeded_ = false;
  struct Variable {
    TypeSpec type;
    Value value;
  };
  std::map<std::string, Variable> vars_;  // of the running batch, by lower-case name
  // Queries being run, innermost last, with the row a subquery of each is
  // evaluated for: the scopes a correlated subquery's outer columns bind to.
  std::vector<Scope*> scopes_;
  struct Outer {
    Scope* scope;
    const Ctx* ctx;
  };
  std::vector<Outer> outer_;
  std::set<const Expr*> correlated_;  // subqueries that must run again for every row
  int outer_binds_ = 0;               // columns bound to an outer query so far
  // Application locks of a session without shared state.
  std::map<std::string, std::vector<SharedState::AppLock>> applocks_local_;
};

// The first SELECT of a query (itself unless it is a compound).
const Select& Leftmost(const Select& q);

// Current local time as milliseconds since 1900-01-01.
std::int64_t LocalNow();

}  // namespace engine
