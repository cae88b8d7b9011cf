// Statement execution: batches, transactions and the undo log. The statements
// themselves are in evaluate.cpp (binding and expressions), select.cpp,
// dml.cpp and ddl.cpp.
//
// Atomicity: every change is recorded in the undo log before it is made. A
// failing statement is undone back to the mark taken at its start; ROLLBACK
// undoes back to the start of the transaction. Entries are undone newest
// first, so each finds the table as its own statement left it. DDL that adds
// or drops objects records a snapshot of the catalogue's maps (table and
// object lists, never rows); ALTER TABLE changes rows in place and records
// only the bytes and definitions undoing needs, so a transaction holds no
// second copy of a table however many columns it alters.
//
// Known differences from SQL Server, kept on purpose:
// - A subquery is evaluated once per statement, unless it names a column of
//   an enclosing query (correlated): then once for every row it is asked for.
// - Identity values taken by a statement or transaction that is undone are
//   given back, so that replaying the journal yields the same values.
// - LEN and SUBSTRING count characters, a GBK pair being one character; GROUP
//   BY returns its groups in the collation's order.
// - Procedures are kept as objects with their text and parsed when they run
//   (procedures.cpp). Views are read through their query.
// - XACT_STATE() is -1 only after an error inside TRY that would otherwise
//   end the batch (or any error with XACT_ABORT ON) in a transaction.
// - Names are resolved when a statement runs, after the batch was checked
//   (compile.cpp) for columns of tables that exist and for variables.
#include "engine/executor.h"

#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "engine/lexer.h"
#include "engine/session_internal.h"
#include "port/local_time.h"

namespace engine {

std::int64_t LocalNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  std::int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::int64_t local = static_cast<std::int64_t>(secs) + port::ToLocalTime(secs).utc_offset;
  return (local + 25567LL * 86400) * 1000 + ms;
}

Session::Session(Catalog& catalog, std::string db_name)
    : cat_(catalog), db_name_(std::move(db_name)) {}

Session::~Session() = default;

// ---------------------------------------------------------------- batches


bool Session::EndsStatementOnly(int error_number) {
  // Constraint and key violations, NULL into NOT NULL, truncation, divide by
  // zero, objects missing or already there in DDL, columns that objects depend
  // on, and transaction statements without a transaction or savepoint. Any
  // other error (conversions, names that do not resolve, ...) ends the batch.
  switch (error_number) {
    case 515:   // NULL into a NOT NULL column
    case 547:   // CHECK or FOREIGN KEY constraint
    case 1222:  // lock wait timed out (SET LOCK_TIMEOUT)
    case 1913:  // index name taken
    case 2601:  // duplicate key in a unique index
    case 2627:  // duplicate key of a PRIMARY KEY or UNIQUE constraint
    case 2628:  // truncation, newer servers' wording
    case 2705:  // column name given twice
    case 2714:  // object name taken
    case 2812:  // no such stored procedure
    case 3701:  // DROP of something missing
    case 3902:  // COMMIT without BEGIN TRANSACTION
    case 3903:  // ROLLBACK without BEGIN TRANSACTION
    case 4901:  // NOT NULL column without a default added to a table with rows
    case 4922:  // ALTER TABLE on a column objects depend on
    case 5074:
    case 6401:  // ROLLBACK to an unknown transaction or savepoint name
    case 8134:  // divide by zero
    case 8152:  // truncation
      return true;
    default:
      return false;
  }
}

template <class F>
void Session::WithLocks(std::size_t mark, int line, F&& f) {
  for (;;) {
    try {
      f();
      return;
    } catch (const LockWait& w) {
      UndoTo(mark);
      if (!gate) throw Error(1222, 16, "Lock request time out period exceeded.", line);
      static const std::function<bool()> kNever;
      gate->WaitForLock(*this, w.resource, w.exclusive, lock_timeout_, cancel_ ? *cancel_ : kNever);
    }
  }
}

std::vector<StatementResult> Session::Execute(std::string_view batch,
                                              const std::function<bool()>& cancelled) {
  std::vector<std::unique_ptr<Stmt>> stmts = ParseBatch(batch);
  {
    // The check reads the catalogue, which other sessions' statements change.
    GateTurn turn(gate, *this);
    turn.Enter(cancelled);
    CompileBatch(stmts);
  }
  std::vector<StatementResult> out;
  vars_.clear();  // variables live for one batch
  std::optional<Error> failed = RunTop(out, cancelled, [&] {
    for (const auto& s : stmts) RunChild(*s, batch, &out);
  });
  if (failed) {
    failed->results = std::move(out);
    throw std::move(*failed);
  }
  return out;
}

