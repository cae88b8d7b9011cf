// Tables, their rows and indexes, and the catalogue of all objects of one
// database, from which sysobjects, syscolumns and sysindexes are derived.
//
// A row is kept encoded in one byte string (see EncodeRow) to keep memory
// close to the raw data; an empty string marks a deleted slot. Slots are never
// reused while the database is open, so a scan returns rows in insertion order.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/ast.h"
#include "engine/value.h"

namespace engine {

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
  // top bit set, the number of a list of the slots sharing it. Keys are not
  // stored: they are taken from a row holding the key when two hashes meet.
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
  std::vector<std::string> rows;
  std::size_t live = 0;
  std::int64_t identity_next = 0;  // next identity value (valid when identity_used)
  bool identity_used = false;
  std::vector<std::unique_ptr<Index>> indexes;
  // Set when the rows were loaded without building the indexes: the maps are
  // empty and unmaintained until EnsureIndexes() builds them from the rows.
  mutable bool indexes_stale = false;

  std::shared_ptr<Table> Clone() const;
  int FindColumn(std::string_view name) const;  // -1 when absent
  Index* FindIndex(std::string_view name) const;
  int IdentityColumn() const;
  // Index key of slot r (or of decoded values) for index ix.
  std::string KeyOf(const Index& ix, const std::string& row) const;
  std::string KeyOfValues(const Index& ix, const std::vector<Value>& vals) const;
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

 private:
  std::size_t Probe(const Index& ix, const std::string& key, std::uint32_t hash) const;
};

// Key form of a value already converted to the column's type.
std::string KeyPart(const Value& v);

std::string EncodeRow(const std::vector<Value>& vals);
void EncodeValue(std::string& out, const Value& v);
// Byte range [begin, end) of column col in an encoded row.
std::pair<std::size_t, std::size_t> ColumnSpan(const std::string& row, int col);
// Appends the encoded values of cols (ascending) of row to out.
void AppendColumns(const std::string& row, const std::vector<int>& cols, std::string& out);
// Replaces the values of cols (ascending) in row by the encoded values in enc,
// in place when the sizes match.
void PatchRow(std::string& row, const std::vector<int>& cols, std::string_view enc);
void DecodeRow(const std::string& row, std::vector<Value>* vals);
Value GetColumn(const std::string& row, int col);

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

}  // namespace engine
