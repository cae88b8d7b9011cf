// Statement execution: DML, DDL, queries and transactions over the catalogue.
//
// Atomicity: every change is recorded in the undo log before it is made. A
// failing statement is undone back to the mark taken at its start; ROLLBACK
// undoes back to the start of the transaction. DDL first records a snapshot of
// the catalogue's maps, and changes that rewrite rows work on a clone of the
// table, so undoing restores the untouched original.
//
// Known differences from SQL Server, kept on purpose:
// - Subqueries are evaluated once per statement; correlated subqueries are not
//   supported (a column of an outer query is reported as invalid, 207).
// - Identity values taken by a statement or transaction that is undone are
//   given back, so that replaying the journal yields the same values.
// - LEN and SUBSTRING count characters, a GBK pair being one character; GROUP
//   BY returns its groups in the collation's order.
// - Procedures and views are kept as objects with their text; EXEC of a
//   procedure runs nothing.
#include "engine/executor.h"

#include "engine/ascii.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

namespace engine {

std::int64_t LocalNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&secs, &tm);
  std::int64_t ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::int64_t local = static_cast<std::int64_t>(secs) + tm.tm_gmtoff;
  return (local + 25567LL * 86400) * 1000 + ms;
}

// Old bytes of the columns an UPDATE changed, row by row, so that undoing it
// needs no copy of whole rows: the old encodings of cols in order, then the
// record's length and the slot, both u32, so the log reads backwards. The first
// chunk grows as a string does (an UPDATE of one row keeps a few bytes); past a
// megabyte the log goes on in fresh chunks of that size, so a large log is
// never reallocated and copied.
struct PatchLog {
  static constexpr std::size_t kChunk = 1 << 20;
  std::vector<int> cols;  // ascending
  std::vector<std::string> chunks;

  std::string& Room(std::size_t need) {
    if (chunks.empty() || (chunks.back().capacity() >= kChunk &&
                           chunks.back().size() + need > chunks.back().capacity())) {
      chunks.emplace_back();
      if (chunks.size() > 1) chunks.back().reserve(std::max(kChunk, need));
    }
    return chunks.back();
  }
};

struct UndoDetail {
  std::map<std::string, std::shared_ptr<Table>> tables;
  std::vector<Object> objects;
  int next_id = 0;
  std::unique_ptr<Index> index;
  std::string index_name;
  int col = 0;
  Column column;
  std::int64_t identity_next = 0;
  bool identity_used = false;
};

// One entry of the undo log. Row entries are small; what schema changes need
// lives in the detail, allocated only for them.
struct Session::Undo {
  enum K { RowIns, RowPatch, RowDel, Schema, IndexAdded, IndexDropped, ColumnDefault, Identity } k;
  std::uint32_t slot = 0;
  std::shared_ptr<Table> t;
  Row old;
  std::unique_ptr<UndoDetail> d;
  std::unique_ptr<PatchLog> patch;  // RowPatch

  UndoDetail& D() {
    if (!d) d = std::make_unique<UndoDetail>();
    return *d;
  }
};

struct Session::Source {
  std::shared_ptr<Table> t;
  std::string alias;
};

struct Session::Scope {
  std::vector<Source> srcs;
};

struct Session::Ctx {
  const Row* const* rows = nullptr;          // raw row per source
  const std::vector<Value>* aggs = nullptr;  // aggregate results
};

namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return r;
}

Error WithFollow(Error e, int number, int severity, std::string text) {
  e.follow_on.push_back({number, severity, std::move(text)});
  return e;
}

Error Terminated(int number, std::string text) {
  return WithFollow(SqlError(number, std::move(text)), 3621, 0,
                    "The statement has been terminated.");
}

Error Dependent(const std::string& what, const std::string& name, const std::string& col,
                const char* verb) {
  Error e = SqlError(5074, "The " + what + " '" + name + "' is dependent on column '" + col + "'.");
  e.follow_on.push_back({4922, 16,
                         std::string("ALTER TABLE ") + verb + " " + col +
                             " failed because one or more objects access this column."});
  return e;
}

bool IsConstant(const Expr& e) {
  if (e.k == Expr::Col || e.k == Expr::Agg || e.sub) return false;
  for (const auto& a : e.args)
    if (a && !IsConstant(*a)) return false;
  return true;
}

// Number of characters, a GBK pair counting as one.
std::vector<std::size_t> CharStarts(std::string_view s) {
  std::vector<std::size_t> st;
  for (std::size_t k = 0; k < s.size();) {
    st.push_back(k);
    k += (static_cast<unsigned char>(s[k]) >= 0x81 && k + 1 < s.size()) ? 2 : 1;
  }
  return st;
}

std::string CaseMap(std::string_view s, bool upper) {
  std::string out(s);
  for (std::size_t k = 0; k < out.size(); ++k) {
    unsigned char c = static_cast<unsigned char>(out[k]);
    if (c >= 0x81 && k + 1 < out.size())
      ++k;
    else if (c < 0x80)
      out[k] = static_cast<char>(upper ? AsciiUpper(c) : AsciiLower(c));
  }
  return out;
}

ColumnType KindType(const Value& v) {
  switch (v.kind) {
    case Kind::Int:
      return ColumnType::Int;
    case Kind::Num:
      return ColumnType::Numeric;
    case Kind::Date:
      return ColumnType::DateTime;
    case Kind::Float:
      return ColumnType::Other;
    default:
      return ColumnType::VarChar;
  }
}

}  // namespace

Session::Session(Catalog& catalog, std::string db_name)
    : cat_(catalog), db_name_(std::move(db_name)) {}

Session::~Session() = default;

// ---------------------------------------------------------------- batches

std::vector<StatementResult> Session::Execute(std::string_view batch) {
  std::vector<std::unique_ptr<Stmt>> stmts = ParseBatch(batch);
  std::vector<StatementResult> out;
  for (const auto& s : stmts) Run(*s, batch, &out);
  return out;
}

void Session::Replay(const Committed& c) {
  replaying_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{replaying_};
  std::vector<std::unique_ptr<Stmt>> stmts = ParseBatch(c.text);
  for (const auto& s : stmts) {
    now_ = c.now;
    subquery_cache_.clear();
    RunStatement(*s);
  }
  undo_.clear();
}

void Session::Run(const Stmt& s, std::string_view batch, std::vector<StatementResult>* out) {
  now_ = LocalNow();
  subquery_cache_.clear();
  switch (s.k) {
    case Stmt::Begin:
      ++trancount_;
      out->emplace_back();
      return;
    case Stmt::Commit:
      if (trancount_ == 0)
        throw Error(3902, 16,
                    "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    s.line);
      if (--trancount_ == 0) Commit();
      out->emplace_back();
      return;
    case Stmt::Rollback:
      if (trancount_ == 0)
        throw Error(3903, 16,
                    "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.",
                    s.line);
      RollbackAll();
      out->emplace_back();
      return;
    case Stmt::If: {
      Ctx ctx;
      int t;
      try {
        Scope scope;
        Bind(const_cast<Expr&>(*s.cond), scope, nullptr);
        t = Truth(*s.cond, ctx);
      } catch (Error& e) {
        Error moved(e.number(), e.severity(), e.what(), s.line);
        moved.follow_on = e.follow_on;
        throw moved;
      }
      if (t == 1)
        Run(*s.then_stmt, batch, out);
      else if (s.else_stmt)
        Run(*s.else_stmt, batch, out);
      return;
    }
    default:
      break;
  }
  std::size_t mark = undo_.size();
  try {
    out->push_back(RunStatement(s));
    bool changes = s.k != Stmt::SelectStmt && s.k != Stmt::Nothing && s.k != Stmt::Exec;
    if (changes) {
      pending_.push_back({now_, std::string(batch.substr(s.begin, s.end - s.begin))});
      if (trancount_ == 0) Commit();
    }
  } catch (Error& e) {
    UndoTo(mark);
    if (trancount_ == 0) pending_.clear();
    Error moved(e.number(), e.severity(), e.what(), s.line);
    moved.follow_on = e.follow_on;
    throw moved;
  }
}

void Session::Commit() {
  if (!pending_.empty() && on_commit && !replaying_) {
    try {
      on_commit(pending_);
    } catch (...) {
      UndoTo(0);
      pending_.clear();
      throw;
    }
  }
  pending_.clear();
  undo_.clear();
}

void Session::RollbackAll() {
  UndoTo(0);
  pending_.clear();
  trancount_ = 0;
}

namespace {

// Indexes of t with a key column among cols (ascending).
std::vector<Index*> IndexesOver(const Table& t, const std::vector<int>& cols) {
  std::vector<Index*> out;
  for (const auto& ix : t.indexes)
    for (int c : ix->cols)
      if (std::binary_search(cols.begin(), cols.end(), c)) {
        out.push_back(ix.get());
        break;
      }
  return out;
}

// Puts back the old values an UPDATE recorded, newest row first.
void UndoPatch(Table& t, const PatchLog& log) {
  std::vector<Index*> keyed = t.indexes_stale ? std::vector<Index*>() : IndexesOver(t, log.cols);
  for (auto chunk = log.chunks.rbegin(); chunk != log.chunks.rend(); ++chunk) {
    const char* base = chunk->data();
    std::size_t end = chunk->size();
    while (end > 0) {
      std::uint32_t slot, len;
      std::memcpy(&slot, base + end - 4, 4);
      std::memcpy(&len, base + end - 8, 4);
      std::size_t begin = end - 8 - len;
      for (Index* ix : keyed) t.IndexRemove(*ix, t.KeyOf(*ix, t.rows[slot]), slot);
      PatchRow(t.rows[slot], log.cols, std::string_view(base + begin, len));
      for (Index* ix : keyed) t.IndexAdd(*ix, t.KeyOf(*ix, t.rows[slot]), slot);
      end = begin;
    }
  }
}

}  // namespace

void Session::UndoTo(std::size_t mark) {
  while (undo_.size() > mark) {
    Undo& u = undo_.back();
    switch (u.k) {
      case Undo::RowIns:
        u.t->UnindexRow(u.slot);
        u.t->rows[u.slot].clear();
        --u.t->live;
        break;
      case Undo::RowPatch:
        UndoPatch(*u.t, *u.patch);
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
        u.t->indexes.push_back(std::move(u.D().index));
        break;
      case Undo::ColumnDefault:
        u.t->cols[u.D().col] = u.D().column;
        break;
      case Undo::Identity:
        u.t->identity_next = u.D().identity_next;
        u.t->identity_used = u.D().identity_used;
        break;
    }
    undo_.pop_back();
  }
}

void Session::SchemaSnapshot() {
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
    default:
      break;
  }
  return r;
}

