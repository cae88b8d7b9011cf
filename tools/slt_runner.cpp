// slt-runner: runs sqllogictest files against the embedded engine, the engine
// taking the part of SQL Server ("mssql" in the files' conditions).
//
//   slt-runner [-v] [--timeout-ms N] [--stop-after N] FILE...
//
// Each file runs in a fresh database of its own. A record is run, skipped
// (skipif mssql, onlyif anything else), or stops the file (halt). A
// statement passes when it succeeds (statement ok) or fails (statement
// error) as the record says; a query passes when it gives one result set
// whose values, rendered as the format renders them (integers as integers,
// reals with three decimals, NULL, (empty), '@' for unprintable bytes) and
// sorted as the record asks, equal the expected ones or hash to the expected
// MD5. A query running past the time limit is cancelled and counted as timed
// out. For every file the runner prints one line of figures:
//
//   FILE: run R, passed P, failed F, errored E, timed out T, skipped S;
//   slowest record M ms (line L)
//
// failed: a wrong result, or a success where an error was expected; errored:
// an error where success or a result was expected. -v also prints each
// record that did not pass, with what it gave. The exit code is 0 when every
// record run passed, 1 otherwise, 2 on a usage or file error.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace {

// ---- MD5 (RFC 1321), for the format's hashed results ----

class Md5 {
 public:
  void Update(const std::string& s) {
    for (unsigned char c : s) {
      block_[fill_++] = c;
      if (fill_ == 64) {
        Transform();
        fill_ = 0;
      }
    }
    bytes_ += s.size();
  }

  std::string HexDigest() {
    std::uint64_t bits = bytes_ * 8;
    block_[fill_++] = 0x80;
    if (fill_ > 56) {
      while (fill_ < 64) block_[fill_++] = 0;
      Transform();
      fill_ = 0;
    }
    while (fill_ < 56) block_[fill_++] = 0;
    for (int k = 0; k < 8; ++k) block_[fill_++] = static_cast<unsigned char>(bits >> (8 * k));
    Transform();
    std::string hex;
    char buf[3];
    for (std::uint32_t word : state_)
      for (int k = 0; k < 4; ++k) {
        std::snprintf(buf, sizeof buf, "%02x", (word >> (8 * k)) & 0xFF);
        hex += buf;
      }
    return hex;
  }

 private:
  static std::uint32_t Rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

  void Transform() {
    static const std::uint32_t kK[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::uint32_t m[16];
    for (int k = 0; k < 16; ++k)
      m[k] = static_cast<std::uint32_t>(block_[4 * k]) | block_[4 * k + 1] << 8 |
             block_[4 * k + 2] << 16 | static_cast<std::uint32_t>(block_[4 * k + 3]) << 24;
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      std::uint32_t next = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + kK[i] + m[g], kS[i]);
      a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }

  std::array<std::uint32_t, 4> state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  unsigned char block_[64] = {};
  std::size_t fill_ = 0;
  std::uint64_t bytes_ = 0;
};

// ---- records ----

struct Record {
  enum Kind { StatementOk, StatementError, Query, Halt, HashThreshold } kind = StatementOk;
  int line = 0;  // of the record's first line
  bool skip = false;
  std::string sql;
  std::string types;  // query: one letter a column
  std::string sort = "nosort";
  std::string label;
  std::vector<std::string> expected;
  int threshold = 0;
};

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  std::string x;
  while (in >> x) {
    if (x[0] == '#') break;
    w.push_back(x);
  }
  return w;
}

