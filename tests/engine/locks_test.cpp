// Sessions side by side: table locks as READ COMMITTED takes them, waits
// that end in 1222 or in a deadlock victim (1205), and a journal whose units,
// committed in any interleaving, reopen as the sessions left the tables.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

class TwoSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    t.Run("create table a (k int) create table b (k int) create table src (k int)");
    t.Run("insert into a values (1) insert into b values (1) insert into src values (7), (8)");
    s1 = t.db().open_session(engine::SessionInfo{0, "h", "one", "sa"});
    s2 = t.db().open_session(engine::SessionInfo{0, "h", "two", "sa"});
  }
  void TearDown() override {
    t.db().close_session(s1);
    t.db().close_session(s2);
  }
  std::vector<engine::StatementResult> Run(int spid, const std::string& sql) {
    return t.db().execute(spid, sql);
  }
  // The error number the batch fails with, 0 when it succeeds.
  int ErrorOf(int spid, const std::string& sql) {
    try {
      t.db().execute(spid, sql);
      return 0;
    } catch (const engine::Error& e) {
      return e.number();
    }
  }
  std::string Count(int spid, const std::string& table) {
    auto r = Run(spid, "select count(*) from " + table);
    return r.back().rows.at(0).at(0).value_or("NULL");
  }
  TempDb t;
  int s1 = 0, s2 = 0;
};

// What each kind of open transaction keeps others from, with LOCK_TIMEOUT 0
// so that a wait shows as 1222 at once.
TEST_F(TwoSessions, LocksAsReadCommittedTakesThem) {
  Run(s2, "set lock_timeout 0");
  struct Case {
    const char* holder;  // run by session 1 inside a transaction
    const char* other;   // then by session 2
    int error;           // what session 2 gets
  } cases[] = {
      // A transaction that only read holds nothing once its statement ends.
      {"select * from a", "update a set k = k", 0},
      {"select * from a where k in (select k from b)", "delete from b where k = 5", 0},
      // Written tables are held until the transaction ends, from readers too.
      {"insert into a values (2)", "select * from a", 1222},
      {"update a set k = 3", "insert into a values (4)", 1222},
      // ... but readers and writers of other tables never wait.
      {"insert into a values (2)", "select * from b", 0},
      {"insert into a values (2)", "update b set k = 2", 0},
      // A write that read another table keeps it from writers until the
      // end, so the journal's order of units replays what it read.
      {"insert into a select k from src", "select * from src", 0},
      {"insert into a select k from src", "update src set k = 9", 1222},
      // Making or dropping objects holds the catalogue.
      {"create table c (k int)", "select name from sysobjects", 1222},
      {"create table c (k int)", "create table d (k int)", 1222},
      {"create table c (k int)", "select * from b", 0},
      {"drop table b", "select * from b", 1222},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.holder) + " / " + c.other);
    Run(s1, std::string("begin transaction ") + c.holder);
    Run(s2, "begin transaction");
    EXPECT_EQ(ErrorOf(s2, c.other), c.error);
    Run(s2, "rollback");
    Run(s1, "rollback");
    Run(s2, "begin transaction");
    EXPECT_EQ(ErrorOf(s2, c.other), 0) << "free once the transaction ended";
    Run(s2, "rollback");
  }
  EXPECT_EQ(Count(s1, "a"), "1");
  EXPECT_EQ(ErrorOf(s1, "select * from c"), 208) << "the rolled-back table is gone";
}

// A writer waits for as long as LOCK_TIMEOUT says, then fails its statement
// only (1222); without a time-out it goes on once the holder commits, and
// sees what it committed.
TEST_F(TwoSessions, AWriterWaitsForTheHolderOrItsTimeOut) {
  Run(s1, "begin transaction insert into a values (2)");
  Run(s2, "set lock_timeout 150 begin transaction insert into b values (5)");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf(s2, "insert into a values (3)"), 1222);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
  EXPECT_EQ(t.db().trancount(s2), 1) << "1222 ends the statement, not the transaction";

  // The statement that waited runs again from its start: a DECLARE whose
  // second value waited declares its first variable once.
  Run(s2, "set lock_timeout -1");
  auto waiter = std::async(std::launch::async, [&] {
    auto r = Run(s2, "declare @one int = 1, @n int = (select count(*) from a) select @n + @one");
    return r.back().rows.at(0).at(0).value_or("NULL");
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  Run(s1, "commit");
  EXPECT_EQ(waiter.get(), "3");
  Run(s2, "commit");
  EXPECT_EQ(Count(s1, "b"), "2");
}

// Two transactions that each wait for the other's table: the one that closes
// the cycle is the victim (1205, its transaction rolled back); the other goes
// on.
TEST_F(TwoSessions, ACycleOfWaitsIsBrokenWithADeadlockVictim) {
  Run(s1, "begin transaction update a set k = 10");
  Run(s2, "begin transaction update b set k = 20");
  auto first = std::async(std::launch::async, [&] { return ErrorOf(s1, "update b set k = 11"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  try {
    Run(s2, "update a set k = 21 insert into b values (22)");
    ADD_FAILURE() << "no deadlock reported";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 1205);
    EXPECT_EQ(e.severity(), 13);
    EXPECT_NE(std::string(e.what()).find("chosen as the deadlock victim"), std::string::npos);
    EXPECT_EQ(e.results.size(), 1u) << "the batch ends at the victim's statement";
  }
  EXPECT_EQ(t.db().trancount(s2), 0);
  EXPECT_EQ(first.get(), 0);
  Run(s1, "commit");
  auto r = Run(s2, "select k from a select k from b");
  EXPECT_EQ(r[0].rows.at(0).at(0), "10");
  EXPECT_EQ(r[1].rows.at(0).at(0), "11");
}

// Units of overlapping transactions reach the journal in the order they
// commit: reopened, the database holds what the sessions committed, and
// nothing of what was rolled back.
TEST_F(TwoSessions, OverlappingTransactionsReopenAsCommitted) {
  Run(s1, "begin transaction insert into a select k from src");
  Run(s2, "begin transaction insert into b values (2) create table kept (k int)");
  Run(s2, "insert into kept values (1)");
  Run(s1, "insert into a values (3)");
  Run(s2, "commit");
  Run(s1, "update src set k = k + 100 commit");
  const char* tables[] = {"a", "b", "src", "kept"};
  std::vector<std::vector<std::string>> before;
  for (const char* table : tables) before.push_back(t.Rows(std::string("select k from ") + table));
  t.db().close_session(s1);
  t.db().close_session(s2);
  t.Reopen();
  for (std::size_t i = 0; i < before.size(); ++i)
    EXPECT_EQ(t.Rows(std::string("select k from ") + tables[i]), before[i]) << tables[i];
  EXPECT_EQ(before[0], (std::vector<std::string>{"1", "7", "8", "3"}));
  EXPECT_EQ(before[2], (std::vector<std::string>{"107", "108"}));
  s1 = t.db().open_session(engine::SessionInfo{0, "h", "one", "sa"});
  s2 = t.db().open_session(engine::SessionInfo{0, "h", "two", "sa"});
}

}  // namespace