// ---------------------------------------------------------------- binding and evaluation

std::shared_ptr<Table> Session::UserTable(const std::string& name) {
  auto t = cat_.FindTable(name);
  if (!t) throw SqlError(208, "Invalid object name '" + name + "'.");
  return t;
}

std::shared_ptr<Table> Session::AnyTable(const std::string& name) {
  if (auto sys = SystemTable(cat_, name)) return sys;
  return UserTable(name);
}

void Session::Bind(Expr& e, Scope& scope, std::vector<Expr*>* aggs) {
  if (e.k == Expr::Col) {
    e.src = e.col = -1;
    for (std::size_t s = 0; s < scope.srcs.size(); ++s) {
      const Source& src = scope.srcs[s];
      if (!e.qual.empty() && Fold(e.qual) != Fold(src.alias) && Fold(e.qual) != Fold(src.t->name))
        continue;
      int c = src.t->FindColumn(e.name);
      if (c < 0) continue;
      if (e.src >= 0) throw SqlError(209, "Ambiguous column name '" + e.name + "'.");
      e.src = static_cast<int>(s);
      e.col = c;
    }
    if (e.src < 0) {
      if (!e.qual.empty()) {
        bool known = false;
        for (const Source& src : scope.srcs)
          known = known || Fold(e.qual) == Fold(src.alias) || Fold(e.qual) == Fold(src.t->name);
        if (!known)
          throw SqlError(4104, "The multi-part identifier \"" + e.qual + "." + e.name +
                                   "\" could not be bound.");
      }
      throw SqlError(207, "Invalid column name '" + e.name + "'.");
    }
    return;
  }
  if (e.k == Expr::Agg) {
    if (!aggs)
      throw SqlError(147,
                     "An aggregate may not appear in the WHERE clause unless it is in a subquery "
                     "contained in a HAVING clause or a select list, and the column being "
                     "aggregated is an outer reference.");
    e.slot = static_cast<int>(aggs->size());
    aggs->push_back(&e);
    for (auto& a : e.args) Bind(*a, scope, nullptr);
    return;
  }
  if (e.k == Expr::Func) {
    static const std::set<std::string> kKnown = {
        "getdate", "substring", "len",   "datalength", "upper",   "lower",     "ltrim",
        "rtrim",   "isnull",    "left",  "right",      "replace", "charindex", "abs",
        "year",    "month",     "day",   "coalesce",   "space",   "str",       "object_id",
        "db_name", "nullif",    "round", "floor",      "ceiling"};
    if (!kKnown.count(e.name))
      throw SqlError(195, "'" + e.name + "' is not a recognized built-in function name.");
  }
  for (auto& a : e.args)
    if (a) Bind(*a, scope, aggs);
  // Subqueries bind in their own scope when they run.
}

const std::vector<Value>& Session::SubqueryValues(const Expr& e) {
  auto it = subquery_cache_.find(&e);
  if (it != subquery_cache_.end()) return it->second;
  StatementResult r;
  std::vector<Value> vals;
  // Run the subquery keeping its typed first-column values.
  const Select& q = *e.sub;
  if (q.items.size() != 1 || q.items[0].star) {
    if (e.k != Expr::Exists)
      throw SqlError(116,
                     "Only one expression can be specified in the select list when the subquery is "
                     "not introduced with EXISTS.");
  }
  // DoSelect returns text; run it in typed form by re-evaluating through a
  // private path: we convert the text back using the result column type.
  r = DoSelect(q);
  for (auto& row : r.rows) {
    const auto& cell = row.empty() ? std::optional<std::string>() : row[0];
    if (!cell) {
      vals.push_back(Value::Null());
      continue;
    }
    switch (r.columns.empty() ? ColumnType::VarChar : r.columns[0].type) {
      case ColumnType::Int:
        vals.push_back(Value::Int(std::stoll(*cell)));
        break;
      case ColumnType::Numeric:
        vals.push_back(
            CastTo(Value::Str(*cell),
                   TypeSpec{Type::Numeric, 0, 18,
                            static_cast<int>(cell->find('.') == std::string::npos
                                                 ? 0
                                                 : cell->size() - cell->find('.') - 1)}));
        break;
      case ColumnType::DateTime:
        vals.push_back(ConvertTo(Value::Str(*cell), TypeSpec{Type::DateTime, 0, 0, 0}));
        break;
      case ColumnType::Other:
        vals.push_back(Value::Float(std::stod(*cell)));
        break;
      default:
        vals.push_back(Value::Str(*cell));
    }
  }
  return subquery_cache_.emplace(&e, std::move(vals)).first->second;
}

int Session::Truth(const Expr& e, const Ctx& ctx) {
  switch (e.k) {
    case Expr::And: {
      int a = Truth(*e.args[0], ctx);
      if (a == 0) return 0;
      int b = Truth(*e.args[1], ctx);
      if (b == 0) return 0;
      return a == 1 && b == 1 ? 1 : -1;
    }
    case Expr::Or: {
      int a = Truth(*e.args[0], ctx);
      if (a == 1) return 1;
      int b = Truth(*e.args[1], ctx);
      if (b == 1) return 1;
      return a == 0 && b == 0 ? 0 : -1;
    }
    case Expr::Not: {
      int a = Truth(*e.args[0], ctx);
      return a < 0 ? -1 : 1 - a;
    }
    case Expr::Cmp: {
      Value a = Eval(*e.args[0], ctx);
      if (a.null()) return -1;
      Value b = Eval(*e.args[1], ctx);
      if (b.null()) return -1;
      int c = Compare(a, b);
      const std::string& op = e.op;
      bool r = op == "="    ? c == 0
               : op == "<>" ? c != 0
               : op == "<"  ? c < 0
               : op == ">"  ? c > 0
               : op == "<=" ? c <= 0
                            : c >= 0;
      return r ? 1 : 0;
    }
    case Expr::IsNull: {
      bool n = Eval(*e.args[0], ctx).null();
      return (n != e.negated) ? 1 : 0;
    }
    case Expr::Like: {
      Value a = Eval(*e.args[0], ctx), b = Eval(*e.args[1], ctx);
      if (a.null() || b.null()) return -1;
      bool r = Like(ToText(a), ToText(b));
      return r != e.negated ? 1 : 0;
    }
    case Expr::Between: {
      Value a = Eval(*e.args[0], ctx), lo = Eval(*e.args[1], ctx), hi = Eval(*e.args[2], ctx);
      if (a.null() || lo.null() || hi.null()) return -1;
      bool r = Compare(a, lo) >= 0 && Compare(a, hi) <= 0;
      return r != e.negated ? 1 : 0;
    }
    case Expr::InList:
    case Expr::InSub: {
      Value a = Eval(*e.args[0], ctx);
      if (a.null()) return -1;
      bool unknown = false, found = false;
      auto check = [&](const Value& v) {
        if (v.null())
          unknown = true;
        else if (Compare(a, v) == 0)
          found = true;
      };
      if (e.k == Expr::InSub) {
        for (const Value& v : SubqueryValues(e)) {
          check(v);
          if (found) break;
        }
      } else {
        for (std::size_t k = 1; k < e.args.size() && !found; ++k) check(Eval(*e.args[k], ctx));
      }
      if (found) return e.negated ? 0 : 1;
      if (unknown) return -1;
      return e.negated ? 1 : 0;
    }
    case Expr::Exists: {
      StatementResult r = DoSelect(*e.sub);
      return r.rows.empty() ? 0 : 1;
    }
    default: {
      Value v = Eval(e, ctx);
      if (v.null()) return -1;
      if (v.kind == Kind::Str)
        throw SqlError(4145,
                       "An expression of non-boolean type specified in a context where a condition "
                       "is expected.");
      return v.i != 0 ? 1 : 0;
    }
  }
}

