// Row encoding, indexes and the system tables derived from the catalogue.
#include "engine/catalog.h"

#include "engine/ascii.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace engine {

namespace {

void PutVarint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}

std::uint64_t GetVarint(const char*& p) {
  std::uint64_t v = 0;
  int shift = 0;
  for (;;) {
    unsigned char b = static_cast<unsigned char>(*p++);
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
    shift += 7;
  }
}

void Put64(std::string& out, std::int64_t v) {
  char buf[8];
  std::memcpy(buf, &v, 8);
  out.append(buf, 8);
}

std::int64_t Get64(const char*& p) {
  std::int64_t v;
  std::memcpy(&v, p, 8);
  p += 8;
  return v;
}

// Skips one encoded value.
void Skip(const char*& p) {
  if (static_cast<unsigned char>(*p) == kStoredBigInt) {
    p += 9;
    return;
  }
  Kind k = static_cast<Kind>(*p++);
  switch (k) {
    case Kind::Null:
      break;
    case Kind::Int:
    case Kind::Date:
    case Kind::Float:
      p += 8;
      break;
    case Kind::Num:
      p += 9;
      break;
    case Kind::Str:
    case Kind::Bin: {
      std::uint64_t n = GetVarint(p);
      p += n;
      break;
    }
  }
}

Value Read(const char*& p) {
  if (static_cast<unsigned char>(*p) == kStoredBigInt) {
    ++p;
    return Value::BigInt(Get64(p));
  }
  Kind k = static_cast<Kind>(*p++);
  switch (k) {
    case Kind::Null:
      return Value::Null();
    case Kind::Int:
      return Value::Int(Get64(p));
    case Kind::Date:
      return Value::Date(Get64(p));
    case Kind::Float: {
      std::int64_t bits = Get64(p);
      double d;
      std::memcpy(&d, &bits, 8);
      return Value::Float(d);
    }
    case Kind::Num: {
      int scale = static_cast<unsigned char>(*p++);
      return Value::Num(Get64(p), scale);
    }
    case Kind::Str:
    case Kind::Bin: {  // a binary or varbinary column's bytes
      std::uint64_t n = GetVarint(p);
      Value v = k == Kind::Bin ? Value::Bin(std::string(p, n)) : Value::Str(std::string(p, n));
      p += n;
      return v;
    }
  }
  return Value::Null();
}

}  // namespace

void EncodeValue(std::string& out, const Value& v) {
  out += v.kind == Kind::Int && v.big ? static_cast<char>(kStoredBigInt)
                                      : static_cast<char>(v.kind);
  switch (v.kind) {
    case Kind::Null:
      break;
    case Kind::Int:
    case Kind::Date:
      Put64(out, v.i);
      break;
    case Kind::Float: {
      std::int64_t bits;
      std::memcpy(&bits, &v.f, 8);
      Put64(out, bits);
      break;
    }
    case Kind::Num:
      out += static_cast<char>(v.scale);
      Put64(out, v.i);
      break;
    case Kind::Str:
    case Kind::Bin:
      PutVarint(out, v.s.size());
      out += v.s;
      break;
  }
}

std::string EncodeRow(const std::vector<Value>& vals) {
  std::string out;
  std::size_t need = 0;
  for (const Value& v : vals) need += 10 + v.s.size();
  out.reserve(need);
  for (const Value& v : vals) EncodeValue(out, v);
  out.shrink_to_fit();
  return out;
}

std::pair<std::size_t, std::size_t> ColumnSpan(std::string_view row, int col) {
  const char* p = row.data();
  for (int c = 0; c < col; ++c) Skip(p);
  const char* b = p;
  Skip(p);
  return {static_cast<std::size_t>(b - row.data()), static_cast<std::size_t>(p - row.data())};
}

namespace {

// Hands the encoding of each column of cols (ascending) of row to f as
// (begin, size), in order; stops early when f returns false.
template <class F>
bool EachColumn(std::string_view row, const std::vector<int>& cols, F f) {
  const char* p = row.data();
  int at = 0;
  for (int c : cols) {
    for (; at < c; ++at) Skip(p);
    const char* b = p;
    Skip(p);
    ++at;
    if (!f(b, static_cast<std::size_t>(p - b))) return false;
  }
  return true;
}

}  // namespace