std::optional<Error> Session::RunTop(std::vector<StatementResult>& out,
                                     const std::function<bool()>& cancelled,
                                     const std::function<void()>& body) {
  struct CancelScope {
    const std::function<bool()>*& slot;
    ~CancelScope() { slot = nullptr; }
  } cancel_scope{cancel_};
  cancel_ = &cancelled;
  batch_error_.reset();
  handling_.clear();
  in_try_ = 0;
  errors_met_ = 0;
  scope_identity_.reset();  // a batch is a scope of its own
  procedure_names_.clear();
  try {
    body();
  } catch (const BatchEnded&) {
  } catch (const Returned&) {
  }
  if (doomed_ && trancount_ > 0) {
    // An uncommittable transaction left open at the end of the batch.
    RollbackAll();
    Error e(3998, 16,
            "Uncommittable transaction is detected at the end of the batch. The transaction is "
            "rolled back.",
            1);
    StatementResult failed;
    failed.messages.push_back({e.number(), e.severity(), e.what(), e.line()});
    out.push_back(std::move(failed));
    Record(std::move(e));
  }
  doomed_ = false;
  std::optional<Error> first = std::move(batch_error_);
  batch_error_.reset();
  return first;
}

void Session::Record(Error e) {
  ++errors_met_;
  if (!batch_error_) {
    batch_error_ = std::move(e);
    return;
  }
  batch_error_->follow_on.push_back({e.number(), e.severity(), e.what(), e.line(), e.procedure});
  for (const Error::Message& m : e.follow_on)
    batch_error_->follow_on.push_back(
        {m.number, m.severity, m.text, m.line ? m.line : e.line(), e.procedure});
}

namespace {

bool Compound(const Stmt& s) {
  return s.k == Stmt::Block || s.k == Stmt::If || s.k == Stmt::While || s.k == Stmt::Try ||
         Session::IsProcedureCall(s);
}

}  // namespace

void Session::RunChild(const Stmt& s, std::string_view batch, std::vector<StatementResult>* out) {
  // Until the statement's end, including the rollback an error may bring.
  // The statements of a block, loop or IF each take their own turn (its
  // condition one of its own).
  GateTurn turn(gate, *this);
  try {
    // Session options touch nothing shared: they never wait, as SET takes
    // no lock on a server.
    const bool option = s.k == Stmt::SetXactAbort || s.k == Stmt::SetLockTimeout ||
                        s.k == Stmt::SetNocount || s.k == Stmt::Nothing ||
                        s.k == Stmt::Break || s.k == Stmt::Continue || s.k == Stmt::Return;
    if (!option && !Compound(s)) turn.Enter(*cancel_);
    now_ = LocalNow();
    const std::size_t before = out->size();
    raised_ = false;
    Run(s, batch, out);
    for (std::size_t i = before; i < out->size(); ++i) (*out)[i].nocount = nocount_;
    if (!Compound(s)) last_error_ = 0;
  } catch (Error& e) {
    last_error_ = e.number();
    if (e.procedure.empty() && !procedure_names_.empty()) e.procedure = procedure_names_.back();
    const bool raised = raised_;  // RAISERROR: the batch goes on, whatever XACT_ABORT says
    raised_ = false;
    // Names that do not resolve are not caught by a TRY of the same batch.
    const bool catchable = e.severity() > 10 && e.severity() < 20 && e.number() != 208 &&
                           e.number() != 207 && e.number() != 4104 && e.number() != 209;
    if (in_try_ > 0 && catchable) {
      if (trancount_ > 0 && !raised && (xact_abort_ || !EndsStatementOnly(e.number())))
        doomed_ = true;  // only a rollback is left to the transaction
      throw;             // to the CATCH block
    }
    StatementResult failed;  // the error in its place among the results
    failed.messages.push_back({e.number(), e.severity(), e.what(), e.line(), e.procedure});
    for (const Error::Message& m : e.follow_on)
      failed.messages.push_back(
          {m.number, m.severity, m.text, m.line ? m.line : e.line(), e.procedure});
    out->push_back(std::move(failed));
    bool ends_batch = !raised && (xact_abort_ || !EndsStatementOnly(e.number()));
    // A deadlock victim's transaction is rolled back, whatever XACT_ABORT says.
    if (!raised && (xact_abort_ || e.number() == 1205) && trancount_ > 0) RollbackAll();
    Record(std::move(e));
    if (ends_batch) throw BatchEnded();
  }
}

namespace {

// Marks the session as replaying the journal while it lives.
struct ReplayScope {
  explicit ReplayScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~ReplayScope() { flag_ = false; }
  bool& flag_;
};

}  // namespace

