// Binding of names in expressions to the tables of a statement, and evaluation
// of expressions, conditions, built-in functions and subqueries.
#include <algorithm>
#include <cmath>
#include <random>
#include <cstdio>
#include <set>

#include "engine/ascii.h"
#include "engine/session_internal.h"
#include "engine/temp_tables.h"

namespace engine {

namespace {

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

}  // namespace

std::shared_ptr<Table> Session::UserTable(const std::string& name) {
  // Locked by name before it is looked up: a table another session drops or
  // makes in its transaction is waited for, not missed or seen half made.
  if (!replaying_) Lock(Fold(name), false);
  auto t = cat_.FindTable(name);
  if (!t) throw SqlError(208, "Invalid object name '" + name + "'.");
  return t;
}

std::shared_ptr<Table> Session::AnyTable(const std::string& name) {
  if (cte_stmt_ || !cte_rounds_.empty())
    if (auto cte = CteTable(name)) return cte;
  if (auto sys = SystemTable(cat_, name)) {
    // The catalogue as of the changes committed: wait for a transaction
    // that adds or drops objects.
    if (!replaying_) Lock(LockTable::kCatalog, false);
    return sys;
  }
  if (auto view = SessionView(name)) return view;
  if (!replaying_) Lock(Fold(name), false);
  if (!cat_.FindTable(name))
    if (const Object* o = cat_.FindObject(name); o && o->xtype == "V") return ViewTable(*o);
  return UserTable(name);
}

std::shared_ptr<Table> Session::ViewTable(const Object& view) {
  std::vector<std::string> names;
  // The parsed query lives as long as the statement: subqueries are known
  // by their expressions' addresses while it runs.
  statement_views_.push_back(ParseView(view.text, &names));
  return DerivedTable(*statement_views_.back(), view.name, names);
}

void Session::Bind(Expr& e, Scope& scope, std::vector<Expr*>* aggs) {
  if (e.k == Expr::Col) {
    // A qualifier names a source by its alias: a table given an alias in a
    // FROM clause is no longer named by its own name there, so an inner
    // query's "t1 AS x" leaves "t1.b" to an enclosing query's t1.
    e.src = e.col = -1;
    e.outer = 0;
    for (std::size_t s = 0; s < scope.srcs.size(); ++s) {
      const Source& src = scope.srcs[s];
      if (!e.qual.empty() && !FoldedEqual(e.qual, src.alias)) continue;
      int c = src.t->FindColumn(e.name);
      if (c < 0) continue;
      if (e.src >= 0) throw SqlError(209, "Ambiguous column name '" + e.name + "'.");
      e.src = static_cast<int>(s);
      e.col = c;
    }
    // Not a column of this query: a column of an enclosing one, innermost
    // first (a correlated subquery).
    for (std::size_t f = outer_.size(); e.src < 0 && f-- > 0;) {
      if (!outer_[f].scope) continue;
      for (std::size_t s = 0; s < outer_[f].scope->srcs.size(); ++s) {
        const Source& src = outer_[f].scope->srcs[s];
        if (!e.qual.empty() && !FoldedEqual(e.qual, src.alias)) continue;
        int c = src.t->FindColumn(e.name);
        if (c < 0) continue;
        if (e.src >= 0) throw SqlError(209, "Ambiguous column name '" + e.name + "'.");
        e.src = static_cast<int>(s);
        e.col = c;
        e.outer = static_cast<int>(outer_.size() - f);
      }
      if (e.src >= 0) ++outer_binds_;
    }
    if (e.src < 0) {
      if (!e.qual.empty()) {
        bool known = false;
        for (const Source& src : scope.srcs)
          known = known || FoldedEqual(e.qual, src.alias);
        for (const Outer& o : outer_)
          if (o.scope)
            for (const Source& src : o.scope->srcs)
              known = known || FoldedEqual(e.qual, src.alias);
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
        "db_name", "nullif",    "round", "floor",      "ceiling", "xact_state",
        "db_id",   "serverproperty", "databasepropertyex", "collationproperty", "is_member",
        "has_perms_by_name", "host_name", "app_name", "suser_sname", "index_col",
        "error_number", "error_message", "error_severity", "error_state", "error_line",
        "error_procedure", "scope_identity", "ident_current", "ident_seed", "ident_incr",
        "replicate", "power", "rand", "unicode", "user_name", "reverse", "stuff"};
    if (!kKnown.count(e.name))
      throw SqlError(195, "'" + e.name + "' is not a recognized built-in function name.");
  }
  for (auto& a : e.args)
    if (a) Bind(*a, scope, aggs);
  // Subqueries bind in their own scope when they run.
}

void Session::SubqueryRows(const Select& q, const Ctx& ctx,
                           const std::function<void(std::vector<Value>&)>& sink) {
  outer_.push_back({scopes_.empty() ? nullptr : scopes_.back(), &ctx});
  struct Pop {
    std::vector<Outer>& v;
    ~Pop() { v.pop_back(); }
  } pop{outer_};
  std::vector<ResultColumn> columns;
  SelectRows(q, &columns, sink);
}

const std::vector<Value>& Session::SubqueryValues(const Expr& e, const Ctx& ctx) {
  auto it = subquery_cache_.find(&e);
  if (it != subquery_cache_.end() && !correlated_.count(&e)) return it->second;
  const Select& q = *e.sub;
  const Select& first = Leftmost(q);
  if (first.items.size() != 1 || first.items[0].star) {
    if (e.k != Expr::Exists)
      throw SqlError(116,
                     "Only one expression can be specified in the select list when the subquery is "
                     "not introduced with EXISTS.");
  }
  std::vector<Value> vals;
  const int binds_before = outer_binds_;
  SubqueryRows(q, ctx, [&](std::vector<Value>& row) {
    vals.push_back(row.empty() ? Value::Null() : std::move(row[0]));
  });
  // A subquery that names a column of an enclosing query runs again for
  // every row; any other runs once per statement.
  if (outer_binds_ != binds_before) correlated_.insert(&e);
  auto& slot = subquery_cache_[&e];
  slot = std::move(vals);
  return slot;
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
        for (const Value& v : SubqueryValues(e, ctx)) {
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
      bool any = false;
      SubqueryRows(*e.sub, ctx, [&](std::vector<Value>&) { any = true; });
      return any ? 1 : 0;
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
      if (e.outer > 0) return GetColumn(*outer_[outer_.size() - e.outer].ctx->rows[e.src], e.col);
      return GetColumn(*ctx.rows[e.src], e.col);
    case Expr::Var:
      if (auto v = vars_.find(e.name); v != vars_.end()) return v->second.value;
      if (e.name == "@@spid") return Value::Int(spid);
      if (e.name == "@@servername") return Value::Str(ServerName());
      if (e.name == "@@trancount") return Value::Int(trancount_);
      if (e.name == "@@rowcount") return Value::Int(rowcount_);
      if (e.name == "@@error") return Value::Int(last_error_);
      if (e.name == "@@identity") return identity_ ? Value::Num(*identity_, 0) : Value::Null();
      if (e.name == "@@nestlevel") return Value::Int(static_cast<std::int64_t>(procedure_names_.size()));
      if (e.name == "@@version") return Value::Str("Embedded SQL Server stand-in");
      throw SqlError(137, "Must declare the scalar variable \"" + e.name + "\".", 15);
    case Expr::Neg: {
      Value v = Eval(*e.args[0], ctx);
      if (v.null()) return v;
      if (e.op == "~") return Bitwise('~', Value::Int(0), v);
      return Arith('-', Value::Int(0), v);
    }
    case Expr::Arith: {
      Value a = Eval(*e.args[0], ctx);
      Value b = Eval(*e.args[1], ctx);
      if (a.null() || b.null()) return Value::Null();
      if (e.op == "&" || e.op == "|" || e.op == "^") return Bitwise(e.op[0], a, b);
      return Arith(e.op[0], a, b);
    }
    case Expr::Agg:
      return (*ctx.aggs)[e.slot];
    case Expr::Cast: {
      Value v = Eval(*e.args[0], ctx);
      return CastTo(v, e.type);
    }
    case Expr::Subquery: {
      const auto& vals = SubqueryValues(e, ctx);
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
  if (f == "db_name" && e.args.empty()) return Value::Str(db_name_);
  if (f == "db_id" && e.args.empty()) return Value::Int(shared ? shared->db_id : 5);
  if (f == "host_name" || f == "app_name" || f == "suser_sname") {
    arity(0, 0);
    if (!shared || !shared->sessions.count(spid)) return Value::Null();
    const SessionInfo& me = shared->sessions.at(spid);
    const std::string& v = f == "host_name"  ? me.host_name
                           : f == "app_name" ? me.program_name
                                             : me.login_name;
    return v.empty() ? Value::Null() : Value::Str(v);
  }
  if (f == "scope_identity") {
    arity(0, 0);
    return scope_identity_ ? Value::Num(*scope_identity_, 0) : Value::Null();
  }
  if (f == "xact_state") {
    arity(0, 0);
    return Value::Int(trancount_ == 0 ? 0 : doomed_ ? -1 : 1);
  }
  if (f.rfind("error_", 0) == 0) {
    // The error the innermost CATCH block handles; NULL outside one.
    arity(0, 0);
    if (handling_.empty()) return Value::Null();
    const Handling& h = handling_.back();
    if (f == "error_procedure") return h.procedure.empty() ? Value::Null() : Value::Str(h.procedure);
    if (f == "error_message") return Value::Str(h.message);
    return Value::Int(f == "error_number"     ? h.number
                      : f == "error_severity" ? h.severity
                      : f == "error_state"    ? h.state
                                              : h.line);
  }
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
  if (f == "user_name") {
    // The database's one user, dbo (id 1); NULL for any other id.
    arity(0, 1);
    if (a.empty()) return Value::Str("dbo");
    return !a[0].null() && integer(a[0]) == 1 ? Value::Str("dbo") : Value::Null();
  }
  if (f == "rand") {
    // Once per statement wherever it stands, as SQL Server evaluates it; a
    // seed starts the session's sequence anew.
    arity(0, 1);
    std::vector<Value>& kept = subquery_cache_[&e];
    if (kept.empty()) {
      if (!a.empty() && !a[0].null())
        random_.seed(static_cast<std::uint64_t>(integer(a[0])));
      else if (!random_seeded_)
        random_.seed(static_cast<std::uint64_t>(now_) ^ static_cast<std::uint64_t>(spid));
      random_seeded_ = true;
      kept.push_back(Value::Float(std::uniform_real_distribution<double>(0.0, 1.0)(random_)));
    }
    return kept[0];
  }
  for (const Value& v : a)
    if (v.null()) return Value::Null();
  if (f == "replicate") {
    arity(2, 2);
    const std::int64_t n = integer(a[1]);
    if (n < 0) return Value::Null();
    const std::string s = str(a[0]);
    std::string out;
    for (std::int64_t k = 0; k < n && out.size() < 8000; ++k) out += s;
    if (out.size() > 8000) out.resize(8000);  // a varchar's most, as SQL Server cuts it
    return Value::Str(out);
  }
  if (f == "reverse") {
    arity(1, 1);
    const std::string s = str(a[0]);
    std::vector<std::size_t> st = CharStarts(s);
    std::string out;
    for (std::size_t k = st.size(); k-- > 0;)
      out += s.substr(st[k], (k + 1 < st.size() ? st[k + 1] : s.size()) - st[k]);
    return Value::Str(out);
  }
  if (f == "stuff") {
    // STUFF(s, start, length, replacement): NULL for a start outside s or
    // a negative length.
    arity(4, 4);
    const std::string s = str(a[0]);
    std::vector<std::size_t> st = CharStarts(s);
    const std::int64_t start = integer(a[1]), len = integer(a[2]);
    if (start < 1 || start > static_cast<std::int64_t>(st.size()) || len < 0)
      return Value::Null();
    const std::size_t from = st[start - 1];
    const std::int64_t last = start - 1 + len;  // first character kept after the cut
    const std::size_t to = last >= static_cast<std::int64_t>(st.size()) ? s.size() : st[last];
    return Value::Str(s.substr(0, from) + str(a[3]) + s.substr(to));
  }
  if (f == "unicode") {
    arity(1, 1);
    const std::string s = str(a[0]);
    if (s.empty()) return Value::Null();
    const auto c = static_cast<unsigned char>(s[0]);
    if (c >= 0x80)
      throw SqlError(50000, "The embedded engine cannot give UNICODE() of a character outside "
                            "ASCII.");
    return Value::Int(c);
  }
  if (f == "power") {
    // The result has the first argument's type: int (truncated), numeric
    // (its scale), float.
    arity(2, 2);
    const Value& x = a[0];
    const double y = ConvertTo(a[1], TypeSpec{Type::Float, 0, 0, 0}).f;
    const double bx = ConvertTo(x, TypeSpec{Type::Float, 0, 0, 0}).f;
    const double r = std::pow(bx, y);
    if (std::isnan(r))
      throw SqlError(3623, "An invalid floating point operation occurred.");
    if (x.kind == Kind::Int) {
      const double whole = std::trunc(r);
      const double top = x.big ? 9.2e18 : 2147483647.0;
      if (!std::isfinite(whole) || whole > top || whole < -top - 1)
        throw SqlError(232, std::string("Arithmetic overflow error for type ") +
                                (x.big ? "bigint" : "int") + ", value = " +
                                ToText(Value::Float(r)) + ".");
      Value v = Value::Int(static_cast<std::int64_t>(whole));
      v.big = x.big;
      return v;
    }
    if (x.kind == Kind::Num)
      return ConvertTo(Value::Float(r), TypeSpec{Type::Numeric, 0, 38, x.scale});
    if (!std::isfinite(r))
      throw SqlError(8115, "Arithmetic overflow error converting expression to data type float.");
    return Value::Float(r);
  }
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
      case Kind::Bin:
        return Value::Int(static_cast<std::int64_t>(a[0].s.size()));
      case Kind::Int:
        return Value::Int(a[0].big ? 8 : 4);
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
    // An int's or bigint's least value has no opposite: 8115, as for -x.
    if (v.kind == Kind::Int && v.i < 0) return Arith('-', Value::Int(0), v);
    if (v.i < 0) v.i = -v.i;
    return v;
  }
  if (f == "round" || f == "floor" || f == "ceiling") {
    Value v = a[0];
    if (v.kind == Kind::Int) return v;
    if (f == "floor" || f == "ceiling") {
      // The argument's own type: a numeric keeps its digits (scale 0), a
      // float (or text, taken as a float) stays a float.
      const bool down = f == "floor";
      if (v.kind == Kind::Num) {
        std::int64_t unit = 1;
        for (int k = 0; k < v.scale; ++k) unit *= 10;
        std::int64_t whole = v.i / unit;
        if (v.i % unit != 0 && down == (v.i < 0)) whole += v.i < 0 ? -1 : 1;
        return Value::Num(whole, 0);
      }
      const double d = ConvertTo(v, TypeSpec{Type::Float, 0, 0, 0}).f;
      return Value::Float(down ? std::floor(d) : std::ceil(d));
    }
    double d = ConvertTo(v, TypeSpec{Type::Float, 0, 0, 0}).f;
    std::int64_t places = a.size() > 1 ? integer(a[1]) : 0;
    if (v.kind == Kind::Num) {
      TypeSpec t{Type::Numeric, 0, 18, static_cast<int>(std::min<std::int64_t>(places, v.scale))};
      Value r = ConvertTo(v, t);
      return ConvertTo(r, TypeSpec{Type::Numeric, 0, 18, v.scale});
    }
    double m = std::pow(10.0, static_cast<double>(places));
    double r = std::round(d * m) / m;
    if (!std::isfinite(r)) {
      // More places than a double has digits leave the value as it is;
      // fewer than it has whole digits round it to 0.
      r = places > 0 ? d : 0;
    }
    return Value::Float(r);
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
    // OBJECT_ID('tempdb..#t'): this session's #t.
    std::string n = NameTempTable(LastNamePart(str(a[0])), temp_suffix);
    if (auto t = cat_.FindTable(n)) return Value::Int(t->id);
    if (Object* o = cat_.FindObject(n)) return Value::Int(o->id);
    if (auto sys = SystemTable(cat_, n)) return Value::Int(sys->id);
    if (auto view = SessionView(n)) return Value::Int(view->id);
    return Value::Null();
  }
  if (f == "ident_current" || f == "ident_seed" || f == "ident_incr") {
    // The last value the table's identity column took (its seed before the
    // first), whichever session gave it; NULL without one.
    arity(1, 1);
    if (a[0].null()) return Value::Null();
    auto t = cat_.FindTable(NameTempTable(LastNamePart(str(a[0])), temp_suffix));
    const int c = t ? t->IdentityColumn() : -1;
    if (c < 0) return Value::Null();
    const Column& col = t->cols[c];
    if (f == "ident_seed") return Value::Num(col.seed, 0);
    if (f == "ident_incr") return Value::Num(col.increment, 0);
    return Value::Num(t->identity_used ? t->identity_next - col.increment : col.seed, 0);
  }
  if (f == "db_id" || f == "db_name") {
    arity(1, 1);
    return DatabaseNamed(a[0], f == "db_id");
  }
  if (f == "index_col") {
    // INDEX_COL('table', index_id, key_id): the name of the key's column.
    arity(3, 3);
    auto t = cat_.FindTable(LastNamePart(str(a[0])));
    if (!t) return Value::Null();
    const std::int64_t indid = integer(a[1]), key = integer(a[2]);
    for (const auto& ix : t->indexes)
      if (ix->indid == indid && key >= 1 && key <= static_cast<std::int64_t>(ix->cols.size()))
        return Value::Str(t->cols[ix->cols[key - 1]].name);
    return Value::Null();
  }
  if (f == "serverproperty") {
    arity(1, 1);
    return ServerProperty(str(a[0]));
  }
  if (f == "databasepropertyex") {
    arity(2, 2);
    if (DatabaseNamed(a[0], true).null()) return Value::Null();
    return DatabaseProperty(str(a[1]));
  }
  if (f == "collationproperty") {
    arity(2, 2);
    return CollationProperty(str(a[0]), str(a[1]));
  }
  if (f == "is_member") {
    arity(1, 1);
    return RoleMember(str(a[0]));
  }
  if (f == "has_perms_by_name") {
    arity(3, 5);
    return HasPerms(str(a[0]), str(a[1]), str(a[2]));
  }
  throw SqlError(195, "'" + f + "' is not a recognized built-in function name.");
}

}  // namespace engine
