// libsql: command shell of the embedded engine, with sqlcmd's options.
//
//   libsql [-b] [-1] [-W] [-h -1] [-s SEP] [-f CODEPAGE] -d FILE (-Q "batch" | -i SCRIPT)
//   libsql --version
//
// -d names the database file (created when absent); -Q runs one batch; -i runs
// a script whose lines holding only GO end batches. Result sets print one row a
// line, values separated by SEP (a tab by default), NULL as NULL, after a
// header line unless -h -1; -W removes trailing blanks of values. An error
// prints "Msg N, Level S, State 1, Line L" and its message on stderr; with -b
// the shell stops at the first error with exit code 1. Text in and out is
// UTF-8 unless -f 936 says GBK; the database always holds GBK.
//
// A statement outside a transaction commits by itself, and a commit returns
// only once the journal is flushed to disk: a script of many single INSERTs
// waits for the disk at every one. -1 runs the whole input as one
// transaction instead (one flush at its end): it commits when every batch
// succeeded, and is rolled back whole, with exit code 1, when any failed.
// The shell ends by writing the database file (a checkpoint); when that
// fails (a full disk) it says so and exits 1, the changes kept in the
// journal for the next opening.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "libupgrade/version.h"
#include "port/console.h"
#include "text/gbk.h"

