// Statements of a walk sent several at a time on the embedded engine.
#include <gtest/gtest.h>

#include "tests/db/batch_cases.h"

namespace {

using testing_support::Rows;
using testing_support::RunScript;
using testing_support::ScratchDb;

TEST(Batch, EveryKindOfFailureEndsAsTheStatementsSentAlone) {
  ScratchDb a, b;
  batch_cases::ExpectBatchedAsAlone([&] { return a.Connect(); }, [&] { return b.Connect(); });
}

TEST(Batch, AFailureNotToleratedNamesItsStatementAndUndoesTheUnit) {
  ScratchDb db;
  auto c = db.Connect();
  batch_cases::ExpectFailureUndoesTheUnit(*c);
}

// Many statements go in several batches; a query sent meanwhile follows the
// statements queued before it; the work of each runs in order, once.
TEST(Batch, StatementsRunInTheOrderMadeAcrossBatchesAndQueries) {
  ScratchDb db;
  auto c = db.Connect();
  RunScript(*c, "create table t (a int, seq int identity(1, 1))");
  std::vector<std::string> log;
  c->on_statement = [&](const db::StatementEvent& e) { log.push_back(e.sql); };
  db::Query q(*c), walk(*c);
  std::vector<int> done;
  {
    db::Batch batch(q);
    for (int i = 1; i <= 2 * static_cast<int>(db::Batch::kStatements) + 7; ++i) {
      batch.Run({"insert into t (a) values (" + std::to_string(i) + ")"},
                [&done, i] { done.push_back(i); });
      if (i == 60) {
        db::OpenQuery(walk, {"select count(*) as n from t"});
        EXPECT_EQ(walk.AsInteger("n"), 60);
        walk.Close();
      }
    }
    batch.Flush();
  }
  const int n = 2 * static_cast<int>(db::Batch::kStatements) + 7;
  ASSERT_EQ(static_cast<int>(done.size()), n);
  for (int i = 0; i < n; ++i) EXPECT_EQ(done[i], i + 1);
  ASSERT_EQ(static_cast<int>(log.size()), n + 1);
  EXPECT_EQ(log[60], "select count(*) as n from t");
  EXPECT_EQ(log[61], "insert into t (a) values (61)");
  c->on_statement = nullptr;
  // The identity column numbers the rows in the order they were inserted.
  EXPECT_EQ(Rows(*c, "select count(*) from t where a <> seq"), (std::vector<std::string>{"0"}));
}

// fail:N stops the N-th statement unsent, in the middle of a batch, even a
// tolerated one; the statements before it ran, none after it.
TEST(Batch, TheFaultHookFailsTheNthStatementOfABatch) {
  ScratchDb db;
  auto c = db.Connect();
  RunScript(*c, "create table t (a int)");
  c->fault = db::FaultPlan::Parse("fail:" + std::to_string(c->statements_sent() + 3));
  std::vector<std::string> outcomes;
  c->on_statement = [&](const db::StatementEvent& e) {
    outcomes.push_back(std::string(e.ok          ? "ok"
                                   : e.tolerated ? "tolerated"
                                                 : "error") +
                       " " + e.sql);
  };
  db::Query q(*c);
  db::Batch batch(q);
  for (int i = 1; i <= 5; ++i)
    batch.RunTolerated({"insert into t values (" + std::to_string(i) + ")"});
  EXPECT_THROW(batch.Flush(), db::InjectedFault);
  EXPECT_EQ(outcomes,
            (std::vector<std::string>{"ok insert into t values (1)", "ok insert into t values (2)",
                                      "error insert into t values (3)"}));
  c->on_statement = nullptr;
  EXPECT_EQ(Rows(*c, "select a from t order by a"), (std::vector<std::string>{"1", "2"}));
}

}  // namespace
