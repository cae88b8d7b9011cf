// INSERT, UPDATE, DELETE and EXEC: the row changes, each recorded in the undo
// log before it is made, and the NOT NULL and key checks they run.
#include <algorithm>
#include <map>
#include <optional>

#include "engine/ascii.h"
#include "engine/session_internal.h"

namespace engine {

namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return r;
}

Error Terminated(int number, std::string text, int severity = 16) {
  return WithFollow(SqlError(number, std::move(text), severity), 3621, 0,
                    "The statement has been terminated.");
}

bool Reads(const Catalog& cat, const Select& q, const Table* t);

// Whether e or a subquery inside it reads table t.
bool Reads(const Catalog& cat, const Expr* e, const Table* t) {
  if (!e) return false;
  if (e->sub && Reads(cat, *e->sub, t)) return true;
  for (const auto& a : e->args)
    if (Reads(cat, a.get(), t)) return true;
  return false;
}

bool Reads(const Catalog& cat, const Select& q, const Table* t) {
  if (q.set_op != Select::None) return Reads(cat, *q.lhs, t) || Reads(cat, *q.rhs, t);
  for (const TableRef& r : q.from) {
    if (r.sub ? Reads(cat, *r.sub, t) : cat.FindTable(r.name).get() == t) return true;
    if (Reads(cat, r.on.get(), t)) return true;
  }
  for (const SelectItem& i : q.items)
    if (Reads(cat, i.expr.get(), t)) return true;
  for (const auto& g : q.group)
    if (Reads(cat, g.get(), t)) return true;
  for (const OrderItem& o : q.order)
    if (Reads(cat, o.expr.get(), t)) return true;
  return Reads(cat, q.where.get(), t) || Reads(cat, q.having.get(), t);
}

}  // namespace

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
      std::vector<Value> key_vals;
      for (int c : ix->cols) key_vals.push_back(vals[c]);
      DuplicateKey(t, *ix, key_vals);
    }
  }
}