Value Session::Eval(const Expr& e, const Ctx& ctx) {
  switch (e.k) {
    case Expr::Lit:
      return e.lit;
    case Expr::Col:
      return GetColumn(*ctx.rows[e.src], e.col);
    case Expr::Var:
      if (e.name == "@@trancount") return Value::Int(trancount_);
      if (e.name == "@@rowcount") return Value::Int(0);
      if (e.name == "@@error") return Value::Int(0);
      if (e.name == "@@version") return Value::Str("Embedded SQL Server stand-in");
      throw SqlError(137, "Must declare the scalar variable \"" + e.name + "\".", 15);
    case Expr::Neg: {
      Value v = Eval(*e.args[0], ctx);
      if (v.null()) return v;
      return Arith('-', Value::Int(0), v);
    }
    case Expr::Arith: {
      Value a = Eval(*e.args[0], ctx);
      Value b = Eval(*e.args[1], ctx);
      if (a.null() || b.null()) return Value::Null();
      return Arith(e.op[0], a, b);
    }
    case Expr::Agg:
      return (*ctx.aggs)[e.slot];
    case Expr::Cast: {
      Value v = Eval(*e.args[0], ctx);
      return CastTo(v, e.type);
    }
    case Expr::Subquery: {
      const auto& vals = SubqueryValues(e);
      if (vals.size() > 1)
        throw SqlError(
            512,
            "Subquery returned more than 1 value. This is not permitted when the subquery follows "
            "=, !=, <, <= , >, >= or when the subquery is used as an expression.");
      return vals.empty() ? Value::Null() : vals[0];
    }
    case Expr::Case: {
      std::size_t n = e.args.size();
      Value operand;
      bool simple = e.args[0] != nullptr;
      if (simple) operand = Eval(*e.args[0], ctx);
      for (std::size_t k = 1; k + 1 < n; k += 2) {
        bool hit;
        if (simple) {
          Value w = Eval(*e.args[k], ctx);
          hit = !operand.null() && !w.null() && Compare(operand, w) == 0;
        } else {
          hit = Truth(*e.args[k], ctx) == 1;
        }
        if (hit) return Eval(*e.args[k + 1], ctx);
      }
      return Eval(*e.args[n - 1], ctx);
    }
    case Expr::Func:
      break;
    default: {
      int t = Truth(e, ctx);
      return t < 0 ? Value::Null() : Value::Int(t);
    }
  }
  // Built-in functions.
  const std::string& f = e.name;
  auto arity = [&](std::size_t lo, std::size_t hi) {
    if (e.args.size() < lo || e.args.size() > hi)
      throw SqlError(174, "The " + f + " function requires " + std::to_string(lo) + " argument(s).",
                     15);
  };
  if (f == "getdate") {
    arity(0, 0);
    return Value::Date(now_);
  }
  if (f == "db_name") return Value::Str(db_name_);
  std::vector<Value> a;
  for (const auto& x : e.args) a.push_back(Eval(*x, ctx));
  auto str = [](const Value& v) { return v.kind == Kind::Str ? v.s : ToText(v); };
  auto integer = [](const Value& v) { return ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}).i; };
  if (f == "isnull") {
    arity(2, 2);
    return a[0].null() ? a[1] : a[0];
  }
  if (f == "coalesce") {
    for (const Value& v : a)
      if (!v.null()) return v;
    return Value::Null();
  }
  if (f == "nullif") {
    arity(2, 2);
    if (!a[0].null() && !a[1].null() && Compare(a[0], a[1]) == 0) return Value::Null();
    return a[0];
  }
  for (const Value& v : a)
    if (v.null()) return Value::Null();
  if (f == "substring") {
    arity(3, 3);
    std::string s = str(a[0]);
    std::int64_t start = integer(a[1]), len = integer(a[2]);
    if (len < 0) throw SqlError(537, "Invalid length parameter passed to the substring function.");
    std::vector<std::size_t> st = CharStarts(s);
    std::int64_t from = std::max<std::int64_t>(start, 1);
    std::int64_t to = start + len;  // exclusive, 1-based
    if (to <= from || from > static_cast<std::int64_t>(st.size())) return Value::Str("");
    std::size_t b = st[from - 1];
    std::size_t en = to - 1 > static_cast<std::int64_t>(st.size()) - 1 + 1 - 1 &&
                             to - 1 >= static_cast<std::int64_t>(st.size())
                         ? s.size()
                         : st[to - 1];
    return Value::Str(s.substr(b, en - b));
  }
  if (f == "left" || f == "right") {
    arity(2, 2);
    std::string s = str(a[0]);
    std::int64_t n = integer(a[1]);
    if (n < 0) throw SqlError(536, "Invalid length parameter passed to the " + f + " function.");
    std::vector<std::size_t> st = CharStarts(s);
    if (n >= static_cast<std::int64_t>(st.size())) return Value::Str(s);
    if (f == "left") return Value::Str(s.substr(0, st[n]));
    return Value::Str(s.substr(st[st.size() - n]));
  }
  if (f == "len") {
    arity(1, 1);
    return Value::Int(static_cast<std::int64_t>(CharStarts(TrimRightBlanks(str(a[0]))).size()));
  }
  if (f == "datalength") {
    arity(1, 1);
    switch (a[0].kind) {
      case Kind::Str:
        return Value::Int(static_cast<std::int64_t>(a[0].s.size()));
      case Kind::Int:
        return Value::Int(4);
      default:
        return Value::Int(8);
    }
  }
  if (f == "upper" || f == "lower") {
    arity(1, 1);
    return Value::Str(CaseMap(str(a[0]), f == "upper"));
  }
  if (f == "ltrim") {
    arity(1, 1);
    std::string s = str(a[0]);
    std::size_t k = s.find_first_not_of(' ');
    return Value::Str(k == std::string::npos ? "" : s.substr(k));
  }
  if (f == "rtrim") {
    arity(1, 1);
    return Value::Str(std::string(TrimRightBlanks(str(a[0]))));
  }
  if (f == "space") return Value::Str(std::string(std::max<std::int64_t>(0, integer(a[0])), ' '));
  if (f == "replace") {
    arity(3, 3);
    std::string s = str(a[0]), from = str(a[1]), to = str(a[2]), out;
    if (from.empty()) return Value::Str(s);
    std::string fs = CaseMap(s, true), ff = CaseMap(from, true);
    std::size_t k = 0;
    while (k < s.size()) {
      if (fs.compare(k, ff.size(), ff) == 0) {
        out += to;
        k += ff.size();
      } else {
        std::size_t step = (static_cast<unsigned char>(s[k]) >= 0x81 && k + 1 < s.size()) ? 2 : 1;
        out.append(s, k, step);
        k += step;
      }
    }
    return Value::Str(out);
  }
  if (f == "charindex") {
    arity(2, 3);
    std::string needle = CaseMap(str(a[0]), true), hay = CaseMap(str(a[1]), true);
    std::vector<std::size_t> st = CharStarts(hay);
    std::int64_t from = a.size() > 2 ? std::max<std::int64_t>(integer(a[2]), 1) : 1;
    for (std::size_t c = from - 1; c < st.size(); ++c)
      if (hay.compare(st[c], needle.size(), needle) == 0)
        return Value::Int(static_cast<std::int64_t>(c) + 1);
    return Value::Int(0);
  }
  if (f == "abs") {
    arity(1, 1);
    Value v = a[0].kind == Kind::Str ? ConvertTo(a[0], TypeSpec{Type::Float, 0, 0, 0}) : a[0];
    if (v.kind == Kind::Float) return Value::Float(v.f < 0 ? -v.f : v.f);
    if (v.i < 0) v.i = -v.i;
    return v;
  }
  if (f == "round" || f == "floor" || f == "ceiling") {
    Value v = a[0];
    if (v.kind == Kind::Int) return v;
    double d = ConvertTo(v, TypeSpec{Type::Float, 0, 0, 0}).f;
    if (f == "floor") return Value::Int(static_cast<std::int64_t>(std::floor(d)));
    if (f == "ceiling") return Value::Int(static_cast<std::int64_t>(std::ceil(d)));
    std::int64_t places = a.size() > 1 ? integer(a[1]) : 0;
    if (v.kind == Kind::Num) {
      TypeSpec t{Type::Numeric, 0, 18, static_cast<int>(std::min<std::int64_t>(places, v.scale))};
      Value r = ConvertTo(v, t);
      return ConvertTo(r, TypeSpec{Type::Numeric, 0, 18, v.scale});
    }
    double m = std::pow(10.0, static_cast<double>(places));
    return Value::Float(std::round(d * m) / m);
  }
  if (f == "year" || f == "month" || f == "day") {
    Value d = ConvertTo(a[0], TypeSpec{Type::DateTime, 0, 0, 0});
    std::string t = FormatDate(d.i);
    if (f == "year") return Value::Int(std::stoi(t.substr(0, 4)));
    if (f == "month") return Value::Int(std::stoi(t.substr(5, 2)));
    return Value::Int(std::stoi(t.substr(8, 2)));
  }
  if (f == "str") {
    char buf[64];
    double d = ConvertTo(a[0], TypeSpec{Type::Float, 0, 0, 0}).f;
    int width = a.size() > 1 ? static_cast<int>(integer(a[1])) : 10;
    int dec = a.size() > 2 ? static_cast<int>(integer(a[2])) : 0;
    std::snprintf(buf, sizeof buf, "%*.*f", width, dec, d);
    std::string s = buf;
    if (static_cast<int>(s.size()) > width) s = std::string(width, '*');
    return Value::Str(s);
  }
  if (f == "object_id") {
    std::string n = str(a[0]);
    if (auto t = cat_.FindTable(n)) return Value::Int(t->id);
    if (Object* o = cat_.FindObject(n)) return Value::Int(o->id);
    return Value::Null();
  }
  throw SqlError(195, "'" + f + "' is not a recognized built-in function name.");
}

