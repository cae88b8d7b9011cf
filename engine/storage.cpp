// Snapshot and journal files (see FORMAT.md).
#include "engine/storage.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "port/file.h"
#include "port/process.h"

namespace engine {

namespace {

// Version 1: CRC-32 (IEEE) trailer; version 2: CRC-32C. Both are read.
constexpr std::uint32_t kSnapshotVersion = 2;

// Journal headers: version 1 held one record per committed unit and is still
// replayed; version 2 streams units in records of kind kUnitMore ending with
// one of kind kUnitCommit.
constexpr char kJournalMagicV1[] = "LIBSQLJ1";
constexpr char kJournalMagic[] = "LIBSQLJ2";
constexpr unsigned kUnitMore = 1;
constexpr unsigned kUnitCommit = 2;

// CRCs eight bytes at a time; CrcUpdate(0, ...) starts a new one and a result
// can be fed back in to continue it. The journal and version-1 snapshots use
// CRC-32 (IEEE); version-2 snapshots use CRC-32C, which the processor computes
// itself where it can (SSE 4.2).
struct CrcTables {
  std::uint32_t t[8][256];
  explicit CrcTables(std::uint32_t poly) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? poly ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

std::uint32_t SlicedCrc(const CrcTables& tables, std::uint32_t crc, const char* data,
                        std::size_t n) {
  const auto& t = tables.t;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  std::uint32_t c = crc ^ 0xFFFFFFFFu;
  while (n >= 8) {
    std::uint32_t lo =
        c ^ (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
             static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t CrcUpdate(std::uint32_t crc, const char* data, std::size_t n) {
  static const CrcTables ieee(0xEDB88320u);
  return SlicedCrc(ieee, crc, data, n);
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t HardwareCrc32c(std::uint32_t crc, const char* data,
                                                               std::size_t n) {
  std::uint64_t c = crc ^ 0xFFFFFFFFu;
  while (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, data, 8);
    c = __builtin_ia32_crc32di(c, v);
    data += 8;
    n -= 8;
  }
  auto c32 = static_cast<std::uint32_t>(c);
  while (n--) c32 = __builtin_ia32_crc32qi(c32, static_cast<unsigned char>(*data++));
  return c32 ^ 0xFFFFFFFFu;
}
#endif

std::uint32_t Crc32cUpdate(std::uint32_t crc, const char* data, std::size_t n) {
#if defined(__x86_64__)
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  if (hardware) return HardwareCrc32c(crc, data, n);
#endif
  static const CrcTables castagnoli(0x82F63B78u);
  return SlicedCrc(castagnoli, crc, data, n);
}

using CrcFunction = std::uint32_t (*)(std::uint32_t, const char*, std::size_t);

std::uint32_t Crc32(const char* data, std::size_t n) {
  return CrcUpdate(0, data, n);
}

Error FileError(const std::string& path, const std::string& what) {
  return Error(5120, 16, "Unable to open the physical file \"" + path + "\". " + what);
}

// What a file the storage writes is, for the fault hook.
enum class FileKind { Journal, Snapshot };

void WriteAll(port::File& file, const std::string& data, const std::string& path,
              FileKind kind = FileKind::Journal);

// Encodes into out; when it writes to a file, Spill() hands out to
// the file whenever a megabyte has gathered, keeping the CRC of what went.
struct Writer {
  std::string out;
  port::File* file = nullptr;
  const std::string* path = nullptr;
  std::uint32_t crc = 0;
  CrcFunction crc_update = CrcUpdate;
  void Spill() {
    if (file && out.size() >= (1u << 20)) Flush();
  }
  void Flush() {
    crc = crc_update(crc, out.data(), out.size());
    WriteAll(*file, out, *path, FileKind::Snapshot);
    out.clear();
  }
  void U8(unsigned v) { out += static_cast<char>(v); }
  void U32(std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
  void U64(std::uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }
  void I64(std::int64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }
  void Var(std::uint64_t v) {
    while (v >= 0x80) {
      out += static_cast<char>((v & 0x7F) | 0x80);
      v >>= 7;
    }
    out += static_cast<char>(v);
  }
  void Str(std::string_view s) {
    Var(s.size());
    out += s;
  }
};

struct Reader {
  Reader(const char* begin, const char* stop) : p(begin), end(stop) {}
  const char* p;
  const char* end;
  bool ok = true;
  bool Need(std::size_t n) {
    if (static_cast<std::size_t>(end - p) < n) ok = false;
    return ok;
  }
  unsigned U8() { return Need(1) ? static_cast<unsigned char>(*p++) : 0; }
  std::uint32_t U32() {
    std::uint32_t v = 0;
    if (Need(4)) std::memcpy(&v, p, 4), p += 4;
    return v;
  }
  std::uint64_t U64() {
    std::uint64_t v = 0;
    if (Need(8)) std::memcpy(&v, p, 8), p += 8;
    return v;
  }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  std::uint64_t Var() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      unsigned b = U8();
      if (!ok) return 0;
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  std::string Str() {
    std::uint64_t n = Var();
    if (!Need(n)) return {};
    std::string s(p, n);
    p += n;
    return s;
  }
};

// Reads a file from its start a megabyte at a time, handing out runs of bytes
// that stay valid until the next Take, so that replaying a journal holds one
// record of it in memory, not the whole file.
class JournalReader {
 public:
  explicit JournalReader(port::File& file) : file_(file) {
    const std::int64_t size = file.Size();
    if (size > 0) size_ = static_cast<std::uint64_t>(size);
    file.Seek(0);
  }
  // The next n bytes, or nullptr when the file ends first.
  const char* Take(std::size_t n) {
    if (end_ - pos_ < n && !Fill(n)) return nullptr;
    const char* p = buf_.data() + pos_;
    pos_ += n;
    offset_ += n;
    return p;
  }
  std::uint64_t Offset() const { return offset_; }
  std::uint64_t Remaining() const { return size_ > offset_ ? size_ - offset_ : 0; }

 private:
  bool Fill(std::size_t n) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    // A megabyte at a time, or what is left of a smaller journal: opening a
    // database with a short journal fills no megabyte of zeros.
    std::size_t want = std::max<std::size_t>(n, std::min<std::uint64_t>(1u << 20, Remaining()));
    if (buf_.size() < want) buf_.resize(want);
    while (end_ < n) {
      const std::int64_t k = file_.Read(buf_.data() + end_, buf_.size() - end_);
      if (k <= 0) return false;
      end_ += static_cast<std::size_t>(k);
    }
    return true;
  }

  port::File& file_;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
  std::string buf_;
  std::size_t pos_ = 0, end_ = 0;
};

// The storage fault hook for tests, read from LIBUPGRADE_STORAGE_FAULT each
// time a database is opened (its counts start again then):
//   write:N          the N-th write to a database or journal file fails as on
//                    a full disk;
//   flush:N          the N-th flush (SyncData) fails with an I/O error;
//   checkpoint       every write of a new database file fails as on a full
//                    disk: room for the journal's records but not for a copy
//                    of the database;
//   kill-checkpoint  the process is killed right after the first write of a
//                    new database file, as one killed while it saves;
//   kill-write:N     the process is killed in place of the N-th write, as a
//                    server killed in the middle of its work.
// Unset, empty or anything else: no fault.
struct StorageFault {
  enum class Kind { None, Write, Flush, Checkpoint, KillCheckpoint, KillWrite } kind = Kind::None;
  long long at = 0;
  long long writes = 0;
  long long flushes = 0;

  void Load() {
    *this = StorageFault{};
    const char* env = std::getenv("LIBUPGRADE_STORAGE_FAULT");
    if (!env) return;
    const std::string v = env;
    auto number = [&](std::size_t from) { return std::atoll(v.c_str() + from); };
    if (v.rfind("write:", 0) == 0 && number(6) > 0) {
      kind = Kind::Write;
      at = number(6);
    } else if (v.rfind("flush:", 0) == 0 && number(6) > 0) {
      kind = Kind::Flush;
      at = number(6);
    } else if (v.rfind("kill-write:", 0) == 0 && number(11) > 0) {
      kind = Kind::KillWrite;
      at = number(11);
    } else if (v == "checkpoint") {
      kind = Kind::Checkpoint;
    } else if (v == "kill-checkpoint") {
      kind = Kind::KillCheckpoint;
    }
  }
  // Whether this write is to fail.
  bool FailWrite(FileKind file) {
    ++writes;
    if (kind == Kind::KillWrite && writes == at) port::KillThisProcess();
    return (kind == Kind::Write && writes == at) ||
           (kind == Kind::Checkpoint && file == FileKind::Snapshot);
  }
  void AfterWrite(FileKind file) const {
    if (kind == Kind::KillCheckpoint && file == FileKind::Snapshot) port::KillThisProcess();
  }
  bool FailFlush() { return kind == Kind::Flush && ++flushes == at; }
};

StorageFault g_fault;

void WriteAll(port::File& file, const std::string& data, const std::string& path, FileKind kind) {
  if (g_fault.FailWrite(kind))
    throw Error(9002, 17,
                "Could not write to \"" + path + "\": " + std::strerror(ENOSPC) + ".");
  if (!file.Write(data.data(), data.size()))
    throw Error(9002, 17, "Could not write to \"" + path + "\": " + port::LastError() + ".");
  g_fault.AfterWrite(kind);
}

// The storage's one way of putting what was written to a file on the disk
// itself, so that it survives a power cut or a crash of the system: the
// journal at every commit, a new database file before it is named. Throws
// Error 9002 naming the file when the system reports the flush failed.
void SyncData(port::File& file, const std::string& path) {
  if (g_fault.FailFlush())
    throw Error(9002, 17,
                "Could not flush \"" + path + "\" to disk: " + std::strerror(EIO) + ".");
  if (!file.Sync())
    throw Error(9002, 17, "Could not flush \"" + path + "\" to disk: " + port::LastError() + ".");
}

// A new database file that takes the place of dest only once it is whole and
// on disk. It is written without a name in dest's folder where the system
// allows, so that a process killed while writing it leaves nothing behind,
// and is named dest.tmp just before it replaces dest; elsewhere it is
// written as dest.tmp from the start.
class NewFile {
 public:
  explicit NewFile(const std::string& dest) : dest_(dest), tmp_(dest + ".tmp") {
    file_ = port::File::Unnamed(std::filesystem::path(dest).parent_path().string());
    unnamed_ = file_.IsOpen();
    if (!unnamed_) file_ = port::File::Open(tmp_, port::File::Mode::kWriteTruncate);
  }
  ~NewFile() {
    file_.Close();
    if (!unnamed_ && !placed_) port::RemoveFile(tmp_);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  bool ok() const { return file_.IsOpen(); }
  port::File& file() { return file_; }
  const std::string& name() const { return tmp_; }
  // Flushes the file, names it and puts it in dest's place. Throws what
  // failed makes of the system's message when the naming or the replacing
  // fails (dest is then as it was), or SyncData's error.
  void Place(const std::function<Error(const std::string&)>& failed) {
    SyncData(file_, tmp_);
    if (unnamed_) {
      port::RemoveFile(tmp_);
      if (!file_.Link(tmp_)) throw failed(port::LastError());
      unnamed_ = false;
    }
    file_.Close();
    if (!port::ReplaceAtomically(tmp_, dest_)) throw failed(port::LastError());
    placed_ = true;
  }

 private:
  std::string dest_;
  std::string tmp_;
  port::File file_;
  bool unnamed_ = false;
  bool placed_ = false;
};

// Writes the snapshot to file a megabyte at a time.
void WriteSnapshot(port::File& file, const std::string& path, const Catalog& cat,
                   std::uint64_t generation) {
  Writer w;
  w.file = &file;
  w.path = &path;
  w.crc_update = Crc32cUpdate;
  w.out.reserve(2u << 20);
  w.out = "LIBSQLDB";
  w.U32(kSnapshotVersion);
  w.U64(generation);
  w.Var(static_cast<std::uint64_t>(cat.next_id));
  w.Var(cat.tables.size());
  for (const auto& [key, t] : cat.tables) {
    w.Str(t->name);
    w.Var(static_cast<std::uint64_t>(t->id));
    w.I64(t->crdate);
    w.I64(t->identity_next);
    w.U8(t->identity_used ? 1 : 0);
    w.Var(t->cols.size());
    for (const Column& c : t->cols) {
      w.Str(c.name);
      w.U8(static_cast<unsigned>(c.type.type));
      w.Var(static_cast<std::uint64_t>(c.type.length));
      w.Var(static_cast<std::uint64_t>(c.type.precision));
      w.Var(static_cast<std::uint64_t>(c.type.scale));
      w.U8((c.nullable ? 1 : 0) | (c.identity ? 2 : 0));
      w.I64(c.seed);
      w.I64(c.increment);
      w.Var(static_cast<std::uint64_t>(c.default_id));
      w.Str(c.default_text);
    }
    w.Var(t->indexes.size());
    for (const auto& ix : t->indexes) {
      w.Str(ix->name);
      w.Var(static_cast<std::uint64_t>(ix->indid));
      w.U8((ix->unique ? 1 : 0) | (ix->primary ? 2 : 0) | (ix->clustered ? 4 : 0));
      w.Var(ix->cols.size());
      for (int c : ix->cols) w.Var(static_cast<std::uint64_t>(c));
    }
    w.Var(t->live);
    for (const Row& row : t->rows)
      if (!row.empty()) {
        w.Str(row);
        w.Spill();
      }
  }
  w.Var(cat.objects.size());
  for (const Object& o : cat.objects) {
    w.Var(static_cast<std::uint64_t>(o.id));
    w.Str(o.name);
    w.Str(o.xtype);
    w.Var(static_cast<std::uint64_t>(o.parent));
    w.I64(o.crdate);
    w.Str(o.text);
  }
  w.Flush();
  w.U32(w.crc);
  WriteAll(file, w.out, path);
}

// Why a snapshot whose CRC holds is still refused: its body breaks the format
// (a faulty build, a tool, or someone on purpose wrote it). Names the part and
// the byte offset where it begins.
[[noreturn]] void Damaged(const std::string& path, const std::string& what, std::size_t offset) {
  throw Error(5172, 16,
              "The database file '" + path + "' is damaged: " + what + " (at byte " +
                  std::to_string(offset) + "). The file was not opened and was left as it is.");
}

// The value kind a column of type t holds when not NULL (Null for a type no
// column has).
Kind KindOf(Type t) {
  if (t == Type::Char || t == Type::VarChar || t == Type::Text || t == Type::Image)
    return Kind::Str;
  if (t == Type::Int || t == Type::SmallInt || t == Type::TinyInt || t == Type::Bit ||
      t == Type::BigInt)
    return Kind::Int;
  if (t == Type::Numeric || t == Type::Money) return Kind::Num;
  if (t == Type::DateTime) return Kind::Date;
  if (t == Type::Binary || t == Type::VarBinary) return Kind::Bin;
  if (t == Type::Float) return Kind::Float;
  return Kind::Null;
}

bool DateInFile(std::int64_t ms) {
  return ms >= kMinDateTime && ms <= kMaxStoredDateTime;
}

// The largest magnitude of a numeric column's value plus one: 10^precision,
// and at most 10^18 (the engine's numeric values are 64-bit).
std::int64_t NumericLimit(int precision) {
  static constexpr auto kLimits = [] {
    std::array<std::int64_t, 19> p{};
    p[0] = 1;
    for (std::size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * 10;
    return p;
  }();
  return kLimits[static_cast<std::size_t>(std::clamp(precision, 0, 18))];
}

// Checks one encoded row against its table's columns: one value per column,
// each of the column's kind (or NULL) and within its type's range (integers
// by type, numeric digits within the precision, datetime from 1753 to 9999,
// float finite), numeric scales as the column's, text no longer than a char
// or varchar column allows, nothing left over. Returns what is wrong, or
// nullptr.
const char* RowFault(const char* p, const char* end, const std::vector<Column>& cols,
                     std::size_t* bad_col) {
  for (std::size_t c = 0; c < cols.size(); ++c) {
    *bad_col = c;
    if (p == end) return "the row has fewer values than the table has columns";
    const unsigned char tag = static_cast<unsigned char>(*p++);
    auto k = static_cast<Kind>(tag);
    if (k == Kind::Null) continue;
    const TypeSpec& ty = cols[c].type;
    // A bigint column's values carry a tag of their own; an int's never do.
    if ((tag == kStoredBigInt) != (ty.type == Type::BigInt))
      return "a value is not of its column's type";
    if (tag == kStoredBigInt) k = Kind::Int;
    if (k != KindOf(ty.type)) return "a value is not of its column's type";
    auto left = static_cast<std::size_t>(end - p);
    switch (k) {
      case Kind::Int: {
        if (left < 8) return "a value runs past the row's end";
        std::int64_t v;
        std::memcpy(&v, p, 8);
        bool in_range = ty.type == Type::BigInt     ? true
                        : ty.type == Type::Int      ? v >= INT32_MIN && v <= INT32_MAX
                        : ty.type == Type::SmallInt ? v >= INT16_MIN && v <= INT16_MAX
                        : ty.type == Type::TinyInt  ? v >= 0 && v <= 255
                                                    : v == 0 || v == 1;
        if (!in_range) return "an integer value is outside its column's type's range";
        p += 8;
        break;
      }
      case Kind::Date: {
        if (left < 8) return "a value runs past the row's end";
        std::int64_t v;
        std::memcpy(&v, p, 8);
        if (!DateInFile(v)) return "a datetime value is outside 1753-01-01 to 9999-12-31";
        p += 8;
        break;
      }
      case Kind::Float: {
        if (left < 8) return "a value runs past the row's end";
        double v;
        std::memcpy(&v, p, 8);
        if (!std::isfinite(v)) return "a float value is not a finite number";
        p += 8;
        break;
      }
      case Kind::Num: {
        if (left < 9) return "a value runs past the row's end";
        if (static_cast<unsigned char>(*p) != ty.scale)
          return "a numeric value's scale is not its column's";
        std::int64_t v;
        std::memcpy(&v, p + 1, 8);
        std::int64_t limit = NumericLimit(ty.type == Type::Money ? 18 : ty.precision);
        if (v <= -limit || v >= limit)
          return "a numeric value has more digits than its column's precision";
        p += 9;
        break;
      }
      case Kind::Str:
      case Kind::Bin: {
        std::uint64_t n = 0;
        int shift = 0;
        for (;; shift += 7) {
          if (p == end || shift > 35) return "a text length runs past the row's end";
          auto b = static_cast<unsigned char>(*p++);
          n |= static_cast<std::uint64_t>(b & 0x7F) << shift;
          if (!(b & 0x80)) break;
        }
        if (n > static_cast<std::size_t>(end - p)) return "a text value runs past the row's end";
        if ((ty.type == Type::Char || ty.type == Type::VarChar || ty.type == Type::Binary ||
             ty.type == Type::VarBinary) &&
            n > static_cast<std::uint64_t>(ty.length))
          return "a text or binary value is longer than its column";
        p += n;
        break;
      }
      default:
        return "a value is not of its column's type";
    }
  }
  *bad_col = cols.size();
  return p == end ? nullptr : "the row has more values than the table has columns";
}

// Reads the snapshot at path with one read into one block, which the tables'
// rows borrow. Indexes are left to be built on first use. Every part is
// checked against the format before it is used (FORMAT.md lists the checks);
// a file that fails is refused with 5172.
void ReadSnapshot(const std::string& path, Catalog* cat, std::uint64_t* generation,
                  const std::function<void(Expr&)>& bind_default) {
  auto not_a_database = [&path] {
    return Error(5172, 16,
                 "The header for file '" + path + "' is not a valid database file header.");
  };
  port::File file = port::File::Open(path, port::File::Mode::kRead);
  if (!file.IsOpen()) throw not_a_database();
  const std::int64_t file_size = file.Size();
  if (file_size < 24) throw not_a_database();
  // One read of the whole file, which the rows then borrow: no per-row copy.
  auto size = static_cast<std::size_t>(file_size);
  std::shared_ptr<char[]> bytes = std::make_shared_for_overwrite<char[]>(size);
  if (!file.ReadAt(0, bytes.get(), size)) throw not_a_database();
  file.Close();
  if (std::memcmp(bytes.get(), "LIBSQLDB", 8) != 0) throw not_a_database();
  std::uint32_t version, stored;
  std::memcpy(&version, bytes.get() + 8, 4);
  std::memcpy(&stored, bytes.get() + size - 4, 4);
  if (version == 1) {
    if (CrcUpdate(0, bytes.get(), size - 4) != stored) throw not_a_database();
  } else if (version != kSnapshotVersion || Crc32cUpdate(0, bytes.get(), size - 4) != stored) {
    throw not_a_database();
  }
  const char* base = bytes.get();
  Reader r{base + 12, base + size - 4};
  // Where the part being read began, and what it is, for the refusal.
  const char* part = r.p;
  std::string where;
  auto fail = [&](const std::string& what) {
    Damaged(path, where.empty() ? what : where + ": " + what,
            static_cast<std::size_t>(part - base));
  };
  auto left = [&r] { return static_cast<std::uint64_t>(r.end - r.p); };
  // An int field: read whole and within range.
  auto id_field = [&](const char* what) {
    std::uint64_t v = r.Var();
    if (!r.ok || v > INT32_MAX) fail(std::string("the ") + what + " is out of range");
    return static_cast<int>(v);
  };
  auto count = [&](const char* what, std::uint64_t min_bytes_each) {
    std::uint64_t n = r.Var();
    if (!r.ok || n > left() / min_bytes_each)
      fail(std::string("the number of ") + what + " exceeds the bytes left");
    return n;
  };
  *generation = r.U64();
  where = "header";
  int next_id = id_field("next object id");
  cat->next_id = next_id;
  where.clear();
  std::map<int, std::string> ids;  // every object id seen, with what holds it
  // Names seen, folded as look-ups fold them, so that checking a file of
  // many parts takes no time of the square of their number.
  std::set<std::string> object_names = {"SYSOBJECTS", "SYSCOLUMNS", "SYSINDEXES"};
  std::map<int, const Table*> tables_by_id;
  std::map<const Table*, std::set<std::string>> index_names;
  auto unique_id = [&](int id, const std::string& holder) {
    if (id <= 0) fail("object id " + std::to_string(id) + " is not positive");
    if (id >= next_id) fail("object id " + std::to_string(id) + " is not below the next id");
    auto [it, fresh] = ids.emplace(id, holder);
    if (!fresh) fail("object id " + std::to_string(id) + " is also that of " + it->second);
  };
  // Columns with a default, where they are: each must name a default object
  // of its own table, which comes later in the file.
  struct DefaultAt {
    const Table* t;
    std::size_t col;
    const char* at;
  };
  std::vector<DefaultAt> defaults;
  std::uint64_t ntables = count("tables", 1);
  for (std::uint64_t k = 0; k < ntables; ++k) {
    part = r.p;
    where = "table " + std::to_string(k + 1);
    auto t = std::make_shared<Table>();
    t->name = r.Str();
    if (!r.ok || t->name.empty()) fail("the table name is missing or cut short");
    where = "table '" + t->name + "'";
    if (!object_names.insert(Fold(t->name)).second) fail("another table or object has this name");
    t->id = id_field("table id");
    unique_id(t->id, where);
    t->crdate = r.I64();
    if (r.ok && !DateInFile(t->crdate)) fail("the table's creation date is out of range");
    t->identity_next = r.I64();
    unsigned identity_used = r.U8();
    if (!r.ok || identity_used > 1) fail("the table's identity state is not 0 or 1");
    t->identity_used = identity_used != 0;
    std::uint64_t ncols = count("columns", 1);
    std::set<std::string> column_names;
    if (ncols == 0) fail("the table has no columns");
    for (std::uint64_t c = 0; c < ncols; ++c) {
      part = r.p;
      where = "table '" + t->name + "' column " + std::to_string(c + 1);
      Column col;
      col.name = r.Str();
      if (!r.ok || col.name.empty()) fail("the column name is missing or cut short");
      where = "table '" + t->name + "' column '" + col.name + "'";
      if (!column_names.insert(Fold(col.name)).second) fail("a second column has this name");
      unsigned type = r.U8();
      if (!r.ok || type > static_cast<unsigned>(Type::BigInt))
        fail("type number " + std::to_string(type) + " is not a known type");
      col.type.type = static_cast<Type>(type);
      col.type.length = id_field("length");
      col.type.precision = id_field("precision");
      col.type.scale = id_field("scale");
      if ((col.type.type == Type::Char || col.type.type == Type::VarChar ||
           col.type.type == Type::Binary || col.type.type == Type::VarBinary) &&
          (col.type.length < 1 || col.type.length > 8000))
        fail("char, varchar, binary and varbinary lengths are 1 to 8000");
      if (col.type.type == Type::Numeric && (col.type.precision < 1 || col.type.precision > 38 ||
                                             col.type.scale > col.type.precision))
        fail("a numeric precision is 1 to 38 and its scale at most the precision");
      if (col.type.type == Type::Money && (col.type.precision != 19 || col.type.scale != 4))
        fail("money is numeric(19,4)");
      unsigned flags = r.U8();
      if (flags > 3) fail("unknown column flags");
      col.nullable = flags & 1;
      col.identity = flags & 2;
      if (col.identity && KindOf(col.type.type) != Kind::Int &&
          !(col.type.type == Type::Numeric && col.type.scale == 0))
        fail("an identity column's type is an integer type");
      if (col.identity && t->IdentityColumn() >= 0) fail("the table has a second identity column");
      col.seed = r.I64();
      col.increment = r.I64();
      col.default_id = id_field("default's id");
      col.default_text = r.Str();
      if (!r.ok) fail("the column is cut short");
      if ((col.default_id == 0) != col.default_text.empty())
        fail("the column has a default id without a default or the reverse");
      if (!col.default_text.empty()) {
        try {
          col.default_expr = ParseExpression(col.default_text);
        } catch (const Error& e) {
          fail("its default " + col.default_text + " does not parse: " + e.what());
        }
        try {
          bind_default(*col.default_expr);
        } catch (const Error& e) {
          fail("its default " + col.default_text + " does not bind: " + e.what());
        }
        defaults.push_back({t.get(), static_cast<std::size_t>(c), part});
      }
      t->cols.push_back(std::move(col));
    }
    std::uint64_t nix = count("indexes", 1);
    for (std::uint64_t i = 0; i < nix; ++i) {
      part = r.p;
      where = "table '" + t->name + "' index " + std::to_string(i + 1);
      auto ix = std::make_unique<Index>();
      ix->name = r.Str();
      if (!r.ok || ix->name.empty()) fail("the index name is missing or cut short");
      where = "table '" + t->name + "' index '" + ix->name + "'";
      if (!index_names[t.get()].insert(Fold(ix->name)).second)
        fail("a second index of the table has this name");
      ix->indid = id_field("index id");
      unsigned flags = r.U8();
      if (flags > 7) fail("unknown index flags");
      ix->unique = flags & 1;
      ix->primary = flags & 2;
      ix->clustered = flags & 4;
      std::uint64_t n = count("index columns", 1);
      if (n == 0) fail("the index has no columns");
      for (std::uint64_t c = 0; c < n; ++c) {
        std::uint64_t colno = r.Var();
        if (!r.ok || colno >= t->cols.size())
          fail("index column number " + std::to_string(colno) + " is not a column of the table");
        ix->cols.push_back(static_cast<int>(colno));
      }
      t->indexes.push_back(std::move(ix));
    }
    part = r.p;
    where = "table '" + t->name + "'";
    // A row is at least its length and one kind byte a column.
    std::uint64_t nrows = count("rows", 1 + t->cols.size());
    t->rows.reserve(nrows);
    const char* rows_first = r.p;
    for (std::uint64_t i = 0; i < nrows; ++i) {
      part = r.p;
      std::uint64_t n = r.Var();
      if (!r.ok || !r.Need(n)) fail("row " + std::to_string(i + 1) + " runs past the file's end");
      std::size_t bad_col = 0;
      if (const char* fault = RowFault(r.p, r.p + n, t->cols, &bad_col))
        fail("row " + std::to_string(i + 1) +
             (bad_col < t->cols.size() ? " column '" + t->cols[bad_col].name + "'" : "") + ": " +
             fault);
      t->rows.push_back(Row::Borrow(bytes.get() + (r.p - base), n));
      r.p += n;
    }
    // Each table's rows borrow a copy of their own part of the snapshot, so
    // that the part is freed once no row of the table borrows from it any
    // more (a column added or dropped gives every row bytes of its own).
    if (nrows > 0) {
      const auto size = static_cast<std::size_t>(r.p - rows_first);
      t->loaded = std::make_shared_for_overwrite<char[]>(size);
      t->borrowed = t->rows.size();
      std::memcpy(t->loaded.get(), rows_first, size);
      char* from = bytes.get() + (rows_first - base);
      for (Row& row : t->rows) row = Row::Borrow(t->loaded.get() + (row.data() - from), row.size());
    }
    t->live = t->rows.size();
    t->indexes_stale = !t->indexes.empty();
    tables_by_id[t->id] = t.get();
    cat->tables[Fold(t->name)] = t;
  }
  part = r.p;
  where.clear();
  std::uint64_t nobj = count("objects", 1);
  for (std::uint64_t k = 0; k < nobj; ++k) {
    part = r.p;
    where = "object " + std::to_string(k + 1);
    Object o;
    o.id = id_field("object id");
    o.name = r.Str();
    if (!r.ok || o.name.empty()) fail("the object name is missing or cut short");
    where = "object '" + o.name + "'";
    if (!object_names.insert(Fold(o.name)).second) fail("another object has this name");
    unique_id(o.id, where);
    o.xtype = r.Str();
    o.parent = id_field("parent id");
    o.crdate = r.I64();
    if (r.ok && !DateInFile(o.crdate)) fail("the object's creation date is out of range");
    o.text = r.Str();
    if (!r.ok) fail("the object is cut short");
    auto p = tables_by_id.find(o.parent);
    const Table* parent = p == tables_by_id.end() ? nullptr : p->second;
    if (o.xtype == "D" || o.xtype == "PK" || o.xtype == "UQ") {
      if (!parent) fail("the table it belongs to is missing");
      if (o.xtype != "D" && !index_names[parent].count(Fold(o.name)))
        fail("its table has no index of its name");
    } else if (o.xtype != "V" && o.xtype != "P" && o.xtype != "TR") {
      fail("object type '" + o.xtype + "' is not known");
    }
    cat->objects.push_back(std::move(o));
  }
  part = r.p;
  where.clear();
  if (r.p != r.end) fail("bytes follow the last object");
  std::map<int, const Object*> default_objects;
  for (const Object& o : cat->objects)
    if (o.xtype == "D") default_objects[o.id] = &o;
  for (const DefaultAt& d : defaults) {
    const Column& col = d.t->cols[d.col];
    part = d.at;
    where = "table '" + d.t->name + "' column '" + col.name + "'";
    auto o = default_objects.find(col.default_id);
    if (o == default_objects.end() || o->second->parent != d.t->id)
      fail("its default object " + std::to_string(col.default_id) + " is missing");
  }
}

}  // namespace

Storage::Storage(const std::string& path, bool create, Catalog* catalog,
                 const std::function<void(Expr&)>& bind_default)
    : path_(path), journal_path_(path + "-journal") {
  bool exists = std::filesystem::exists(path_);
  if (!exists && !create)
    throw Error(4060, 11,
                "Cannot open database \"" + path_ + "\" requested by the login. The login failed.");
  g_fault.Load();
  journal_ = port::File::Open(journal_path_, port::File::Mode::kReadWrite);
  if (!journal_.IsOpen())
    throw FileError(journal_path_, "Operating system error: " + port::LastError() + ".");
  if (!journal_.TryLock()) {
    journal_.Close();
    throw FileError(path_,
                    "Operating system error 32: \"32(The process cannot access the file because it "
                    "is being used by another process.)\".");
  }
  // A new database file left by an earlier process that stopped while it
  // saved (where the file system has no unnamed files): never part of the
  // database, and as large as it.
  port::RemoveFile(path_ + ".tmp");
  try {
    if (!exists) {
      Checkpoint(*catalog);
    } else {
      ReadSnapshot(path_, catalog, &generation_, bind_default);
      std::error_code ec;
      snapshot_size_ = std::filesystem::file_size(path_, ec);
      if (ec) snapshot_size_ = 0;
    }
  } catch (...) {
    journal_.Close();
    throw;
  }
}

Storage::~Storage() = default;  // closing the journal releases the lock

bool Storage::Recover(const Replay& replay) {
  JournalReader in(journal_);
  const char* header = in.Take(16);
  std::uint64_t gen = 0;
  if (header) std::memcpy(&gen, header + 8, 8);
  bool legacy = header && std::memcmp(header, kJournalMagicV1, 8) == 0;
  bool current = header && std::memcmp(header, kJournalMagic, 8) == 0;
  if (!header || gen != generation_ || (!legacy && !current)) {
    // Another generation's journal (its changes are in the snapshot already)
    // or no journal at all.
    ResetJournal();
    return false;
  }
  // good: the end of the last committed unit; nothing after it is kept.
  std::uint64_t good = 16;
  bool open = false, replayed = false;
  for (;;) {
    const char* head = in.Take(8);
    if (!head) break;
    std::uint32_t len, crc;
    std::memcpy(&len, head, 4);
    std::memcpy(&crc, head + 4, 4);
    if (len == 0 || len > in.Remaining()) break;
    const char* payload = in.Take(len);
    if (!payload) break;
    Reader r{payload, payload + len};
    unsigned kind = kUnitCommit;
    std::uint64_t count = UINT64_MAX;
    if (legacy) {
      if (Crc32(payload, len) != crc) break;
      count = r.Var();  // every record of the earlier format is one committed unit
    } else {
      if (Crc32cUpdate(0, payload, len) != crc) break;
      kind = r.U8();
      if (kind != kUnitMore && kind != kUnitCommit) break;
    }
    // The record is whole (its CRC holds): decode it all before replaying any.
    std::vector<Committed> entries;
    for (std::uint64_t k = 0; k < count && r.ok && r.p < r.end; ++k) {
      Committed c;
      c.now = r.I64();
      c.text = r.Str();
      entries.push_back(std::move(c));
    }
    if (!r.ok || r.p != r.end || (legacy && entries.size() != count)) break;
    open = true;
    // A statement recorded had succeeded; one that fails now was not written
    // by this engine as it stands. Nor was a clock reading (getdate() of the
    // statement) outside datetime's range.
    std::uint64_t record_at = in.Offset() - len - 8;
    for (const Committed& c : entries)
      if (!DateInFile(c.now))
        throw Error(5172, 16,
                    "The journal '" + journal_path_ + "' is damaged: the record at byte " +
                        std::to_string(record_at) +
                        " holds a statement's time outside datetime's range. The database "
                        "was not opened and its files were left as they are.");
    try {
      for (const Committed& c : entries) replay.statement(c);
      if (kind == kUnitCommit) replay.commit();
    } catch (const Error& e) {
      throw Error(5172, 16,
                  "The journal '" + journal_path_ +
                      "' is damaged: a statement of the record at byte " +
                      std::to_string(record_at) + " fails on replay (" + e.what() +
                      "). The database was not opened and its files were left as they are.");
    }
    if (kind == kUnitCommit) {
      open = false;
      replayed = true;
      good = in.Offset();
    }
  }
  // A unit the journal never saw committed: a process that stopped in the
  // middle of a transaction, or a commit record cut short.
  if (open) replay.abort();
  if (!journal_.Truncate(good) || !journal_.Seek(good))
    throw Error(9002, 17, "Could not truncate \"" + journal_path_ + "\".");
  journal_size_ = unit_start_ = good;
  legacy_ = legacy;
  dirty_ = replayed;
  return replayed || legacy;
}

std::uint32_t Crc32c(std::string_view bytes) {
  return Crc32cUpdate(0, bytes.data(), bytes.size());
}

void SealSnapshot(std::string& snapshot) {
  if (snapshot.size() < 24 || snapshot.compare(0, 8, "LIBSQLDB") != 0) return;
  std::uint32_t version;
  std::memcpy(&version, snapshot.data() + 8, 4);
  std::size_t n = snapshot.size() - 4;
  std::uint32_t crc =
      version == 1 ? CrcUpdate(0, snapshot.data(), n) : Crc32cUpdate(0, snapshot.data(), n);
  std::memcpy(snapshot.data() + n, &crc, 4);
}

void SealJournal(std::string& journal) {
  if (journal.size() < 16) return;
  bool legacy = journal.compare(0, 8, kJournalMagicV1) == 0;
  if (!legacy && journal.compare(0, 8, kJournalMagic) != 0) return;
  for (std::size_t at = 16; journal.size() - at >= 8;) {
    std::uint32_t len;
    std::memcpy(&len, journal.data() + at, 4);
    if (len > journal.size() - at - 8) break;
    const char* payload = journal.data() + at + 8;
    std::uint32_t crc = legacy ? Crc32(payload, len) : Crc32cUpdate(0, payload, len);
    std::memcpy(journal.data() + at + 4, &crc, 4);
    at += 8 + static_cast<std::size_t>(len);
  }
}

void Storage::ResetJournal() {
  Writer w;
  w.out = kJournalMagic;
  w.U64(generation_);
  if (!journal_.Truncate(0))
    throw Error(9002, 17, "Could not truncate \"" + journal_path_ + "\".");
  journal_.Seek(0);
  WriteAll(journal_, w.out, journal_path_);
  journal_size_ = unit_start_ = w.out.size();
  unit_.clear();
}

void Storage::Statement(const Committed& c) {
  if (broken_)
    throw Error(9002, 17,
                "The journal \"" + journal_path_ +
                    "\" could not be cut back after a rollback; reopen the database.");
  if (unit_.empty()) unit_.assign(9, '\0');  // length, CRC and kind, filled when written
  unit_.append(reinterpret_cast<const char*>(&c.now), 8);
  for (std::uint64_t v = c.text.size();; v >>= 7) {
    if (v < 0x80) {
      unit_ += static_cast<char>(v);
      break;
    }
    unit_ += static_cast<char>((v & 0x7F) | 0x80);
  }
  unit_ += c.text;
  if (unit_.size() >= kFlushBytes) WriteUnitRecord(kUnitMore);
}

void Storage::Commit() {
  if (!UnitOpen()) return;
  if (broken_)
    throw Error(9002, 17,
                "The journal \"" + journal_path_ +
                    "\" could not be cut back after a rollback; reopen the database.");
  if (unit_.empty()) unit_.assign(9, '\0');
  WriteUnitRecord(kUnitCommit);
  // The unit is committed once its records are on the disk, not merely
  // handed to the system: a power cut must not take back a commit that has
  // returned. A failed flush leaves the unit open, for Abort to cut back.
  SyncData(journal_, journal_path_);
  unit_start_ = journal_size_;
  dirty_ = true;
  checkpoint_failed_ = false;
}

void Storage::CommitUnit(const std::vector<Committed>& unit) {
  if (unit.empty()) return;
  if (journal_size_ != unit_start_)
    throw Error(9002, 17,
                "The journal \"" + journal_path_ +
                    "\" is taken by another transaction's unit; commit or roll it back first.");
  // The gathering unit's statements wait aside; this unit goes in front.
  std::string aside;
  aside.swap(unit_);
  const std::uint64_t before = journal_size_;
  try {
    for (const Committed& c : unit) Statement(c);
    Commit();
  } catch (...) {
    unit_.swap(aside);
    if (journal_.Truncate(before) && journal_.Seek(before))
      journal_size_ = unit_start_ = before;
    else
      broken_ = true;
    throw;
  }
  unit_.swap(aside);
}

void Storage::Abort() noexcept {
  unit_.clear();
  if (journal_size_ == unit_start_) return;
  if (journal_.Truncate(unit_start_) && journal_.Seek(unit_start_))
    journal_size_ = unit_start_;
  else
    broken_ = true;  // the unit's records stay without a commit: opening ignores them
}

void Storage::WriteUnitRecord(unsigned kind) {
  unit_[8] = static_cast<char>(kind);
  auto len = static_cast<std::uint32_t>(unit_.size() - 8);
  std::uint32_t crc = Crc32cUpdate(0, unit_.data() + 8, len);
  std::memcpy(unit_.data(), &len, 4);
  std::memcpy(unit_.data() + 4, &crc, 4);
  // The file offset is always the journal's end (journal_size_).
  const std::uint64_t before = journal_size_;
  try {
    WriteAll(journal_, unit_, journal_path_);
  } catch (...) {
    if (journal_.Truncate(before)) journal_.Seek(before);
    throw;
  }
  journal_size_ += unit_.size();
  if (unit_.capacity() > 4 * kFlushBytes)
    std::string().swap(unit_);  // a huge statement does not keep its buffer
  else
    unit_.clear();
}

void Storage::Checkpoint(const Catalog& catalog) {
  if (UnitOpen()) return;
  NewFile file(path_);
  if (!file.ok())
    throw Error(9002, 17, "Could not create \"" + file.name() + "\": " + port::LastError() + ".");
  try {
    WriteSnapshot(file.file(), file.name(), catalog, generation_ + 1);
    const std::int64_t size = file.file().Size();
    file.Place([&](const std::string& why) {
      return Error(9002, 17, "Could not replace \"" + path_ + "\": " + why + ".");
    });
    snapshot_size_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  } catch (...) {
    // The journal still holds every committed change. A journal grown past
    // its limit is not tried again until it has grown as much once more.
    checkpoint_failed_ = true;
    retry_size_ = journal_size_ + kCheckpointBytes;
    throw;
  }
  ++generation_;
  ResetJournal();
  dirty_ = false;
  legacy_ = false;
}

void Storage::Backup(const Catalog& catalog, const std::string& dest) {
  namespace fs = std::filesystem;
  auto device_error = [&](int os_error, const std::string& why) {
    return Error(3201, 16,
                 "Cannot open backup device '" + dest + "'. Operating system error " +
                     std::to_string(os_error) + "(" + why + ").");
  };
  if (UnitOpen()) throw device_error(32, "a transaction of the database is open");
  std::error_code ec;
  // The database's own files are never a backup's destination.
  if (dest == journal_path_ || (fs::exists(dest, ec) && fs::equivalent(dest, path_, ec)))
    throw device_error(32,
                       "The process cannot access the file because it is being used by "
                       "another process");
  // A database open at dest holds its journal locked: it is in use.
  const std::string dest_journal = dest + "-journal";
  if (port::File journal = port::File::Open(dest_journal, port::File::Mode::kReadWriteExisting);
      journal.IsOpen()) {
    const bool busy = !journal.TryLock();
    journal.Close();
    if (busy)
      throw device_error(32,
                         "The process cannot access the file because it is being used by "
                         "another process");
  }
  NewFile file(dest);
  if (!file.ok())
    throw device_error(port::LastErrorWasNotFound() ? 3 : 5,
                       port::LastErrorWasNotFound() ? "The system cannot find the path specified"
                                                    : port::LastError());
  try {
    WriteSnapshot(file.file(), file.name(), catalog, 1);
    // An older database's journal at dest would be replayed onto the copy.
    port::RemoveFile(dest_journal);
    file.Place([&](const std::string& why) { return device_error(5, why); });
  } catch (const Error& e) {
    if (e.number() == 3201) throw;
    throw Error(3201, 16, e.what());
  }
}

}  // namespace engine
