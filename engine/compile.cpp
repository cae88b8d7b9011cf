// Checks a batch before any of its statements runs, as SQL Server compiles a
// batch first: a variable used before any DECLARE of it (137), and a column
// that no table of its query has (207) where every table the statement names
// exists now, stop the whole batch before its first statement. A statement
// naming a table that does not exist yet is left to run time (deferred name
// resolution: 208 when it is reached), and so is one that reads a view or a
// derived table, whose columns come from their queries.
#include <set>

#include "engine/session_internal.h"

namespace engine {

namespace {

struct CompileScope {
  struct Src {
    std::string alias;
    std::shared_ptr<Table> t;
  };
  std::vector<Src> srcs;
  const CompileScope* outer = nullptr;
};

class BatchCheck {
 public:
  BatchCheck(const std::function<std::shared_ptr<Table>(const std::string&)>& table)
      : table_(table) {}

  void Declare(const std::string& name) { declared_.insert(name); }

  void Statements(const std::vector<const Stmt*>& list) {
    for (const Stmt* s : list) Statement(*s);
  }

  void Statement(const Stmt& s) {
    line_ = s.line;
    // Columns are checked only when every table the statement names is there.
    columns_ = Resolvable(s);
    if (!s.ctes.empty()) {  // names a CTE may take are left to run time
      columns_ = false;
      for (const Cte& c : s.ctes) Query(*c.query, nullptr);
    }
    switch (s.k) {
      case Stmt::Declare:
        for (const ColumnDef& c : s.columns) {
          Expr(c.def.get(), nullptr);
          declared_.insert(c.name);
        }
        return;
      case Stmt::SetVar:
        Variable(s.name);
        Expr(s.cond.get(), nullptr);
        return;
      case Stmt::SelectStmt:
        Query(*s.select, nullptr);
        return;
      case Stmt::Insert: {
        if (columns_)
          if (auto t = table_(s.table))
            for (const std::string& n : s.names) Column(t, n);
        if (s.select) Query(*s.select, nullptr);
        for (const auto& row : s.values)
          for (const auto& e : row) Expr(e.get(), nullptr);
        return;
      }
      case Stmt::Update:
      case Stmt::Delete: {
        CompileScope scope;
        auto t = table_(s.table);
        if (t) scope.srcs.push_back({t->name, t});
        if (columns_ && t)
          for (const auto& [name, e] : s.sets) Column(t, name);
        for (const auto& [name, e] : s.sets) Expr(e.get(), &scope);
        Expr(s.where.get(), &scope);
        return;
      }
      case Stmt::If:
      case Stmt::While:
        Expr(s.cond.get(), nullptr);
        if (s.then_stmt) Statement(*s.then_stmt);
        if (s.else_stmt) Statement(*s.else_stmt);
        return;
      case Stmt::Block:
      case Stmt::Try:
        for (const auto& c : s.block) Statement(*c);
        for (const auto& c : s.catch_block) Statement(*c);
        return;
      case Stmt::Raiserror:
      case Stmt::Throw:
        for (const auto& a : s.args) Expr(a.get(), nullptr);
        return;
      case Stmt::Exec:
        if (!s.var.empty()) Variable(s.var);
        for (const auto& [name, e] : s.params) Expr(e.get(), nullptr);
        return;
      default:
        Expr(s.cond.get(), nullptr);
        return;
    }
  }

 private:
  [[noreturn]] void Fail(int number, const std::string& text, int severity) const {
    throw Error(number, severity, text, line_);
  }

  void Variable(const std::string& name) {
    if (name.rfind("@@", 0) == 0 || declared_.count(name)) return;
    Fail(137, "Must declare the scalar variable \"" + name + "\".", 15);
  }

  void Column(const std::shared_ptr<Table>& t, const std::string& name) {
    if (t->FindColumn(name) < 0) Fail(207, "Invalid column name '" + name + "'.", 16);
  }

  // Whether every table of the statement exists and is a table (not a view
  // or a derived table).
  bool Resolvable(const Stmt& s) {
    bool ok = true;
    if (s.k == Stmt::Insert || s.k == Stmt::Update || s.k == Stmt::Delete)
      ok = table_(s.table) != nullptr;
    if (s.select) ok = ok && Resolvable(*s.select);
    for (const auto& row : s.values)
      for (const auto& e : row) ok = ok && Resolvable(e.get());
    for (const auto& [name, e] : s.sets) ok = ok && Resolvable(e.get());
    ok = ok && Resolvable(s.where.get());
    return ok;
  }
  bool Resolvable(const Select& q) {
    if (q.lhs) return Resolvable(*q.lhs) && Resolvable(*q.rhs);
    for (const TableRef& r : q.from) {
      if (r.sub || !table_(r.name)) return false;
      if (!Resolvable(r.on.get())) return false;
    }
    for (const SelectItem& i : q.items)
      if (!Resolvable(i.expr.get())) return false;
    for (const auto& g : q.group)
      if (!Resolvable(g.get())) return false;
    for (const auto& o : q.order)
      if (!Resolvable(o.expr.get())) return false;
    return Resolvable(q.where.get()) && Resolvable(q.having.get());
  }
  bool Resolvable(const engine::Expr* e) {
    if (!e) return true;
    if (e->sub && !Resolvable(*e->sub)) return false;
    for (const auto& a : e->args)
      if (!Resolvable(a.get())) return false;
    return true;
  }

