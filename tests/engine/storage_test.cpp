// Durability: reopen, a process killed in the middle of a stream of
// statements or of a long transaction, a damaged journal tail, journals of the
// earlier format, and the lock against a second opener.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "tests/engine/engine_helpers.h"
#include "tests/support/child_process.h"

namespace {

using engine_test::RunAndKill;
using engine_test::TempDb;

// The batches a Writer runs, by name: batch(1), batch(2), ...
using BatchMaker = std::string (*)(int);
const std::map<std::string, BatchMaker>& BatchMakers();

// writer DATABASE MAKER: opens the database and runs batch(1), batch(2), ...
// without end, writing the number of each batch that returned on a line.
[[maybe_unused]] const bool registered =
    testing_support::RegisterChild("writer", [](const std::vector<std::string>& args) -> int {
      const BatchMaker batch = BatchMakers().at(args.at(1));
      auto db = engine::Database::open(args.at(0), engine::Database::OpenMode::MustExist);
      for (int i = 1;; ++i) {
        db->execute(batch(i));
        std::printf("%d\n", i);
        std::fflush(stdout);
      }
    });

// A child process running the writer until the test kills it.
class Writer {
 public:
  Writer(const std::string& path, const std::string& maker)
      : child_(testing_support::StartChild("writer", {path, maker})) {}
  // The number of the next batch that returned; 0 once the child is gone.
  int Next() {
    const std::optional<std::string> line = child_->ReadLine();
    if (!line || line->empty() || !std::isdigit(static_cast<unsigned char>((*line)[0]))) return 0;
    return last_ = std::stoi(*line);
  }
  // Kills the child and reads what it reported before it died; returns the
  // last batch number it reported.
  int Kill() {
    child_->Kill();
    while (Next()) {
    }
    child_->Wait();
    return last_;
  }

 private:
  std::unique_ptr<testing_support::ChildProcess> child_;
  int last_ = 0;
};

TEST(EngineStorage, ReopenKeepsSchemaRowsDefaultsAndIdentity) {
  TempDb t;
  t.Run(
      "create table s (s_no int NOT NULL IDENTITY (1, 1), s_code char(4) not null, s_d int "
      "default(5))\n"
      "ALTER TABLE s ADD CONSTRAINT PK_s PRIMARY KEY NONCLUSTERED(s_code)\n"
      "insert into s(s_code) values('a')");
  t.Reopen();
  t.Run("insert into s(s_code) values('b')");
  EXPECT_EQ(t.Rows("select s_no, s_code, s_d from s"),
            (std::vector<std::string>{"1|a   |5", "2|b   |5"}));
  EXPECT_EQ(t.ErrorOf("insert into s(s_code) values('A')"), 2627);  // the key index came back
}

TEST(EngineStorage, SecondOpenerIsRefused) {
  TempDb t;
  try {
    engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
    FAIL() << "second open succeeded";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 5120);
    EXPECT_NE(std::string(e.what()).find("being used by another process"), std::string::npos);
  }
  t.Close();
  EXPECT_NO_THROW(engine::Database::open(t.path(), engine::Database::OpenMode::MustExist));
}

TEST(EngineStorage, MissingFileIsAnErrorWhenItMustExist) {
  EXPECT_THROW(
      engine::Database::open("/nonexistent-dir/x.db", engine::Database::OpenMode::MustExist),
      engine::Error);
}

// A child inserts rows one statement at a time and reports each that returned
// through a pipe; the parent kills it mid-stream. Every reported row must be
// there after reopening, and nothing half-done.
TEST(EngineStorage, KilledProcessKeepsEveryReturnedStatement) {
  TempDb t;
  t.Run("create table k (n int not null primary key, pad char(200) default(''))");
  t.Close();
  Writer w(t.path(), "insert-and-update");
  // Each statement waits for its journal flush: a few hundred make a stream.
  for (int n = w.Next(); n > 0 && n < 400;) n = w.Next();
  const int last = w.Kill();
  t.Open();
  int count = std::stoi(t.One("select count(*) from k"));
  EXPECT_GE(count, last);
  EXPECT_LE(count, last + 1);  // at most the statement in flight
  // Both statements of every reported batch are there.
  EXPECT_EQ(t.One("select count(*) from k where pad = 'x' and n <= " + std::to_string(last)),
            std::to_string(last));
}