void Session::ReplayStatement(const Committed& c) {
  ReplayScope scope(replaying_);
  if (trancount_ == 0) trancount_ = 1;  // a unit of work replays as one transaction
  vars_.clear();                        // an entry declares the variables it uses
  std::vector<std::unique_ptr<Stmt>> stmts = ParseBatch(c.text, true);
  std::vector<StatementResult> ignored;
  for (const auto& s : stmts) {
    now_ = c.now;
    Run(*s, c.text, &ignored);
  }
}

void Session::ReplayCommit() {
  ReplayScope scope(replaying_);
  trancount_ = 0;
  Commit();
}

void Session::ReplayAbort() {
  ReplayScope scope(replaying_);
  RollbackAll();
}

void Session::Run(const Stmt& s, std::string_view batch, std::vector<StatementResult>* out) {
  subquery_cache_.clear();
  statement_views_.clear();
  // @@ROWCOUNT, once the statement ends: the rows it touched; 0 for one that
  // touches none or fails, 1 for an assignment. DECLARE and IF leave it (the
  // statement IF runs sets it).
  struct RowcountAtEnd {
    std::int64_t& slot;
    std::int64_t value;
    bool keep;
    ~RowcountAtEnd() {
      if (!keep) slot = value;
    }
  } rowcount{rowcount_, s.k == Stmt::SetVar ? 1 : 0,
             s.k == Stmt::Declare || s.k == Stmt::If || IsProcedureCall(s)};
  switch (s.k) {
    case Stmt::Begin:
      if (trancount_++ == 0) tran_name_ = s.name;
      out->emplace_back();
      return;
    case Stmt::Commit:
      if (trancount_ == 0)
        throw Error(3902, 16,
                    "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    s.line);
      if (doomed_)
        throw Error(3930, 16,
                    "The current transaction cannot be committed and cannot support operations "
                    "that write to the log file. Roll back the transaction.",
                    s.line);
      if (--trancount_ == 0) Commit();
      out->emplace_back();
      return;
    case Stmt::Rollback:
      if (trancount_ == 0)
        throw Error(3903, 16,
                    "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    s.line);
      if (s.name.empty())
        RollbackAll();
      else if (RollbackTo(s.name, s.line))
        Journal(s, batch);  // a replay rolls back to the savepoint too
      out->emplace_back();
      return;
    case Stmt::Save:
      if (trancount_ == 0)
        throw Error(628, 16, "Cannot issue SAVE TRANSACTION when there is no active transaction.",
                    s.line);
      Journal(s, batch);
      savepoints_.push_back({s.name, undo_.size()});
      out->emplace_back();
      return;
    case Stmt::SetXactAbort:
      xact_abort_ = s.on;
      out->emplace_back();
      return;
    case Stmt::Declare:
    case Stmt::SetVar:
      try {
        // A DECLARE that waits for a lock runs again from its first variable.
        std::optional<std::map<std::string, Variable>> declared_before;
        if (s.k == Stmt::Declare) declared_before = vars_;
        WithLocks(undo_.size(), s.line, [&] {
        if (s.k == Stmt::Declare) {
          vars_ = *declared_before;
          DoDeclare(s);
        } else {
          auto v = vars_.find(s.name);
          if (v == vars_.end())
            throw SqlError(137, "Must declare the scalar variable \"" + s.name + "\".", 15);
          Scope scope;
          Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
          Ctx ctx;
          v->second.value = ConvertTo(Eval(*s.cond, ctx), v->second.type);
        }
        });
      } catch (Error& e) {
        EndStatementLocks(false);
        throw AtLine(e, s.line);
      }
      EndStatementLocks(false);
      out->emplace_back();
      return;
    case Stmt::SetNocount:
      nocount_ = s.on;
      out->emplace_back();
      return;
    case Stmt::SetLockTimeout:
      lock_timeout_ = s.number < 0 ? -1 : s.number;
      out->emplace_back();
      return;
    case Stmt::SetTextSize:
      // 0 is the server's default, 4 KB; -1 (or anything below 0) no limit.
      text_size_ = s.number == 0 ? 4096 : s.number < 0 ? 0 : s.number;
      out->emplace_back();
      return;
    case Stmt::SetRowCount: {
      // SET ROWCOUNT n (a number or a variable): SELECT, INSERT, UPDATE and
      // DELETE stop after n rows; 0 lifts the limit.
      std::int64_t n = s.number;
      if (s.cond) {
        try {
          Scope scope;
          Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
          Ctx ctx;
          Value v = Eval(*s.cond, ctx);
          n = v.null() ? 0 : ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}).i;
        } catch (Error& e) {
          throw AtLine(e, s.line);
        }
      }
      row_limit_ = n < 0 ? 0 : n;
      out->emplace_back();
      return;
    }
    case Stmt::Print: {
      // An informational message of class 0 with the value as text.
      StatementResult r;
      try {
        WithLocks(undo_.size(), s.line, [&] {
          Scope scope;
          Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
          Ctx ctx;
          Value v = CastTo(Eval(*s.cond, ctx), TypeSpec{Type::VarChar, 8000, 0, 0});
          r.messages.assign(1, {0, 0, v.null() ? std::string() : v.s, s.line});
        });
      } catch (Error& e) {
        EndStatementLocks(false);
        throw AtLine(e, s.line);
      }
      EndStatementLocks(false);
      out->push_back(std::move(r));
      return;
    }
    case Stmt::If:
      if (Condition(s) == 1)
        RunChild(*s.then_stmt, batch, out);
      else if (s.else_stmt)
        RunChild(*s.else_stmt, batch, out);
      return;
    case Stmt::While:
      while (Condition(s) == 1) {
        // An attention stops a loop too, however little each round does.
        if (cancel_ && *cancel_ && (*cancel_)()) throw Cancelled();
        try {
          RunChild(*s.then_stmt, batch, out);
        } catch (const LoopBreak& b) {
          if (b.stop) break;
        }
      }
      return;
    case Stmt::Break:
    case Stmt::Continue:
      throw LoopBreak{s.k == Stmt::Break};
    case Stmt::Return:
      if (s.cond) {  // a procedure's return status
        GateTurn turn(gate, *this);
        static const std::function<bool()> kNever;
        turn.Enter(cancel_ ? *cancel_ : kNever);
        Value v;
        try {
          WithLocks(undo_.size(), s.line, [&] {
            Scope scope;
            Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
            Ctx ctx;
            v = ConvertTo(Eval(*s.cond, ctx), TypeSpec{Type::Int, 0, 0, 0});
          });
        } catch (Error& e) {
          EndStatementLocks(false);
          throw AtLine(e, s.line);
        }
        EndStatementLocks(false);
        return_value_ = v.null() ? 0 : static_cast<int>(v.i);
      }
      throw Returned();
    case Stmt::Exec:
      if (IsProcedureCall(s)) {
        RunProcedure(s, out);
        return;
      }
      break;
    case Stmt::Block:
      for (const auto& c : s.block) RunChild(*c, batch, out);
      return;
    case Stmt::Try: {
      std::optional<Error> caught;
      {
        ++in_try_;
        struct Leave {
          int& depth;
          ~Leave() { --depth; }
        } leave{in_try_};
        try {
          for (const auto& c : s.block) RunChild(*c, batch, out);
        } catch (Error& e) {
          caught = std::move(e);
        }
      }
      if (!caught) return;
      handling_.push_back({caught->number(), caught->severity(), raised_state_, caught->what(),
                           caught->line(), caught->procedure});
      raised_state_ = 1;
      struct Handled {
        std::vector<Handling>& v;
        ~Handled() { v.pop_back(); }
      } handled{handling_};
      for (const auto& c : s.catch_block) RunChild(*c, batch, out);
      return;
    }
    case Stmt::Raiserror:
    case Stmt::Throw:
      Raise(s, out);
      return;
    default:
      break;
  }
  if (doomed_ && trancount_ > 0 && s.k != Stmt::SelectStmt && s.k != Stmt::Nothing)
    throw Error(3930, 16,
                "The current transaction cannot be committed and cannot support operations that "
                "write to the log file. Roll back the transaction.",
                s.line);
  // The statement's WITH, in force while it runs.
  struct CteScope {
    const Stmt*& slot;
    std::size_t& visible;
    ~CteScope() {
      slot = nullptr;
      visible = 0;
    }
  } cte_scope{cte_stmt_, ctes_visible_};
  cte_stmt_ = s.ctes.empty() ? nullptr : &s;
  ctes_visible_ = s.ctes.size();
  std::size_t mark = undo_.size();
  stmt_mark_ = mark;
  identity_before_ = identity_;
  scope_identity_before_ = scope_identity_;
  bool changes = false;
  try {
    WithLocks(mark, s.line, [&] {
      // What a statement writes is locked before what it reads.
      if (!replaying_ && !s.table.empty() && s.k != Stmt::SelectStmt && s.k != Stmt::Exec &&
          s.k != Stmt::Backup && s.k != Stmt::Nothing)
        Lock(Fold(s.table), true);
      out->push_back(RunStatement(s));
    });
    const StatementResult& r = out->back();
    const std::int64_t touched = r.has_result_set ? static_cast<std::int64_t>(r.rows.size())
                                                  : std::max<std::int64_t>(r.rows_affected, 0);
    changes =
        s.k != Stmt::SelectStmt && s.k != Stmt::Nothing && s.k != Stmt::Exec && s.k != Stmt::Backup;
    if (changes) {
      Journal(s, batch);
      if (trancount_ == 0) Commit();
    }
    rowcount.value = touched;
  } catch (Error& e) {
    UndoTo(mark);
    EndStatementLocks(false);
    throw AtLine(e, s.line);
  } catch (const Cancelled&) {
    UndoTo(mark);  // an attention undoes the statement it stops
    EndStatementLocks(false);
    throw;
  }
  EndStatementLocks(changes);
}