  void Query(const Select& q, const CompileScope* outer) {
    if (q.lhs) {
      Query(*q.lhs, outer);
      Query(*q.rhs, outer);
      OrderBy(q, Leftmost(q), outer, nullptr);
      return;
    }
    CompileScope scope;
    scope.outer = outer;
    for (const TableRef& r : q.from) {
      auto t = r.sub ? nullptr : table_(r.name);
      scope.srcs.push_back({r.alias.empty() ? r.name : r.alias, t});
      if (r.sub) Query(*r.sub, outer);
    }
    for (const TableRef& r : q.from) Expr(r.on.get(), &scope);
    for (const SelectItem& i : q.items) {
      if (i.assign.empty() != q.items.front().assign.empty())
        Fail(141,
             "A SELECT statement that assigns a value to a variable must not be combined with "
             "data-retrieval operations.",
             15);
      if (!i.assign.empty()) Variable(i.assign);
      Expr(i.expr.get(), &scope);
    }
    Expr(q.where.get(), &scope);
    for (const auto& g : q.group) Expr(g.get(), &scope);
    Expr(q.having.get(), &scope);
    OrderBy(q, q, outer, &scope);
  }

  // ORDER BY may name the select list's aliases and, in a compound query,
  // only its columns: names are checked in a plain query alone, aliases
  // aside.
  void OrderBy(const Select& q, const Select& first, const CompileScope* outer,
               const CompileScope* scope) {
    for (const auto& o : q.order) {
      const engine::Expr* e = o.expr.get();
      bool alias = false;
      if (e->k == engine::Expr::Col && e->qual.empty())
        for (const SelectItem& i : first.items)
          alias = alias || (!i.alias.empty() && FoldedEqual(i.alias, e->name));
      if (alias) continue;
      Expr(e, scope ? scope : outer, scope != nullptr);
    }
  }

  void Expr(const engine::Expr* e, const CompileScope* scope, bool check_columns = true) {
    if (!e) return;
    if (e->k == engine::Expr::Var) Variable(e->name);
    if (e->k == engine::Expr::Col && check_columns && columns_ && scope) ColumnRef(*e, *scope);
    for (const auto& a : e->args) Expr(a.get(), scope, check_columns);
    if (e->sub) Query(*e->sub, scope);
  }

  void ColumnRef(const engine::Expr& e, const CompileScope& scope) {
    for (const CompileScope* s = &scope; s; s = s->outer)
      for (const auto& src : s->srcs) {
        if (!e.qual.empty() && !FoldedEqual(e.qual, src.alias)) continue;
        if (!src.t || src.t->FindColumn(e.name) >= 0) return;  // found, or not known here
        if (!e.qual.empty()) Fail(207, "Invalid column name '" + e.name + "'.", 16);
      }
    // A qualifier no table answers to is left to run time (4104).
    if (e.qual.empty()) Fail(207, "Invalid column name '" + e.name + "'.", 16);
  }

  const std::function<std::shared_ptr<Table>(const std::string&)>& table_;
  std::set<std::string> declared_;
  int line_ = 1;
  bool columns_ = false;
};

}  // namespace

void Session::CompileBatch(const std::vector<std::unique_ptr<Stmt>>& stmts) {
  std::function<std::shared_ptr<Table>(const std::string&)> table =
      [&](const std::string& name) -> std::shared_ptr<Table> {
    if (auto t = cat_.FindTable(name)) return t;
    if (auto sys = SystemTable(cat_, name)) return sys;
    return nullptr;  // missing, a view or a session view: left to run time
  };
  BatchCheck check(table);
  std::vector<const Stmt*> list;
  for (const auto& s : stmts) list.push_back(s.get());
  check.Statements(list);
}

void Session::CompileProcedure(const Stmt& proc) {
  std::function<std::shared_ptr<Table>(const std::string&)> table =
      [&](const std::string& name) -> std::shared_ptr<Table> {
    if (auto t = cat_.FindTable(name)) return t;
    if (auto sys = SystemTable(cat_, name)) return sys;
    return nullptr;
  };
  BatchCheck check(table);
  for (const ColumnDef& p : proc.columns) check.Declare(VariableKey(p.name));
  std::vector<const Stmt*> list;
  for (const auto& s : proc.block) list.push_back(s.get());
  check.Statements(list);
}

}  // namespace engine