// ---------------------------------------------------------------- SELECT

bool Session::IndexCandidates(const Table& t, const Expr* where, std::vector<std::uint32_t>* out) {
  if (!where || t.indexes.empty()) return false;
  std::vector<const Expr*> conj;
  std::vector<const Expr*> stack{where};
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    if (e->k == Expr::And) {
      stack.push_back(e->args[0].get());
      stack.push_back(e->args[1].get());
    } else {
      conj.push_back(e);
    }
  }
  for (const Expr* e : conj) {
    if (e->k != Expr::Cmp || e->op != "=") continue;
    const Expr* col = e->args[0].get();
    const Expr* val = e->args[1].get();
    if (col->k != Expr::Col) std::swap(col, val);
    if (col->k != Expr::Col || col->src != 0 || !IsConstant(*val)) continue;
    const Index* ix = nullptr;
    for (const auto& i : t.indexes)
      if (i->cols.size() == 1 && i->cols[0] == col->col) ix = i.get();
    if (!ix) continue;
    Ctx ctx;
    Value v = Eval(*val, ctx);
    if (v.null()) {
      out->clear();
      return true;
    }
    const TypeSpec& ct = t.cols[col->col].type;
    std::string key;
    if (ct.is_string()) {
      if (v.kind != Kind::Str) continue;  // the column converts to the value's type
      key = KeyPart(v);
    } else if (ct.type == Type::DateTime) {
      key = KeyPart(ConvertTo(v, ct));
    } else if (ct.type == Type::Float) {
      continue;
    } else {
      if (v.kind == Kind::Str)
        v = ConvertTo(v, ct.type == Type::Numeric ? TypeSpec{Type::Numeric, 0, 18, 6}
                                                  : TypeSpec{Type::Int, 0, 0, 0});
      if (v.kind == Kind::Float || v.kind == Kind::Date) continue;
      key = KeyPart(v);
    }
    out->clear();
    t.EnsureIndexes();
    t.IndexFind(*ix, key, out);
    std::sort(out->begin(), out->end());
    return true;
  }
  return false;
}

std::vector<std::uint32_t> Session::MatchingSlots(const std::shared_ptr<Table>& t, Expr* where,
                                                  Scope& scope) {
  if (where) Bind(*where, scope, nullptr);
  std::vector<std::uint32_t> cand, out;
  bool indexed = IndexCandidates(*t, where, &cand);
  const Row* row[1];
  Ctx ctx;
  ctx.rows = row;
  auto consider = [&](std::uint32_t r) {
    if (t->rows[r].empty()) return;
    row[0] = &t->rows[r];
    if (!where || Truth(*where, ctx) == 1) out.push_back(r);
  };
  if (indexed) {
    for (std::uint32_t r : cand) consider(r);
  } else {
    for (std::uint32_t r = 0; r < t->rows.size(); ++r) consider(r);
  }
  return out;
}

namespace {

struct AggState {
  std::int64_t count = 0;
  Value acc;
  std::set<std::string> seen;
};

}  // namespace

StatementResult Session::DoSelect(const Select& cq) {
  Select& q = const_cast<Select&>(cq);
  Scope scope;
  for (const TableRef& r : q.from)
    scope.srcs.push_back({AnyTable(r.name), r.alias.empty() ? r.name : r.alias});
  std::vector<Expr*> aggs;
  StatementResult res;
  res.has_result_set = true;

  // Output columns: expand stars.
  struct OutCol {
    Expr* expr = nullptr;
    int src = -1, col = -1;
  };
  std::vector<OutCol> outs;
  for (SelectItem& item : q.items) {
    if (item.star) {
      if (scope.srcs.empty()) throw SqlError(263, "Must specify table to select from.");
      bool any = false;
      for (std::size_t s = 0; s < scope.srcs.size(); ++s) {
        const Source& src = scope.srcs[s];
        if (!item.star_qual.empty() && Fold(item.star_qual) != Fold(src.alias) &&
            Fold(item.star_qual) != Fold(src.t->name))
          continue;
        any = true;
        for (std::size_t c = 0; c < src.t->cols.size(); ++c) {
          outs.push_back({nullptr, static_cast<int>(s), static_cast<int>(c)});
          res.columns.push_back({src.t->cols[c].name, ResultType(src.t->cols[c].type)});
        }
      }
      if (!any)
        throw SqlError(4104,
                       "The multi-part identifier \"" + item.star_qual + "\" could not be bound.");
      continue;
    }
    Bind(*item.expr, scope, &aggs);
    outs.push_back({item.expr.get(), -1, -1});
    ResultColumn rc;
    rc.name = item.alias;
    if (item.expr->k == Expr::Col) {
      const Column& col = scope.srcs[item.expr->src].t->cols[item.expr->col];
      if (rc.name.empty()) rc.name = col.name;
      rc.type = ResultType(col.type);
    } else if (item.expr->k == Expr::Cast) {
      rc.type = ResultType(item.expr->type);
    } else if (item.expr->k == Expr::Agg && item.expr->name == "count") {
      rc.type = ColumnType::Int;
    } else {
      rc.type = ColumnType::Other;  // decided from the first value below
    }
    res.columns.push_back(rc);
  }
  for (auto& r : q.from)
    if (r.on) Bind(*r.on, scope, nullptr);
  if (q.where) Bind(*q.where, scope, nullptr);
  for (auto& g : q.group) Bind(*g, scope, nullptr);
  if (q.having) Bind(*q.having, scope, &aggs);

  // ORDER BY: an alias or ordinal of the select list, or an expression.
  struct OrderKey {
    int item = -1;
    Expr* expr = nullptr;
    bool desc = false;
  };
  std::vector<OrderKey> order;
  for (OrderItem& o : q.order) {
    OrderKey k;
    k.desc = o.desc;
    if (o.expr->k == Expr::Lit && o.expr->lit.kind == Kind::Int) {
      k.item = static_cast<int>(o.expr->lit.i) - 1;
      if (k.item < 0 || k.item >= static_cast<int>(outs.size()))
        throw SqlError(108,
                       "The ORDER BY position number " + std::to_string(o.expr->lit.i) +
                           " is out of range of the number of items in the select list.",
                       15);
    } else {
      if (o.expr->k == Expr::Col && o.expr->qual.empty())
        for (std::size_t i = 0; i < q.items.size(); ++i)
          if (!q.items[i].alias.empty() && Fold(q.items[i].alias) == Fold(o.expr->name))
            k.item = static_cast<int>(i);
      if (k.item < 0) {
        Bind(*o.expr, scope, &aggs);
        k.expr = o.expr.get();
      }
    }
    order.push_back(k);
  }

  bool grouped = !aggs.empty() || !q.group.empty();
  if (grouped) {
    for (const OutCol& oc : outs)
      if (!oc.expr)
        throw SqlError(8120, "Column '" + scope.srcs[oc.src].t->name + "." +
                                 scope.srcs[oc.src].t->cols[oc.col].name +
                                 "' is invalid in the select list because it is not contained in "
                                 "either an aggregate function or the GROUP BY clause.");
  }

  // Produce source row combinations that pass ON and WHERE.
  std::size_t n = scope.srcs.size();
  std::vector<const Row*> cur(n ? n : 1, nullptr);
  Ctx ctx;
  ctx.rows = cur.data();
  // Matched combinations, one row pointer per source each, end to end.
  const std::size_t width = cur.size();
  std::vector<const Row*> matched;
  auto keep = [&] { matched.insert(matched.end(), cur.begin(), cur.end()); };
  const Row empty;

  std::vector<std::uint32_t> cand0;
  bool indexed0 = n > 0 && IndexCandidates(*scope.srcs[0].t, q.where.get(), &cand0);

  std::function<void(std::size_t)> loop = [&](std::size_t s) {
    if (s == n) {
      if (!q.where || Truth(*q.where, ctx) == 1) keep();
      return;
    }
    const Table& t = *scope.srcs[s].t;
    auto visit = [&](std::uint32_t r) {
      if (t.rows[r].empty()) return;
      cur[s] = &t.rows[r];
      if (q.from[s].on && Truth(*q.from[s].on, ctx) != 1) return;
      loop(s + 1);
    };
    if (s == 0 && indexed0) {
      for (std::uint32_t r : cand0) visit(r);
    } else {
      for (std::uint32_t r = 0; r < t.rows.size(); ++r) visit(r);
    }
  };
  if (n == 0) {
    cur[0] = &empty;
    if (!q.where || Truth(*q.where, ctx) == 1) keep();
  } else {
    loop(0);
  }

  // Output rows with their sort keys.
  struct OutRow {
    std::vector<Value> vals;
    std::vector<Value> keys;
  };
  std::vector<OutRow> rows;
  auto emit = [&](const Ctx& c) {
    OutRow o;
    for (const OutCol& oc : outs)
      o.vals.push_back(oc.expr ? Eval(*oc.expr, c) : GetColumn(*c.rows[oc.src], oc.col));
    for (const OrderKey& k : order)
      o.keys.push_back(k.item >= 0 ? o.vals[k.item] : Eval(*k.expr, c));
    rows.push_back(std::move(o));
  };

  if (!grouped) {
    for (std::size_t m = 0; m < matched.size(); m += width) {
      Ctx c;
      c.rows = matched.data() + m;
      emit(c);
    }
  } else {
    struct Group {
      std::vector<const Row*> first;
      std::vector<AggState> st;
    };
    std::map<std::string, Group> groups;
    for (std::size_t m = 0; m < matched.size(); m += width) {
      Ctx c;
      c.rows = matched.data() + m;
      std::string key;
      for (auto& g : q.group) {
        std::string part = KeyPart(Eval(*g, c));
        key += std::to_string(part.size()) + ":" + part;
      }
      auto [it, fresh] = groups.try_emplace(key);
      Group& grp = it->second;
      if (fresh) {
        grp.first.assign(matched.begin() + static_cast<std::ptrdiff_t>(m),
                         matched.begin() + static_cast<std::ptrdiff_t>(m + width));
        grp.st.resize(aggs.size());
      }
      for (std::size_t a = 0; a < aggs.size(); ++a) {
        Expr& ag = *aggs[a];
        AggState& st = grp.st[a];
        if (ag.star) {
          ++st.count;
          continue;
        }
        Value v = Eval(*ag.args[0], c);
        if (v.null()) continue;
        if (ag.distinct && !st.seen.insert(KeyPart(v)).second) continue;
        ++st.count;
        if (ag.name == "count") continue;
        if (st.acc.null()) {
          st.acc = ag.name == "sum" || ag.name == "avg"
                       ? (v.kind == Kind::Str ? ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}) : v)
                       : v;
        } else if (ag.name == "sum" || ag.name == "avg") {
          st.acc = Arith('+', st.acc, v);
        } else {
          int c2 = Compare(v, st.acc);
          if ((ag.name == "min" && c2 < 0) || (ag.name == "max" && c2 > 0)) st.acc = v;
        }
      }
    }
    if (groups.empty() && q.group.empty()) {  // aggregate over no rows: one row
      Group& g = groups[""];
      g.first.assign(n ? n : 1, &empty);
      g.st.resize(aggs.size());
      if (n) g.first.clear();
    }
    for (auto& [key, g] : groups) {
      std::vector<Value> results;
      for (std::size_t a = 0; a < aggs.size(); ++a) {
        const Expr& ag = *aggs[a];
        AggState& st = g.st[a];
        if (ag.name == "count")
          results.push_back(Value::Int(st.count));
        else if (ag.name == "avg" && !st.acc.null())
          results.push_back(st.acc.kind == Kind::Int ? Value::Int(st.acc.i / st.count)
                                                     : Arith('/', st.acc, Value::Int(st.count)));
        else
          results.push_back(st.acc);
      }
      Ctx c;
      std::vector<const Row*> none(n ? n : 1, &empty);
      c.rows = g.first.empty() ? none.data() : g.first.data();
      c.aggs = &results;
      if (g.first.empty()) {
        // No source row: only aggregates and constants may be evaluated.
        for (const OutCol& oc : outs)
          if (oc.expr && oc.expr->k == Expr::Col) c.rows = none.data();
      }
      if (q.having && Truth(*q.having, c) != 1) continue;
      emit(c);
    }
  }

  if (!order.empty()) {
    std::stable_sort(rows.begin(), rows.end(), [&](const OutRow& a, const OutRow& b) {
      for (std::size_t k = 0; k < order.size(); ++k) {
        const Value& x = a.keys[k];
        const Value& y = b.keys[k];
        int c;
        if (x.null() || y.null())
          c = x.null() == y.null() ? 0 : x.null() ? -1 : 1;
        else
          c = Compare(x, y);
        if (c != 0) return order[k].desc ? c > 0 : c < 0;
      }
      return false;
    });
  }
  if (q.distinct) {
    std::set<std::string> seen;
    std::vector<OutRow> kept;
    for (auto& r : rows) {
      std::string key;
      for (const Value& v : r.vals) {
        std::string part = KeyPart(v);
        key += std::to_string(part.size()) + ":" + part;
      }
      if (seen.insert(key).second) kept.push_back(std::move(r));
    }
    rows = std::move(kept);
  }
  if (q.top >= 0 && rows.size() > static_cast<std::size_t>(q.top)) rows.resize(q.top);

  for (std::size_t c = 0; c < res.columns.size(); ++c)
    if (res.columns[c].type == ColumnType::Other) {
      res.columns[c].type = ColumnType::VarChar;
      for (const auto& r : rows)
        if (!r.vals[c].null()) {
          res.columns[c].type = KindType(r.vals[c]);
          break;
        }
    }
  res.rows.reserve(rows.size());
  for (const auto& r : rows) {
    std::vector<std::optional<std::string>> out;
    out.reserve(r.vals.size());
    for (const Value& v : r.vals) {
      if (v.null())
        out.emplace_back(std::nullopt);
      else
        out.emplace_back(ToText(v));
    }
    res.rows.push_back(std::move(out));
  }
  return res;
}

