// CREATE/DROP TABLE, INDEX, VIEW and PROCEDURE, and ALTER TABLE: schema
// changes, with SQL Server's refusals where an object depends on a column.
// Each records a snapshot of the catalogue's maps (or a narrower undo entry)
// first. ALTER TABLE ADD, ALTER COLUMN and DROP COLUMN change every live row
// in place and keep, for undo, only what a row loses: nothing for ADD (the
// bytes it appends have a known length), the old bytes of the column for
// ALTER COLUMN (one byte where the conversion left them as they were), the
// dropped columns' bytes for DROP COLUMN.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/session_internal.h"
#include "engine/temp_tables.h"

namespace engine {

namespace {

Error Dependent(const std::string& what, const std::string& name, const std::string& col,
                const char* verb) {
  Error e = SqlError(5074, "The " + what + " '" + name + "' is dependent on column '" + col + "'.");
  e.follow_on.push_back({4922, 16,
                         std::string("ALTER TABLE ") + verb + " " + col +
                             " failed because one or more objects access this column."});
  return e;
}

}  // namespace

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

void Session::BindDefault(Expr& e) {
  Scope none;
  Bind(e, none, nullptr);
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
  if (d.identity && d.type.type != Type::Int && d.type.type != Type::BigInt &&
      d.type.type != Type::SmallInt &&
      d.type.type != Type::TinyInt && !(d.type.type == Type::Numeric && d.type.scale == 0))
    throw SqlError(2749, "Identity column '" + d.name +
                             "' must be of data type int, bigint, smallint, tinyint, or decimal or "
                             "numeric with a scale of 0, and constrained to be nonnullable.");
}

// A new column as its definition gives it, before its default is bound. An
// identity column never holds NULL.
Column ColumnFrom(const ColumnDef& d) {
  Column c;
  c.name = d.name;
  c.type = d.type;
  c.nullable = !d.not_null && !d.identity;
  c.identity = d.identity;
  c.seed = d.seed;
  c.increment = d.increment;
  return c;
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
    Column c = ColumnFrom(d);
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
    if (!replaying_) Lock(Fold(n), true);
    auto t = cat_.FindTable(n);
    if (!t)
      throw SqlError(3701,
                     "Cannot drop the table '" + n +
                         "', because it does not exist or you do not have permission.",
                     11);
    SchemaSnapshot();
    cat_.tables.erase(Fold(n));
    std::erase_if(cat_.objects, [&](const Object& o) { return o.parent == t->id; });
    SpillRows(t);
  }
}

namespace {

// A dropped table holding less than this keeps its rows in memory.
constexpr std::size_t kSpillBytes = 1u << 20;
constexpr std::uint32_t kSpillBorrowed = 0x80000000u;  // a row's length: it is borrowed

}  // namespace

// Inside a transaction a dropped table must come back whole should the
// transaction roll back, so its rows are kept; those of a large table are kept
// on disk, not in memory (a step that rebuilds a table through a work table
// would otherwise hold three copies of it until it commits). Should the
// file fail, the rows stay in memory.
void Session::SpillRows(const std::shared_ptr<Table>& t) {
  if (trancount_ == 0 || spill_dir.empty()) return;
  std::size_t bytes = 0;
  for (const Row& r : t->rows)
    if (!r.borrowed()) bytes += r.size();  // borrowed rows cost no memory of their own
  if (bytes < kSpillBytes) return;
  const std::uint64_t at = spill_.end();
  std::string buf;
  for (const Row& r : t->rows) {
    // A row still borrowed from the snapshot is kept as where it lies there.
    const auto n = static_cast<std::uint32_t>(r.size()) | (r.borrowed() ? kSpillBorrowed : 0);
    buf.append(reinterpret_cast<const char*>(&n), 4);
    if (r.borrowed()) {
      const char* p = r.data();
      buf.append(reinterpret_cast<const char*>(&p), sizeof p);
    } else {
      buf.append(r.data(), r.size());
    }
    if (buf.size() >= kSpillBytes) {
      if (!spill_.Append(spill_dir, buf)) {
        spill_.CutTo(at);
        return;
      }
      buf.clear();
    }
  }
  if (!spill_.Append(spill_dir, buf)) {
    spill_.CutTo(at);
    return;
  }
  Undo u{};
  u.k = Undo::RowsSpilled;
  u.t = t;
  u.D().spill_at = at;
  u.D().spill_bytes = spill_.end() - at;
  u.D().rows = static_cast<std::uint32_t>(t->rows.size());
  undo_.push_back(std::move(u));
  // The table keeps its part of the snapshot: its borrowed rows, and the
  // rows its deletions in this transaction keep for undo, lie there.
  std::vector<Row>().swap(t->rows);
  for (auto& ix : t->indexes) {
    std::vector<std::uint64_t>().swap(ix->cells);
    std::vector<std::vector<std::uint32_t>>().swap(ix->lists);
    std::vector<std::uint32_t>().swap(ix->free_lists);
    ix->used = 0;
  }
  t->indexes_stale = !t->indexes.empty();
  t->ForgetLookups();
}