namespace {

struct Options {
  bool stop_on_error = false;
  bool trim = false;
  bool header = true;
  std::string sep = "\t";
  bool gbk_io = false;
  std::string db;
  std::string query;
  std::string script;
  bool has_query = false;
  bool one_transaction = false;
};

constexpr const char* kUsage =
    "usage: libsql [-b] [-1] [-W] [-h -1] [-s SEP] [-f CODEPAGE] -d FILE (-Q \"batch\" "
    "| -i SCRIPT)\n"
    "       libsql --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Runs Transact-SQL on a database file of the embedded engine.\n"
    "\n"
    "  -d FILE                  the database file; made, empty, when it does not exist\n"
    "  -Q BATCH                 run one batch\n"
    "  -i SCRIPT                run a script whose lines holding only GO end its batches\n"
    "  -b                       stop at the first error, with exit code 1\n"
    "  -1, --single-transaction run the whole input as one transaction: it commits\n"
    "                           when every batch succeeded, else it is rolled back\n"
    "  -W                       remove the trailing blanks of values\n"
    "  -h -1                    no header line\n"
    "  -s SEP                   separate the values of a row by SEP (default a tab)\n"
    "  -f CODEPAGE              65001 (default): text in and out is UTF-8; 936: GBK\n"
    "  --help                   show this text\n"
    "  --version                show the release and this build's version\n"
    "\n"
    "Exit status:\n"
    "  0  every batch ran (without -b, also when some failed)\n"
    "  1  with -b or -1: a batch failed; also when the database or the script cannot\n"
    "     be opened, or the database file cannot be written (a full disk)\n"
    "  2  a usage error\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

std::string In(const Options& o, const std::string& s) { return o.gbk_io ? s : text::Gbk(s); }
std::string Out(const Options& o, const std::string& s) { return o.gbk_io ? s : text::Utf8(s); }

std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void PrintError(const Options& o, const engine::Error& e, int line_offset) {
  (void)line_offset;  // sqlcmd counts lines within the batch
  int line = e.line();
  std::cerr << "Msg " << e.number() << ", Level " << e.severity() << ", State 1, Line " << line << "\n"
            << Out(o, e.what()) << "\n";
  for (const auto& m : e.follow_on)  // a later error of the batch has its own line
    std::cerr << "Msg " << m.number << ", Level " << m.severity << ", State 1, Line "
              << (m.line ? m.line : line) << "\n"
              << Out(o, m.text) << "\n";
}

// Runs one batch; false when it failed.
bool RunBatch(const Options& o, engine::Database& db, const std::string& batch, int line_offset) {
  std::vector<engine::StatementResult> results;
  bool ok = true;
  try {
    results = db.execute(In(o, batch));
  } catch (const engine::Error& e) {
    if (e.results.empty()) {  // nothing ran
      PrintError(o, e, line_offset);
      return false;
    }
    results = e.results;  // what ran, the errors in place
    ok = false;
  } catch (const std::exception& e) {  // text conversion of the input
    std::cerr << "Msg 0, Level 16, State 1, Line " << line_offset + 1 << "\n" << e.what() << "\n";
    return false;
  }
  for (const auto& r : results) {
    for (const auto& m : r.messages) {
      if (m.severity > 10) {  // an error of a statement, as sqlcmd prints it
        std::cout.flush();
        std::cerr << "Msg " << m.number << ", Level " << m.severity << ", State 1, Line " << m.line
                  << "\n"
                  << Out(o, m.text) << "\n";
      } else if (m.number == 0) {  // PRINT
        std::cout << Out(o, m.text) << "\n";
      } else {  // an informational message after an error (3621, ...)
        std::cerr << "Msg " << m.number << ", Level " << m.severity << ", State 1, Line " << m.line
                  << "\n"
                  << Out(o, m.text) << "\n";
      }
    }
    if (!r.has_result_set) continue;
    std::string out;
    if (o.header) {
      for (std::size_t c = 0; c < r.columns.size(); ++c) {
        if (c) out += o.sep;
        out += Out(o, r.columns[c].name);
      }
      out += "\n";
    }
    for (const auto& row : r.rows) {
      for (std::size_t c = 0; c < row.size(); ++c) {
        if (c) out += o.sep;
        if (!row[c]) {
          out += "NULL";
          continue;
        }
        // Binary values as sqlcmd shows them: 0x and the hex digits.
        const engine::ResultColumn& col = r.columns[c];
        if (col.type == engine::ColumnType::Binary || col.declared == "binary" ||
            col.declared == "varbinary")
          out += "0x";
        out += Out(o, o.trim ? TrimRight(*row[c]) : *row[c]);
      }
      out += "\n";
    }
    std::cout << out;
  }
  return ok;
}

bool IsGo(const std::string& line) {
  std::string t;
  for (char c : line)
    if (c != ' ' && c != '\t' && c != '\r') t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return t == "GO";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::cout << kUsage << kHelp;
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::cout << libupgrade::VersionText("libsql");
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a);
      return argv[++i];
    };
    try {
      if (a == "-b") o.stop_on_error = true;
      else if (a == "-1" || a == "--single-transaction") o.one_transaction = true;
      else if (a == "-W") o.trim = true;
      else if (a == "-h") o.header = value() != "-1";
      else if (a == "-s") o.sep = value();
      else if (a == "-f") {
        std::string cp = value();
        if (cp != "936" && cp != "65001") {
          std::cerr << "libsql: code page " << cp << " is not supported (936 or 65001)\n";
          return 2;
        }
        o.gbk_io = cp == "936";
      } else if (a == "-d") o.db = value();
      else if (a == "-Q") {
        o.query = port::ArgumentUtf8(value());
        o.has_query = true;
      } else if (a == "-i") o.script = value();
      else return Usage();
    } catch (const std::invalid_argument&) {
      return Usage();
    }
  }
  if (o.db.empty() || o.has_query == !o.script.empty()) return Usage();

  std::unique_ptr<engine::Database> db;
  try {
    db = engine::Database::open(o.db, engine::Database::OpenMode::CreateIfMissing);
  } catch (const engine::Error& e) {
    PrintError(o, e, 0);
    return 1;
  }
  bool failed = false;
  // The end of the run: with -1 the transaction commits or rolls back, then
  // the database file is written.
  auto finish = [&]() -> int {
    if (o.one_transaction) {
      try {
        if (failed) {
          db->execute("if @@trancount > 0 rollback transaction");
        } else {
          // A script may leave transactions of its own open inside this one.
          auto open = [&] { return db->execute("select @@trancount")[0].rows[0][0] != "0"; };
          while (open()) db->execute("commit transaction");
        }
      } catch (const engine::Error& e) {
        PrintError(o, e, 0);
        failed = true;
        o.stop_on_error = true;
      }
      if (failed) {
        std::cerr << "libsql: the transaction was rolled back; nothing of the input was kept\n";
        o.stop_on_error = true;
      }
    }
    try {
      db->checkpoint();
    } catch (const engine::Error& e) {
      PrintError(o, e, 0);
      std::cerr << "libsql: the committed changes are kept in the journal " << o.db
                << "-journal, which the next opening replays; free space and open the database "
                   "again\n";
      return 1;
    }
    return failed && o.stop_on_error ? 1 : 0;
  };
  if (o.one_transaction) {
    try {
      db->execute("begin transaction");
    } catch (const engine::Error& e) {
      PrintError(o, e, 0);
      return 1;
    }
  }
  if (o.has_query) {
    failed = !RunBatch(o, *db, o.query, 0);
  } else {
    std::ifstream in(o.script, std::ios::binary);
    if (!in) {
      std::cerr << "libsql: cannot open script \"" << o.script << "\"\n";
      return 1;
    }
    std::string line, batch;
    int line_no = 0, batch_start = 0;
    auto flush = [&]() {
      bool blank = batch.find_first_not_of(" \t\r\n") == std::string::npos;
      bool ok = blank || RunBatch(o, *db, batch, batch_start);
      batch.clear();
      return ok;
    };
    while (std::getline(in, line)) {
      ++line_no;
      if (IsGo(line)) {
        if (!flush()) {
          failed = true;
          if (o.stop_on_error) return finish();
        }
        batch_start = line_no;
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      batch += line;
      batch += '\n';
    }
    if (!flush()) failed = true;
  }
  return finish();
}
