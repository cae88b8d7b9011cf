// Commits that survive a power cut, and files the disk refuses: a commit
// returns only once its journal records are flushed; a failed write or flush
// is the statement's error and leaves nothing of it; a database file that
// cannot be written (a full disk) leaves the database open, readable and
// writable from its journal; a process killed while it saves leaves no copy
// behind. Faults come from the storage's hook, LIBUPGRADE_STORAGE_FAULT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/engine/engine_helpers.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using engine_test::TempDb;

using testing_support::StorageFault;

int ErrorNumber(const std::function<void()>& work, std::string* message = nullptr) {
  try {
    work();
  } catch (const engine::Error& e) {
    if (message) *message = e.what();
    return e.number();
  }
  return 0;
}

// A write or a flush that fails at the commit of a unit: the unit's
// statement (alone, or the transaction's) fails with the file layer's error,
// nothing of it is kept, and the database goes on.
TEST(EngineDurability, AFailedWriteOrFlushAtCommitIsTheStatementsErrorAndKeepsNothing) {
  struct Case {
    const char* fault;
    bool transaction;
    const char* says;
  };
  const Case cases[] = {
      {"flush:1", false, "Could not flush"},
      {"flush:1", true, "Could not flush"},
      {"write:1", false, "No space left on device"},
      {"write:1", true, "No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + (c.transaction ? " in a transaction" : " alone"));
    TempDb t;
    t.Run("create table d (n int)\ninsert into d values(1)");
    t.Close();
    {
      StorageFault fault(c.fault);
      t.Open();
      std::string message;
      if (c.transaction) {
        t.Run("begin transaction");
        t.Run("insert into d values(2)");
        EXPECT_EQ(ErrorNumber([&] { t.Run("commit transaction"); }, &message), 9002);
        EXPECT_EQ(t.One("select @@trancount"), "0") << "the failed commit rolled back";
      } else {
        EXPECT_EQ(ErrorNumber([&] { t.Run("insert into d values(2)"); }, &message), 9002);
      }
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_NE(message.find("lib.db-journal"), std::string::npos) << message;
      EXPECT_EQ(t.Rows("select n from d"), std::vector<std::string>{"1"});
      t.Run("insert into d values(3)");  // the next unit is written and flushed
    }
    t.Reopen();
    EXPECT_EQ(t.Rows("select n from d order by n"), (std::vector<std::string>{"1", "3"}));
  }
}

std::uintmax_t JournalSize(const TempDb& t) {
  return fs::file_size(t.path() + "-journal");
}

// A power cut loses what the system had not yet put on the disk: the journal
// ends at most at the last flushed byte, possibly with part of an unflushed
// record after it. Every unit whose commit had returned is flushed by then,
// so a copy of the files cut there opens with all of them.
TEST(EngineDurability, APowerCutKeepsEveryUnitWhoseCommitReturned) {
  TempDb t;
  t.Run("create table p (n int, pad char(100) default(''))");
  std::vector<std::uintmax_t> flushed;  // journal size once each unit returned
  for (int n = 1; n <= 6; ++n) {
    if (n % 2) {
      t.Run("insert into p(n) values(" + std::to_string(n) + ")");
    } else {
      t.Run("begin transaction");
      t.Run("insert into p(n) values(" + std::to_string(n) + ")");
      t.Run("update p set pad='x' where n=" + std::to_string(n));
      t.Run("commit transaction");
    }
    flushed.push_back(JournalSize(t));
  }
  // An open transaction whose records have not reached the disk.
  t.Run("begin transaction");
  t.Run("insert into p(n) values(99)");

  std::ifstream in(t.path() + "-journal", std::ios::binary);
  const std::string journal((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t k = 0; k < flushed.size(); ++k) {
    SCOPED_TRACE("cut after unit " + std::to_string(k + 1));
    const fs::path copy = fs::path(t.path()).parent_path() / ("cut" + std::to_string(k));
    fs::create_directories(copy);
    fs::copy_file(t.path(), copy / "lib.db");
    // Part of the next unit's record made it too, torn.
    std::string cut = journal.substr(0, flushed[k]);
    if (k + 1 < flushed.size()) cut += journal.substr(flushed[k], 7);
    std::ofstream((copy / "lib.db-journal").string(), std::ios::binary) << cut;
    auto db = engine::Database::open((copy / "lib.db").string(),
                                     engine::Database::OpenMode::MustExist);
    const auto r = db->execute("select count(*), sum(n) from p");
    const auto units = static_cast<int>(k + 1);
    EXPECT_EQ(*r[0].rows[0][0], std::to_string(units));
    EXPECT_EQ(*r[0].rows[0][1], std::to_string(units * (units + 1) / 2));
  }
}

// A disk with room for the journal's records but not for a new database file
// (a whole copy): the checkpoint fails with the file layer's error and the
// database stays open and usable; it opens again from its journal, where
// new units follow the replayed ones; with room again, the checkpoint is made.
TEST(EngineDurability, ADatabaseFileThatCannotBeWrittenLeavesTheDatabaseOpenFromItsJournal) {
  TempDb t;
  t.Run("create table f (n int)\ninsert into f values(1)");
  t.Close();
  {
    StorageFault fault("checkpoint");
    t.Open();
    t.Run("insert into f values(2)");
    std::string message;
    EXPECT_EQ(ErrorNumber([&] { t.db().checkpoint(); }, &message), 9002);
    EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
    t.Run("insert into f values(3)");
    t.Close();  // its checkpoint fails too, unreported

    t.Open();  // replays the journal; the checkpoint it would take waits
    EXPECT_EQ(t.Rows("select n from f order by n"), (std::vector<std::string>{"1", "2", "3"}));
    t.Run("insert into f values(4)");
    EXPECT_EQ(ErrorNumber([&] { t.db().checkpoint(); }), 9002);
    t.Close();
  }
  EXPECT_FALSE(fs::exists(t.path() + ".tmp"));
  t.Open();
  EXPECT_EQ(t.Rows("select n from f order by n"),
            (std::vector<std::string>{"1", "2", "3", "4"}));
  t.db().checkpoint();
  EXPECT_LT(JournalSize(t), 64u) << "the checkpoint emptied the journal";
}

// A process killed while it writes the new database file leaves no part of
// that file beside the database (Linux writes it without a name until it is
// whole; Windows has no such files and writes lib.db.tmp, which the next
// opening removes); the next opening finds every change.
TEST(EngineDurability, AProcessKilledWhileItSavesLeavesNoCopyBehind) {
  TempDb t;
  t.Run("create table s (n int, pad char(200) default(''))");
  std::string rows;
  for (int n = 1; n <= 2000; ++n) rows += "insert into s(n) values(" + std::to_string(n) + ")\n";
  t.Run("begin transaction\n" + rows + "commit transaction");
  t.Close();
  engine_test::KilledRun run;
  run.batches = {"update s set pad='x'"};
  run.env = {{"LIBUPGRADE_STORAGE_FAULT", "kill-checkpoint"}};
  run.checkpoint_then_exit = true;
  ASSERT_TRUE(engine_test::RunAndKill(t.path(), run)) << "the save was not killed";
  const auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(fs::path(t.path()).parent_path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
#ifdef _WIN32
  EXPECT_EQ(files(), (std::vector<std::string>{"lib.db", "lib.db-journal", "lib.db.tmp"}));
#else
  EXPECT_EQ(files(), (std::vector<std::string>{"lib.db", "lib.db-journal"}));
#endif
  t.Open();
  EXPECT_EQ(t.One("select count(*) from s where pad='x'"), "2000");
  EXPECT_EQ(files(), (std::vector<std::string>{"lib.db", "lib.db-journal"}));
}

}  // namespace