void Session::UnspillRows(Table& t, const UndoDetail& d) {
  t.rows.reserve(d.rows);
  std::string buf;
  std::uint64_t at = d.spill_at;
  const std::uint64_t end = d.spill_at + d.spill_bytes;
  std::size_t used = 0;
  // Makes `need` bytes past `used` readable, reading a megabyte or more at a time.
  auto want = [&](std::size_t need) {
    if (buf.size() - used >= need) return;
    buf.erase(0, used);
    used = 0;
    const std::size_t more = static_cast<std::size_t>(
        std::min<std::uint64_t>(end - at, std::max(need - buf.size(), kSpillBytes)));
    const std::size_t old = buf.size();
    buf.resize(old + more);
    if (buf.size() < need || !spill_.Read(at, more, buf.data() + old)) {
      // The transaction's changes cannot all be undone in memory. The file
      // on disk holds committed units only: the next opening finds the
      // database as it was before the transaction.
      std::fprintf(stderr,
                   "libupgrade engine: the rows of dropped table '%s' could not be read back "
                   "from the spill file; stopping so that the transaction is never committed.\n",
                   t.name.c_str());
      std::abort();
    }
    at += more;
  };
  for (std::uint32_t r = 0; r < d.rows; ++r) {
    want(4);
    std::uint32_t n;
    std::memcpy(&n, buf.data() + used, 4);
    used += 4;
    if (n & kSpillBorrowed) {
      want(sizeof(char*));
      char* p;
      std::memcpy(&p, buf.data() + used, sizeof p);
      used += sizeof p;
      t.rows.push_back(Row::Borrow(p, n & ~kSpillBorrowed));
    } else {
      want(n);
      t.rows.emplace_back(std::string_view(buf.data() + used, n));
      used += n;
    }
  }
  spill_.CutTo(d.spill_at);
}

bool Session::SpillFile::Append(const std::string& dir, std::string_view bytes) {
  if (!file_.IsOpen()) file_ = port::File::Temporary(dir);
  if (!file_.IsOpen() || !file_.WriteAt(end_, bytes.data(), bytes.size())) return false;
  end_ += bytes.size();
  return true;
}

bool Session::SpillFile::Read(std::uint64_t at, std::size_t n, char* out) const {
  return file_.ReadAt(at, out, n);
}

