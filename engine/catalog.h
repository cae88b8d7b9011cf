// Tables, their rows and indexes, and the catalogue of all objects of one
// database, from which sysobjects, syscolumns and sysindexes are derived.
//
// A row is kept encoded in one run of bytes (see EncodeRow and Row) to keep
// memory close to the raw data; an empty row marks a deleted slot. Slots are never
// reused while the database is open, so a scan returns rows in insertion order.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/ast.h"
#include "engine/value.h"

namespace engine {

// One row's encoded bytes (see EncodeRow); an empty row marks a deleted slot.
// A row owns its bytes, or borrows them from the snapshot its table was loaded
// from, so that opening a database copies no row. Each borrowed range belongs
// to one Row only, so a row may be changed in place either way; a change of
// size gives it bytes of its own.
class Row {
 public:
  Row() = default;
  explicit Row(std::string_view bytes) { Own(bytes); }
  static Row Borrow(char* bytes, std::size_t n) {
    Row r;
    r.p_ = bytes;
    r.n_ = static_cast<std::uint32_t>(n);
    r.borrowed_ = true;
    return r;
  }
  Row(const Row& o) { Own(o.view()); }
  Row(Row&& o) noexcept : p_(o.p_), n_(o.n_), borrowed_(o.borrowed_) { o.Forget(); }
  Row& operator=(const Row& o) {
    if (this != &o) assign(o.view());
    return *this;
  }
  Row& operator=(Row&& o) noexcept {
    if (this != &o) {
      clear();
      p_ = o.p_;
      n_ = o.n_;
      borrowed_ = o.borrowed_;
      o.Forget();
    }
    return *this;
  }
  ~Row() { clear(); }

  bool empty() const { return n_ == 0; }
  bool borrowed() const { return borrowed_; }
  std::size_t size() const { return n_; }
  const char* data() const { return p_; }
  char* mutable_data() { return p_; }
  std::string_view view() const { return {p_, n_}; }
  operator std::string_view() const { return view(); }

  void clear() {
    if (!borrowed_) delete[] p_;
    Forget();
  }
  void assign(std::string_view bytes) {
    Row fresh(bytes);
    *this = std::move(fresh);
  }
  // Replaces bytes [begin, end) by bytes: in place when the size stays,
  // otherwise in a fresh allocation the row owns. bytes must not point into
  // this row.
  void Replace(std::size_t begin, std::size_t end, std::string_view bytes) {
    if (bytes.size() == end - begin) {
      if (!bytes.empty()) std::memcpy(p_ + begin, bytes.data(), bytes.size());
      return;
    }
    std::size_t n = n_ - (end - begin) + bytes.size();
    char* q = new char[n];
    if (begin) std::memcpy(q, p_, begin);
    if (!bytes.empty()) std::memcpy(q + begin, bytes.data(), bytes.size());
    if (end < n_) std::memcpy(q + begin + bytes.size(), p_ + end, n_ - end);
    clear();
    p_ = q;
    n_ = static_cast<std::uint32_t>(n);
  }

 private:
  void Own(std::string_view bytes) {
    p_ = bytes.empty() ? nullptr : new char[bytes.size()];
    if (!bytes.empty()) std::memcpy(p_, bytes.data(), bytes.size());
    n_ = static_cast<std::uint32_t>(bytes.size());
    borrowed_ = false;
  }
  void Forget() {
    p_ = nullptr;
    n_ = 0;
    borrowed_ = false;
  }
  char* p_ = nullptr;
  std::uint32_t n_ = 0;
  bool borrowed_ = false;
};

struct Column {
  std::string name;
  TypeSpec type;
  bool nullable = true;
  bool identity = false;
  std::int64_t seed = 1, increment = 1;
  int default_id = 0;        // sysobjects id of the column's default, 0 when none
  std::string default_text;  // its expression as written, e.g. "('')"
  std::shared_ptr<Expr> default_expr;
};

struct Index {
  std::string name;
  int indid = 2;
  bool unique = false;
  bool primary = false;
  bool clustered = false;
  std::vector<int> cols;
  // Row slots by key, kept through the Table::Index* functions: open
  // addressing over the distinct keys with linear probing. A cell holds the
  // key's hash (high half) and either the one slot with that key or, with the
  // top bit set, the number of a list of the slots sharing it, in ascending
  // order (a slot is found in it by halving). Keys are not stored: they are
  // taken from a row holding the key when two hashes meet.
  std::vector<std::uint64_t> cells;
  std::vector<std::vector<std::uint32_t>> lists;
  std::vector<std::uint32_t> free_lists;
  std::size_t used = 0;  // occupied cells
};

struct Table {
  std::string name;
  int id = 0;
  std::int64_t crdate = 0;
  std::vector<Column> cols;
  std::vector<Row> rows;
  // The snapshot bytes that rows loaded with the table borrow, and how many
  // rows may still borrow from them (an UPDATE that gives a borrowed row bytes
  // of its own counts it off; rows deleted are not counted off, so zero means
  // none is left only once the rows say so too).
  std::shared_ptr<char[]> loaded;
  std::size_t borrowed = 0;
  std::size_t live = 0;
  std::int64_t identity_next = 0;  // next identity value (valid when identity_used)
  bool identity_used = false;
  std::vector<std::unique_ptr<Index>> indexes;
  // Set when the rows were loaded without building the indexes: the maps are
  // empty and unmaintained until EnsureIndexes() builds them from the rows.
  mutable bool indexes_stale = false;
  // Private look-up indexes over single columns that no index serves, built
  // once a large table has been searched by one of them several times (a
  // step updating a table a row at a time by a column without an index). They
  // are the engine's own: not in sysindexes, not written to the file, never
  // checked for uniqueness; kept like the indexes as rows change and
  // forgotten when the table's columns change.
  mutable std::vector<std::unique_ptr<Index>> lookups;
  mutable std::vector<std::uint32_t> lookup_scans;  // equality scans by column