int Session::Condition(const Stmt& s) {
  GateTurn turn(gate, *this);
  static const std::function<bool()> kNever;
  turn.Enter(cancel_ ? *cancel_ : kNever);
  now_ = LocalNow();
  subquery_cache_.clear();
  Ctx ctx;
  int t = 0;
  try {
    WithLocks(undo_.size(), s.line, [&] {
      Scope scope;
      Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
      t = Truth(*s.cond, ctx);
    });
  } catch (Error& e) {
    EndStatementLocks(false);
    throw AtLine(e, s.line);
  }
  EndStatementLocks(false);
  return t;
}

namespace {

// RAISERROR's message with its arguments put in: %d %i %u %s %x %X %o, with
// flags, width and precision as printf has them (* taking an argument);
// a missing or NULL argument shows as (null).
std::string FormatMessage(const std::string& fmt, const std::vector<Value>& args) {
  std::string out;
  std::size_t next = 0;
  auto take = [&]() -> const Value* { return next < args.size() ? &args[next++] : nullptr; };
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') {
      out += fmt[i];
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::string conversion = "%";
    while (j < fmt.size() && std::strchr("-+ 0#", fmt[j])) conversion += fmt[j++];
    auto number = [&] {
      if (j < fmt.size() && fmt[j] == '*') {
        const Value* v = take();
        conversion += std::to_string(v && v->kind == Kind::Int ? v->i : 0);
        ++j;
      }
      while (j < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[j]))) conversion += fmt[j++];
    };
    number();
    if (j < fmt.size() && fmt[j] == '.') {
      conversion += fmt[j++];
      number();
    }
    while (j < fmt.size() && (fmt[j] == 'h' || fmt[j] == 'l' || fmt[j] == 'I' || fmt[j] == '6' ||
                              fmt[j] == '4'))
      ++j;
    if (j >= fmt.size() || !std::strchr("diusxXo", fmt[j])) {
      out.append(fmt, i, j - i);  // not a conversion: copied as written
      i = j - 1;
      continue;
    }
    const char conv = fmt[j];
    i = j;
    const Value* v = take();
    char buf[256];
    if (!v || v->null()) {
      conversion += 's';
      std::snprintf(buf, sizeof buf, conversion.c_str(), "(null)");
    } else if (conv == 's') {
      conversion += 's';
      std::snprintf(buf, sizeof buf, conversion.c_str(), ToText(*v).c_str());
    } else {
      long long n = v->kind == Kind::Int ? v->i : 0;
      if (v->kind != Kind::Int) {
        try {
          n = ConvertTo(*v, TypeSpec{Type::Int, 0, 0, 0}).i;
        } catch (const Error&) {
        }
      }
      conversion += "ll";
      conversion += conv == 'i' ? 'd' : conv;
      std::snprintf(buf, sizeof buf, conversion.c_str(), n);
    }
    out += buf;
  }
  return out;
}

}  // namespace

