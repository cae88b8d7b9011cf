// SELECT: row sources, joins, grouping and aggregates, ordering, DISTINCT and
// TOP; and the choice of rows through an index that UPDATE and DELETE share.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>

#include "engine/session_internal.h"

namespace engine {

namespace {

// Constant for the rows of the query: a column of an enclosing query is.
bool IsConstant(const Expr& e) {
  if (e.k == Expr::Col) return e.outer > 0;
  if (e.k == Expr::Agg || e.sub) return false;
  for (const auto& a : e.args)
    if (a && !IsConstant(*a)) return false;
  return true;
}

// A result column that shows a value of declared type t.
ResultColumn Declared(std::string name, const TypeSpec& t) {
  ResultColumn rc;
  rc.name = std::move(name);
  rc.type = ResultType(t);
  rc.declared = TypeName(t);
  rc.length = t.length;
  rc.precision = t.precision;
  rc.scale = t.scale;
  return rc;
}

ColumnType KindType(const Value& v) {
  switch (v.kind) {
    case Kind::Int:
      return v.big ? ColumnType::BigInt : ColumnType::Int;
    case Kind::Num:
      return ColumnType::Numeric;
    case Kind::Date:
      return ColumnType::DateTime;
    case Kind::Float:
      return ColumnType::Other;
    case Kind::Bin:
      return ColumnType::Binary;
    default:
      return ColumnType::VarChar;
  }
}

int KindRank(Kind k) {
  switch (k) {
    case Kind::Str:
      return 1;
    case Kind::Int:
      return 2;
    case Kind::Num:
      return 3;
    case Kind::Float:
      return 4;
    case Kind::Date:
      return 5;
    default:
      return 0;  // NULL, binary
  }
}

// Brings the values of column c of rows to one type, as SQL Server gives a
// column of a UNION (or any column whose values come from several
// expressions) the type of highest precedence among them: text to a number
// or a date (failing as such conversions fail), integers to numeric with the
// largest scale, numbers to float. Returns the kind the column ends with.
Kind UnifyColumn(std::vector<std::vector<Value>>& rows, std::size_t c) {
  Kind top = Kind::Null;
  int scale = 0;
  bool mixed = false, big = false, small = false;
  for (const auto& r : rows) {
    const Value& v = r[c];
    if (v.null() || v.kind == Kind::Bin) continue;
    if (top != Kind::Null && v.kind != top) mixed = true;
    if (v.kind == Kind::Int) (v.big ? big : small) = true;
    if (KindRank(v.kind) > KindRank(top)) top = v.kind;
    if (v.kind == Kind::Num) scale = std::max<int>(scale, v.scale);
  }
  if (top == Kind::Null) return top;
  if (!mixed && top != Kind::Num && !(big && small)) return top;
  TypeSpec t;
  switch (top) {
    case Kind::Int:  // int with bigint is bigint
      t = TypeSpec{big ? Type::BigInt : Type::Int, 0, 0, 0};
      break;
    case Kind::Num:
      t = TypeSpec{Type::Numeric, 0, 38, scale};
      break;
    case Kind::Float:
      t = TypeSpec{Type::Float, 0, 0, 0};
      break;
    case Kind::Date:
      t = TypeSpec{Type::DateTime, 0, 0, 0};
      break;
    default:
      return top;
  }
  for (auto& r : rows)
    if (!r[c].null() && r[c].kind != Kind::Bin) r[c] = ConvertTo(r[c], t);
  return top;
}

// The key of a whole row: rows with equal keys are duplicates under the
// collation (DISTINCT, UNION, EXCEPT, INTERSECT).
std::string RowKey(const std::vector<Value>& vals) {
  std::string key;
  for (const Value& v : vals) {
    std::string part = KeyPart(v);
    key += std::to_string(part.size()) + ":" + part;
  }
  return key;
}

// Three-way order of two values, NULL first.
int OrderValues(const Value& x, const Value& y) {
  if (x.null() || y.null()) return x.null() == y.null() ? 0 : x.null() ? -1 : 1;
  return Compare(x, y);
}

}  // namespace

const Select& Leftmost(const Select& q) {
  return q.set_op == Select::None ? q : Leftmost(*q.lhs);
}

void Session::CompoundRows(const Select& q, std::vector<ResultColumn>* columns,
                           const std::function<void(std::vector<Value>&)>& sink) {
  std::vector<ResultColumn> right_cols;
  std::vector<std::vector<Value>> rows, right;
  SelectRows(*q.lhs, columns, [&](std::vector<Value>& v) { rows.push_back(std::move(v)); });
  SelectRows(*q.rhs, &right_cols, [&](std::vector<Value>& v) { right.push_back(std::move(v)); });
  std::vector<ResultColumn>& cols = *columns;
  if (cols.size() != right_cols.size())
    throw SqlError(205,
                   "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an "
                   "equal number of expressions in their target lists.");
  const std::size_t nl = rows.size();
  for (auto& r : right) rows.push_back(std::move(r));
  for (std::size_t c = 0; c < cols.size(); ++c) {
    UnifyColumn(rows, c);
    const ResultColumn& rc = right_cols[c];
    if (cols[c].declared != rc.declared || cols[c].length != rc.length ||
        cols[c].precision != rc.precision || cols[c].scale != rc.scale || cols[c].type != rc.type) {
      // Differently typed branches: the type comes from the values.
      cols[c].declared.clear();
      cols[c].type = ColumnType::Other;
      cols[c].length = cols[c].precision = cols[c].scale = 0;
    }
  }
  std::vector<std::vector<Value>> out;
  if (q.set_op == Select::UnionAll) {
    out = std::move(rows);
  } else {
    std::set<std::string> in_right, seen;
    if (q.set_op != Select::Union)
      for (std::size_t k = nl; k < rows.size(); ++k) in_right.insert(RowKey(rows[k]));
    const std::size_t end = q.set_op == Select::Union ? rows.size() : nl;
    for (std::size_t k = 0; k < end; ++k) {
      std::string key = RowKey(rows[k]);
      if (q.set_op == Select::Except && in_right.count(key)) continue;
      if (q.set_op == Select::Intersect && !in_right.count(key)) continue;
      if (seen.insert(std::move(key)).second) out.push_back(std::move(rows[k]));
    }
  }
  if (!q.order.empty()) {
    // ORDER BY names a column of the result (by its name in the first query,
    // or its position).
    const Select& first = Leftmost(q);
    std::vector<std::pair<std::size_t, bool>> keys;
    for (const OrderItem& o : q.order) {
      const Expr& e = *o.expr;
      int at = -1;
      if (e.k == Expr::Lit && e.lit.kind == Kind::Int) {
        at = static_cast<int>(e.lit.i) - 1;
        if (at < 0 || at >= static_cast<int>(cols.size()))
          throw SqlError(108,
                         "The ORDER BY position number " + std::to_string(e.lit.i) +
                             " is out of range of the number of items in the select list.",
                         15);
      } else if (e.k == Expr::Col) {
        for (std::size_t c = 0; c < cols.size() && at < 0; ++c)
          if (FoldedEqual(cols[c].name, e.name)) at = static_cast<int>(c);
        (void)first;
      }
      if (at < 0)
        throw SqlError(104,
                       "ORDER BY items must appear in the select list if the statement contains a "
                       "UNION, INTERSECT or EXCEPT operator.",
                       15);
      keys.emplace_back(static_cast<std::size_t>(at), o.desc);
    }
    std::stable_sort(out.begin(), out.end(), [&](const auto& a, const auto& b) {
      for (const auto& [c, desc] : keys) {
        int r = OrderValues(a[c], b[c]);
        if (r != 0) return desc ? r > 0 : r < 0;
      }
      return false;
    });
  }
  for (auto& r : out) sink(r);
}

std::shared_ptr<Table> Session::DerivedTable(const Select& q, const std::string& alias,
                                             const std::vector<std::string>& names) {
  std::vector<ResultColumn> cols;
  std::vector<std::vector<Value>> rows;
  SelectRows(q, &cols, [&](std::vector<Value>& v) { rows.push_back(std::move(v)); });
  return RowsTable(cols, rows, alias, names);
}

std::shared_ptr<Table> Session::RowsTable(std::vector<ResultColumn>& cols,
                                          std::vector<std::vector<Value>>& rows,
                                          const std::string& alias,
                                          const std::vector<std::string>& names) {
  if (!names.empty()) {
    if (names.size() != cols.size())
      throw SqlError(names.size() > cols.size() ? 8158 : 8159,
                     "'" + alias + "' has " + (names.size() > cols.size() ? "more" : "fewer") +
                         " columns than were specified in the column list.");
    for (std::size_t c = 0; c < names.size(); ++c) cols[c].name = names[c];
  }
  auto t = std::make_shared<Table>();
  t->name = alias;
  for (std::size_t c = 0; c < cols.size(); ++c) {
    const ResultColumn& rc = cols[c];
    if (rc.name.empty())
      throw SqlError(8155, "No column name was specified for column " + std::to_string(c + 1) +
                               " of '" + alias + "'.");
    for (std::size_t d = 0; d < c; ++d)
      if (FoldedEqual(cols[d].name, rc.name))
        throw SqlError(8156, "The column '" + rc.name + "' was specified multiple times for '" +
                                 alias + "'.");
    Column col;
    col.name = rc.name;
    Type ty;
    if (!rc.declared.empty() && TypeFromName(rc.declared, &ty)) {
      col.type = TypeSpec{ty, rc.length, rc.precision, rc.scale};
    } else {
      switch (UnifyColumn(rows, c)) {
        case Kind::Int: {
          bool big = false;
          for (const auto& r : rows) big = big || (r[c].kind == Kind::Int && r[c].big);
          col.type = TypeSpec{big ? Type::BigInt : Type::Int, 0, 0, 0};
          break;
        }
        case Kind::Num:
          col.type = TypeSpec{Type::Numeric, 0, 38, 0};
          break;
        case Kind::Float:
          col.type = TypeSpec{Type::Float, 0, 0, 0};
          break;
        case Kind::Date:
          col.type = TypeSpec{Type::DateTime, 0, 0, 0};
          break;
        default:
          col.type = TypeSpec{Type::VarChar, 8000, 0, 0};
      }
      if (col.type.type == Type::Numeric)
        for (const auto& r : rows)
          if (r[c].kind == Kind::Num) col.type.scale = std::max<int>(col.type.scale, r[c].scale);
    }
    t->cols.push_back(std::move(col));
  }
  for (const auto& r : rows) {
    t->rows.emplace_back(EncodeRow(r));
    ++t->live;
  }
  return t;
}

bool Session::IndexCandidates(const Table& t, const Expr* where, std::vector<std::uint32_t>* out,
                              int src) {
  if (!where) return false;
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
  // An index first; failing that, a look-up of the engine's own, which a
  // column earns by being searched often (Table::LookupFor).
  for (int pass = 0; pass < 2; ++pass) {
    for (const Expr* e : conj) {
      if (e->k != Expr::Cmp || e->op != "=") continue;
      const Expr* col = e->args[0].get();
      const Expr* val = e->args[1].get();
      if (col->k != Expr::Col) std::swap(col, val);
      if (col->k != Expr::Col || col->outer != 0 || col->src != src || !IsConstant(*val)) continue;
      const TypeSpec& ct = t.cols[col->col].type;
      const Index* ix = nullptr;
      if (pass == 0) {
        for (const auto& i : t.indexes)
          if (i->cols.size() == 1 && i->cols[0] == col->col) ix = i.get();
      } else if (ct.type != Type::Float) {
        ix = t.LookupFor(col->col);
      }
      if (!ix) continue;
      Ctx ctx;
      Value v = Eval(*val, ctx);
      if (v.null()) {
        out->clear();
        return true;
      }
      std::string key;
      if (ct.is_string()) {
        if (v.kind != Kind::Str) continue;  // the column converts to the value's type
        key = KeyPart(v);
      } else if (ct.type == Type::DateTime) {
        key = KeyPart(ConvertTo(v, ct));
      } else if (ct.type == Type::Float) {
        continue;
      } else if (ct.type == Type::Binary || ct.type == Type::VarBinary) {
        if (v.kind != Kind::Bin) continue;  // compared as the other side's type
        key = KeyPart(v);
      } else {
        if (v.kind == Kind::Str)
          v = ConvertTo(v, ct.type == Type::Numeric  ? TypeSpec{Type::Numeric, 0, 18, 6}
                           : ct.type == Type::BigInt ? TypeSpec{Type::BigInt, 0, 0, 0}
                                                     : TypeSpec{Type::Int, 0, 0, 0});
        if (v.kind == Kind::Float || v.kind == Kind::Date) continue;
        key = KeyPart(v);
      }
      if (pass == 0) t.EnsureIndexes();
      out->clear();
      t.IndexFind(*ix, key, out);
      std::sort(out->begin(), out->end());
      return true;
    }
  }
  return false;
}

namespace {

// Keeps a query's scope on the session's stack while it runs.
struct ScopeEntry {
  ScopeEntry(std::vector<Session::Scope*>& stack, Session::Scope* s) : stack_(stack) {
    stack_.push_back(s);
  }
  ~ScopeEntry() { stack_.pop_back(); }
  std::vector<Session::Scope*>& stack_;
};

}  // namespace

std::vector<std::uint32_t> Session::MatchingSlots(const std::shared_ptr<Table>& t, Expr* where,
                                                  Scope& scope) {
  ScopeEntry entry(scopes_, &scope);
  if (where) Bind(*where, scope, nullptr);
  std::vector<std::uint32_t> cand, out;
  bool indexed = IndexCandidates(*t, where, &cand);
  const Row* row[1];
  Ctx ctx;
  ctx.rows = row;
  auto consider = [&](std::uint32_t r) {
    CheckCancel();
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

namespace {

// Whether e reads the variable name (outside any subquery of it).
bool ReadsVariable(const Expr& e, const std::string& name) {
  if (e.k == Expr::Var && e.name == name) return true;
  for (const auto& a : e.args)
    if (a && ReadsVariable(*a, name)) return true;
  return false;
}

}  // namespace

StatementResult Session::DoSelect(const Select& q) {
  StatementResult res;
  if (!q.items.empty() && !q.items.front().assign.empty()) {
    // SELECT @v = expr, ...: no result set; each row assigns in turn (the
    // next row sees the values), so the last row's values stay. Under SET
    // ROWCOUNT the first n rows assign. A statement run again after a lock
    // wait starts from the values it found.
    std::vector<std::pair<Variable*, Value>> before;
    for (const SelectItem& i : q.items) {
      auto v = vars_.find(i.assign);
      if (v == vars_.end())
        throw SqlError(137, "Must declare the scalar variable \"" + i.assign + "\".", 15);
      before.emplace_back(&v->second, v->second.value);
    }
    // Sorted or grouped rows have their values made before they are put in
    // order, so an item reading a variable the statement assigns would see
    // it as it was before the statement, where SQL Server assigns row by row
    // in the result's order: refused rather than answered differently.
    if (!q.order.empty() || q.distinct || !q.group.empty() || q.having) {
      for (const SelectItem& i : q.items)
        for (const SelectItem& j : q.items)
          if (ReadsVariable(*i.expr, j.assign))
            throw SqlError(50000,
                           "The engine cannot run a SELECT that assigns " + j.assign +
                               " and reads it with ORDER BY, DISTINCT or GROUP BY.",
                           16);
    }
    std::int64_t rows = 0;
    std::vector<ResultColumn> columns;
    try {
      SelectRows(q, &columns, [&](std::vector<Value>& vals) {
        if (row_limit_ > 0 && rows >= row_limit_) return;
        for (std::size_t c = 0; c < vals.size() && c < before.size(); ++c)
          before[c].first->value = ConvertTo(vals[c], before[c].first->type);
        ++rows;
      });
    } catch (...) {
      for (auto& [v, value] : before) v->value = value;
      throw;
    }
    res.rows_affected = rows;
    return res;
  }
  res.has_result_set = true;
  // Each row becomes text as it is produced, so a large result is held once,
  // as text. A column whose type the expression does not fix takes the kind
  // of its first non-NULL value.
  SelectRows(q, &res.columns, [&](std::vector<Value>& vals) {
    if (row_limit_ > 0 && static_cast<std::int64_t>(res.rows.size()) >= row_limit_) return;
    std::vector<std::optional<std::string>> out;
    out.reserve(vals.size());
    for (std::size_t c = 0; c < vals.size(); ++c) {
      if (vals[c].null()) {
        out.emplace_back(std::nullopt);
        continue;
      }
      if (res.columns[c].type == ColumnType::Other && res.columns[c].declared.empty()) {
        res.columns[c].type = KindType(vals[c]);
        if (vals[c].kind == Kind::Float) {  // a float goes to the client as one
          res.columns[c].declared = "float";
          res.columns[c].length = 8;
        }
      }
      out.emplace_back(ToText(vals[c]));
      if (text_size_ > 0 && static_cast<std::int64_t>(out.back()->size()) > text_size_ &&
          (res.columns[c].type == ColumnType::Text || res.columns[c].type == ColumnType::Image)) {
        // SET TEXTSIZE: the value's first bytes.
        out.back()->resize(static_cast<std::size_t>(text_size_));
      }
    }
    res.rows.push_back(std::move(out));
  });
  for (ResultColumn& c : res.columns)
    if (c.type == ColumnType::Other) c.type = ColumnType::VarChar;
  return res;
}

namespace {

// The sources (bit per source of the query) an expression reads; kAll when
// it holds a subquery, whose columns bind only when it runs.
constexpr std::uint64_t kAll = ~std::uint64_t{0};

std::uint64_t SourcesOf(const Expr& e) {
  if (e.sub) return kAll;
  std::uint64_t m = 0;
  if (e.k == Expr::Col && e.outer == 0 && e.src >= 0)
    m |= e.src < 64 ? std::uint64_t{1} << e.src : kAll;
  for (const auto& a : e.args)
    if (a) m |= SourcesOf(*a);
  return m;
}

void Conjuncts(Expr* e, std::vector<Expr*>& out) {
  if (!e) return;
  if (e->k == Expr::And) {
    Conjuncts(e->args[0].get(), out);
    Conjuncts(e->args[1].get(), out);
  } else {
    out.push_back(e);
  }
}

// Values of one class compare equal exactly when their key parts are equal.
enum class KeyClass { None, Text, Number, Date };

KeyClass ClassOf(const TypeSpec& t) {
  switch (t.type) {
    case Type::Char:
    case Type::VarChar:
    case Type::Text:
      return KeyClass::Text;
    case Type::Int:
    case Type::BigInt:
    case Type::SmallInt:
    case Type::TinyInt:
    case Type::Bit:
    case Type::Numeric:
    case Type::Money:
      return KeyClass::Number;
    case Type::DateTime:
      return KeyClass::Date;
    default:
      return KeyClass::None;
  }
}

KeyClass ClassOf(const Value& v) {
  switch (v.kind) {
    case Kind::Str:
      return KeyClass::Text;
    case Kind::Int:
    case Kind::Num:
      return KeyClass::Number;
    case Kind::Date:
      return KeyClass::Date;
    default:
      return KeyClass::None;
  }
}

}  // namespace

// Joins the sources of q. Each condition of WHERE and ON is checked as soon
// as the sources it reads have a row, and a source that an equality ties to
// the sources before it (or to a constant) is reached through a hash of its
// column's values, built once for the statement, rather than by a scan. The
// sources are taken in the order that allows most of that: first one tied
// to a constant, then each time one tied to those taken, the smallest first.
// The combinations are then put in the order nested loops over the sources as
// written would give them, so the order of the rows never depends on the plan.
void Session::JoinRows(const Select& q, Scope& scope, std::vector<const Row*>& cur,
                       std::vector<const Row*>& matched) {
  const std::size_t n = scope.srcs.size();
  std::vector<Expr*> conj;
  Conjuncts(q.where.get(), conj);
  for (const TableRef& r : q.from) Conjuncts(r.on.get(), conj);
  std::vector<std::uint64_t> masks;
  for (Expr* e : conj) masks.push_back(SourcesOf(*e));

  // An equality that reaches source s by a hash given the sources in
  // `before`: the column of s and the expression giving its value.
  auto probe_of = [&](std::size_t s, std::uint64_t before, int* col) -> const Expr* {
    for (const Expr* e : conj) {
      if (e->k != Expr::Cmp || e->op != "=") continue;
      for (int side = 0; side < 2; ++side) {
        const Expr* c = e->args[side].get();
        const Expr* val = e->args[1 - side].get();
        if (c->k != Expr::Col || c->outer != 0 || c->src != static_cast<int>(s)) continue;
        const std::uint64_t vm = SourcesOf(*val);
        if (vm == kAll || (vm & ~before) != 0) continue;
        if (ClassOf(scope.srcs[s].t->cols[c->col].type) == KeyClass::None) continue;
        *col = c->col;
        return val;
      }
    }
    return nullptr;
  };

  std::vector<std::size_t> order;
  if (n <= 64) {
    std::vector<bool> taken(n);
    std::uint64_t before = 0;
    for (std::size_t step = 0; step < n; ++step) {
      std::size_t best = n;
      bool best_tied = false;
      for (std::size_t s = 0; s < n; ++s) {
        if (taken[s]) continue;
        int col;
        const bool tied = probe_of(s, before, &col) != nullptr;
        if (best == n || (tied && !best_tied) ||
            (tied == best_tied && scope.srcs[s].t->live < scope.srcs[best].t->live)) {
          best = s;
          best_tied = tied;
        }
      }
      taken[best] = true;
      before |= std::uint64_t{1} << best;
      order.push_back(best);
    }
  } else {
    for (std::size_t s = 0; s < n; ++s) order.push_back(s);
  }
  std::vector<std::size_t> pos(n);
  for (std::size_t l = 0; l < n; ++l) pos[order[l]] = l;

  // Conditions by the level at which their sources all have a row.
  std::vector<std::vector<Expr*>> at(n);
  for (std::size_t k = 0; k < conj.size(); ++k) {
    std::size_t level = 0;
    if (masks[k] == kAll) {
      level = n - 1;
    } else {
      for (std::size_t s = 0; s < n; ++s)
        if (masks[k] >> s & 1) level = std::max(level, pos[s]);
    }
    at[level].push_back(conj[k]);
  }
  struct Probe {
    const Expr* value = nullptr;  // evaluated on the rows of the levels before
    int col = -1;
    std::unordered_map<std::string, std::vector<std::uint32_t>> hash;
    bool built = false;
  };
  std::vector<Probe> probe(n);
  std::uint64_t before = 0;
  for (std::size_t l = 0; l < n; ++l) {
    probe[l].value = probe_of(order[l], before, &probe[l].col);
    before |= std::uint64_t{1} << order[l];
  }
  std::vector<std::uint32_t> first;
  const bool indexed = IndexCandidates(*scope.srcs[order[0]].t, q.where.get(), &first,
                                       static_cast<int>(order[0]));

  Ctx ctx;
  ctx.rows = cur.data();
  std::function<void(std::size_t)> loop = [&](std::size_t l) {
    if (l == n) {
      matched.insert(matched.end(), cur.begin(), cur.end());
      return;
    }
    const std::size_t s = order[l];
    const Table& t = *scope.srcs[s].t;
    auto visit = [&](std::uint32_t r) {
      CheckCancel();
      if (t.rows[r].empty()) return;
      cur[s] = &t.rows[r];
      for (const Expr* e : at[l])
        if (Truth(*e, ctx) != 1) return;
      loop(l + 1);
    };
    if (l == 0 && indexed) {
      for (std::uint32_t r : first) visit(r);
      return;
    }
    Probe& p = probe[l];
    if (p.value) {
      Value v = Eval(*p.value, ctx);
      if (v.null()) return;  // = NULL is never true
      if (ClassOf(v) == ClassOf(t.cols[p.col].type)) {
        if (!p.built) {
          for (std::uint32_t r = 0; r < t.rows.size(); ++r) {
            if (t.rows[r].empty()) continue;
            Value x = GetColumn(t.rows[r], p.col);
            if (!x.null()) p.hash[KeyPart(x)].push_back(r);
          }
          p.built = true;
        }
        auto hit = p.hash.find(KeyPart(v));
        if (hit != p.hash.end())
          for (std::uint32_t r : hit->second) visit(r);
        return;
      }
    }
    for (std::uint32_t r = 0; r < t.rows.size(); ++r) visit(r);
  };
  loop(0);

  bool written = true;
  for (std::size_t l = 0; l < n; ++l) written = written && order[l] == l;
  if (written || matched.empty()) return;
  // Rows of a table lie in one array, so comparing their addresses compares
  // their slots.
  const std::size_t count = matched.size() / n;
  std::vector<std::size_t> idx(count);
  for (std::size_t k = 0; k < count; ++k) idx[k] = k * n;
  std::less<const Row*> less;
  std::sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t s = 0; s < n; ++s)
      if (matched[a + s] != matched[b + s]) return less(matched[a + s], matched[b + s]);
    return false;
  });
  std::vector<const Row*> sorted;
  sorted.reserve(matched.size());
  for (std::size_t k : idx) sorted.insert(sorted.end(), matched.begin() + k, matched.begin() + k + n);
  matched = std::move(sorted);
}

