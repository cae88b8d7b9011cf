// Snapshot and journal files (see FORMAT.md).
#include "engine/storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

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

void WriteAll(int fd, const std::string& data, const std::string& path);

// Encodes into out; when it writes to a file (fd >= 0), Spill() hands out to
// the file whenever a megabyte has gathered, keeping the CRC of what went.
struct Writer {
  std::string out;
  int fd = -1;
  const std::string* path = nullptr;
  std::uint32_t crc = 0;
  CrcFunction crc_update = CrcUpdate;
  void Spill() {
    if (fd >= 0 && out.size() >= (1u << 20)) Flush();
  }
  void Flush() {
    crc = crc_update(crc, out.data(), out.size());
    WriteAll(fd, out, *path);
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
  explicit JournalReader(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) size_ = static_cast<std::uint64_t>(st.st_size);
    ::lseek(fd, 0, SEEK_SET);
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
    if (buf_.size() < std::max<std::size_t>(n, 1u << 20))
      buf_.resize(std::max<std::size_t>(n, 1u << 20));
    while (end_ < n) {
      ssize_t k = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      end_ += static_cast<std::size_t>(k);
    }
    return true;
  }

  int fd_;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
  std::string buf_;
  std::size_t pos_ = 0, end_ = 0;
};

void WriteAll(int fd, const std::string& data, const std::string& path) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw Error(9002, 17, "Could not write to \"" + path + "\": " + std::strerror(errno) + ".");
    done += static_cast<std::size_t>(n);
  }
}

// Writes the snapshot to fd a megabyte at a time.
void WriteSnapshot(int fd, const std::string& path, const Catalog& cat, std::uint64_t generation) {
  Writer w;
  w.fd = fd;
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
  WriteAll(fd, w.out, path);
}

// Reads the snapshot at path with one read into one block, which the tables'
// rows borrow. Indexes are left to be built on first use. False when the file
// is not a whole snapshot (bad header, short, or failing its CRC).
bool ReadSnapshot(const std::string& path, Catalog* cat, std::uint64_t* generation) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 24) return false;
  // One read of the whole file, which the rows then borrow: no per-row copy.
  auto size = static_cast<std::size_t>(st.st_size);
  std::shared_ptr<char[]> bytes = std::make_shared_for_overwrite<char[]>(size);
  std::size_t got = 0;
  while (got < size) {
    ssize_t k = ::read(fd, bytes.get() + got, size - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  if (std::memcmp(bytes.get(), "LIBSQLDB", 8) != 0) return false;
  std::uint32_t version, stored;
  std::memcpy(&version, bytes.get() + 8, 4);
  std::memcpy(&stored, bytes.get() + size - 4, 4);
  if (version == 1) {
    if (CrcUpdate(0, bytes.get(), size - 4) != stored) return false;
  } else if (version != kSnapshotVersion || Crc32cUpdate(0, bytes.get(), size - 4) != stored) {
    return false;
  }
  Reader r{bytes.get() + 12, bytes.get() + size - 4};
  *generation = r.U64();
  cat->next_id = static_cast<int>(r.Var());
  std::uint64_t ntables = r.Var();
  for (std::uint64_t k = 0; k < ntables && r.ok; ++k) {
    auto t = std::make_shared<Table>();
    t->name = r.Str();
    t->id = static_cast<int>(r.Var());
    t->crdate = r.I64();
    t->identity_next = r.I64();
    t->identity_used = r.U8() != 0;
    std::uint64_t ncols = r.Var();
    for (std::uint64_t c = 0; c < ncols && r.ok; ++c) {
      Column col;
      col.name = r.Str();
      col.type.type = static_cast<Type>(r.U8());
      col.type.length = static_cast<int>(r.Var());
      col.type.precision = static_cast<int>(r.Var());
      col.type.scale = static_cast<int>(r.Var());
      unsigned flags = r.U8();
      col.nullable = flags & 1;
      col.identity = flags & 2;
      col.seed = r.I64();
      col.increment = r.I64();
      col.default_id = static_cast<int>(r.Var());
      col.default_text = r.Str();
      t->cols.push_back(std::move(col));
    }
    std::uint64_t nix = r.Var();
    for (std::uint64_t i = 0; i < nix && r.ok; ++i) {
      auto ix = std::make_unique<Index>();
      ix->name = r.Str();
      ix->indid = static_cast<int>(r.Var());
      unsigned flags = r.U8();
      ix->unique = flags & 1;
      ix->primary = flags & 2;
      ix->clustered = flags & 4;
      std::uint64_t n = r.Var();
      for (std::uint64_t c = 0; c < n && r.ok; ++c) ix->cols.push_back(static_cast<int>(r.Var()));
      t->indexes.push_back(std::move(ix));
    }
    std::uint64_t nrows = r.Var();
    if (!r.ok) return false;
    if (nrows > static_cast<std::uint64_t>(r.end - r.p)) return false;
    t->rows.reserve(nrows);
    t->loaded = bytes;
    for (std::uint64_t i = 0; i < nrows && r.ok; ++i) {
      std::uint64_t n = r.Var();
      if (!r.Need(n)) break;
      t->rows.push_back(Row::Borrow(bytes.get() + (r.p - bytes.get()), n));
      r.p += n;
    }
    t->live = t->rows.size();
    t->indexes_stale = !t->indexes.empty();
    cat->tables[Fold(t->name)] = t;
  }
  std::uint64_t nobj = r.Var();
  for (std::uint64_t k = 0; k < nobj && r.ok; ++k) {
    Object o;
    o.id = static_cast<int>(r.Var());
    o.name = r.Str();
    o.xtype = r.Str();
    o.parent = static_cast<int>(r.Var());
    o.crdate = r.I64();
    o.text = r.Str();
    cat->objects.push_back(std::move(o));
  }
  if (!r.ok || r.p != r.end) return false;
  // Defaults are parsed only once the file is known whole.
  for (auto& [key, t] : cat->tables)
    for (Column& col : t->cols)
      if (!col.default_text.empty()) col.default_expr = ParseExpression(col.default_text);
  return true;
}

}  // namespace