void Session::Raise(const Stmt& s, std::vector<StatementResult>* out) {
  auto fail = [&](int number, const std::string& text) {
    throw Error(number, 16, text, s.line);
  };
  if (s.k == Stmt::Throw && s.args.empty()) {  // rethrows the error being handled
    const Handling& h = handling_.back();
    raised_state_ = h.state;
    throw Error(h.number, h.severity, h.message, h.line);
  }
  std::vector<Value> a;
  try {
    for (const auto& e : s.args) {
      Scope scope;
      Bind(*e, scope, nullptr);
      Ctx ctx;
      a.push_back(Eval(*e, ctx));
    }
  } catch (Error& e) {
    fail(e.number(), e.what());
  }
  auto integer = [&](const Value& v) {
    return v.null() ? 0 : ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}).i;
  };
  if (s.k == Stmt::Throw) {
    const std::int64_t number = integer(a[0]);
    if (number < 50000)
      fail(35100, "Error number " + std::to_string(number) +
                      " in the THROW statement is outside the valid range. Specify an error number "
                      "in the valid range of 50000 to 2147483647.");
    raised_state_ = static_cast<int>(integer(a[2]));
    throw Error(static_cast<int>(number), 16, a[1].null() ? "" : ToText(a[1]), s.line);
  }
  std::int64_t severity = integer(a[1]);
  const std::int64_t state = integer(a[2]);
  const bool log = std::find(s.names.begin(), s.names.end(), "log") != s.names.end();
  if (severity > 18 && !log)
    fail(2754,
         "Error severity levels greater than 18 can only be specified by members of the sysadmin "
         "role, using the WITH LOG option.");
  if (severity < 0) severity = 0;
  if (severity > 25) severity = 25;
  int number = 50000;
  std::string text;
  if (a[0].kind == Kind::Str) {
    text = FormatMessage(a[0].s, std::vector<Value>(a.begin() + 3, a.end()));
  } else {
    const std::int64_t id = integer(a[0]);
    if (id < 13000 || id == 50000)
      fail(2732, "Error number " + std::to_string(id) +
                     " is invalid. The number must be from 13000 through 2147483647 and it cannot "
                     "be 50000.");
    fail(18054, "Error " + std::to_string(id) + ", severity " + std::to_string(severity) +
                    ", state " + std::to_string(state) +
                    " was raised, but no message with that error number was found in "
                    "sys.messages. If error is larger than 50000, make sure the user-defined "
                    "message is added using sp_addmessage.");
  }
  if (text.size() > 2047) text.resize(2047);
  if (severity <= 10) {  // an informational message, as PRINT sends
    StatementResult r;
    r.messages.push_back({number, static_cast<int>(severity), text, s.line});
    out->push_back(std::move(r));
    return;
  }
  raised_ = true;
  raised_state_ = static_cast<int>(state);
  throw Error(number, static_cast<int>(severity), text, s.line);
}

