// #tables private to a session: two sessions each with their own #t, dropped
// when the session closes or is reset, ##tables shared, and a journal of
// sessions that used #tables replaying as they ran, without the #tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/engine.h"
#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

class TempTables : public ::testing::Test {
 protected:
  void SetUp() override {
    s1 = t.db().open_session(engine::SessionInfo{0, "h", "one", "sa"});
    s2 = t.db().open_session(engine::SessionInfo{0, "h", "two", "sa"});
  }
  void TearDown() override {
    for (int s : {s1, s2})
      if (s) t.db().close_session(s);
  }
  // The last result set's rows, values joined by '|'.
  std::vector<std::string> Rows(int spid, const std::string& sql) {
    auto results = t.db().execute(spid, sql);
    std::vector<std::string> out;
    for (auto it = results.rbegin(); it != results.rend(); ++it) {
      if (!it->has_result_set) continue;
      for (const auto& row : it->rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
          line += (c ? "|" : "") + row[c].value_or("NULL");
        out.push_back(line);
      }
      break;
    }
    return out;
  }
  std::string ErrorOf(int spid, const std::string& sql) {
    try {
      t.db().execute(spid, sql);
      return "";
    } catch (const engine::Error& e) {
      return std::to_string(e.number()) + " " + e.what();
    }
  }
  TempDb t;
  int s1 = 0, s2 = 0;
};

TEST_F(TempTables, EachSessionHasItsOwnAndSharesTheGlobalOnes) {
  t.db().execute(s1, "create table #t (k int, v varchar(10)) insert into #t values (1, 'one')");
  t.db().execute(s2,
                 "create table [#T] (k int) insert into #t values (2) insert into #t values (3)");
  EXPECT_EQ(Rows(s1, "select k, v from #t"), (std::vector<std::string>{"1|one"}));
  EXPECT_EQ(Rows(s2, "select count(*) from #t"), (std::vector<std::string>{"2"}));
  // OBJECT_ID finds the session's own, as 'tempdb..#t' or '#t'.
  EXPECT_EQ(Rows(s1,
                 "select case when object_id('tempdb..#t') is not null"
                 " and object_id('#t') = object_id('tempdb..#t') then 1 else 0 end"),
            (std::vector<std::string>{"1"}));
  // Messages and column names say #t as the client wrote it.
  EXPECT_EQ(ErrorOf(s1, "create table #t (k int)"),
            "2714 There is already an object named '#t' in the database.");
  EXPECT_EQ(ErrorOf(s1, "select * from #nothing"), "208 Invalid object name '#nothing'.");
  auto r = t.db().execute(s1, "select k as [#k] from #t");
  EXPECT_EQ(r.back().columns.at(0).name, "#k");
  // A ##table is the same for every session.
  t.db().execute(s1, "create table ##g (k int) insert into ##g values (5)");
  EXPECT_EQ(Rows(s2, "select k from ##g"), (std::vector<std::string>{"5"}));
  // The database's own session (libsql, the upgrade) sees neither session's #t.
  EXPECT_NE(t.ErrorOf("select * from #t"), 0);
  // Closing a session drops its #tables and no other's.
  t.db().close_session(s1);
  s1 = t.db().open_session(engine::SessionInfo{0, "h", "one again", "sa"});
  EXPECT_EQ(ErrorOf(s1, "select * from #t"), "208 Invalid object name '#t'.");
  EXPECT_EQ(Rows(s2, "select count(*) from #t"), (std::vector<std::string>{"2"}));
  EXPECT_EQ(t.One("select count(*) from sysobjects where name like '#%'"), "2");  // s2's #t, ##g
}

TEST_F(TempTables, AResetDropsThemAndAnOpenTransactionsToo) {
  t.db().execute(s1, "create table #t (k int) begin transaction create table #u (k int)");
  t.db().reset_session(s1, false);
  EXPECT_EQ(ErrorOf(s1, "select * from #t"), "208 Invalid object name '#t'.");
  EXPECT_EQ(ErrorOf(s1, "select * from #u"), "208 Invalid object name '#u'.");
  t.db().execute(s1, "create table #t (k int)");  // the name is free again
  EXPECT_EQ(t.One("select count(*) from sysobjects where name like '#%'"), "1");
}

TEST_F(TempTables, TheJournalReplaysWhatTheyFilledAndTheyAreGoneAtOpening) {
  t.Run("create table kept (k int)");
  t.db().execute(s1, "create table #t (k int) insert into #t values (1), (2)");
  t.db().execute(s2, "create table #t (k int) insert into #t values (30)");
  t.db().execute(s1, "insert into kept select k from #t");
  t.db().execute(s2, "begin transaction insert into kept select k from #t commit");
  // A copy of the files as they are now, while the sessions are open: a
  // crash before any checkpoint, the journal holding all of it.
  namespace fs = std::filesystem;
  const fs::path copy = fs::path(t.path()).parent_path() / "copy";
  fs::create_directories(copy);
  for (const char* ext : {"", "-journal"})
    if (fs::exists(t.path() + ext)) fs::copy_file(t.path() + ext, copy.string() + "/lib.db" + ext);
  auto db =
      engine::Database::open((copy / "lib.db").string(), engine::Database::OpenMode::MustExist);
  auto rows = db->execute(
      "select k from kept order by k select count(*) from sysobjects where name like '#%'");
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].rows.size(), 3u);
  EXPECT_EQ(*rows[0].rows[2][0], "30");
  EXPECT_EQ(*rows[1].rows[0][0], "0");
}

}  // namespace