void Session::SpillFile::CutTo(std::uint64_t at) {
  if (!file_.IsOpen() || at >= end_) return;
  end_ = at;
  if (!file_.Truncate(at)) {
    // The space stays taken until the file is closed; what lies past end_
    // is never read.
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
    if (!replaying_) Lock(Fold(tn), true);
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
    u.D().index_unbuilt = t->indexes_stale;
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
  auto t = UserTable(s.table);
  t->ForgetLookups();
  for (std::size_t k = 0; k < s.columns.size(); ++k) {
    const ColumnDef& d = s.columns[k];
    ValidateColumnType(d);
    bool dup = t->FindColumn(d.name) >= 0;
    for (std::size_t j = 0; j < k; ++j) dup = dup || Fold(s.columns[j].name) == Fold(d.name);
    if (dup)
      throw SqlError(2705, "Column names in each table must be unique. Column name '" + d.name +
                               "' in table '" + t->name + "' is specified more than once.");
    if (d.identity && t->IdentityColumn() >= 0)
      throw SqlError(2744, "Multiple identity columns specified for table '" + t->name +
                               "'. Only one identity column per table is allowed.");
    if (d.not_null && !d.def && !d.identity && t->live > 0)
      throw SqlError(
          4901,
          "ALTER TABLE only allows columns to be added that can contain nulls, or have a DEFAULT "
          "definition specified, or the column being added is an identity or timestamp column, or "
          "alternatively if none of the previous conditions are satisfied the table must be empty "
          "to allow addition of this column. Column '" +
              d.name + "' cannot be added to non-empty table '" + t->name +
              "' because it does not satisfy these conditions.");
    if (d.primary_key)
      throw SqlError(1750, "Could not create constraint or index. See previous errors.");
  }
  // The snapshot takes back the default objects and the ids they were given.
  SchemaSnapshot();
  // Existing rows get the identity sequence, the default of a NOT NULL
  // column, NULL otherwise (SQL Server leaves a nullable column NULL without
  // WITH VALUES). All but the identity value are the same for every row: the
  // encodings of the new columns before and after the identity column.
  std::vector<Column> added;
  std::string head, tail;
  int ident = -1;  // in added
  for (const ColumnDef& d : s.columns) {
    Column c = ColumnFrom(d);
    if (d.def) AddDefault(*t, c, d.def_name, d.def_text);
    if (c.identity)
      ident = static_cast<int>(added.size());
    else
      EncodeValue(ident >= 0 ? tail : head, c.nullable ? Value() : DefaultValue(c));
    added.push_back(std::move(c));
  }
  std::string extra = head;
  // The same size whatever the value, as the column's type encodes it.
  if (ident >= 0) EncodeValue(extra, ConvertTo(Value::Int(0), added[ident].type));
  extra += tail;

  if (ident >= 0 && t->live > 0) {
    // Every value the rows are to take must fit the column's type and 64
    // bits; checked before any row changes (values run from first to last).
    const Column& ic = added[ident];
    std::int64_t first = t->identity_used ? t->identity_next : ic.seed, span = 0, last = 0;
    bool past =
        __builtin_mul_overflow(ic.increment, static_cast<std::int64_t>(t->live - 1), &span) ||
        __builtin_add_overflow(first, span, &last) ||
        __builtin_add_overflow(last, ic.increment, &span);
    try {
      ConvertTo(Value::Int(first), ic.type);
      ConvertTo(Value::Int(last), ic.type);
    } catch (const Error&) {
      past = true;
    }
    if (past)
      throw SqlError(8115, "Arithmetic overflow error converting IDENTITY to data type " +
                               TypeName(ic.type) + ".");
  }
  Undo u{};
  u.k = Undo::ColumnsAdded;
  u.t = t;
  u.D().col = static_cast<int>(t->cols.size());
  u.D().appended = static_cast<std::uint32_t>(extra.size());
  u.D().identity_next = t->identity_next;
  u.D().identity_used = t->identity_used;
  undo_.push_back(std::move(u));
  for (Row& row : t->rows) {
    if (row.empty()) continue;
    if (ident >= 0) {
      if (!t->identity_used) {
        t->identity_next = added[ident].seed;
        t->identity_used = true;
      }
      extra = head;
      EncodeValue(extra, ConvertTo(Value::Int(t->identity_next), added[ident].type));
      extra += tail;
      t->identity_next += added[ident].increment;
    }
    row.Replace(row.size(), row.size(), extra);
  }
  for (Column& c : added) t->cols.push_back(std::move(c));
  ReleaseSnapshot(*t);
}

void Session::ReleaseSnapshot(Table& t) {
  if (!t.loaded) return;
  for (const Row& row : t.rows)
    if (row.borrowed()) return;
  for (const Undo& u : undo_)
    if (u.k == Undo::RowDel && u.t.get() == &t && u.old.borrowed()) return;
  t.loaded.reset();
  t.borrowed = 0;
}

namespace {

// A ColumnAltered record for a row whose bytes the conversion left as they
// were; no encoded value starts with it.
constexpr char kUnchanged = static_cast<char>(0xFF);

}  // namespace

void Session::DoAlterColumn(const Stmt& s) {
  auto t = UserTable(s.table);
  t->ForgetLookups();
  const ColumnDef& d = s.columns[0];
  int c = t->FindColumn(d.name);
  if (c < 0)
    throw SqlError(4924, "ALTER TABLE ALTER COLUMN failed because column '" + d.name +
                             "' does not exist in table '" + t->name + "'.");
  const Column& col = t->cols[c];
  bool same_type = col.type.type == d.type.type;
  bool widening_varchar =
      same_type && d.type.type == Type::VarChar && d.type.length >= col.type.length;
  for (const auto& ix : t->indexes) {
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
  Column altered = col;
  altered.type = d.type;
  altered.nullable = !d.not_null;

  // A row that fails the conversion ends the statement with the rows before
  // it converted: their records are all the log holds, and undo puts back
  // exactly those.
  Undo u{};
  u.k = Undo::ColumnAltered;
  u.t = t;
  u.D().col = c;
  u.D().column = col;
  u.patch = std::make_unique<PatchLog>();
  u.patch->cols = {c};
  PatchLog& log = *u.patch;
  undo_.push_back(std::move(u));
  bool changed = false;
  std::string enc;
  for (Row& row : t->rows) {
    if (row.empty()) continue;
    auto [begin, end] = ColumnSpan(row, c);
    std::string_view was = row.view().substr(begin, end - begin);
    Value v = ConvertTo(GetColumn(was, 0), d.type);
    if (v.null() && !altered.nullable) Fail515(*t, altered, "UPDATE");
    enc.clear();
    EncodeValue(enc, v);
    std::string& out = log.Room(was.size());
    if (enc == was) {
      out += kUnchanged;
      continue;
    }
    out.append(was);
    row.Replace(begin, end, enc);
    changed = true;
  }
  t->cols[c] = std::move(altered);
  if (changed && !t->indexes_stale)
    for (Index* ix : IndexesOver(*t, {c})) t->RebuildIndex(*ix);
}

void UndoColumnAltered(Table& t, UndoDetail& d, const PatchLog& log) {
  t.ForgetLookups();
  LogReader in(log);
  bool changed = false;
  for (Row& row : t.rows) {
    if (row.empty()) continue;
    std::string_view rest = in.Rest();
    if (rest.empty()) break;  // the statement failed before this row
    if (rest[0] == kUnchanged) {
      in.Advance(1);
      continue;
    }
    std::size_t len = ColumnSpan(rest, 0).second;
    auto [begin, end] = ColumnSpan(row, d.col);
    row.Replace(begin, end, rest.substr(0, len));
    in.Advance(len);
    changed = true;
  }
  t.cols[d.col] = d.column;
  if (changed && !t.indexes_stale)
    for (Index* ix : IndexesOver(t, {d.col})) t.RebuildIndex(*ix);
}

void Session::DoDropColumn(const Stmt& s) {
  auto t = UserTable(s.table);
  t->ForgetLookups();
  // The list goes in order, as on SQL Server: a column named a second time
  // has gone by then and does not exist (4924).
  std::vector<int> gone;
  for (const std::string& n : s.names) {
    int c = t->FindColumn(n);
    if (c < 0 || std::find(gone.begin(), gone.end(), c) != gone.end())
      throw SqlError(4924, "ALTER TABLE DROP COLUMN failed because column '" + n +
                               "' does not exist in table '" + t->name + "'.");
    const Column& col = t->cols[c];
    if (col.default_id)
      for (const Object& o : cat_.objects)
        if (o.id == col.default_id) throw Dependent("object", o.name, col.name, "DROP COLUMN");
    for (const auto& ix : t->indexes)
      if (std::find(ix->cols.begin(), ix->cols.end(), c) != ix->cols.end())
        throw Dependent(ix->primary ? "object" : "index", ix->name, col.name, "DROP COLUMN");
    gone.push_back(c);
  }
  if (gone.size() >= t->cols.size())
    throw SqlError(4923, "ALTER TABLE DROP COLUMN failed because '" + s.names.back() +
                             "' is the only data column in table '" + t->name +
                             "'. A table must have at least one data column.");
  std::sort(gone.begin(), gone.end());
  Undo u{};
  u.k = Undo::ColumnsDropped;
  u.t = t;
  u.D().cols = t->cols;
  u.D().identity_next = t->identity_next;
  u.D().identity_used = t->identity_used;
  u.patch = std::make_unique<PatchLog>();
  u.patch->cols = gone;
  PatchLog& log = *u.patch;
  undo_.push_back(std::move(u));
  std::string kept;
  for (Row& row : t->rows) {
    if (row.empty()) continue;
    kept.clear();
    SplitColumns(row, gone, log.Room(row.size()), kept);
    row.assign(kept);
  }
  ReleaseSnapshot(*t);
  // Highest first, so that each index still names the same column. No index
  // holds a dropped column, and keys do not change.
  for (auto c = gone.rbegin(); c != gone.rend(); ++c) {
    t->cols.erase(t->cols.begin() + *c);
    for (auto& ix : t->indexes)
      for (int& ic : ix->cols)
        if (ic > *c) --ic;
  }
  if (t->IdentityColumn() < 0) t->identity_used = false;
}

void UndoColumnsDropped(Table& t, UndoDetail& d, const PatchLog& log) {
  t.ForgetLookups();
  const std::vector<int>& gone = log.cols;
  LogReader in(log);
  std::string whole;
  for (Row& row : t.rows) {
    if (row.empty()) continue;
    std::string_view rest = in.Rest();
    if (rest.empty()) break;
    std::size_t len = ColumnSpan(rest, static_cast<int>(gone.size()) - 1).second;
    whole.clear();
    MergeColumns(row, gone, rest.substr(0, len), whole);
    row.assign(whole);
    in.Advance(len);
  }
  // Lowest first: each index column moves past the dropped ones before it.
  for (auto& ix : t.indexes)
    for (int& ic : ix->cols)
      for (int c : gone)
        if (ic >= c) ++ic;
  t.cols = std::move(d.cols);
  t.identity_next = d.identity_next;
  t.identity_used = d.identity_used;
}

void UndoColumnsAdded(Table& t, UndoDetail& d) {
  t.ForgetLookups();
  for (Row& row : t.rows)
    if (!row.empty()) row.Replace(row.size() - d.appended, row.size(), {});
  t.cols.erase(t.cols.begin() + d.col, t.cols.end());
  t.identity_next = d.identity_next;
  t.identity_used = d.identity_used;
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
    u.D().index_unbuilt = t->indexes_stale;
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
  if (!replaying_) Lock(Fold(s.name), true);
  // A trigger kept and never fired would answer differently without a word.
  if (s.xtype == "TR")
    throw SqlError(50000, "The embedded engine cannot run triggers: CREATE TRIGGER '" + s.name +
                              "' is refused.");
  // A procedure's body is checked as a batch is (137, 207) when it is made.
  if (s.xtype == "P" && !replaying_) CompileProcedure(s);
  if (s.on) {  // ALTER PROCEDURE: the same object with its new text
    Object* old = cat_.FindObject(s.name);
    if (!old || old->xtype != s.xtype)
      throw SqlError(208, "Invalid object name '" + s.name + "'.");
    SchemaSnapshot();
    cat_.FindObject(s.name)->text = s.xtype == "P" ? UnnameTempTables(s.body) : s.body;
    return;
  }
  if (cat_.NameTaken(s.name))
    throw SqlError(2714, "There is already an object named '" + s.name + "' in the database.");
  Object o;
  o.name = s.name;
  o.xtype = s.xtype;
  // A procedure's #tables are those of the session that runs it.
  o.text = s.xtype == "P" ? UnnameTempTables(s.body) : s.body;
  // A view that cannot be read (a table or column that is not there, ...)
  // is refused when it is made.
  if (o.xtype == "V") ViewTable(o);
  SchemaSnapshot();
  o.id = NewId();
  o.crdate = now_;
  cat_.objects.push_back(o);
}

void Session::DoDropObject(const Stmt& s) {
  const char* kind = s.xtype == "V" ? "view" : s.xtype == "TR" ? "trigger" : "procedure";
  for (const std::string& n : s.names) {
    if (!replaying_) Lock(Fold(n), true);
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