TEST(EngineStorage, TornJournalTailIsIgnored) {
  TempDb t;
  t.Run("create table j (n int)");
  t.Close();
  {
    auto db = engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
    db->execute("insert into j values(1)");
  }
  // A torn tail on the current journal: header is the current generation.
  {
    std::ifstream cur(t.path() + "-journal", std::ios::binary);
    std::string header((std::istreambuf_iterator<char>(cur)), {});
    ASSERT_EQ(header.size(), 16u);
    std::ofstream out(t.path() + "-journal", std::ios::binary | std::ios::app);
    out << std::string("\x50\x00\x00\x00\x01\x02\x03\x04partial", 15);
  }
  t.Open();
  EXPECT_EQ(t.Rows("select n from j"), (std::vector<std::string>{"1"}));
  t.Run("insert into j values(2)");
  t.Reopen();
  EXPECT_EQ(t.Rows("select n from j"), (std::vector<std::string>{"1", "2"}));
}

// A snapshot of several megabytes is read back in pieces: rows cross the
// pieces' edges and one value is larger than a piece.
TEST(EngineStorage, LargeSnapshotRoundTrips) {
  TempDb t;
  t.Run("create table big (n int not null primary key, pad char(250), note text)");
  std::string batch;
  for (int n = 1; n <= 30000; ++n) {
    batch += "insert into big(n, pad) values(" + std::to_string(n) + ",'row " + std::to_string(n) +
             "')\n";
    if (n % 1000 == 0) {
      // A transaction a batch: one flush of the journal, not a thousand.
      t.Run("begin transaction\n" + batch + "commit transaction");
      batch.clear();
    }
  }
  std::string huge(9u << 20, 'h');
  huge[0] = 'A';
  huge.back() = 'Z';
  t.Run("update big set note = '" + huge + "' where n = 15000");
  t.Reopen();
  EXPECT_EQ(t.One("select count(*) from big"), "30000");
  EXPECT_EQ(t.One("select rtrim(pad) from big where n = 29999"), "row 29999");
  EXPECT_EQ(t.One("select datalength(note), substring(note, 1, 1), substring(note, 9437184, 1) "
                  "from big where n = 15000"),
            "9437184|A|Z");
  EXPECT_EQ(t.One("select count(*) from big where note is null"), "29999");
}

