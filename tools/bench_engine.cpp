// Benchmark of the embedded engine against SQLite on a catalogue-shaped table:
// bulk load, single-row UPDATEs by key (each committing by itself, then all of
// them again inside one transaction, as an upgrade step sends them), one
// full-table UPDATE, a GROUP BY over a char column, and the time to reopen the
// file (alone, and with the first look-up by key, which builds the key's
// index); then peak memory. Each side runs in a process of its own, so that
// each peak is its own: the whole run's, and what the one transaction adds to
// the resident set it started with.
//
//   bench_engine [ROWS] [DIR]     (ROWS defaults to 1000000, DIR to /tmp)
//   bench_engine --transaction [UPDATES] [DIR]
//   bench_engine --alter [ROWS] [ROUNDS] [DIR]
//
// The second form times one long transaction, as the upgrade's consolidation
// sends it: a table of 50,000 rows, then BEGIN TRANSACTION, UPDATES (500,000 by
// default) single-row UPDATEs by key each sent on its own, and COMMIT. It
// prints the time and the peak RSS before and after, so that what the open
// transaction holds in memory shows; run it under /usr/bin/time -v for more.
//
// Both run with the same durability: every statement outside a transaction
// commits by itself and is on the disk before it returns (engine: one journal
// write() and one fdatasync per commit; SQLite: WAL, synchronous=FULL, which
// syncs the WAL at every commit). So the single-row UPDATEs by key and the
// bulk load (batches of single INSERTs) measure the disk's flush as much as
// the engines; the same UPDATEs in one transaction flush once. Statements are
// sent as text, one per row, on both sides.
//
// The third form times one transaction that adds a column to a table of ROWS
// rows (1,000,000 by default) and drops it again, ROUNDS times (5), as an
// upgrade step does, on a database opened from its file. The table is built
// in a child process the first time and kept in DIR, so that the peak RSS
// printed (and, from the second run on, the one /usr/bin/time -v reports) is
// that of opening the file and running the transaction alone.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "text/gbk.h"