// ---------------------------------------------------------------- DML

[[noreturn]] void Session::Fail515(const Table& t, const Column& c, const char* verb) const {
  throw Terminated(515, "Cannot insert the value NULL into column '" + c.name + "', table '" +
                            db_name_ + ".dbo." + t.name + "'; column does not allow nulls. " +
                            verb + " fails.");
}

Value Session::DefaultValue(const Column& c) {
  if (!c.default_expr) return Value::Null();
  Ctx ctx;
  return ConvertTo(Eval(*c.default_expr, ctx), c.type);
}

void Session::CheckUnique(const Table& t, const std::vector<Value>& vals, std::uint32_t self) {
  t.EnsureIndexes();
  for (const auto& ix : t.indexes) {
    if (!ix->unique) continue;
    if (t.IndexHasOther(*ix, t.KeyOfValues(*ix, vals), self)) {
      std::string shown;
      for (int c : ix->cols) shown += (shown.empty() ? "" : ", ") + ToText(vals[c]);
      if (ix->primary)
        throw Terminated(2627, "Violation of PRIMARY KEY constraint '" + ix->name +
                                   "'. Cannot insert duplicate key in object 'dbo." + t.name +
                                   "'. The duplicate key value is (" + shown + ").");
      throw Terminated(2601, "Cannot insert duplicate key row in object 'dbo." + t.name +
                                 "' with unique index '" + ix->name +
                                 "'. The duplicate key value is (" + shown + ").");
    }
  }
}

