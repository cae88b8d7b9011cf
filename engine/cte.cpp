// Common table expressions (WITH): each is read as a derived table wherever
// the statement names it, its query seeing the CTEs written before it. A
// CTE that names itself is recursive: its anchor (the queries before the
// top-level UNION ALL that do not name it) gives the first rows, then the
// recursive member runs again and again on the rows the round before gave,
// until a round gives none; every round's rows together are the CTE's.
#include "engine/session_internal.h"

namespace engine {

namespace {

bool Names(const Select& q, const std::string& name);

bool Names(const Expr* e, const std::string& name) {
  if (!e) return false;
  if (e->sub && Names(*e->sub, name)) return true;
  for (const auto& a : e->args)
    if (Names(a.get(), name)) return true;
  return false;
}

// Whether q reads a table called name anywhere (subqueries included).
bool Names(const Select& q, const std::string& name) {
  if (q.lhs) return Names(*q.lhs, name) || Names(*q.rhs, name);
  for (const TableRef& r : q.from) {
    if (r.sub ? Names(*r.sub, name) : FoldedEqual(r.name, name)) return true;
    if (Names(r.on.get(), name)) return true;
  }
  for (const SelectItem& i : q.items)
    if (Names(i.expr.get(), name)) return true;
  for (const auto& g : q.group)
    if (Names(g.get(), name)) return true;
  return Names(q.where.get(), name) || Names(q.having.get(), name);
}

}  // namespace

std::shared_ptr<Table> Session::CteTable(const std::string& name) {
  // The round before of a recursive CTE being computed.
  for (auto it = cte_rounds_.rbegin(); it != cte_rounds_.rend(); ++it)
    if (FoldedEqual(it->first, name)) return it->second;
  if (!cte_stmt_) return nullptr;
  const std::vector<Cte>& ctes = cte_stmt_->ctes;
  for (std::size_t k = 0; k < ctes_visible_ && k < ctes.size(); ++k) {
    const Cte& c = ctes[k];
    if (!FoldedEqual(c.name, name)) continue;
    // Its query sees the CTEs before it, and itself.
    struct Visible {
      std::size_t& slot;
      std::size_t was;
      ~Visible() { slot = was; }
    } visible{ctes_visible_, ctes_visible_};
    ctes_visible_ = k;
    if (Names(*c.query, c.name)) return RecursiveCte(c);
    return DerivedTable(*c.query, c.name, c.columns);
  }
  return nullptr;
}

std::shared_ptr<Table> Session::RecursiveCte(const Cte& cte) {
  const Select& q = *cte.query;
  if (q.set_op != Select::UnionAll || Names(*q.lhs, cte.name) || !Names(*q.rhs, cte.name))
    throw SqlError(252, "Recursive common table expression '" + cte.name +
                            "' does not contain a top-level UNION ALL operator.");
  std::vector<ResultColumn> cols;
  std::vector<std::vector<Value>> rows;
  SelectRows(*q.lhs, &cols, [&](std::vector<Value>& v) { rows.push_back(std::move(v)); });
  const std::vector<ResultColumn> anchor = cols;
  std::shared_ptr<Table> all = RowsTable(cols, rows, cte.name, cte.columns);
  std::shared_ptr<Table> round = std::make_shared<Table>();
  round->name = all->name;
  round->cols = all->cols;
  for (const Row& r : all->rows) {
    round->rows.push_back(r);
    ++round->live;
  }
  const int limit = cte_stmt_ ? cte_stmt_->max_recursion : 100;
  for (int level = 1; round->live > 0; ++level) {
    std::vector<ResultColumn> rcols;
    std::vector<std::vector<Value>> next;
    cte_rounds_.emplace_back(cte.name, round);
    struct Pop {
      std::vector<std::pair<std::string, std::shared_ptr<Table>>>& v;
      ~Pop() { v.pop_back(); }
    } pop{cte_rounds_};
    SelectRows(*q.rhs, &rcols, [&](std::vector<Value>& v) { next.push_back(std::move(v)); });
    if (rcols.size() != anchor.size())
      throw SqlError(205,
                     "All queries combined using a UNION, INTERSECT or EXCEPT operator must have "
                     "an equal number of expressions in their target lists.");
    // Where both parts declare a column's type, the types must be the same.
    for (std::size_t c = 0; c < anchor.size(); ++c) {
      const ResultColumn &a = anchor[c], &r = rcols[c];
      if ((!a.declared.empty() || !r.declared.empty()) &&
          (a.declared != r.declared || a.length != r.length || a.precision != r.precision ||
           a.scale != r.scale))
        throw SqlError(240, "Types don't match between the anchor and the recursive part in "
                            "column \"" + all->cols[c].name + "\" of recursive query \"" +
                                cte.name + "\".");
    }
    if (next.empty()) break;
    if (limit > 0 && level > limit)
      throw SqlError(530, "The statement terminated. The maximum recursion " +
                              std::to_string(limit) + " has been exhausted before statement "
                              "completion.");
    auto fresh = std::make_shared<Table>();
    fresh->name = all->name;
    fresh->cols = all->cols;
    for (auto& v : next) {
      for (std::size_t c = 0; c < v.size(); ++c) v[c] = ConvertTo(v[c], all->cols[c].type);
      Row row(EncodeRow(v));
      all->rows.push_back(row);
      ++all->live;
      fresh->rows.push_back(std::move(row));
      ++fresh->live;
    }
    round = std::move(fresh);
    CheckCancel();
  }
  return all;
}

}  // namespace engine