// Reads the records of a file; conditions are settled here.
std::vector<Record> ReadRecords(std::istream& in) {
  std::vector<std::string> lines;
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  std::vector<Record> out;
  std::size_t i = 0;
  auto blank = [&](std::size_t k) {
    return lines[k].find_first_not_of(" \t") == std::string::npos;
  };
  while (i < lines.size()) {
    if (blank(i) || lines[i][0] == '#') {
      ++i;
      continue;
    }
    Record r;
    r.line = static_cast<int>(i) + 1;
    // Conditions, then the record's own first line.
    for (;; ++i) {
      if (i == lines.size()) return out;
      std::vector<std::string> w = Words(lines[i]);
      if (w.size() >= 2 && w[0] == "skipif") {
        if (w[1] == "mssql") r.skip = true;
      } else if (w.size() >= 2 && w[0] == "onlyif") {
        if (w[1] != "mssql") r.skip = true;
      } else {
        break;
      }
    }
    std::vector<std::string> w = Words(lines[i]);
    ++i;
    if (w.empty()) continue;
    auto body = [&](bool stop_at_dashes) {
      std::string sql;
      while (i < lines.size() && !blank(i)) {
        if (stop_at_dashes && lines[i] == "----") break;
        if (!sql.empty()) sql += "\n";
        sql += lines[i++];
      }
      return sql;
    };
    if (w[0] == "statement") {
      r.kind = w.size() > 1 && w[1] == "error" ? Record::StatementError : Record::StatementOk;
      r.sql = body(false);
    } else if (w[0] == "query") {
      r.kind = Record::Query;
      if (w.size() > 1) r.types = w[1];
      if (w.size() > 2) r.sort = w[2];
      if (w.size() > 3) r.label = w[3];
      r.sql = body(true);
      if (i < lines.size() && lines[i] == "----") {
        ++i;
        while (i < lines.size() && !blank(i)) r.expected.push_back(lines[i++]);
      }
    } else if (w[0] == "halt") {
      r.kind = Record::Halt;
    } else if (w[0] == "hash-threshold" && w.size() > 1) {
      r.kind = Record::HashThreshold;
      r.threshold = std::atoi(w[1].c_str());
    } else {
      // An unknown record: skip its lines.
      body(false);
      continue;
    }
    out.push_back(std::move(r));
  }
  return out;
}