StatementResult Session::DoInsert(const Stmt& s) {
  if (SystemTable(cat_, s.table))
    throw SqlError(259, "Ad hoc updates to system catalogs are not allowed.");
  std::shared_ptr<Table> t = UserTable(s.table);
  int ident = t->IdentityColumn();
  std::vector<int> target;
  if (!s.names.empty()) {
    for (const std::string& n : s.names) {
      int c = t->FindColumn(n);
      if (c < 0) throw SqlError(207, "Invalid column name '" + n + "'.");
      if (std::find(target.begin(), target.end(), c) != target.end())
        throw SqlError(264,
                       "The column name '" + t->cols[c].name +
                           "' is specified more than once in the SET clause or column list of an "
                           "INSERT. A column cannot be assigned more than one value in the same "
                           "clause. Modify the clause to make sure that a column is updated only "
                           "once. If this statement updates or inserts columns into a view, column "
                           "aliasing can conceal the duplication in your statement.",
                       16);
      if (c == ident)
        throw SqlError(544, "Cannot insert explicit value for identity column in table '" +
                                t->name + "' when IDENTITY_INSERT is set to OFF.");
      target.push_back(c);
    }
  } else {
    for (std::size_t c = 0; c < t->cols.size(); ++c)
      if (static_cast<int>(c) != ident) target.push_back(static_cast<int>(c));
  }

  // The rows to insert, evaluated before any is inserted.
  std::vector<std::vector<Value>> input;
  if (s.select) {
    StatementResult r = DoSelect(*s.select);
    std::size_t width = r.columns.size();
    if (width != target.size()) {
      if (s.names.empty()) {
        if (ident >= 0 && width == t->cols.size())
          throw SqlError(
              8101,
              "An explicit value for the identity column in table '" + t->name +
                  "' can only be specified when a column list is used and IDENTITY_INSERT is ON.");
        throw SqlError(213,
                       "Column name or number of supplied values does not match table definition.");
      }
      throw SqlError(
          width < target.size() ? 120 : 121,
          width < target.size()
              ? "The select list for the INSERT statement contains fewer items than the insert "
                "list. The number of SELECT values must match the number of INSERT columns."
              : "The select list for the INSERT statement contains more items than the insert "
                "list. The number of SELECT values must match the number of INSERT columns.",
          15);
    }
    for (auto& row : r.rows) {
      std::vector<Value> vals;
      for (std::size_t c = 0; c < row.size(); ++c) {
        if (!row[c]) {
          vals.push_back(Value::Null());
          continue;
        }
        switch (r.columns[c].type) {
          case ColumnType::Int:
            vals.push_back(Value::Int(std::stoll(*row[c])));
            break;
          case ColumnType::DateTime:
            vals.push_back(ConvertTo(Value::Str(*row[c]), TypeSpec{Type::DateTime, 0, 0, 0}));
            break;
          case ColumnType::Numeric: {
            std::size_t dot = row[c]->find('.');
            int sc = dot == std::string::npos ? 0 : static_cast<int>(row[c]->size() - dot - 1);
            vals.push_back(ConvertTo(Value::Str(*row[c]), TypeSpec{Type::Numeric, 0, 18, sc}));
            break;
          }
          default:
            vals.push_back(Value::Str(*row[c]));
        }
      }
      input.push_back(std::move(vals));
    }
  } else {
    Ctx ctx;
    Scope scope;
    for (const auto& row : s.values) {
      if (row.size() != target.size()) {
        if (s.names.empty()) {
          if (ident >= 0 && row.size() == t->cols.size())
            throw SqlError(8101, "An explicit value for the identity column in table '" + t->name +
                                     "' can only be specified when a column list is used and "
                                     "IDENTITY_INSERT is ON.");
          throw SqlError(
              213, "Column name or number of supplied values does not match table definition.");
        }
        throw SqlError(
            row.size() < target.size() ? 109 : 110,
            row.size() < target.size()
                ? "There are more columns in the INSERT statement than values specified in the "
                  "VALUES clause. The number of values in the VALUES clause must match the number "
                  "of columns specified in the INSERT statement."
                : "There are fewer columns in the INSERT statement than values specified in the "
                  "VALUES clause. The number of values in the VALUES clause must match the number "
                  "of columns specified in the INSERT statement.",
            15);
      }
      std::vector<Value> vals;
      for (const auto& e : row) {
        Bind(*e, scope, nullptr);
        vals.push_back(Eval(*e, ctx));
      }
      input.push_back(std::move(vals));
    }
  }

  if (ident >= 0) {
    Undo u{};
    u.k = Undo::Identity;
    u.t = t;
    u.D().identity_next = t->identity_next;
    u.D().identity_used = t->identity_used;
    undo_.push_back(std::move(u));
  }
  std::vector<Value> full(t->cols.size());
  for (auto& in : input) {
    std::vector<bool> given(t->cols.size(), false);
    for (std::size_t k = 0; k < target.size(); ++k) {
      given[target[k]] = true;
      full[target[k]] = ConvertTo(in[k], t->cols[target[k]].type);
    }
    for (std::size_t c = 0; c < t->cols.size(); ++c) {
      const Column& col = t->cols[c];
      if (static_cast<int>(c) == ident) {
        if (!t->identity_used) {
          t->identity_next = col.seed;
          t->identity_used = true;
        }
        full[c] = Value::Int(t->identity_next);
        t->identity_next += col.increment;
      } else if (!given[c]) {
        full[c] = DefaultValue(col);
      }
      if (full[c].null() && !col.nullable) Fail515(*t, col, "INSERT");
    }
    CheckUnique(*t, full, UINT32_MAX);
    auto slot = static_cast<std::uint32_t>(t->rows.size());
    t->rows.emplace_back(EncodeRow(full));
    ++t->live;
    t->IndexRow(slot);
    Undo u{};
    u.k = Undo::RowIns;
    u.t = t;
    u.slot = slot;
    undo_.push_back(std::move(u));
  }
  StatementResult r;
  r.rows_affected = static_cast<std::int64_t>(input.size());
  return r;
}

StatementResult Session::DoUpdate(const Stmt& s) {
  if (SystemTable(cat_, s.table))
    throw SqlError(259, "Ad hoc updates to system catalogs are not allowed.");
  std::shared_ptr<Table> t = UserTable(s.table);
  Scope scope;
  scope.srcs.push_back({t, t->name});
  std::vector<int> cols;
  for (const auto& [name, e] : s.sets) {
    int c = t->FindColumn(name);
    if (c < 0) throw SqlError(207, "Invalid column name '" + name + "'.");
    if (t->cols[c].identity)
      throw SqlError(8102, "Cannot update identity column '" + t->cols[c].name + "'.");
    cols.push_back(c);
    Bind(*e, scope, nullptr);
  }
  std::vector<std::uint32_t> slots = MatchingSlots(t, s.where.get(), scope);
  StatementResult r;
  r.rows_affected = static_cast<std::int64_t>(slots.size());
  if (slots.empty()) return r;

  // The changed columns in ascending order; a column set twice takes the last value.
  std::vector<int> changed(cols);
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  std::vector<std::size_t> source(changed.size());
  for (std::size_t k = 0; k < cols.size(); ++k)
    source[std::lower_bound(changed.begin(), changed.end(), cols[k]) - changed.begin()] = k;
  std::vector<Index*> affected = IndexesOver(*t, changed);
  if (!affected.empty()) t->EnsureIndexes();

  // Only the old values of the changed columns are kept for undo, and a row
  // is changed in place when its new values have the old sizes.
  Undo entry{};
  entry.k = Undo::RowPatch;
  entry.t = t;
  entry.patch = std::make_unique<PatchLog>();
  PatchLog& log = *entry.patch;
  log.cols = changed;
  undo_.push_back(std::move(entry));

  std::vector<Value> vals, fresh(cols.size());
  std::vector<std::string> old_keys(affected.size());
  std::string enc;
  const Row* row[1];
  Ctx ctx;
  ctx.rows = row;
  for (std::uint32_t slot : slots) {
    Row& cur = t->rows[slot];
    row[0] = &cur;
    for (std::size_t k = 0; k < cols.size(); ++k) {
      fresh[k] = ConvertTo(Eval(*s.sets[k].second, ctx), t->cols[cols[k]].type);
      if (fresh[k].null() && !t->cols[cols[k]].nullable) Fail515(*t, t->cols[cols[k]], "UPDATE");
    }
    enc.clear();
    for (std::size_t j = 0; j < changed.size(); ++j) EncodeValue(enc, fresh[source[j]]);
    if (!affected.empty()) {
      DecodeRow(cur, &vals);
      for (std::size_t k = 0; k < cols.size(); ++k) vals[cols[k]] = fresh[k];
      for (std::size_t k = 0; k < affected.size(); ++k) {
        old_keys[k] = t->KeyOf(*affected[k], cur);
        t->IndexRemove(*affected[k], old_keys[k], slot);
      }
      try {
        CheckUnique(*t, vals, slot);
      } catch (...) {
        for (std::size_t k = 0; k < affected.size(); ++k)
          t->IndexAdd(*affected[k], old_keys[k], slot);
        throw;
      }
    }
    std::string& out = log.Room(enc.size() + 8);
    std::size_t before = out.size();
    AppendColumns(cur, changed, out);
    auto len = static_cast<std::uint32_t>(out.size() - before);
    out.append(reinterpret_cast<const char*>(&len), 4);
    out.append(reinterpret_cast<const char*>(&slot), 4);
    PatchRow(cur, changed, enc);
    for (Index* ix : affected) t->IndexAdd(*ix, t->KeyOf(*ix, cur), slot);
  }
  return r;
}

StatementResult Session::DoDelete(const Stmt& s) {
  if (SystemTable(cat_, s.table))
    throw SqlError(259, "Ad hoc updates to system catalogs are not allowed.");
  std::shared_ptr<Table> t = UserTable(s.table);
  Scope scope;
  scope.srcs.push_back({t, t->name});
  std::vector<std::uint32_t> slots = MatchingSlots(t, s.where.get(), scope);
  for (std::uint32_t slot : slots) {
    t->UnindexRow(slot);
    Undo u{};
    u.k = Undo::RowDel;
    u.t = t;
    u.slot = slot;
    u.old = std::move(t->rows[slot]);
    t->rows[slot].clear();
    --t->live;
    undo_.push_back(std::move(u));
  }
  StatementResult r;
  r.rows_affected = static_cast<std::int64_t>(slots.size());
  return r;
}

StatementResult Session::DoExec(const Stmt& s) {
  StatementResult r;
  std::string n = Lower(s.name);
  if (n == "sp_getapplock") {
    // One session per database file: the lock is always granted at once.
    r.has_result_set = false;
    r.rows_affected = -1;
    return r;
  }
  if (n == "sp_releaseapplock") return r;
  Object* o = cat_.FindObject(s.name);
  if (!o || o->xtype != "P")
    throw SqlError(2812, "Could not find stored procedure '" + s.name + "'.");
  return r;
}

// ---------------------------------------------------------------- DDL

void Session::AddDefault(const Table& t, Column& col, const std::string& name,
                         const std::string& text) {
  Object o;
  o.id = NewId();
  o.name = name.empty() ? DefaultName(t, col, o.id) : name;
  if (cat_.NameTaken(o.name))
    throw WithFollow(
        SqlError(2714, "There is already an object named '" + o.name + "' in the database."), 1750,
        16, "Could not create constraint or index. See previous errors.");
  o.xtype = "D";
  o.parent = t.id;
  o.crdate = now_;
  col.default_id = o.id;
  col.default_text = text;
  col.default_expr = ParseExpression(text);
  Scope none;
  Bind(*col.default_expr, none, nullptr);
  cat_.objects.push_back(o);
}

std::string Session::DefaultName(const Table& t, const Column& c, int id) const {
  std::string tp = t.name.substr(0, std::min<std::size_t>(9, t.name.size()));
  std::string cp = c.name.substr(0, std::min<std::size_t>(c.name.size(), 14 - tp.size()));
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(id));
  return "DF__" + tp + "__" + cp + "__" + hex;
}