void Session::Journal(const Stmt& s, std::string_view batch) {
  if (!journal || replaying_) return;
  try {
    std::string_view text = batch.substr(s.begin, s.end - s.begin);
    // A replay has no variables of its own: give it their values.
    std::string entry = VariablePrefix(text) + IdentityLiterals(text);
    // A replay stops after as many rows as the statement did.
    if (row_limit_ > 0 && (s.k == Stmt::Insert || s.k == Stmt::Update || s.k == Stmt::Delete))
      entry = "set rowcount " + std::to_string(row_limit_) + ";\n" + entry + ";\nset rowcount 0";
    journal->Statement({now_, entry});
  } catch (...) {
    // What the journal holds of the transaction can no longer be completed.
    if (trancount_ > 0)
      RollbackAll();
    else
      journal->Abort();
    throw;
  }
}

std::string Session::IdentityLiterals(std::string_view text) const {
  if (VariableKey(text).find("identity") == std::string::npos) return std::string(text);
  std::vector<Token> toks;
  try {
    toks = Tokenize(text);
  } catch (const Error&) {
    return std::string(text);
  }
  auto literal = [](const std::optional<std::int64_t>& v) {
    return "convert(numeric(38,0), " + (v ? std::to_string(*v) : std::string("null")) + ")";
  };
  std::string out;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < toks.size(); ++i) {
    const Token& t = toks[i];
    std::size_t end = 0;
    std::string value;
    if (t.kind == Tok::Variable && VariableKey(t.text) == "@@identity") {
      end = t.end;
      value = literal(identity_before_);
    } else if (t.kind == Tok::Ident && !t.quoted && t.Is("scope_identity") &&
               i + 2 < toks.size() && toks[i + 1].IsSymbol("(") && toks[i + 2].IsSymbol(")")) {
      end = toks[i + 2].end;
      value = literal(scope_identity_before_);
    } else {
      continue;
    }
    out.append(text.substr(copied, t.offset - copied));
    out += value;
    copied = end;
  }
  out.append(text.substr(copied));
  return out;
}

void Session::Commit() {
  if (journal && !replaying_) {
    try {
      journal->Commit();
    } catch (...) {
      RollbackAll();
      throw;
    }
  }
  // Tables whose rows this transaction gave bytes of their own let go of
  // their part of the snapshot when no row borrows from it any more.
  std::vector<std::shared_ptr<Table>> unborrowed;
  for (const Undo& u : undo_)
    if (u.k == Undo::RowPatch && u.patch->keep && u.t->loaded && u.t->borrowed == 0 &&
        std::find(unborrowed.begin(), unborrowed.end(), u.t) == unborrowed.end())
      unborrowed.push_back(u.t);
  undo_.clear();  // first: its records may point into those parts
  spill_.CutTo(0);
  for (const auto& t : unborrowed) ReleaseSnapshot(*t);
  savepoints_.clear();
  tran_name_.clear();
  ReleaseLocks(true);
}