Storage::Storage(const std::string& path, bool create, Catalog* catalog)
    : path_(path), journal_path_(path + "-journal") {
  bool exists = std::filesystem::exists(path_);
  if (!exists && !create)
    throw Error(4060, 11,
                "Cannot open database \"" + path_ + "\" requested by the login. The login failed.");
  journal_fd_ = ::open(journal_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (journal_fd_ < 0)
    throw FileError(journal_path_,
                    std::string("Operating system error: ") + std::strerror(errno) + ".");
  if (::flock(journal_fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(journal_fd_);
    journal_fd_ = -1;
    throw FileError(path_,
                    "Operating system error 32: \"32(The process cannot access the file because it "
                    "is being used by another process.)\".");
  }
  try {
    if (!exists) {
      Checkpoint(*catalog);
    } else if (!ReadSnapshot(path_, catalog, &generation_)) {
      throw Error(5172, 16,
                  "The header for file '" + path_ + "' is not a valid database file header.");
    }
  } catch (...) {
    ::close(journal_fd_);
    journal_fd_ = -1;
    throw;
  }
}

Storage::~Storage() {
  if (journal_fd_ >= 0) ::close(journal_fd_);  // releases the lock
}

bool Storage::Recover(const Replay& replay) {
  JournalReader in(journal_fd_);
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
    for (const Committed& c : entries) replay.statement(c);
    if (kind == kUnitCommit) {
      replay.commit();
      open = false;
      replayed = true;
      good = in.Offset();
    }
  }
  // A unit the journal never saw committed: a process that stopped in the
  // middle of a transaction, or a commit record cut short.
  if (open) replay.abort();
  if (::ftruncate(journal_fd_, static_cast<off_t>(good)) != 0 ||
      ::lseek(journal_fd_, static_cast<off_t>(good), SEEK_SET) < 0)
    throw Error(9002, 17, "Could not truncate \"" + journal_path_ + "\".");
  journal_size_ = unit_start_ = good;
  return replayed || legacy;
}

void Storage::ResetJournal() {
  Writer w;
  w.out = kJournalMagic;
  w.U64(generation_);
  if (::ftruncate(journal_fd_, 0) != 0)
    throw Error(9002, 17, "Could not truncate \"" + journal_path_ + "\".");
  ::lseek(journal_fd_, 0, SEEK_SET);
  WriteAll(journal_fd_, w.out, journal_path_);
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
  unit_start_ = journal_size_;
  dirty_ = true;
}

void Storage::Abort() noexcept {
  unit_.clear();
  if (journal_size_ == unit_start_) return;
  auto start = static_cast<off_t>(unit_start_);
  if (::ftruncate(journal_fd_, start) == 0 && ::lseek(journal_fd_, start, SEEK_SET) == start)
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
  auto before = static_cast<off_t>(journal_size_);
  try {
    WriteAll(journal_fd_, unit_, journal_path_);
  } catch (...) {
    if (::ftruncate(journal_fd_, before) == 0) ::lseek(journal_fd_, before, SEEK_SET);
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
  std::string tmp = path_ + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw Error(9002, 17, "Could not create \"" + tmp + "\": " + std::strerror(errno) + ".");
  try {
    WriteSnapshot(fd, tmp, catalog, generation_ + 1);
    if (::fsync(fd) != 0) throw Error(9002, 17, "Could not flush \"" + tmp + "\".");
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path_.c_str()) != 0)
    throw Error(9002, 17, "Could not replace \"" + path_ + "\": " + std::strerror(errno) + ".");
  std::string dir = std::filesystem::path(path_).parent_path().string();
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  ++generation_;
  ResetJournal();
  dirty_ = false;
}

}  // namespace engine