namespace {

void ValidateColumnType(const ColumnDef& d) {
  if (d.identity && d.type.type != Type::Int && d.type.type != Type::SmallInt &&
      d.type.type != Type::TinyInt && !(d.type.type == Type::Numeric && d.type.scale == 0))
    throw SqlError(2749, "Identity column '" + d.name +
                             "' must be of data type int, bigint, smallint, tinyint, or decimal or "
                             "numeric with a scale of 0, and constrained to be nonnullable.");
}

}  // namespace

void Session::DoCreateTable(const Stmt& s) {
  if (cat_.NameTaken(s.table))
    throw SqlError(2714, "There is already an object named '" + s.table + "' in the database.");
  SchemaSnapshot();
  auto t = std::make_shared<Table>();
  t->name = s.table;
  t->id = NewId();
  t->crdate = now_;
  std::string pk_name = s.name;
  std::vector<std::string> pk_cols = s.names;
  bool pk_clustered = s.clustered;
  bool has_pk = !s.names.empty();
  int identities = 0;
  for (const ColumnDef& d : s.columns) {
    ValidateColumnType(d);
    if (t->FindColumn(d.name) >= 0)
      throw SqlError(2705, "Column names in each table must be unique. Column name '" + d.name +
                               "' in table '" + s.table + "' is specified more than once.");
    if (d.identity && ++identities > 1)
      throw SqlError(2744, "Multiple identity columns specified for table '" + s.table +
                               "'. Only one identity column per table is allowed.");
    Column c;
    c.name = d.name;
    c.type = d.type;
    c.nullable = !d.not_null && !d.identity;
    c.identity = d.identity;
    c.seed = d.seed;
    c.increment = d.increment;
    if (d.primary_key) {
      if (has_pk)
        throw WithFollow(SqlError(8110, "Cannot add multiple PRIMARY KEY constraints to table '" +
                                            s.table + "'."),
                         1750, 16, "Could not create constraint or index. See previous errors.");
      has_pk = true;
      pk_name = d.pk_name;
      pk_cols = {d.name};
      pk_clustered = d.clustered;
    }
    t->cols.push_back(std::move(c));
  }
  for (std::size_t k = 0; k < s.columns.size(); ++k) {
    const ColumnDef& d = s.columns[k];
    if (!d.def) continue;
    AddDefault(*t, t->cols[k], d.def_name, d.def_text);
  }
  cat_.tables[Fold(t->name)] = t;
  if (has_pk) {
    Stmt pk;
    pk.k = Stmt::AlterAddPk;
    pk.table = t->name;
    if (pk_name.empty()) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(cat_.next_id));
      pk_name = "PK__" + t->name.substr(0, std::min<std::size_t>(t->name.size(), 8)) + "__" + hex;
    }
    pk.name = pk_name;
    pk.names = pk_cols;
    pk.clustered = pk_clustered;
    // Key columns written without NULL become NOT NULL, as on SQL Server.
    for (const std::string& n : pk_cols) {
      int c = t->FindColumn(n);
      if (c < 0)
        throw SqlError(1911, "Column name '" + n + "' does not exist in the target table or view.");
      bool explicit_null = false;
      for (const ColumnDef& d : s.columns)
        if (Fold(d.name) == Fold(n)) explicit_null = d.null_given && !d.not_null;
      if (!explicit_null) t->cols[c].nullable = false;
    }
    DoAddPk(pk);
  }
}

void Session::DoDropTable(const Stmt& s) {
  for (const std::string& n : s.names) {
    auto t = cat_.FindTable(n);
    if (!t)
      throw SqlError(3701,
                     "Cannot drop the table '" + n +
                         "', because it does not exist or you do not have permission.",
                     11);
    SchemaSnapshot();
    cat_.tables.erase(Fold(n));
    std::erase_if(cat_.objects, [&](const Object& o) { return o.parent == t->id; });
  }
}

void Session::DoCreateIndex(const Stmt& s) {
  auto t = cat_.FindTable(s.table);
  if (!t)
    throw SqlError(1088, "Cannot find the object \"" + s.table +
                             "\" because it does not exist or you do not have permissions.");
  if (t->FindIndex(s.name))
    throw SqlError(1913, "The operation failed because an index or statistics with name '" +
                             s.name + "' already exists on table '" + t->name + "'.");
  auto ix = std::make_unique<Index>();
  ix->name = s.name;
  ix->unique = s.unique;
  ix->clustered = s.clustered;
  for (const std::string& n : s.names) {
    int c = t->FindColumn(n);
    if (c < 0)
      throw SqlError(1911, "Column name '" + n + "' does not exist in the target table or view.");
    Type ty = t->cols[c].type.type;
    if (ty == Type::Text || ty == Type::Image)
      throw SqlError(1919,
                     "Column '" + t->cols[c].name + "' in table '" + t->name +
                         "' is of a type that is invalid for use as a key column in an index.");
    ix->cols.push_back(c);
  }
  if (s.clustered)
    for (const auto& other : t->indexes)
      if (other->clustered)
        throw SqlError(1902, "Cannot create more than one clustered index on table '" + t->name +
                                 "'. Drop the existing clustered index '" + other->name +
                                 "' before creating another.");
  int indid = s.clustered ? 1 : 2;
  if (!s.clustered)
    for (bool clash = true; clash;) {
      clash = false;
      for (const auto& other : t->indexes)
        if (other->indid == indid) {
          ++indid;
          clash = true;
        }
    }
  ix->indid = indid;
  t->RebuildIndex(*ix);
  if (ix->unique) {
    std::uint32_t slot = t->IndexDuplicate(*ix);
    if (slot != UINT32_MAX) {
      std::string shown;
      for (int c : ix->cols)
        shown += (shown.empty() ? "" : ", ") + ToText(GetColumn(t->rows[slot], c));
      throw SqlError(1505,
                     "The CREATE UNIQUE INDEX statement terminated because a duplicate key was "
                     "found for the object name 'dbo." +
                         t->name + "' and the index name '" + ix->name +
                         "'. The duplicate key value is (" + shown + ").");
    }
  }
  Undo u{};
  u.k = Undo::IndexAdded;
  u.t = t;
  u.D().index_name = ix->name;
  t->indexes.push_back(std::move(ix));
  undo_.push_back(std::move(u));
}

void Session::DoDropIndex(const Stmt& s) {
  for (const std::string& full : s.names) {
    std::size_t dot = full.find('.');
    std::string tn = full.substr(0, dot), in = full.substr(dot + 1);
    auto t = cat_.FindTable(tn);
    Index* ix = t ? t->FindIndex(in) : nullptr;
    if (!ix)
      throw SqlError(3701,
                     "Cannot drop the index '" + full +
                         "', because it does not exist or you do not have permission.",
                     11);
    if (ix->primary)
      throw SqlError(3723, "An explicit DROP INDEX is not allowed on index '" + full +
                               "'. It is being used for PRIMARY KEY constraint enforcement.");
    Undo u{};
    u.k = Undo::IndexDropped;
    u.t = t;
    for (auto it = t->indexes.begin(); it != t->indexes.end(); ++it)
      if (it->get() == ix) {
        u.D().index = std::move(*it);
        t->indexes.erase(it);
        break;
      }
    undo_.push_back(std::move(u));
  }
}

void Session::DoAlterAdd(const Stmt& s) {
  auto old = UserTable(s.table);
  for (std::size_t k = 0; k < s.columns.size(); ++k) {
    const ColumnDef& d = s.columns[k];
    ValidateColumnType(d);
    bool dup = old->FindColumn(d.name) >= 0;
    for (std::size_t j = 0; j < k; ++j) dup = dup || Fold(s.columns[j].name) == Fold(d.name);
    if (dup)
      throw SqlError(2705, "Column names in each table must be unique. Column name '" + d.name +
                               "' in table '" + old->name + "' is specified more than once.");
    if (d.identity && old->IdentityColumn() >= 0)
      throw SqlError(2744, "Multiple identity columns specified for table '" + old->name +
                               "'. Only one identity column per table is allowed.");
    if (d.not_null && !d.def && !d.identity && old->live > 0)
      throw SqlError(
          4901,
          "ALTER TABLE only allows columns to be added that can contain nulls, or have a DEFAULT "
          "definition specified, or the column being added is an identity or timestamp column, or "
          "alternatively if none of the previous conditions are satisfied the table must be empty "
          "to allow addition of this column. Column '" +
              d.name + "' cannot be added to non-empty table '" + old->name +
              "' because it does not satisfy these conditions.");
    if (d.primary_key)
      throw SqlError(1750, "Could not create constraint or index. See previous errors.");
  }
  SchemaSnapshot();
  auto t = old->Clone();
  for (const ColumnDef& d : s.columns) {
    Column c;
    c.name = d.name;
    c.type = d.type;
    c.nullable = !d.not_null && !d.identity;
    c.identity = d.identity;
    c.seed = d.seed;
    c.increment = d.increment;
    if (d.def) AddDefault(*t, c, d.def_name, d.def_text);
    // Existing rows: the identity sequence, the default for a NOT NULL column,
    // NULL otherwise (SQL Server leaves a nullable column NULL without WITH VALUES).
    Value fill;
    if (!c.identity && !c.nullable) fill = DefaultValue(c);
    std::string enc = EncodeRow({fill});
    for (Row& row : t->rows) {
      if (row.empty()) continue;
      if (c.identity) {
        if (!t->identity_used) {
          t->identity_next = c.seed;
          t->identity_used = true;
        }
        row.append(EncodeRow({Value::Int(t->identity_next)}));
        t->identity_next += c.increment;
      } else {
        row.append(enc);
      }
    }
    t->cols.push_back(std::move(c));
  }
  cat_.tables[Fold(t->name)] = t;
}