void Session::DuplicateKey(const Table& t, const Index& ix, const std::vector<Value>& key_vals) {
  std::string shown;
  for (const Value& v : key_vals) shown += (shown.empty() ? "" : ", ") + ToText(v);
  // Both at severity 14, as SQL Server sends them.
  if (ix.primary)
    throw Terminated(2627, "Violation of PRIMARY KEY constraint '" + ix.name +
                               "'. Cannot insert duplicate key in object 'dbo." + t.name +
                               "'. The duplicate key value is (" + shown + ").",
                     14);
  throw Terminated(2601, "Cannot insert duplicate key row in object 'dbo." + t.name +
                             "' with unique index '" + ix.name + "'. The duplicate key value is (" +
                             shown + ").",
                   14);
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

  auto mismatch = [&](std::size_t width) {
    if (s.names.empty()) {
      if (ident >= 0 && width == t->cols.size())
        throw SqlError(
            8101,
            "An explicit value for the identity column in table '" + t->name +
                "' can only be specified when a column list is used and IDENTITY_INSERT is ON.");
      throw SqlError(213,
                     "Column name or number of supplied values does not match table definition.");
    }
  };

  bool identity_saved = false;
  std::optional<std::int64_t> last_identity;  // the last value the column took
  std::int64_t inserted = 0;
  std::vector<Value> full(t->cols.size());
  std::vector<bool> given(t->cols.size());
  auto insert = [&](std::vector<Value>& in) {
    if (row_limit_ > 0 && inserted >= row_limit_) return;  // SET ROWCOUNT
    if (ident >= 0 && !identity_saved) {
      Undo u{};
      u.k = Undo::Identity;
      u.t = t;
      u.D().identity_next = t->identity_next;
      u.D().identity_used = t->identity_used;
      undo_.push_back(std::move(u));
      identity_saved = true;
    }
    std::fill(given.begin(), given.end(), false);
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
        // A value past the column's type, or past 64 bits (a database file
        // may hold any seed and increment), is refused as SQL Server
        // refuses it.
        std::int64_t next;
        bool past = __builtin_add_overflow(t->identity_next, col.increment, &next);
        try {
          full[c] = ConvertTo(Value::Int(t->identity_next), col.type);
        } catch (const Error&) {
          past = true;
        }
        if (past)
          throw Terminated(8115, "Arithmetic overflow error converting IDENTITY to data type " +
                                     TypeName(col.type) + ".");
        last_identity = t->identity_next;
        t->identity_next = next;
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
    ++inserted;
    // The rows one statement appends take consecutive slots: one undo entry
    // covers them all, so INSERT ... SELECT of a large table costs one entry.
    if (undo_.size() > stmt_mark_ && undo_.back().k == Undo::RowIns && undo_.back().t == t &&
        undo_.back().slot + (undo_.back().d ? undo_.back().d->rows : 1) == slot) {
      ++undo_.back().D().rows;
      return;
    }
    Undo u{};
    u.k = Undo::RowIns;
    u.t = t;
    u.slot = slot;
    undo_.push_back(std::move(u));
  };

  if (s.select) {
    std::vector<ResultColumn> columns;
    bool checked = false;
    auto check_width = [&] {
      checked = true;
      std::size_t width = columns.size();
      if (width == target.size()) return;
      mismatch(width);
      throw SqlError(
          width < target.size() ? 120 : 121,
          width < target.size()
              ? "The select list for the INSERT statement contains fewer items than the insert "
                "list. The number of SELECT values must match the number of INSERT columns."
              : "The select list for the INSERT statement contains more items than the insert "
                "list. The number of SELECT values must match the number of INSERT columns.",
          15);
    };
    if (Reads(cat_, *s.select, t.get())) {
      // The select sees the table as it was before the statement: its rows
      // are all made before the first is inserted.
      std::vector<std::vector<Value>> input;
      SelectRows(*s.select, &columns,
                 [&](std::vector<Value>& v) { input.push_back(std::move(v)); });
      check_width();
      for (auto& in : input) insert(in);
    } else {
      // Rows go into the table as the select makes them, so a copy of a large
      // table holds no more than one row on the way.
      SelectRows(*s.select, &columns, [&](std::vector<Value>& v) {
        if (!checked) check_width();
        insert(v);
      });
      if (!checked) check_width();
    }
  } else {
    // The rows to insert, evaluated before any is inserted.
    std::vector<std::vector<Value>> input;
    Ctx ctx;
    Scope scope;
    for (const auto& row : s.values) {
      if (row.size() != target.size()) {
        mismatch(row.size());
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
    for (auto& in : input) insert(in);
  }

  // @@IDENTITY and SCOPE_IDENTITY(): the last value given, NULL after an
  // INSERT into a table without an identity column.
  if (ident < 0) {
    identity_.reset();
    scope_identity_.reset();
  } else if (last_identity) {
    identity_ = scope_identity_ = last_identity;
  }
  StatementResult r;
  r.rows_affected = inserted;
  return r;
}

// What an UPDATE or DELETE through a view changes: the view's one table,
// the rows its WHERE and the statement's select, the columns its select
// list names. The statement's names of view columns are renamed to the
// table's; its WHERE is lent to the combined condition while it runs.
struct ViewWrite {
  std::unique_ptr<Select> view;
  std::string name;
  std::map<std::string, std::string> columns;  // by Fold(view column): the table's, "" if derived
  ExprP where;                                 // the view's WHERE AND the statement's
  ExprP* lent = nullptr;                       // where the statement's WHERE came from
  ViewWrite() = default;
  ViewWrite(const ViewWrite&) = delete;
  ViewWrite& operator=(const ViewWrite&) = delete;
  ~ViewWrite() {
    if (lent && where) *lent = std::move(where->args[1]);
  }
  // The table's name of view column c (c itself when it is no view column).
  std::string Column(const std::string& c) const {
    auto it = columns.find(Fold(c));
    if (it == columns.end()) return c;
    if (it->second.empty())
      throw SqlError(4406, "Update or insert of view or function '" + name +
                               "' failed because it contains a derived or constant field.");
    return it->second;
  }
  void Rename(Expr* e) const {
    if (!e) return;
    if (e->k == Expr::Col && (e->qual.empty() || FoldedEqual(e->qual, name))) {
      e->name = Column(e->name);
      e->qual.clear();
    }
    for (auto& a : e->args) Rename(a.get());
  }
};

std::shared_ptr<Table> Session::WriteTarget(const Stmt& s, ViewWrite* vw) {
  if (cat_.FindTable(s.table) || !cat_.FindObject(s.table) ||
      cat_.FindObject(s.table)->xtype != "V")
    return UserTable(s.table);
  const Object& o = *cat_.FindObject(s.table);
  std::vector<std::string> names;
  vw->view = ParseView(o.text, &names);
  vw->name = o.name;
  const Select& q = *vw->view;
  bool aggregates = false;
  for (const SelectItem& i : q.items)
    if (i.expr && i.expr->k == Expr::Agg) aggregates = true;
  if (q.set_op != Select::None || q.distinct || !q.group.empty() || q.having || aggregates ||
      q.top >= 0)
    throw SqlError(4403, "Cannot update the view or function '" + o.name +
                             "' because it contains aggregates, or a DISTINCT or GROUP BY clause, "
                             "or PIVOT or UNPIVOT operator.");
  if (q.from.size() != 1 || q.from[0].sub || !cat_.FindTable(q.from[0].name))
    throw SqlError(4405, "View or function '" + o.name +
                             "' is not updatable because the modification affects multiple base "
                             "tables.");
  if (!replaying_) Lock(Fold(q.from[0].name), true);
  std::shared_ptr<Table> t = cat_.FindTable(q.from[0].name);
  std::size_t k = 0;
  auto add = [&](const std::string& view_col, const std::string& base) {
    const std::string shown = k < names.size() ? names[k] : view_col;
    ++k;
    vw->columns[Fold(shown)] = base;
  };
  for (const SelectItem& i : q.items) {
    if (i.star) {
      for (const Column& c : t->cols) add(c.name, c.name);
    } else if (i.expr->k == Expr::Col && t->FindColumn(i.expr->name) >= 0) {
      add(i.alias.empty() ? i.expr->name : i.alias,
          t->cols[t->FindColumn(i.expr->name)].name);
    } else {
      add(i.alias, "");
    }
  }
  auto& stmt = const_cast<Stmt&>(s);
  vw->Rename(stmt.where.get());
  for (auto& set : stmt.sets) vw->Rename(set.second.get());
  if (q.where) {
    vw->where = std::make_unique<Expr>();
    vw->where->k = Expr::And;
    vw->where->args.push_back(std::move(vw->view->where));
    if (stmt.where) {
      vw->where->args.push_back(std::move(stmt.where));
      vw->lent = &stmt.where;
    } else {
      auto yes = std::make_unique<Expr>();  // 1 = 1
      yes->k = Expr::Cmp;
      yes->op = "=";
      yes->args.push_back(std::make_unique<Expr>());
      yes->args.back()->lit = Value::Int(1);
      yes->args.push_back(std::make_unique<Expr>());
      yes->args.back()->lit = Value::Int(1);
      vw->where->args.push_back(std::move(yes));
    }
  }
  return t;
}

StatementResult Session::DoUpdate(const Stmt& s) {
  if (SystemTable(cat_, s.table))
    throw SqlError(259, "Ad hoc updates to system catalogs are not allowed.");
  ViewWrite vw;
  std::shared_ptr<Table> t = WriteTarget(s, &vw);
  Scope scope;
  scope.srcs.push_back({t, t->name});
  std::vector<int> cols;
  for (const auto& [set_name, e] : s.sets) {
    const std::string name = vw.view ? vw.Column(set_name) : set_name;
    int c = t->FindColumn(name);
    if (c < 0) throw SqlError(207, "Invalid column name '" + name + "'.");
    if (t->cols[c].identity)
      throw SqlError(8102, "Cannot update identity column '" + t->cols[c].name + "'.");
    cols.push_back(c);
    Bind(*e, scope, nullptr);
  }
  std::vector<std::uint32_t> slots =
      MatchingSlots(t, vw.where ? vw.where.get() : s.where.get(), scope);
  if (row_limit_ > 0 && static_cast<std::int64_t>(slots.size()) > row_limit_)
    slots.resize(static_cast<std::size_t>(row_limit_));  // SET ROWCOUNT
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
  AppendLookupsOver(*t, changed, affected);

  // Only the old values of the changed columns are kept for undo, and a row
  // is changed in place when its new values have the old sizes. A row still
  // borrowed from the snapshot that gets bytes of its own leaves its old
  // bytes there, and the undo log keeps only where they are. Consecutive
  // UPDATEs of the same columns of a table (a step walking a table a row at a
  // time) share one undo entry; should this one fail, its own records are
  // undone here, as the statement's undo mark lies past the shared entry.
  PatchLog* log = nullptr;
  PatchLog::Mark resume;
  if (!undo_.empty() && undo_.size() == stmt_mark_ && trancount_ > 0 &&
      (savepoints_.empty() || savepoints_.back().undo < undo_.size())) {
    Undo& last = undo_.back();
    if (last.k == Undo::RowPatch && last.t == t && last.patch->cols == changed) {
      log = last.patch.get();
      resume = log->End();
    }
  }
  const bool shared_entry = log != nullptr;
  if (!log) {
    Undo entry{};
    entry.k = Undo::RowPatch;
    entry.t = t;
    entry.patch = std::make_unique<PatchLog>();
    entry.patch->cols = changed;
    log = entry.patch.get();
    undo_.push_back(std::move(entry));
  }

  std::vector<Value> fresh(cols.size());
  std::vector<const Value*> patched(changed.size());
  std::vector<std::string> old_keys(affected.size()), new_keys(affected.size());
  std::string enc, old, packed;
  const Row* row[1];
  Ctx ctx;
  ctx.rows = row;
  try {
    for (std::uint32_t slot : slots) {
      CheckCancel();
      Row& cur = t->rows[slot];
      row[0] = &cur;
      for (std::size_t k = 0; k < cols.size(); ++k) {
        fresh[k] = ConvertTo(Eval(*s.sets[k].second, ctx), t->cols[cols[k]].type);
        if (fresh[k].null() && !t->cols[cols[k]].nullable) Fail515(*t, t->cols[cols[k]], "UPDATE");
      }
      enc.clear();
      for (std::size_t j = 0; j < changed.size(); ++j) EncodeValue(enc, fresh[source[j]]);
      if (!affected.empty()) {
        // An index whose key the row keeps (a column set to the value it
        // has) is left alone: a long list of rows sharing that key would
        // otherwise be searched for the row twice.
        for (std::size_t j = 0; j < changed.size(); ++j) patched[j] = &fresh[source[j]];
        for (std::size_t k = 0; k < affected.size(); ++k) {
          old_keys[k] = t->KeyOf(*affected[k], cur);
          new_keys[k] = t->KeyOfPatched(*affected[k], cur, changed, patched);
          if (old_keys[k] != new_keys[k]) t->IndexRemove(*affected[k], old_keys[k], slot);
        }
        // Only a unique index whose key changes can meet another row's.
        for (std::size_t k = 0; k < affected.size(); ++k) {
          const Index& ix = *affected[k];
          if (!ix.unique || old_keys[k] == new_keys[k] || !t->IndexHasOther(ix, new_keys[k], slot))
            continue;
          for (std::size_t m = 0; m < affected.size(); ++m)
            if (old_keys[m] != new_keys[m]) t->IndexAdd(*affected[m], old_keys[m], slot);
          std::vector<Value> key_vals;
          for (int c : ix.cols) {
            auto at = std::lower_bound(changed.begin(), changed.end(), c);
            key_vals.push_back(at != changed.end() && *at == c ? *patched[at - changed.begin()]
                                                               : GetColumn(cur, c));
          }
          DuplicateKey(*t, ix, key_vals);
        }
      }
      // The record is written before the row changes: undoing a record whose
      // change never happened puts back what is there.
      packed.clear();
      std::uint32_t flag = 0;
      if (cur.borrowed() && !PatchesInPlace(cur, changed, enc)) {
        log->keep = t->loaded;
        if (t->borrowed > 0) --t->borrowed;
        const char* at = cur.data();
        const auto n = static_cast<std::uint32_t>(cur.size());
        packed.append(reinterpret_cast<const char*>(&at), sizeof at);
        packed.append(reinterpret_cast<const char*>(&n), 4);
        flag = PatchLog::kBorrowed;
      } else {
        old.clear();
        AppendColumns(cur, changed, old);
        PackBlanks(old, packed);
      }
      const std::uint32_t len = static_cast<std::uint32_t>(packed.size()) | flag;
      std::string& out = log->Room(packed.size() + 8);
      out += packed;
      out.append(reinterpret_cast<const char*>(&len), 4);
      out.append(reinterpret_cast<const char*>(&slot), 4);
      PatchRow(cur, changed, enc);
      for (std::size_t k = 0; k < affected.size(); ++k)
        if (old_keys[k] != new_keys[k]) t->IndexAdd(*affected[k], new_keys[k], slot);
    }
  } catch (...) {
    if (shared_entry) UndoPatch(*t, *log, resume);
    throw;
  }
  return r;
}

StatementResult Session::DoDelete(const Stmt& s) {
  if (SystemTable(cat_, s.table))
    throw SqlError(259, "Ad hoc updates to system catalogs are not allowed.");
  ViewWrite vw;
  std::shared_ptr<Table> t = WriteTarget(s, &vw);
  Scope scope;
  scope.srcs.push_back({t, t->name});
  std::vector<std::uint32_t> slots =
      MatchingSlots(t, vw.where ? vw.where.get() : s.where.get(), scope);
  if (row_limit_ > 0 && static_cast<std::int64_t>(slots.size()) > row_limit_)
    slots.resize(static_cast<std::size_t>(row_limit_));  // SET ROWCOUNT
  for (std::uint32_t slot : slots) {
    CheckCancel();
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
  std::optional<std::int64_t> code;
  if (n == "sp_getapplock" || n == "sp_releaseapplock") {
    // Parameters by name or by position, in the order SQL Server lists them.
    static const std::vector<std::string> kGet = {"@resource", "@lockmode", "@lockowner",
                                                  "@locktimeout", "@dbprincipal"};
    static const std::vector<std::string> kRelease = {"@resource", "@lockowner", "@dbprincipal"};
    const auto& names = n == "sp_getapplock" ? kGet : kRelease;
    std::vector<Value> args(names.size());
    for (std::size_t k = 0; k < s.params.size(); ++k) {
      std::size_t at = k;
      if (!s.params[k].first.empty()) {
        auto it = std::find(names.begin(), names.end(), Lower(s.params[k].first));
        if (it == names.end())
          throw SqlError(8145,
                         s.params[k].first + " is not a parameter for procedure " + s.name + ".");
        at = static_cast<std::size_t>(it - names.begin());
      }
      if (at >= names.size())
        throw SqlError(8144,
                       "Procedure or function " + s.name + " has too many arguments specified.");
      if (!s.params[k].second) continue;  // DEFAULT
      Scope scope;
      Bind(*s.params[k].second, scope, nullptr);
      Ctx ctx;
      args[at] = Eval(*s.params[k].second, ctx);
    }
    code = n == "sp_getapplock" ? GetAppLock(args) : ReleaseAppLock(args);
  } else {  // a user procedure runs in RunProcedure
    throw SqlError(2812, "Could not find stored procedure '" + s.name + "'.");
  }
  if (!s.var.empty()) {
    auto v = vars_.find(s.var);
    if (v == vars_.end())
      throw SqlError(137, "Must declare the scalar variable \"" + s.var + "\".", 15);
    v->second.value = ConvertTo(Value::Int(*code), v->second.type);
  }
  return r;
}

}  // namespace engine
