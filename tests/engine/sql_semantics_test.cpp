// Answers any SQL Server client may rely on: name resolution, set operators,
// batches and their messages, numbers. Each case here once gave a different
// answer without an error.
#include <gtest/gtest.h>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;
using Rows = std::vector<std::string>;

struct QueryCase {
  const char* sql;
  Rows rows;
};

void ExpectRows(TempDb& t, const std::vector<QueryCase>& cases) {
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(t.Rows(c.sql), c.rows) << c.sql;
    } catch (const engine::Error& e) {
      ADD_FAILURE() << c.sql << ": " << e.number() << " " << e.what();
    }
  }
}

struct ErrorCase {
  const char* sql;
  int number;
  const char* message;
};

void ExpectErrors(TempDb& t, const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    std::string msg;
    EXPECT_EQ(t.ErrorOf(c.sql, &msg), c.number) << c.sql;
    if (c.message) {
      EXPECT_EQ(msg, c.message) << c.sql;
    }
  }
}

// Once a table has an alias in a FROM clause only the alias names it there:
// an inner query's alias leaves the table's own name to the outer query.
TEST(EngineNames, AnAliasHidesItsTable) {
  TempDb t;
  t.Run("create table t1 (a int, b int)");
  t.Run("insert into t1 values (1, 10) insert into t1 values (2, 20) insert into t1 values (3, 30)");
  ExpectRows(t, {
      {"select b, (select count(*) from t1 as x where x.b < t1.b) from t1 order by b",
       {"10|0", "20|1", "30|2"}},
      {"select b from t1 where exists (select 1 from t1 x where x.b < t1.b) order by b",
       {"20", "30"}},
      {"select b from t1 where not exists (select * from t1 as x where x.b > t1.b)", {"30"}},
      {"select y.b from t1 y where y.a in (select x.a from t1 x where x.b = y.b + 0) order by 1",
       {"10", "20", "30"}},
      {"select x.* from t1 as x where x.a = 2", {"2|20"}},
  });
  ExpectErrors(t, {
      {"select t1.b from t1 as x", 4104, "The multi-part identifier \"t1.b\" could not be bound."},
      {"select t1.* from t1 as x", 4104, "The multi-part identifier \"t1\" could not be bound."},
  });
}

}  // namespace

// A cancel (a client's attention) stops the statement running, however many
// rows it still has to go through, and undoes it; an open transaction and
// what it did before stay.
TEST(EngineBatches, ACancelStopsTheRunningStatementAndUndoesIt) {
  TempDb t;
  t.Run("create table d (k int) insert into d values (1),(2),(3),(4),(5),(6),(7),(8),(9),(10)");
  t.Run("create table n (k int)");
  const int spid = t.db().open_session(engine::SessionInfo{0, "host", "test", "sa"});
  t.db().execute(spid, "begin transaction insert into n values (0)");
  int asked = 0;
  auto cancel = [&] { return ++asked > 0; };
  EXPECT_THROW(
      t.db().execute(spid, "insert into n select a.k from d a, d b, d c, d e", cancel),
      engine::Cancelled);
  EXPECT_GT(asked, 0);
  EXPECT_EQ(t.db().trancount(spid), 1);
  auto r = t.db().execute(spid, "select count(*) from n commit");
  EXPECT_EQ(r[0].rows[0][0].value_or("NULL"), "1");
  t.db().close_session(spid);
}