void Session::DoAlterColumn(const Stmt& s) {
  auto old = UserTable(s.table);
  const ColumnDef& d = s.columns[0];
  int c = old->FindColumn(d.name);
  if (c < 0)
    throw SqlError(4924, "ALTER TABLE ALTER COLUMN failed because column '" + d.name +
                             "' does not exist in table '" + old->name + "'.");
  const Column& col = old->cols[c];
  bool same_type = col.type.type == d.type.type;
  bool widening_varchar =
      same_type && d.type.type == Type::VarChar && d.type.length >= col.type.length;
  for (const auto& ix : old->indexes) {
    if (std::find(ix->cols.begin(), ix->cols.end(), c) == ix->cols.end()) continue;
    bool unchanged = same_type && d.type.length == col.type.length &&
                     d.type.precision == col.type.precision && d.type.scale == col.type.scale;
    if (unchanged && !ix->primary) continue;
    if (widening_varchar && !ix->primary) continue;
    throw Dependent(ix->primary ? "object" : "index", ix->name, col.name, "ALTER COLUMN");
  }
  if (col.default_id && !same_type) {
    for (const Object& o : cat_.objects)
      if (o.id == col.default_id) throw Dependent("object", o.name, col.name, "ALTER COLUMN");
  }
  if (col.identity)
    throw SqlError(4928, "Cannot alter column '" + col.name + "' because it is 'IDENTITY'.");
  SchemaSnapshot();
  auto t = old->Clone();
  Column& nc = t->cols[c];
  nc.type = d.type;
  nc.nullable = !d.not_null;
  std::vector<Value> vals;
  for (Row& row : t->rows) {
    if (row.empty()) continue;
    DecodeRow(row, &vals);
    Value v = ConvertTo(vals[c], d.type);
    if (v.null() && !nc.nullable) Fail515(*t, nc, "UPDATE");
    vals[c] = std::move(v);
    row.assign(EncodeRow(vals));
  }
  for (auto& ix : t->indexes) t->RebuildIndex(*ix);
  t->indexes_stale = false;
  cat_.tables[Fold(t->name)] = t;
}

void Session::DoDropColumn(const Stmt& s) {
  auto old = UserTable(s.table);
  for (const std::string& n : s.names) {
    int c = old->FindColumn(n);
    if (c < 0)
      throw SqlError(4924, "ALTER TABLE DROP COLUMN failed because column '" + n +
                               "' does not exist in table '" + old->name + "'.");
    const Column& col = old->cols[c];
    if (col.default_id)
      for (const Object& o : cat_.objects)
        if (o.id == col.default_id) throw Dependent("object", o.name, col.name, "DROP COLUMN");
    for (const auto& ix : old->indexes)
      if (std::find(ix->cols.begin(), ix->cols.end(), c) != ix->cols.end())
        throw Dependent(ix->primary ? "object" : "index", ix->name, col.name, "DROP COLUMN");
  }
  if (s.names.size() >= old->cols.size())
    throw SqlError(4923, "ALTER TABLE DROP COLUMN failed because '" + s.names.back() +
                             "' is the only data column in table '" + old->name +
                             "'. A table must have at least one data column.");
  SchemaSnapshot();
  auto t = old->Clone();
  for (const std::string& n : s.names) {
    int c = t->FindColumn(n);
    std::vector<Value> vals;
    for (Row& row : t->rows) {
      if (row.empty()) continue;
      DecodeRow(row, &vals);
      vals.erase(vals.begin() + c);
      row.assign(EncodeRow(vals));
    }
    t->cols.erase(t->cols.begin() + c);
    for (auto& ix : t->indexes)
      for (int& ic : ix->cols)
        if (ic > c) --ic;
    if (t->IdentityColumn() < 0) t->identity_used = false;
  }
  cat_.tables[Fold(t->name)] = t;
}

void Session::DoAddPk(const Stmt& s) {
  auto t = UserTable(s.table);
  const std::string follow = "Could not create constraint or index. See previous errors.";
  if (cat_.NameTaken(s.name))
    throw WithFollow(
        SqlError(2714, "There is already an object named '" + s.name + "' in the database."), 1750,
        16, follow);
  for (const auto& ix : t->indexes)
    if (ix->primary)
      throw WithFollow(
          SqlError(1779, "Table '" + t->name + "' already has a primary key defined on it."), 1750,
          16, follow);
  std::vector<int> cols;
  for (const std::string& n : s.names) {
    int c = t->FindColumn(n);
    if (c < 0)
      throw WithFollow(
          SqlError(1911, "Column name '" + n + "' does not exist in the target table or view."),
          1750, 16, follow);
    if (t->cols[c].nullable)
      throw WithFollow(
          SqlError(8111, "Cannot define PRIMARY KEY constraint on nullable column in table '" +
                             t->name + "'."),
          1750, 16, follow);
    cols.push_back(c);
  }
  SchemaSnapshot();
  Object o;
  o.id = NewId();
  o.name = s.name;
  o.xtype = "PK";
  o.parent = t->id;
  o.crdate = now_;
  cat_.objects.push_back(o);
  Stmt ci;
  ci.k = Stmt::CreateIndex;
  ci.table = t->name;
  ci.name = s.name;
  ci.names = s.names;
  ci.unique = true;
  ci.clustered = s.clustered;
  try {
    DoCreateIndex(ci);
  } catch (Error& e) {
    throw WithFollow(e, 1750, 16, follow);
  }
  t->FindIndex(s.name)->primary = true;
}

void Session::DoAddDefault(const Stmt& s) {
  auto t = UserTable(s.table);
  const ColumnDef& d = s.columns[0];
  int c = t->FindColumn(d.name);
  const std::string follow = "Could not create constraint or index. See previous errors.";
  if (c < 0)
    throw SqlError(1752, "Column '" + d.name + "' in table '" + t->name +
                             "' is invalid for creating a default constraint.");
  if (cat_.NameTaken(s.name))
    throw WithFollow(
        SqlError(2714, "There is already an object named '" + s.name + "' in the database."), 1750,
        16, follow);
  if (t->cols[c].default_id)
    throw WithFollow(SqlError(1781, "Column already has a DEFAULT bound to it."), 1750, 16, follow);
  SchemaSnapshot();
  Undo u{};
  u.k = Undo::ColumnDefault;
  u.t = t;
  u.D().col = c;
  u.D().column = t->cols[c];
  undo_.push_back(std::move(u));
  AddDefault(*t, t->cols[c], s.name, d.def_text);
}

void Session::DoDropConstraint(const Stmt& s) {
  auto t = UserTable(s.table);
  Object* o = cat_.FindObject(s.name);
  if (!o || o->parent != t->id)
    throw WithFollow(SqlError(3728, "'" + s.name + "' is not a constraint."), 3727, 16,
                     "Could not drop constraint. See previous errors.");
  Object gone = *o;
  SchemaSnapshot();
  std::erase_if(cat_.objects, [&](const Object& x) { return x.id == gone.id; });
  if (gone.xtype == "D") {
    for (std::size_t c = 0; c < t->cols.size(); ++c)
      if (t->cols[c].default_id == gone.id) {
        Undo u{};
        u.k = Undo::ColumnDefault;
        u.t = t;
        u.D().col = static_cast<int>(c);
        u.D().column = t->cols[c];
        undo_.push_back(std::move(u));
        t->cols[c].default_id = 0;
        t->cols[c].default_text.clear();
        t->cols[c].default_expr.reset();
      }
  } else if (gone.xtype == "PK" || gone.xtype == "UQ") {
    Undo u{};
    u.k = Undo::IndexDropped;
    u.t = t;
    for (auto it = t->indexes.begin(); it != t->indexes.end(); ++it)
      if (Fold((*it)->name) == Fold(gone.name)) {
        u.D().index = std::move(*it);
        t->indexes.erase(it);
        break;
      }
    if (u.D().index) undo_.push_back(std::move(u));
  }
}

void Session::DoCreateObject(const Stmt& s) {
  if (cat_.NameTaken(s.name))
    throw SqlError(2714, "There is already an object named '" + s.name + "' in the database.");
  SchemaSnapshot();
  Object o;
  o.id = NewId();
  o.name = s.name;
  o.xtype = s.xtype;
  o.crdate = now_;
  o.text = s.body;
  cat_.objects.push_back(o);
}

void Session::DoDropObject(const Stmt& s) {
  const char* kind = s.xtype == "V" ? "view" : s.xtype == "TR" ? "trigger" : "procedure";
  for (const std::string& n : s.names) {
    Object* o = cat_.FindObject(n);
    if (!o || o->xtype != s.xtype)
      throw SqlError(3701,
                     std::string("Cannot drop the ") + kind + " '" + n +
                         "', because it does not exist or you do not have permission.",
                     11);
    int id = o->id;
    SchemaSnapshot();
    std::erase_if(cat_.objects, [&](const Object& x) { return x.id == id; });
  }
}

}  // namespace engine