// Indexes come back from the rows whatever the first statement after opening
// is: one that leaves them unbuilt (an UPDATE of other columns, a scanned
// DELETE) must not lose entries that later look-ups and key checks need.
TEST(EngineStorage, IndexesAfterReopenFollowEarlierChanges) {
  TempDb t;
  t.Run(
      "create table r (k int not null primary key, c char(2), d int)\ncreate index ix_r_c on r(c)\n"
      "insert into r values(1,'a',0)\ninsert into r values(2,'b',0)\ninsert into r "
      "values(3,'b',1)");
  t.Reopen();
  t.Run("update r set d = d + 1\ndelete from r where d = 2");
  EXPECT_EQ(t.Rows("select k from r where c = 'b'"), (std::vector<std::string>{"2"}));
  EXPECT_EQ(t.ErrorOf("insert into r values(2,'z',0)"), 2627);
  EXPECT_EQ(t.ErrorOf("insert into r values(3,'b',0)"), 0);
  t.Reopen();
  t.Run("begin transaction\ndelete from r where d = 0\nrollback transaction");
  EXPECT_EQ(t.Rows("select k from r where c = 'b' order by k"),
            (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(t.ErrorOf("insert into r values(3,'b',0)"), 2627);
}

// A snapshot that is damaged or cut short is refused with 5172, not loaded.
TEST(EngineStorage, DamagedSnapshotIsRefused) {
  for (bool cut : {false, true}) {
    SCOPED_TRACE(cut ? "cut short" : "one byte changed");
    TempDb t;
    t.Run("create table d (n int, s char(100))");
    for (int n = 0; n < 50; ++n) t.Run("insert into d values(" + std::to_string(n) + ", 'text')");
    t.Close();
    auto size = std::filesystem::file_size(t.path());
    if (cut) {
      std::filesystem::resize_file(t.path(), size - 7);
    } else {
      std::fstream f(t.path(), std::ios::binary | std::ios::in | std::ios::out);
      f.seekp(static_cast<std::streamoff>(size / 2));
      f.put('\x7f');
    }
    try {
      engine::Database::open(t.path(), engine::Database::OpenMode::MustExist);
      FAIL() << "damaged snapshot opened";
    } catch (const engine::Error& e) {
      EXPECT_EQ(e.number(), 5172);
    }
  }
}

// A database written by an earlier release (snapshot version 1, CRC-32 trailer)
// opens; the next checkpoint rewrites it in the current version.
TEST(EngineStorage, VersionOneSnapshotIsReadAndRewritten) {
  TempDb t;
  t.Close();
  std::string f = "LIBSQLDB";
  auto u32 = [&](std::uint32_t v) { f.append(reinterpret_cast<const char*>(&v), 4); };
  auto i64 = [&](std::int64_t v) { f.append(reinterpret_cast<const char*>(&v), 8); };
  auto var = [&](std::uint64_t v) {
    for (; v >= 0x80; v >>= 7) f += static_cast<char>((v & 0x7F) | 0x80);
    f += static_cast<char>(v);
  };
  auto str = [&](const std::string& v) {
    var(v.size());
    f += v;
  };
  u32(1);
  i64(5);     // generation
  var(2000);  // next object id
  var(1);     // one table
  str("old_t");
  var(1999);
  i64(0);
  i64(0);
  f += '\0';  // no identity
  var(1);     // one column: n int NULL
  str("n");
  f += '\x04';
  var(0);
  var(0);
  var(0);
  f += '\x01';
  i64(1);
  i64(1);
  var(0);
  str("");
  var(0);  // no index
  var(2);  // two rows: 7, 8
  for (std::int64_t n : {7, 8}) {
    std::string row(1, '\x01');
    row.append(reinterpret_cast<const char*>(&n), 8);
    str(row);
  }
  var(0);  // no other objects
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : f) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  u32(crc ^ 0xFFFFFFFFu);
  std::filesystem::remove(t.path() + "-journal");
  std::ofstream(t.path(), std::ios::binary | std::ios::trunc) << f;

  t.Open();
  EXPECT_EQ(t.Rows("select n from old_t"), (std::vector<std::string>{"7", "8"}));
  t.Run("insert into old_t values(9)");
  t.Reopen();
  EXPECT_EQ(t.Rows("select n from old_t"), (std::vector<std::string>{"7", "8", "9"}));
  std::ifstream in(t.path(), std::ios::binary);
  std::string head(12, '\0');
  in.read(head.data(), 12);
  EXPECT_EQ(head.substr(8), std::string("\x02\x00\x00\x00", 4));
}

// Rows read at opening are changed in place, rolled back, altered by ALTER
// TABLE and rolled back again exactly as rows written since.
TEST(EngineStorage, RowsReadAtOpeningChangeAndRollBackLikeOthers) {
  TempDb t;
  t.Run(
      "create table b (k int not null primary key, c char(4), v varchar(10))\n"
      "insert into b values(1,'one','a')\ninsert into b values(2,'two','bb')\ninsert into b "
      "values(3,'six','c')");
  const std::vector<std::string> original = {"1|one |a", "2|two |bb", "3|six |c"};
  t.Reopen();
  t.Run(
      "begin transaction\nalter table b add extra int default(0)\nupdate b set c = 'new'\n"
      "update b set v = v + 'long'\nrollback transaction");
  EXPECT_EQ(t.Rows("select * from b"), original);
  t.Run(
      "begin transaction\nupdate b set c = 'zz'\ndelete from b where k = 2\nrollback transaction");
  EXPECT_EQ(t.Rows("select * from b"), original);
  t.Run("update b set c = 'kept' where k = 1\nupdate b set v = 'longer' where k = 3");
  t.Reopen();
  EXPECT_EQ(t.Rows("select * from b"),
            (std::vector<std::string>{"1|kept|a", "2|two |bb", "3|six |longer"}));
}

std::uint64_t JournalSize(const TempDb& t) {
  return std::filesystem::file_size(t.path() + "-journal");
}

std::string InsertBatch(int from, int count) {
  std::string batch;
  for (int n = from; n < from + count; ++n)
    batch += "insert into k(n, pad) values(" + std::to_string(n) + ", '" + std::string(200, 'p') +
             "')\n";
  return batch;
}

const std::map<std::string, BatchMaker>& BatchMakers() {
  static const std::map<std::string, BatchMaker> makers{
      // One row a batch, inserted then changed by a second statement.
      {"insert-and-update",
       [](int n) {
         return "insert into k(n) values(" + std::to_string(n) +
                ")\nupdate k set pad='x' where n=" + std::to_string(n);
       }},
      // A transaction left open, a hundred rows a batch.
      {"open-transaction",
       [](int i) {
         return (i == 1 ? std::string("begin transaction\n") : std::string()) +
                InsertBatch(100 * i, 100);
       }},
  };
  return makers;
}

// A transaction of several megabytes goes to the journal while it runs; the
// process is killed before COMMIT. Opening again shows nothing of it, and the
// journal is cut before its records: a later process's commit, which follows
// it in the file, must not complete it.
TEST(EngineStorage, KilledInTheMiddleOfATransactionLeavesNothingOfIt) {
  TempDb t;
  t.Run(
      "create table k (n int not null primary key, pad char(200))\n"
      "insert into k(n) values(1)\ninsert into k(n) values(2)");
  t.Close();
  Writer w(t.path(), "open-transaction");
  for (int i = w.Next(); i > 0 && i < 2000 && JournalSize(t) < (6u << 20);) i = w.Next();
  EXPECT_GE(JournalSize(t), 6u << 20) << "the open transaction's statements did not reach the file";
  w.Kill();

  ASSERT_TRUE(RunAndKill(t.path(), {"insert into k(n) values(3)"}));
  t.Open();
  EXPECT_EQ(t.Rows("select n from k order by n"), (std::vector<std::string>{"1", "2", "3"}));
}

// Killed right after its COMMIT returned, a transaction of several megabytes
// is there whole.
TEST(EngineStorage, KilledAfterCommitKeepsTheWholeTransaction) {
  TempDb t;
  t.Run("create table k (n int not null primary key, pad char(200))\ninsert into k(n) values(1)");
  t.Close();
  engine_test::KilledRun run;
  run.batches = {"begin transaction"};
  for (int n = 100; n < 30100; n += 100) run.batches.push_back(InsertBatch(n, 100));
  run.batches.push_back("update k set pad = 'last' where n = 30099\ncommit transaction");
  ASSERT_TRUE(RunAndKill(t.path(), run));
  EXPECT_GT(JournalSize(t), 6u << 20);
  t.Open();
  EXPECT_EQ(t.One("select count(*), min(n), max(n) from k"), "30001|1|30099");
  EXPECT_EQ(t.One("select rtrim(pad) from k where n = 30099"), "last");
}

// Rollbacks to savepoints inside a committed transaction, one of them over
// statements already written to the journal, replay to the same rows and the
// same identity values (given back by the rollback) when the journal is all
// there is.
TEST(EngineStorage, SavepointRollbacksReplayTheSame) {
  TempDb t;
  t.Run(
      "create table s (id int identity(1, 1), n int not null, v varchar(10))\n"
      "create table k (n int not null primary key, pad char(200))\n"
      "insert into s(n, v) values(0, 'before')");
  t.Close();
  std::string seen = (std::filesystem::path(t.path()).parent_path() / "seen.txt").string();
  engine_test::KilledRun run;
  run.batches = {
      "begin tran\ninsert into s(n, v) values(1, 'a')\nsave tran p\n"
      "insert into s(n, v) values(2, 'b')\nupdate s set v = 'changed'"};
  for (int n = 0; n < 8000; n += 100) run.batches.push_back(InsertBatch(n, 100));  // past a flush
  run.batches.push_back(
      "delete from s where n = 0\nrollback tran p\ninsert into s(n, v) values(3, 'c')\n"
      "save tran p\ninsert into k(n) values(-1)\nsave tran q\n"
      "insert into s(n, v) values(4, 'd')\nrollback tran p\nupdate s set v = 'kept' where n = 1\n"
      "commit tran");
  run.batches.push_back("select id, n, v from s order by id\nselect count(*) from k");
  run.results = seen;
  ASSERT_TRUE(RunAndKill(t.path(), run));
  std::ifstream in(seen);
  std::string before((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(before, "1|0|before|2|1|kept|3|3|c|0|");
  t.Open();
  std::string after;
  for (const auto& row : t.Run("select id, n, v from s order by id\nselect count(*) from k"))
    for (const auto& cells : row.rows)
      for (const auto& cell : cells) after += *cell + "|";
  EXPECT_EQ(after, before);
}

// Journals written by the earlier format (LIBSQLJ1: one record per committed
// unit, CRC-32) are replayed, with their recorded clock, and the journal is
// written in the current format from then on.
TEST(EngineStorage, JournalOfTheEarlierFormatIsReplayed) {
  for (bool with_records : {true, false}) {
    SCOPED_TRACE(with_records ? "with records" : "header only");
    TempDb t;
    t.Run("create table j (n int, s varchar(10), d datetime)");
    t.Close();
    std::string journal;
    {
      std::ifstream in(t.path() + "-journal", std::ios::binary);
      journal.assign((std::istreambuf_iterator<char>(in)), {});
    }
    ASSERT_EQ(journal.size(), 16u);
    std::string f = "LIBSQLJ1" + journal.substr(8, 8);  // the snapshot's generation
    auto record = [&](const std::vector<std::string>& statements) {
      std::string p;
      auto var = [&](std::uint64_t v) {
        for (; v >= 0x80; v >>= 7) p += static_cast<char>((v & 0x7F) | 0x80);
        p += static_cast<char>(v);
      };
      var(statements.size());
      for (const std::string& text : statements) {
        std::int64_t now = 3318661800123;  // 2005-03-01 10:30:00.123
        p.append(reinterpret_cast<const char*>(&now), 8);
        var(text.size());
        p += text;
      }
      std::uint32_t crc = 0xFFFFFFFFu;
      for (unsigned char c : p) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
      }
      crc ^= 0xFFFFFFFFu;
      auto len = static_cast<std::uint32_t>(p.size());
      f.append(reinterpret_cast<const char*>(&len), 4);
      f.append(reinterpret_cast<const char*>(&crc), 4);
      f += p;
    };
    if (with_records) {
      record({"insert into j values(1, 'one', getdate())"});
      record({"insert into j values(2, 'two', NULL)", "update j set s = 'deux' where n = 2"});
    }
    std::ofstream(t.path() + "-journal", std::ios::binary | std::ios::trunc) << f;

    t.Open();
    EXPECT_EQ(t.Rows("select n, s, d from j order by n"),
              with_records
                  ? (std::vector<std::string>{"1|one|2005-03-01 10:30:00.123", "2|deux|NULL"})
                  : std::vector<std::string>{});
    std::ifstream in(t.path() + "-journal", std::ios::binary);
    std::string magic(8, '\0');
    in.read(magic.data(), 8);
    EXPECT_EQ(magic, "LIBSQLJ2");
    t.Run("insert into j values(3, 'three', NULL)");
    t.Reopen();
    EXPECT_EQ(t.One("select count(*) from j where n = 3"), "1");
  }
}

}  // namespace