namespace {

double Seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long PeakKb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

struct Row {
  int code;
  std::string name, author, press, cls;
};

std::vector<std::string> Words() {
  const char* utf8[] = {"图书", "管理", "系统", "中国", "历史", "文学", "科学", "技术", "出版社", "北京",
                        "上海", "教育", "人民", "大学", "数学", "物理", "化学", "艺术", "音乐", "地理"};
  std::vector<std::string> w;
  for (const char* u : utf8) w.push_back(text::Gbk(u));
  return w;
}

Row MakeRow(int i, const std::vector<std::string>& w) {
  Row r;
  r.code = i;
  auto pick = [&](int k) { return w[static_cast<std::size_t>((i * 7 + k * 13) % static_cast<int>(w.size()))]; };
  r.name = pick(1) + pick(2) + pick(3) + std::to_string(i);
  r.author = pick(4) + pick(5);
  r.press = pick(6) + pick(7) + pick(8);
  r.cls = std::string(1, static_cast<char>('A' + i % 22)) + std::to_string(i % 50);
  return r;
}

std::string InsertText(const Row& r) {
  return "insert into lib_bianma(bm_code,bm_name,bm_author,bm_press,bm_class) values(" +
         std::to_string(r.code) + ",'" + r.name + "','" + r.author + "','" + r.press + "','" + r.cls + "')";
}

constexpr const char* kCreate =
    "create table lib_bianma (bm_code int not null, bm_name char(60) default(''), "
    "bm_author char(40) default(''), bm_press char(40) default(''), bm_class char(10) default(''))";

struct Times {
  double load = 0, update_key = 0, update_txn = 0, update_all = 0, group = 0, reopen = 0,
         reopen_lookup = 0;
  long peak_kb = 0;            // the whole run
  long txn_before_kb = 0;      // peak RSS when the transaction began
  long txn_peak_kb = 0;        // and when it had committed
  int groups = 0;
};

// Runs side in a child process and returns what it measured.
Times InChild(const std::function<Times()>& side) {
  int fd[2];
  if (pipe(fd) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fd[0]);
    Times t = side();
    t.peak_kb = PeakKb();
    ssize_t n = write(fd[1], &t, sizeof t);
    std::_Exit(n == static_cast<ssize_t>(sizeof t) ? 0 : 1);
  }
  close(fd[1]);
  Times t;
  ssize_t n = pid > 0 ? read(fd[0], &t, sizeof t) : -1;
  close(fd[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  if (n != static_cast<ssize_t>(sizeof t) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "a benchmark side failed\n");
    std::exit(1);
  }
  return t;
}

std::string UpdateByKey(int i, char tag) {
  return "update lib_bianma set bm_class='" + std::string(1, tag) + std::to_string(i % 9) +
         "' where bm_code=" + std::to_string(i);
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

int LongTransaction(int updates, const std::filesystem::path& dir) {
  const int kRows = 50000;
  std::string path = (dir / "bench_transaction.db").string();
  for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
  std::vector<std::string> words = Words();
  double load = 0, work = 0, commit = 0, reopen = 0;
  long before = 0;
  {
    auto db = engine::Database::open(path, engine::Database::OpenMode::CreateIfMissing);
    db->execute(kCreate);
    db->execute(
        "ALTER TABLE lib_bianma ADD CONSTRAINT PK_lib_bianma PRIMARY KEY NONCLUSTERED(bm_code)");
    load = Seconds([&] {
      std::string batch;
      for (int i = 1; i <= kRows; ++i) {
        batch += InsertText(MakeRow(i, words));
        batch += '\n';
        if (i % 1000 == 0) {
          db->execute(batch);
          batch.clear();
        }
      }
    });
    before = PeakKb();
    db->execute("begin transaction");
    work = Seconds([&] {
      for (int i = 0; i < updates; ++i)
        db->execute("update lib_bianma set bm_class='T" + std::to_string(i % 97) +
                    "' where bm_code=" + std::to_string(i % kRows + 1));
    });
    commit = Seconds([&] { db->execute("commit transaction"); });
  }
  reopen = Seconds(
      [&] { auto db = engine::Database::open(path, engine::Database::OpenMode::MustExist); });
  std::printf("rows: %d   updates in one transaction: %d\n", kRows, updates);
  std::printf("%-36s %10.3f s\n", "load (autocommit batches)", load);
  std::printf("%-36s %10.3f s\n", "UPDATEs inside the transaction", work);
  std::printf("%-36s %10.3f s\n", "COMMIT", commit);
  std::printf("%-36s %10.3f s\n", "reopen", reopen);
  std::printf("peak RSS before the transaction %.1f MB, at the end %.1f MB\n", before / 1024.0,
              PeakKb() / 1024.0);
  for (const char* suffix : {"", "-journal"}) std::filesystem::remove(path + suffix);
  return 0;
}

// Writes a lib_bianma of rows rows at path, committed and checkpointed.
void BuildTable(const std::string& path, int rows) {
  std::vector<std::string> words = Words();
  auto db = engine::Database::open(path, engine::Database::OpenMode::CreateIfMissing);
  db->execute(kCreate);
  db->execute(
      "ALTER TABLE lib_bianma ADD CONSTRAINT PK_lib_bianma PRIMARY KEY NONCLUSTERED(bm_code)");
  std::string batch;
  for (int i = 1; i <= rows; ++i) {
    batch += InsertText(MakeRow(i, words));
    batch += '\n';
    if (i % 1000 == 0 || i == rows) {
      db->execute(batch);
      batch.clear();
    }
  }
}

int AlterTransaction(int rows, int rounds, const std::filesystem::path& dir) {
  std::string path = (dir / ("bench_alter_" + std::to_string(rows) + ".db")).string();
  if (!std::filesystem::exists(path)) {
    std::filesystem::remove(path + "-journal");
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      BuildTable(path, rows);
      std::_Exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "building %s failed\n", path.c_str());
      std::filesystem::remove(path);
      return 1;
    }
  }
  double open = 0, work = 0, commit = 0, close = 0;
  long before = 0;
  {
    std::unique_ptr<engine::Database> db;
    open =
        Seconds([&] { db = engine::Database::open(path, engine::Database::OpenMode::MustExist); });
    before = PeakKb();
    db->execute("begin transaction");
    work = Seconds([&] {
      for (int k = 0; k < rounds; ++k) {
        db->execute("alter table lib_bianma add bm_extra varchar(20) null");
        db->execute("alter table lib_bianma drop column bm_extra");
      }
    });
    commit = Seconds([&] { db->execute("commit transaction"); });
    close = Seconds([&] { db.reset(); });
  }
  std::printf("rows: %d   column added and dropped %d times in one transaction\n", rows, rounds);
  std::printf("%-36s %10.3f s\n", "open", open);
  std::printf("%-36s %10.3f s\n", "ALTER TABLEs inside the transaction", work);
  std::printf("%-36s %10.3f s\n", "COMMIT", commit);
  std::printf("%-36s %10.3f s\n", "close (checkpoint)", close);
  std::printf("peak RSS after opening %.1f MB, at the end %.1f MB\n", before / 1024.0,
              PeakKb() / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--transaction")
    return LongTransaction(argc > 2 ? std::atoi(argv[2]) : 500000, argc > 3 ? argv[3] : "/tmp");
  if (argc > 1 && std::string(argv[1]) == "--alter")
    return AlterTransaction(argc > 2 ? std::atoi(argv[2]) : 1000000,
                            argc > 3 ? std::atoi(argv[3]) : 5, argc > 4 ? argv[4] : "/tmp");
  int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  std::filesystem::path dir = argc > 2 ? argv[2] : "/tmp";
  std::string ours = (dir / "bench_engine.db").string();
  std::string theirs = (dir / "bench_sqlite.db").string();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(ours + suffix);
    std::filesystem::remove(theirs + suffix);
  }
  std::vector<std::string> words = Words();
  const int kBatch = 1000;  // statements per batch sent to the engine
  std::size_t raw_bytes = 0;
  for (int i = 1; i <= rows; ++i) {
    Row r = MakeRow(i, words);
    raw_bytes += 4 + 60 + 40 + 40 + 10;
    (void)r;
  }