void AppendColumns(std::string_view row, const std::vector<int>& cols, std::string& out) {
  EachColumn(row, cols, [&](const char* b, std::size_t n) {
    out.append(b, n);
    return true;
  });
}

bool PatchesInPlace(std::string_view row, const std::vector<int>& cols, std::string_view enc) {
  const char* e = enc.data();
  return EachColumn(row, cols, [&](const char*, std::size_t n) {
    const char* eb = e;
    Skip(e);
    return static_cast<std::size_t>(e - eb) == n;
  });
}

void PatchRow(Row& row, const std::vector<int>& cols, std::string_view enc) {
  const char* e = enc.data();
  if (PatchesInPlace(row, cols, enc)) {
    EachColumn(row, cols, [&](const char* b, std::size_t n) {
      std::memcpy(row.mutable_data() + (b - row.data()), e, n);
      e += n;
      return true;
    });
    return;
  }
  const char* p = row.data();
  int at = 0;
  // The new row is put together in a buffer kept from row to row: a step
  // rewriting a large table a row at a time allocates only the rows.
  thread_local std::string out;
  out.clear();
  const char* copied = p;
  for (int c : cols) {
    for (; at < c; ++at) Skip(p);
    out.append(copied, static_cast<std::size_t>(p - copied));
    Skip(p);
    ++at;
    copied = p;
    const char* eb = e;
    Skip(e);
    out.append(eb, static_cast<std::size_t>(e - eb));
  }
  out.append(copied, static_cast<std::size_t>(row.data() + row.size() - copied));
  row.assign(out);
}

void SplitColumns(std::string_view row, const std::vector<int>& cols, std::string& taken,
                  std::string& kept) {
  const char* p = row.data();
  const char* end = p + row.size();
  std::size_t next = 0;
  for (int at = 0; p < end; ++at) {
    const char* b = p;
    Skip(p);
    bool take = next < cols.size() && cols[next] == at;
    (take ? taken : kept).append(b, static_cast<std::size_t>(p - b));
    if (take) ++next;
  }
}

void MergeColumns(std::string_view kept, const std::vector<int>& cols, std::string_view taken,
                  std::string& out) {
  const char* k = kept.data();
  const char* k_end = k + kept.size();
  const char* t = taken.data();
  std::size_t next = 0;
  for (int at = 0; k < k_end || next < cols.size(); ++at) {
    bool take = next < cols.size() && (cols[next] == at || k == k_end);
    const char*& p = take ? t : k;
    if (take) ++next;
    const char* b = p;
    Skip(p);
    out.append(b, static_cast<std::size_t>(p - b));
  }
}

void DecodeRow(std::string_view row, std::vector<Value>* vals) {
  vals->clear();
  const char* p = row.data();
  const char* end = p + row.size();
  while (p < end) vals->push_back(Read(p));
}

Value GetColumn(std::string_view row, int col) {
  const char* p = row.data();
  for (int c = 0; c < col; ++c) Skip(p);
  return Read(p);
}

// GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
// "literal" + std::string&& and std::string::insert (GCC bug 105329): a
// false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
std::string KeyPart(const Value& v) {
  std::string k;
  switch (v.kind) {
    case Kind::Null:
      return std::string(1, '\0');
    case Kind::Str:
      k.reserve(1 + v.s.size());
      k += 'S';
      AppendFolded(v.s, k);
      return k;
    case Kind::Bin: {
      std::string_view b(v.s);
      while (!b.empty() && b.back() == '\0') b.remove_suffix(1);
      return "B" + std::string(b);
    }
    case Kind::Int:
      k = "N" + std::to_string(v.i);
      return k;
    case Kind::Num: {
      // Normalised decimal text, so 5 and 5.00 meet.
      std::string t = ToText(v);
      if (t.find('.') != std::string::npos) {
        while (t.back() == '0') t.pop_back();
        if (t.back() == '.') t.pop_back();
      }
      return "N" + t;
    }
    case Kind::Date:
      k = "D";
      Put64(k, v.i);
      return k;
    case Kind::Float: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "F%.17g", v.f);
      return buf;
    }
  }
  return k;
}
#pragma GCC diagnostic pop