// A value as the format shows it, for a column of type letter t.
std::string Render(const std::optional<std::string>& v, char t) {
  if (!v) return "NULL";
  const std::string& s = *v;
  char buf[64];
  if (t == 'I') {
    char* end = nullptr;
    long long x = std::strtoll(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0') x = static_cast<long long>(std::strtod(s.c_str(), nullptr));
    std::snprintf(buf, sizeof buf, "%lld", x);
    return buf;
  }
  if (t == 'R') {
    std::snprintf(buf, sizeof buf, "%.3f", std::strtod(s.c_str(), nullptr));
    return buf;
  }
  if (s.empty()) return "(empty)";
  std::string out = s;
  for (char& c : out)
    if (c < ' ' || c > '~') c = '@';
  return out;
}

struct Figures {
  int run = 0, passed = 0, failed = 0, errored = 0, timed_out = 0, skipped = 0;
  double slowest_ms = 0;  // the longest a record took, and its line
  int slowest_line = 0;
};

struct Options {
  bool verbose = false;
  long long timeout_ms = 10000;
};

void Report(const Options& o, const std::string& file, const Record& r, const char* what,
            const std::string& detail) {
  if (!o.verbose) return;
  std::cout << file << ":" << r.line << ": " << what << "\n  " << r.sql << "\n";
  if (!detail.empty()) std::cout << "  " << detail << "\n";
}

std::string ErrorText(const engine::Error& e) {
  return "Msg " + std::to_string(e.number()) + ", Level " + std::to_string(e.severity()) + ": " +
         e.what();
}

Figures RunFile(const Options& o, const std::string& file, const std::filesystem::path& dir) {
  Figures f;
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::vector<Record> records = ReadRecords(in);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto db = engine::Database::open((dir / "slt.db").string(),
                                   engine::Database::OpenMode::CreateIfMissing);
  const int spid = db->open_session(engine::SessionInfo{0, "slt", "slt-runner", "sa"});
  int threshold = 8;
  for (const Record& r : records) {
    if (r.skip) {
      if (r.kind == Record::StatementOk || r.kind == Record::StatementError ||
          r.kind == Record::Query)
        ++f.skipped;
      continue;
    }
    if (r.kind == Record::Halt) break;
    if (r.kind == Record::HashThreshold) {
      threshold = r.threshold;
      continue;
    }
    ++f.run;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.timeout_ms);
    auto cancelled = [&] { return std::chrono::steady_clock::now() > deadline; };
    std::vector<engine::StatementResult> results;
    const auto started = std::chrono::steady_clock::now();
    auto timed = [&] {
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
              .count();
      if (ms > f.slowest_ms) {
        f.slowest_ms = ms;
        f.slowest_line = r.line;
      }
    };
    try {
      results = db->execute(spid, r.sql, cancelled);
      timed();
    } catch (const engine::Cancelled&) {
      ++f.timed_out;
      Report(o, file, r, "timed out", "");
      continue;
    } catch (const engine::Error& e) {
      timed();
      if (r.kind == Record::StatementError) {
        ++f.passed;
      } else {
        ++f.errored;
        Report(o, file, r, "error", ErrorText(e));
      }
      continue;
    }
    if (r.kind == Record::StatementOk) {
      ++f.passed;
      continue;
    }
    if (r.kind == Record::StatementError) {
      ++f.failed;
      Report(o, file, r, "succeeded, an error was expected", "");
      continue;
    }
    // A query: exactly one result set.
    const engine::StatementResult* rs = nullptr;
    int sets = 0;
    for (const auto& x : results)
      if (x.has_result_set) {
        ++sets;
        rs = &x;
      }
    if (sets != 1) {
      ++f.failed;
      Report(o, file, r, "wrong result", std::to_string(sets) + " result sets");
      continue;
    }
    if (rs->columns.size() != r.types.size()) {
      ++f.failed;
      Report(o, file, r, "wrong result",
             std::to_string(rs->columns.size()) + " columns, " + std::to_string(r.types.size()) +
                 " expected");
      continue;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& row : rs->rows) {
      std::vector<std::string> vals;
      for (std::size_t c = 0; c < row.size(); ++c) vals.push_back(Render(row[c], r.types[c]));
      rows.push_back(std::move(vals));
    }
    if (r.sort == "rowsort") std::sort(rows.begin(), rows.end());
    std::vector<std::string> values;
    for (auto& row : rows)
      for (auto& v : row) values.push_back(std::move(v));
    if (r.sort == "valuesort") std::sort(values.begin(), values.end());
    bool hashed = r.expected.size() == 1 && r.expected[0].find(" values hashing to ") !=
                                                std::string::npos;
    bool same;
    std::string got;
    if (hashed) {
      Md5 md5;
      for (const std::string& v : values) md5.Update(v + "\n");
      got = std::to_string(values.size()) + " values hashing to " + md5.HexDigest();
      same = got == r.expected[0];
    } else {
      same = values == r.expected;
      for (std::size_t k = 0; k < values.size() && k < 12; ++k) got += values[k] + " ";
      if (values.size() > 12) got += "... (" + std::to_string(values.size()) + " values)";
    }
    (void)threshold;  // the expected text says whether it is hashed
    if (same) {
      ++f.passed;
    } else {
      ++f.failed;
      std::string want;
      for (std::size_t k = 0; k < r.expected.size() && k < 12; ++k) want += r.expected[k] + " ";
      Report(o, file, r, "wrong result", "got: " + got + "\n  expected: " + want);
    }
  }
  db->close_session(spid);
  db.reset();
  std::filesystem::remove_all(dir);
  return f;
}

int Usage() {
  std::cerr << "usage: slt-runner [-v] [--timeout-ms N] FILE...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<std::string> files;
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    if (a == "-v") {
      o.verbose = true;
    } else if (a == "--timeout-ms" && k + 1 < argc) {
      o.timeout_ms = std::atoll(argv[++k]);
    } else if (!a.empty() && a[0] == '-') {
      return Usage();
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return Usage();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("slt_runner_" + std::to_string(::getpid()));
  bool all_passed = true;
  for (const std::string& file : files) {
    Figures f;
    try {
      f = RunFile(o, file, dir);
    } catch (const std::exception& e) {
      std::cerr << file << ": " << e.what() << "\n";
      std::filesystem::remove_all(dir);
      return 2;
    }
    std::printf(
        "%s: run %d, passed %d, failed %d, errored %d, timed out %d, skipped %d; slowest record "
        "%.1f ms (line %d)\n",
        file.c_str(), f.run, f.passed, f.failed, f.errored, f.timed_out, f.skipped, f.slowest_ms,
        f.slowest_line);
    std::fflush(stdout);
    if (f.passed != f.run) all_passed = false;
  }
  return all_passed ? 0 : 1;
}