  Times e = InChild([&] {
    Times t;
    {
      auto db = engine::Database::open(ours, engine::Database::OpenMode::CreateIfMissing);
      db->execute(kCreate);
      db->execute(
          "ALTER TABLE lib_bianma ADD CONSTRAINT PK_lib_bianma PRIMARY KEY NONCLUSTERED(bm_code)");
      t.load = Seconds([&] {
        std::string batch;
        for (int i = 1; i <= rows; ++i) {
          batch += InsertText(MakeRow(i, words));
          batch += '\n';
          if (i % kBatch == 0 || i == rows) {
            db->execute(batch);
            batch.clear();
          }
        }
      });
      t.update_key = Seconds([&] {
        for (int i = 1; i <= rows; ++i) db->execute(UpdateByKey(i, 'Z'));
      });
      t.txn_before_kb = PeakKb();
      t.update_txn = Seconds([&] {
        db->execute("begin transaction");
        for (int i = 1; i <= rows; ++i) db->execute(UpdateByKey(i, 'Y'));
        db->execute("commit transaction");
      });
      t.txn_peak_kb = PeakKb();
      t.update_all = Seconds([&] { db->execute("update lib_bianma set bm_press=bm_author"); });
      t.group = Seconds([&] {
        auto r = db->execute("select bm_class, count(*) from lib_bianma group by bm_class");
        t.groups = static_cast<int>(r[0].rows.size());
      });
    }
    t.reopen = Seconds(
        [&] { auto db = engine::Database::open(ours, engine::Database::OpenMode::MustExist); });
    // Opening leaves the indexes to be built on first use: time that use too.
    t.reopen_lookup = Seconds([&] {
      auto db = engine::Database::open(ours, engine::Database::OpenMode::MustExist);
      db->execute("select bm_name from lib_bianma where bm_code=" + std::to_string(rows / 2));
    });
    return t;
  });