std::size_t Table::FoldedHash::operator()(std::string_view s) const {
  // Equal under FoldedEqual gives equal hashes: every byte below 0x80 is
  // taken upper-cased (GBK trail bytes too, which only merges more names).
  s = TrimRightBlanks(s);
  std::uint64_t h = 14695981039346656037ull;
  for (char ch : s) {
    h ^= AsciiUpper(static_cast<unsigned char>(ch));
    h *= 1099511628211ull;
  }
  return static_cast<std::size_t>(h);
}

int Table::FindColumn(std::string_view n) const {
  auto cached = column_at_.find(n);
  if (cached != column_at_.end()) {
    // The entry's name is n; the column is still there when it bears it.
    const auto c = static_cast<std::size_t>(cached->second);
    if (c < cols.size() && cols[c].name == cached->first) return cached->second;
  }
  int found = -1;
  for (std::size_t c = 0; c < cols.size() && found < 0; ++c)
    if (FoldedEqual(cols[c].name, n)) found = static_cast<int>(c);
  if (found >= 0) {
    // The columns changed since the map was made.
    column_at_.clear();
    for (std::size_t c = 0; c < cols.size(); ++c)
      column_at_.emplace(cols[c].name, static_cast<int>(c));  // the first of a name stays
  }
  return found;
}

Index* Table::FindIndex(std::string_view n) const {
  for (const auto& ix : indexes)
    if (Fold(ix->name) == Fold(n)) return ix.get();
  return nullptr;
}

int Table::IdentityColumn() const {
  for (std::size_t c = 0; c < cols.size(); ++c)
    if (cols[c].identity) return static_cast<int>(c);
  return -1;
}