void Session::SelectRows(const Select& cq, std::vector<ResultColumn>* columns,
                         const std::function<void(std::vector<Value>&)>& sink) {
  if (cq.set_op != Select::None) {
    CompoundRows(cq, columns, sink);
    return;
  }
  Select& q = const_cast<Select&>(cq);
  Scope scope;
  for (const TableRef& r : q.from)
    scope.srcs.push_back({r.sub ? DerivedTable(*r.sub, r.alias) : AnyTable(r.name),
                          r.alias.empty() ? r.name : r.alias});
  ScopeEntry entry(scopes_, &scope);
  std::vector<Expr*> aggs;
  std::vector<ResultColumn>& cols = *columns;
  cols.clear();

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
        if (!item.star_qual.empty() && !FoldedEqual(item.star_qual, src.alias)) continue;
        any = true;
        for (std::size_t c = 0; c < src.t->cols.size(); ++c) {
          outs.push_back({nullptr, static_cast<int>(s), static_cast<int>(c)});
          cols.push_back(Declared(src.t->cols[c].name, src.t->cols[c].type));
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
      rc = Declared(rc.name.empty() ? col.name : rc.name, col.type);
    } else if (item.expr->k == Expr::Cast) {
      rc = Declared(rc.name, item.expr->type);
    } else if (item.expr->k == Expr::Agg && item.expr->name == "count") {
      rc.type = ColumnType::Int;
    } else if (item.expr->k == Expr::Agg && item.expr->name == "count_big") {
      rc.type = ColumnType::BigInt;
    } else if ((item.expr->k == Expr::Func &&
                (item.expr->name == "scope_identity" || item.expr->name == "ident_current" ||
                 item.expr->name == "ident_seed" || item.expr->name == "ident_incr")) ||
               (item.expr->k == Expr::Var && item.expr->name == "@@identity")) {
      rc = Declared(rc.name, TypeSpec{Type::Numeric, 0, 38, 0});  // as SQL Server types them
    } else {
      rc.type = ColumnType::Other;  // decided from the first value below
    }
    cols.push_back(rc);
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

  if (n >= 2) {
    JoinRows(q, scope, cur, matched);
  } else {
    std::vector<std::uint32_t> cand0;
    bool indexed0 = n > 0 && IndexCandidates(*scope.srcs[0].t, q.where.get(), &cand0);
    std::function<void(std::size_t)> loop = [&](std::size_t s) {
      if (s == n) {
        if (!q.where || Truth(*q.where, ctx) == 1) keep();
        return;
      }
      const Table& t = *scope.srcs[s].t;
      auto visit = [&](std::uint32_t r) {
        CheckCancel();
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
  }

  // Output rows with their sort keys.
  struct OutRow {
    std::vector<Value> vals;
    std::vector<Value> keys;
  };
  std::vector<OutRow> rows;
  // Without ORDER BY or DISTINCT each row goes to the sink as it is made, and
  // nothing of the result is held here.
  const bool direct = order.empty() && !q.distinct;
  std::int64_t sent = 0;
  auto emit = [&](const Ctx& c) {
    if (direct && q.top >= 0 && sent >= q.top) return;
    OutRow o;
    o.vals.reserve(outs.size());
    for (const OutCol& oc : outs)
      o.vals.push_back(oc.expr ? Eval(*oc.expr, c) : GetColumn(*c.rows[oc.src], oc.col));
    if (direct) {
      ++sent;
      sink(o.vals);
      return;
    }
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
        if (ag.name == "count" || ag.name == "count_big") continue;
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
        else if (ag.name == "count_big")
          results.push_back(Value::BigInt(st.count));
        else if (ag.name == "avg" && !st.acc.null())  // of int or bigint: the same type
          results.push_back(Arith('/', st.acc, Value::Int(st.count)));
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
    for (auto& r : rows)
      if (seen.insert(RowKey(r.vals)).second) kept.push_back(std::move(r));
    rows = std::move(kept);
  }
  if (q.top >= 0 && rows.size() > static_cast<std::size_t>(q.top)) rows.resize(q.top);
  for (auto& r : rows) sink(r.vals);
}

}  // namespace engine