void Session::Reset(bool keep_transaction) {
  if (!keep_transaction && trancount_ > 0) RollbackAll();
  xact_abort_ = false;
  lock_timeout_ = -1;
  nocount_ = false;
  row_limit_ = 0;
  text_size_ = 0;
  last_error_ = 0;
  rowcount_ = 0;
  identity_.reset();
  vars_.clear();
}

void Session::RollbackAll() {
  doomed_ = false;
  UndoTo(0);
  spill_.CutTo(0);
  if (journal && !replaying_) journal->Abort();
  savepoints_.clear();
  tran_name_.clear();
  trancount_ = 0;
  ReleaseLocks(true);
}

bool Session::RollbackTo(const std::string& name, int line) {
  // Names are compared exactly: SQL Server treats transaction and savepoint
  // names as case-sensitive whatever the collation.
  for (std::size_t k = savepoints_.size(); k-- > 0;) {
    if (savepoints_[k].name != name) continue;
    UndoTo(savepoints_[k].undo);
    savepoints_.resize(k + 1);  // the savepoint itself stays, to roll back to again
    return true;
  }
  if (!tran_name_.empty() && name == tran_name_) {
    RollbackAll();
    return false;
  }
  throw Error(6401, 16,
              "Cannot roll back " + name + ". No transaction or savepoint of that name was found.",
              line);
}

void PackBlanks(std::string_view in, std::string& out) {
  for (std::size_t i = 0; i < in.size();) {
    const char c = in[i];
    if (c == ' ') {
      std::size_t run = 1;
      while (i + run < in.size() && in[i + run] == ' ' && run < 257) ++run;
      if (run >= 3) {
        out += '\xff';
        out += static_cast<char>(run - 2);
        i += run;
        continue;
      }
    }
    out += c;
    if (c == '\xff') out += '\0';
    ++i;
  }
}

void UnpackBlanks(std::string_view in, std::string& out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\xff') {
      out += in[i];
    } else if (++i == in.size()) {
      break;
    } else if (in[i] == '\0') {
      out += '\xff';
    } else {
      out.append(static_cast<unsigned char>(in[i]) + 2u, ' ');
    }
  }
}

// Puts back the old values an UPDATE recorded after `from`, newest row first,
// and drops those records.
void UndoPatch(Table& t, PatchLog& log, PatchLog::Mark from) {
  std::vector<Index*> keyed = t.indexes_stale ? std::vector<Index*>() : IndexesOver(t, log.cols);
  AppendLookupsOver(t, log.cols, keyed);
  std::string old;
  std::vector<std::string> now_keys(keyed.size()), then_keys(keyed.size());
  std::vector<Value> old_vals;
  std::vector<const Value*> old_ptrs(log.cols.size());
  for (std::size_t c = log.chunks.size(); c-- > 0 && c + 1 >= from.chunks;) {
    const char* base = log.chunks[c].data();
    std::size_t end = log.chunks[c].size();
    const std::size_t stop = c + 1 == from.chunks ? from.bytes : 0;
    while (end > stop) {
      std::uint32_t slot, len;
      std::memcpy(&slot, base + end - 4, 4);
      std::memcpy(&len, base + end - 8, 4);
      const bool borrowed = (len & PatchLog::kBorrowed) != 0;
      len &= ~PatchLog::kBorrowed;
      std::size_t begin = end - 8 - len;
      // The keys the row has and will have again: an index whose key the
      // row keeps is not touched (a long list of rows sharing a key would
      // otherwise be searched for the row twice).
      char* at = nullptr;
      std::uint32_t n = 0;
      if (borrowed) {
        std::memcpy(&at, base + begin, sizeof at);
        std::memcpy(&n, base + begin + sizeof at, 4);
      } else {
        old.clear();
        UnpackBlanks(std::string_view(base + begin, len), old);
      }
      if (!keyed.empty()) {
        if (!borrowed) {
          DecodeRow(old, &old_vals);  // the values of log.cols, in order
          for (std::size_t j = 0; j < old_vals.size(); ++j) old_ptrs[j] = &old_vals[j];
        }
        for (std::size_t k = 0; k < keyed.size(); ++k) {
          now_keys[k] = t.KeyOf(*keyed[k], t.rows[slot]);
          then_keys[k] = borrowed ? t.KeyOf(*keyed[k], std::string_view(at, n))
                                  : t.KeyOfPatched(*keyed[k], t.rows[slot], log.cols, old_ptrs);
          if (now_keys[k] != then_keys[k]) t.IndexRemove(*keyed[k], now_keys[k], slot);
        }
      }
      if (borrowed) {
        t.rows[slot] = Row::Borrow(at, n);
        t.loaded = log.keep;  // which the table may have let go of
        ++t.borrowed;
      } else {
        PatchRow(t.rows[slot], log.cols, old);
      }
      for (std::size_t k = 0; k < keyed.size(); ++k)
        if (now_keys[k] != then_keys[k]) t.IndexAdd(*keyed[k], then_keys[k], slot);
      end = begin;
    }
  }
  log.chunks.resize(from.chunks);
  if (from.chunks) log.chunks.back().resize(from.bytes);
}