  int FindColumn(std::string_view name) const;  // -1 when absent
  Index* FindIndex(std::string_view name) const;
  int IdentityColumn() const;
  // Index key of slot r (or of decoded values) for index ix.
  std::string KeyOf(const Index& ix, std::string_view row) const;
  std::string KeyOfValues(const Index& ix, const std::vector<Value>& vals) const;
  // Key of row for ix once the columns changed (ascending) take values
  // (values[j] for changed[j]).
  std::string KeyOfPatched(const Index& ix, std::string_view row, const std::vector<int>& changed,
                           const std::vector<const Value*>& values) const;
  // Entries of ix, whose keys must be those of the rows they name.
  void IndexAdd(Index& ix, const std::string& key, std::uint32_t slot);
  void IndexRemove(Index& ix, const std::string& key, std::uint32_t slot);
  void IndexFind(const Index& ix, const std::string& key, std::vector<std::uint32_t>* out) const;
  // Whether a slot other than self has key.
  bool IndexHasOther(const Index& ix, const std::string& key, std::uint32_t self) const;
  // A slot whose key other slots share, or UINT32_MAX.
  std::uint32_t IndexDuplicate(const Index& ix) const;
  void IndexRow(std::uint32_t slot);
  void UnindexRow(std::uint32_t slot);
  void RebuildIndex(Index& ix);
  // Builds every index from the rows if they were left unbuilt at load.
  void EnsureIndexes() const;
  // The look-up over column col, built now if the table is worth it and the
  // column has been scanned for a value often enough; or null.
  const Index* LookupFor(int col) const;
  void ForgetLookups();

 private:
  std::size_t Probe(const Index& ix, const std::string& key, std::uint32_t hash) const;

  // Column positions by name, case-insensitively, for FindColumn. Built from
  // cols when first needed and rebuilt when cols no longer agree with it: an
  // entry is used only when the column it names has that name, and a name it
  // lacks is searched for in cols before it is called absent.
  struct FoldedHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const;
  };
  struct FoldedEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const {
      return a == b || FoldedEqual(a, b);  // names are mostly written as declared
    }
  };
  mutable std::unordered_map<std::string, int, FoldedHash, FoldedEq> column_at_;
};

// Key form of a value already converted to the column's type.
std::string KeyPart(const Value& v);

std::string EncodeRow(const std::vector<Value>& vals);
void EncodeValue(std::string& out, const Value& v);
// The kind byte of a bigint in an encoded row (then 8 bytes, as an int):
// past the kinds a value has, so that a bigint column's values read back as
// bigint.
constexpr unsigned char kStoredBigInt = 7;
// Byte range [begin, end) of column col in an encoded row.
std::pair<std::size_t, std::size_t> ColumnSpan(std::string_view row, int col);
// Appends the encoded values of cols (ascending) of row to out.
void AppendColumns(std::string_view row, const std::vector<int>& cols, std::string& out);
// Replaces the values of cols (ascending) in row by the encoded values in enc,
// in place when the sizes match.
void PatchRow(Row& row, const std::vector<int>& cols, std::string_view enc);
// Whether PatchRow(row, cols, enc) changes the row in place: every new
// encoding has the size of the old one.
bool PatchesInPlace(std::string_view row, const std::vector<int>& cols, std::string_view enc);
// Appends the encoded values of cols (ascending) of row to taken and the
// others to kept.
void SplitColumns(std::string_view row, const std::vector<int>& cols, std::string& taken,
                  std::string& kept);
// The inverse: appends to out the row whose values at positions cols
// (ascending) are the encoded values in taken, the others those in kept.
void MergeColumns(std::string_view kept, const std::vector<int>& cols, std::string_view taken,
                  std::string& out);
void DecodeRow(std::string_view row, std::vector<Value>* vals);
Value GetColumn(std::string_view row, int col);

// A non-table object: view, procedure, trigger, default or key constraint.
struct Object {
  int id = 0;
  std::string name;
  std::string xtype;  // "V", "P", "TR", "D", "PK", "UQ"
  int parent = 0;     // table id for D / PK / UQ
  std::int64_t crdate = 0;
  std::string text;  // view / procedure source
};

struct Catalog {
  std::map<std::string, std::shared_ptr<Table>> tables;  // by Fold(name)
  std::vector<Object> objects;
  int next_id = 2000000000 / 1000;  // object ids handed out in order

  std::shared_ptr<Table> FindTable(std::string_view name) const;
  Object* FindObject(std::string_view name);
  const Table* TableById(int id) const;
  bool NameTaken(std::string_view name) const;  // any object of that name
};

// sysobjects / syscolumns / sysindexes rows as a table built from the catalogue;
// nullptr when name is not a system table.
std::shared_ptr<Table> SystemTable(const Catalog& cat, std::string_view name);
// Building blocks of system tables made on the fly.
Column Col(const char* name, Type t, int len = 0);
void AddRow(Table& t, std::vector<Value> vals);

}  // namespace engine