  Times s = InChild([&] {
    Times t;
    sqlite3* db = nullptr;
    Check(sqlite3_open(theirs.c_str(), &db), db);
    auto exec = [&](const std::string& q) {
      Check(sqlite3_exec(db, q.c_str(), nullptr, nullptr, nullptr), db);
    };
    exec("pragma journal_mode=wal; pragma synchronous=full;");
    exec("create table lib_bianma (bm_code int not null primary key, bm_name char(60) default '', "
         "bm_author char(40) default '', bm_press char(40) default '', bm_class char(10) default '')");
    t.load = Seconds([&] {
      for (int i = 1; i <= rows; ++i) exec(InsertText(MakeRow(i, words)));
    });
    t.update_key = Seconds([&] {
      for (int i = 1; i <= rows; ++i) exec(UpdateByKey(i, 'Z'));
    });
    t.txn_before_kb = PeakKb();
    t.update_txn = Seconds([&] {
      exec("begin transaction");
      for (int i = 1; i <= rows; ++i) exec(UpdateByKey(i, 'Y'));
      exec("commit transaction");
    });
    t.txn_peak_kb = PeakKb();
    t.update_all = Seconds([&] { exec("update lib_bianma set bm_press=bm_author"); });
    t.group = Seconds([&] {
      Check(sqlite3_exec(db, "select bm_class, count(*) from lib_bianma group by bm_class",
                         [](void* n, int, char**, char**) {
                           ++*static_cast<int*>(n);
                           return 0;
                         },
                         &t.groups, nullptr),
            db);
    });
    sqlite3_close(db);
    t.reopen = Seconds([&] {
      sqlite3* again = nullptr;
      sqlite3_open(theirs.c_str(), &again);
      sqlite3_exec(again, "select count(*) from lib_bianma", nullptr, nullptr, nullptr);
      sqlite3_close(again);
    });
    t.reopen_lookup = Seconds([&] {
      sqlite3* again = nullptr;
      sqlite3_open(theirs.c_str(), &again);
      std::string q = "select bm_name from lib_bianma where bm_code=" + std::to_string(rows / 2);
      Check(sqlite3_exec(again, q.c_str(), nullptr, nullptr, nullptr), again);
      sqlite3_close(again);
    });
    return t;
  });

  std::printf("rows: %d   groups: engine %d, sqlite %d\n", rows, e.groups, s.groups);
  std::printf("%-28s %12s %12s %10s\n", "measure", "engine s", "sqlite s", "ratio");
  auto line = [](const char* what, double a, double b) {
    std::printf("%-28s %12.3f %12.3f %10.2f\n", what, a, b, b > 0 ? a / b : 0.0);
  };
  line("bulk load", e.load, s.load);
  line("single-row UPDATE by key", e.update_key, s.update_key);
  line("the same in one transaction", e.update_txn, s.update_txn);
  line("full-table UPDATE", e.update_all, s.update_all);
  line("GROUP BY char column", e.group, s.group);
  line("reopen", e.reopen, s.reopen);
  line("reopen + first look-up by key", e.reopen_lookup, s.reopen_lookup);
  std::printf("raw data %.1f MB, engine peak RSS %.1f MB (%.2fx raw), sqlite %.1f MB\n",
              raw_bytes / 1e6, e.peak_kb / 1024.0,
              e.peak_kb * 1024.0 / static_cast<double>(raw_bytes), s.peak_kb / 1024.0);
  std::printf("peak RSS before / after the transaction: engine %.1f / %.1f MB, sqlite %.1f / %.1f MB\n",
              e.txn_before_kb / 1024.0, e.txn_peak_kb / 1024.0, s.txn_before_kb / 1024.0,
              s.txn_peak_kb / 1024.0);
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(ours + suffix);
    std::filesystem::remove(theirs + suffix);
  }
  return 0;
}