void Session::UndoTo(std::size_t mark) {
  while (undo_.size() > mark) {
    Undo& u = undo_.back();
    switch (u.k) {
      case Undo::RowIns:
        for (std::uint32_t i = u.d ? u.d->rows : 1; i-- > 0;) {
          u.t->UnindexRow(u.slot + i);
          u.t->rows[u.slot + i].clear();
          --u.t->live;
        }
        break;
      case Undo::RowPatch:
        UndoPatch(*u.t, *u.patch, {});
        break;
      case Undo::RowDel:
        u.t->rows[u.slot] = std::move(u.old);
        ++u.t->live;
        u.t->IndexRow(u.slot);
        break;
      case Undo::Schema:
        cat_.tables = std::move(u.D().tables);
        cat_.objects = std::move(u.D().objects);
        cat_.next_id = u.D().next_id;
        break;
      case Undo::IndexAdded: {
        auto& ixs = u.t->indexes;
        ixs.erase(std::remove_if(ixs.begin(), ixs.end(),
                                 [&](const auto& ix) { return ix->name == u.D().index_name; }),
                  ixs.end());
        break;
      }
      case Undo::IndexDropped:
        // Dropped before the indexes were first built, it has no entries.
        if (u.D().index_unbuilt && !u.t->indexes_stale) u.t->RebuildIndex(*u.D().index);
        u.t->indexes.push_back(std::move(u.D().index));
        break;
      case Undo::ColumnDefault:
        u.t->cols[u.D().col] = u.D().column;
        break;
      case Undo::Identity:
        u.t->identity_next = u.D().identity_next;
        u.t->identity_used = u.D().identity_used;
        break;
      case Undo::ColumnsAdded:
        UndoColumnsAdded(*u.t, u.D());
        break;
      case Undo::ColumnAltered:
        UndoColumnAltered(*u.t, u.D(), *u.patch);
        break;
      case Undo::ColumnsDropped:
        UndoColumnsDropped(*u.t, u.D(), *u.patch);
        break;
      case Undo::RowsSpilled:
        UnspillRows(*u.t, u.D());
        break;
    }
    undo_.pop_back();
  }
}

void Session::SchemaSnapshot() {
  Lock(LockTable::kCatalog, true);
  Undo u{};
  u.k = Undo::Schema;
  u.D().tables = cat_.tables;
  u.D().objects = cat_.objects;
  u.D().next_id = cat_.next_id;
  undo_.push_back(std::move(u));
}

StatementResult Session::RunStatement(const Stmt& s) {
  StatementResult r;
  switch (s.k) {
    case Stmt::SelectStmt:
      return DoSelect(*s.select);
    case Stmt::Insert:
      return DoInsert(s);
    case Stmt::Update:
      return DoUpdate(s);
    case Stmt::Delete:
      return DoDelete(s);
    case Stmt::CreateTable:
      DoCreateTable(s);
      break;
    case Stmt::DropTable:
      DoDropTable(s);
      break;
    case Stmt::CreateIndex:
      DoCreateIndex(s);
      break;
    case Stmt::DropIndex:
      DoDropIndex(s);
      break;
    case Stmt::AlterAdd:
      DoAlterAdd(s);
      break;
    case Stmt::AlterAlterColumn:
      DoAlterColumn(s);
      break;
    case Stmt::AlterDropColumn:
      DoDropColumn(s);
      break;
    case Stmt::AlterAddPk:
      DoAddPk(s);
      break;
    case Stmt::AlterAddDefault:
      DoAddDefault(s);
      break;
    case Stmt::AlterDropConstraint:
      DoDropConstraint(s);
      break;
    case Stmt::CreateObject:
      DoCreateObject(s);
      break;
    case Stmt::DropObject:
      DoDropObject(s);
      break;
    case Stmt::Exec:
      return DoExec(s);
    case Stmt::Backup:
      DoBackup(s);
      break;
    default:
      break;
  }
  return r;
}

}  // namespace engine