namespace {

// KeyPart(GetColumn(row, col)), a text value's key made straight from its
// stored bytes.
std::string ColumnKey(std::string_view row, int col) {
  const char* p = row.data();
  for (int c = 0; c < col; ++c) Skip(p);
  if (static_cast<Kind>(*p) != Kind::Str) return KeyPart(Read(p));
  ++p;
  const std::uint64_t n = GetVarint(p);
  std::string k;
  k.reserve(1 + n);
  k += 'S';
  AppendFolded(std::string_view(p, n), k);
  return k;
}

// Whether ColumnKey(row, col) == key, without making the row's key when
// the column holds text: AppendFolded's folding, compared byte by byte.
bool ColumnKeyIs(std::string_view row, int col, std::string_view key) {
  const char* p = row.data();
  for (int c = 0; c < col; ++c) Skip(p);
  if (static_cast<Kind>(*p) != Kind::Str) return KeyPart(Read(p)) == key;
  ++p;
  const std::uint64_t n = GetVarint(p);
  const std::string_view s = TrimRightBlanks(std::string_view(p, n));
  if (key.size() != 1 + s.size() || key[0] != 'S') return false;
  const char* k = key.data() + 1;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(s[i]);
    if (ch >= 0x81 && i + 1 < s.size()) {
      if (s[i] != k[i] || s[i + 1] != k[i + 1]) return false;
      ++i;
    } else if (static_cast<char>(ch < 0x80 ? AsciiUpper(ch) : ch) != k[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Table::KeyOf(const Index& ix, std::string_view row) const {
  if (ix.cols.size() == 1) return ColumnKey(row, ix.cols[0]);
  std::string key;
  for (int c : ix.cols) {
    std::string part = ColumnKey(row, c);
    PutVarint(key, part.size());
    key += part;
  }
  return key;
}

std::string Table::KeyOfValues(const Index& ix, const std::vector<Value>& vals) const {
  if (ix.cols.size() == 1) return KeyPart(vals[ix.cols[0]]);
  std::string key;
  for (int c : ix.cols) {
    std::string part = KeyPart(vals[c]);
    PutVarint(key, part.size());
    key += part;
  }
  return key;
}

std::string Table::KeyOfPatched(const Index& ix, std::string_view row,
                                const std::vector<int>& changed,
                                const std::vector<const Value*>& values) const {
  auto part = [&](int c) {
    auto at = std::lower_bound(changed.begin(), changed.end(), c);
    if (at != changed.end() && *at == c) return KeyPart(*values[at - changed.begin()]);
    return ColumnKey(row, c);
  };
  if (ix.cols.size() == 1) return part(ix.cols[0]);
  std::string key;
  for (int c : ix.cols) {
    std::string p = part(c);
    PutVarint(key, p.size());
    key += p;
  }
  return key;
}

namespace {

constexpr std::uint64_t kFreeCell = ~0ull;
// An index's cells are at most 7/8 taken before it doubles. The cells keep
// each key's hash, so a probe past other keys costs a comparison of numbers,
// and the cells in a row share cache lines; a fuller table keeps the indexes
// of a large catalogue, about twenty on its main table, in half the memory.
constexpr std::size_t kLoadNum = 7, kLoadDen = 8;
constexpr std::uint32_t kListRef = 0x80000000u;

std::uint32_t KeyHash(const std::string& key) {
  std::size_t h = std::hash<std::string>{}(key);
  return static_cast<std::uint32_t>(h ^ (static_cast<std::uint64_t>(h) >> 32));
}

std::uint32_t CellHash(std::uint64_t cell) {
  return static_cast<std::uint32_t>(cell >> 32);
}
std::uint32_t CellRef(std::uint64_t cell) {
  return static_cast<std::uint32_t>(cell);
}
std::uint64_t MakeCell(std::uint32_t hash, std::uint32_t ref) {
  return static_cast<std::uint64_t>(hash) << 32 | ref;
}

// A slot holding the cell's key.
std::uint32_t Representative(const Index& ix, std::uint64_t cell) {
  std::uint32_t ref = CellRef(cell);
  return ref & kListRef ? ix.lists[ref & ~kListRef].front() : ref;
}

void PlaceCells(Index& ix, std::size_t size) {
  std::vector<std::uint64_t> old(size, kFreeCell);
  old.swap(ix.cells);
  std::size_t mask = size - 1;
  for (std::uint64_t c : old) {
    if (c == kFreeCell) continue;
    std::size_t i = CellHash(c) & mask;
    while (ix.cells[i] != kFreeCell) i = (i + 1) & mask;
    ix.cells[i] = c;
  }
}

}  // namespace

std::size_t Table::Probe(const Index& ix, const std::string& key, std::uint32_t hash) const {
  std::size_t mask = ix.cells.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    std::uint64_t c = ix.cells[i];
    if (c == kFreeCell) return i;
    if (CellHash(c) != hash) continue;
    const Row& r = rows[Representative(ix, c)];
    if (ix.cols.size() == 1 ? ColumnKeyIs(r, ix.cols[0], key) : KeyOf(ix, r) == key) return i;
  }
}

void Table::IndexAdd(Index& ix, const std::string& key, std::uint32_t slot) {
  if ((ix.used + 1) * kLoadDen > ix.cells.size() * kLoadNum)
    PlaceCells(ix, std::max<std::size_t>(16, ix.cells.size() * 2));
  std::uint32_t hash = KeyHash(key);
  std::size_t i = Probe(ix, key, hash);
  std::uint64_t c = ix.cells[i];
  if (c == kFreeCell) {
    ix.cells[i] = MakeCell(hash, slot);
    ++ix.used;
    return;
  }
  std::uint32_t ref = CellRef(c);
  if (ref & kListRef) {
    std::vector<std::uint32_t>& l = ix.lists[ref & ~kListRef];
    l.insert(std::lower_bound(l.begin(), l.end(), slot), slot);
    return;
  }
  std::uint32_t list;
  if (!ix.free_lists.empty()) {
    list = ix.free_lists.back();
    ix.free_lists.pop_back();
  } else {
    list = static_cast<std::uint32_t>(ix.lists.size());
    ix.lists.emplace_back();
  }
  ix.lists[list] = {std::min(ref, slot), std::max(ref, slot)};
  ix.cells[i] = MakeCell(hash, list | kListRef);
}

void Table::IndexRemove(Index& ix, const std::string& key, std::uint32_t slot) {
  if (ix.cells.empty()) return;
  std::uint32_t hash = KeyHash(key);
  std::size_t i = Probe(ix, key, hash);
  std::uint64_t c = ix.cells[i];
  if (c == kFreeCell) return;
  std::uint32_t ref = CellRef(c);
  if (ref & kListRef) {
    std::vector<std::uint32_t>& l = ix.lists[ref & ~kListRef];
    auto it = std::lower_bound(l.begin(), l.end(), slot);
    if (it == l.end() || *it != slot) return;
    l.erase(it);
    if (l.size() == 1) {
      ix.cells[i] = MakeCell(hash, l.front());
      std::vector<std::uint32_t>().swap(l);
      ix.free_lists.push_back(ref & ~kListRef);
    }
    return;
  }
  if (ref != slot) return;
  // Backward-shift deletion keeps every probe sequence unbroken.
  std::size_t mask = ix.cells.size() - 1;
  std::size_t hole = i;
  ix.cells[hole] = kFreeCell;
  --ix.used;
  for (std::size_t j = (hole + 1) & mask; ix.cells[j] != kFreeCell; j = (j + 1) & mask) {
    std::size_t home = CellHash(ix.cells[j]) & mask;
    bool movable = j > hole ? (home <= hole || home > j) : (home <= hole && home > j);
    if (movable) {
      ix.cells[hole] = ix.cells[j];
      ix.cells[j] = kFreeCell;
      hole = j;
    }
  }
}

void Table::IndexFind(const Index& ix, const std::string& key,
                      std::vector<std::uint32_t>* out) const {
  if (ix.cells.empty()) return;
  std::uint64_t c = ix.cells[Probe(ix, key, KeyHash(key))];
  if (c == kFreeCell) return;
  std::uint32_t ref = CellRef(c);
  if (ref & kListRef) {
    const auto& l = ix.lists[ref & ~kListRef];
    out->insert(out->end(), l.begin(), l.end());
  } else {
    out->push_back(ref);
  }
}

bool Table::IndexHasOther(const Index& ix, const std::string& key, std::uint32_t self) const {
  if (ix.cells.empty()) return false;
  std::uint64_t c = ix.cells[Probe(ix, key, KeyHash(key))];
  if (c == kFreeCell) return false;
  std::uint32_t ref = CellRef(c);
  if (ref & kListRef) return true;  // two slots at least, so one is not self
  return ref != self;
}

std::uint32_t Table::IndexDuplicate(const Index& ix) const {
  for (std::uint64_t c : ix.cells)
    if (c != kFreeCell && (CellRef(c) & kListRef)) return Representative(ix, c);
  return UINT32_MAX;
}

void Table::IndexRow(std::uint32_t slot) {
  for (auto& lk : lookups) IndexAdd(*lk, KeyOf(*lk, rows[slot]), slot);
  if (indexes_stale) return;
  for (auto& ix : indexes) IndexAdd(*ix, KeyOf(*ix, rows[slot]), slot);
}

void Table::UnindexRow(std::uint32_t slot) {
  for (auto& lk : lookups) IndexRemove(*lk, KeyOf(*lk, rows[slot]), slot);
  if (indexes_stale) return;
  for (auto& ix : indexes) IndexRemove(*ix, KeyOf(*ix, rows[slot]), slot);
}

void Table::RebuildIndex(Index& ix) {
  ix.cells.clear();
  ix.lists.clear();
  ix.free_lists.clear();
  ix.used = 0;
  std::size_t size = 16;
  while (size * kLoadNum < live * kLoadDen) size *= 2;
  ix.cells.assign(size, kFreeCell);
  for (std::uint32_t r = 0; r < rows.size(); ++r)
    if (!rows[r].empty()) IndexAdd(ix, KeyOf(ix, rows[r]), r);
}

void Table::EnsureIndexes() const {
  if (!indexes_stale) return;
  Table& self = const_cast<Table&>(*this);
  for (auto& ix : self.indexes) self.RebuildIndex(*ix);
  indexes_stale = false;
}

const Index* Table::LookupFor(int col) const {
  // A scan of a table this size costs little; and a table searched only a few
  // times by a column does not repay the look-up's memory.
  constexpr std::size_t kMinRows = 2048;
  constexpr std::uint32_t kScansBeforeLookup = 8;
  for (const auto& lk : lookups)
    if (lk->cols[0] == col) return lk.get();
  if (live < kMinRows) return nullptr;
  if (lookup_scans.size() < cols.size()) lookup_scans.resize(cols.size());
  if (++lookup_scans[col] < kScansBeforeLookup) return nullptr;
  auto lk = std::make_unique<Index>();
  lk->name = "(look-up)";
  lk->cols = {col};
  Table& self = const_cast<Table&>(*this);
  self.RebuildIndex(*lk);
  lookups.push_back(std::move(lk));
  return lookups.back().get();
}

void Table::ForgetLookups() {
  lookups.clear();
  lookup_scans.clear();
}

std::shared_ptr<Table> Catalog::FindTable(std::string_view name) const {
  auto it = tables.find(Fold(name));
  return it == tables.end() ? nullptr : it->second;
}

Object* Catalog::FindObject(std::string_view name) {
  std::string f = Fold(name);
  for (Object& o : objects)
    if (Fold(o.name) == f) return &o;
  return nullptr;
}

const Table* Catalog::TableById(int id) const {
  for (const auto& [k, t] : tables)
    if (t->id == id) return t.get();
  return nullptr;
}

bool Catalog::NameTaken(std::string_view name) const {
  if (tables.count(Fold(name))) return true;
  std::string f = Fold(name);
  for (const Object& o : objects)
    if (Fold(o.name) == f) return true;
  return f == "SYSOBJECTS" || f == "SYSCOLUMNS" || f == "SYSINDEXES";
}

Column Col(const char* name, Type t, int len) {
  Column c;
  c.name = name;
  c.type = TypeSpec{t, len, 0, 0};
  return c;
}

void AddRow(Table& t, std::vector<Value> vals) {
  t.rows.emplace_back(EncodeRow(vals));
  ++t.live;
}

namespace {

Value OrNull(int v) {
  return v ? Value::Int(v) : Value::Null();
}

}  // namespace

std::shared_ptr<Table> SystemTable(const Catalog& cat, std::string_view name) {
  // Asked before every statement on a table: a user table's name is let go
  // without building anything.
  if (!FoldedEqual(name, "sysobjects") && !FoldedEqual(name, "syscolumns") &&
      !FoldedEqual(name, "sysindexes"))
    return nullptr;
  std::string f = Fold(name);
  auto t = std::make_shared<Table>();
  t->name = std::string(name);
  if (f == "SYSOBJECTS") {
    t->id = 1;
    t->cols = {Col("name", Type::VarChar, 128), Col("id", Type::Int),
               Col("xtype", Type::Char, 2),     Col("uid", Type::SmallInt),
               Col("parent_obj", Type::Int),    Col("crdate", Type::DateTime),
               Col("type", Type::Char, 2),      Col("category", Type::Int),
               Col("status", Type::Int)};
    auto add = [&](const std::string& n, int id, const std::string& xt, int parent, std::int64_t cr,
                   int cat_) {
      std::string x = xt;
      x.resize(2, ' ');
      std::string ty = xt == "PK" || xt == "UQ" ? "K " : x;
      AddRow(*t, {Value::Str(n), Value::Int(id), Value::Str(x), Value::Int(1), Value::Int(parent),
                  Value::Date(cr), Value::Str(ty), Value::Int(cat_), Value::Int(0)});
    };
    add("sysobjects", 1, "S", 0, 0, 2);
    add("sysindexes", 2, "S", 0, 0, 2);
    add("syscolumns", 3, "S", 0, 0, 2);
    for (const auto& [k, tb] : cat.tables) add(tb->name, tb->id, "U", 0, tb->crdate, 0);
    for (const Object& o : cat.objects) add(o.name, o.id, o.xtype, o.parent, o.crdate, 0);
    return t;
  }
  if (f == "SYSCOLUMNS") {
    t->id = 3;
    t->cols = {Col("name", Type::VarChar, 128), Col("id", Type::Int),
               Col("xtype", Type::TinyInt),     Col("length", Type::SmallInt),
               Col("xprec", Type::TinyInt),     Col("xscale", Type::TinyInt),
               Col("colid", Type::SmallInt),    Col("cdefault", Type::Int),
               Col("colorder", Type::SmallInt), Col("prec", Type::SmallInt),
               Col("scale", Type::Int),         Col("isnullable", Type::Int),
               Col("status", Type::TinyInt)};
    for (const auto& [k, tb] : cat.tables) {
      for (std::size_t c = 0; c < tb->cols.size(); ++c) {
        const Column& col = tb->cols[c];
        const TypeSpec& ty = col.type;
        bool numeric = ty.type == Type::Numeric || ty.type == Type::Money;
        int prec = numeric                                               ? ty.precision
                   : ty.type == Type::Int                                ? 10
                   : ty.type == Type::BigInt                             ? 19
                   : ty.type == Type::SmallInt                           ? 5
                   : ty.type == Type::TinyInt                            ? 3
                   : ty.type == Type::Bit                                ? 1
                   : ty.type == Type::DateTime                           ? 23
                   : ty.type == Type::Float                              ? 53
                   : (ty.type == Type::Char || ty.type == Type::VarChar ||
                      ty.type == Type::Binary || ty.type == Type::VarBinary)
                       ? ty.length
                       : 0;
        bool has_scale = numeric || ty.type == Type::Int || ty.type == Type::BigInt ||
                         ty.type == Type::SmallInt ||
                         ty.type == Type::TinyInt || ty.type == Type::Bit ||
                         ty.type == Type::DateTime;
        int status = (col.nullable ? 8 : 0) | (col.identity ? 0x80 : 0);
        AddRow(*t, {Value::Str(col.name), Value::Int(tb->id), Value::Int(SysXType(ty)),
                    Value::Int(SysLength(ty)), Value::Int(numeric || prec ? prec : 0),
                    Value::Int(numeric ? ty.scale : 0), Value::Int(static_cast<int>(c) + 1),
                    Value::Int(col.default_id), Value::Int(static_cast<int>(c) + 1),
                    prec ? Value::Int(prec) : Value::Null(),
                    has_scale ? Value::Int(numeric                     ? ty.scale
                                           : ty.type == Type::DateTime ? 3
                                                                       : 0)
                              : Value::Null(),
                    Value::Int(col.nullable ? 1 : 0), Value::Int(status)});
      }
    }
    return t;
  }
  if (f == "SYSINDEXES") {
    t->id = 2;
    t->cols = {Col("id", Type::Int),          Col("status", Type::Int),
               Col("indid", Type::SmallInt),  Col("name", Type::VarChar, 128),
               Col("keycnt", Type::SmallInt), Col("origfillfactor", Type::TinyInt),
               Col("rows", Type::Int)};
    for (const auto& [k, tb] : cat.tables) {
      bool clustered = false;
      for (const auto& ix : tb->indexes) clustered = clustered || ix->clustered;
      if (!clustered)
        AddRow(*t, {Value::Int(tb->id), Value::Int(0), Value::Int(0), Value::Null(), Value::Int(0),
                    Value::Int(0), Value::Int(static_cast<std::int64_t>(tb->live))});
      for (const auto& ix : tb->indexes)
        AddRow(*t, {Value::Int(tb->id),
                    Value::Int(ix->primary  ? 2050
                               : ix->unique ? 2
                                            : 0),
                    Value::Int(ix->indid), Value::Str(ix->name),
                    Value::Int(static_cast<int>(ix->cols.size())), Value::Int(0),
                    Value::Int(static_cast<std::int64_t>(tb->live))});
      (void)OrNull;
    }
    return t;
  }
  return nullptr;
}

}  // namespace engine
