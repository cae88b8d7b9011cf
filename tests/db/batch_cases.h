// What a walk's statements sent in batches (db::Batch) must keep: the same
// statements in the same order with the same outcomes, the same rows, and
// the same questions asked after a tolerated failure, as sending each
// statement alone. Shared by the embedded engine's tests and the tests
// through FreeTDS and libsql-server.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/batch.h"
#include "db/connection.h"
#include "db/ledger.h"
#include "db/query.h"
#include "tests/support/support.h"

namespace batch_cases {

// One run: every statement sent ("outcome: text"), and how often the work
// given with a statement ran.
struct Trace {
  std::vector<std::string> log;
  int done = 0;
};

inline void Record(db::Connection& c, Trace& t) {
  c.on_statement = [&t](const db::StatementEvent& e) {
    t.log.push_back(std::string(e.ok ? "ok" : e.tolerated ? "tolerated" : "error") + ": " + e.sql);
  };
}

inline const char* kTable =
    "create table t (a int primary key, b char(3), n int)\n"
    "insert into t values (1, 'a', 1)\ninsert into t values (2, 'b', 2)\n"
    "insert into t values (3, 'c', 3)\ninsert into t values (4, 'd', 4)\n"
    "insert into t values (5, 'e', 5)\ninsert into t values (6, 'f', 6)";

// Statements of a walk around one failing statement of each kind the server
// knows: one that ends only itself (truncation, duplicate key), one that ends
// its batch (conversion, missing table), and one that stops a batch from
// running at all (syntax). Updates that touch no row come first and last.
inline std::vector<std::string> Statements() {
  return {
      "update t set n = n + 10 where a = 99",
      "update t set n = n + 10 where a = 1",
      "update t set b = 'toolong'\nwhere a = 2",
      "update t set n = n + 10 where a = 2",
      "update t set n = 'abc' where a = 3",
      "update t set n = n + 10 where a = 3",
      "update t set a = 1 where a = 4",
      "update t set n = n + 10 where a = 4",
      "update nosuch set x = 1",
      "update t set n = n + 10 where a = 5",
      "update t set n = n + 10 where a = 6 xx yy",
      "update t set n = n + 10 where a = 6",
      "insert into t values (7, 'g', 7)",
      "update t set n = n + 10 where a = 99",
  };
}

// The statements as a walk sends them, all tolerated, inside a unit of work:
// batched, or each alone.
inline void Walk(db::Connection& c, bool batched, Trace& t) {
  db::Query outer(c), inner(c);
  db::RunInTransaction(outer, [&] {
    if (batched) {
      db::Batch batch(inner);
      for (const std::string& s : Statements()) batch.RunTolerated({s}, [&] { ++t.done; });
      batch.Flush();
    } else {
      for (const std::string& s : Statements()) {
        db::RunTolerated(inner, {s});
        ++t.done;
      }
    }
  });
}

// Each failure kind, batched, ends as the statements sent one by one.
inline void ExpectBatchedAsAlone(const std::function<std::unique_ptr<db::Connection>()>& one,
                                 const std::function<std::unique_ptr<db::Connection>()>& other) {
  Trace alone, batched;
  std::vector<std::string> rows_alone, rows_batched;
  {
    auto c = one();
    testing_support::RunScript(*c, kTable);
    Record(*c, alone);
    Walk(*c, false, alone);
    c->on_statement = nullptr;
    rows_alone = testing_support::Rows(*c, "select a, b, n from t order by a");
  }
  {
    auto c = other();
    testing_support::RunScript(*c, kTable);
    Record(*c, batched);
    const std::int64_t before = c->statements_sent();
    Walk(*c, true, batched);
    // The fault hook counts as the log does.
    EXPECT_EQ(c->statements_sent() - before, static_cast<std::int64_t>(batched.log.size()));
    c->on_statement = nullptr;
    rows_batched = testing_support::Rows(*c, "select a, b, n from t order by a");
  }
  EXPECT_EQ(batched.log, alone.log);
  EXPECT_EQ(batched.done, alone.done);
  EXPECT_EQ(alone.done, static_cast<int>(Statements().size()));
  EXPECT_EQ(rows_batched, rows_alone);
  EXPECT_EQ(rows_batched, (std::vector<std::string>{"1|a|11", "2|b|12", "3|c|13", "4|d|14",
                                                    "5|e|15", "6|f|16", "7|g|7"}));
}

// A failure the walk does not tolerate: the statements after it never run,
// the error names the statement, the unit of work is undone.
inline void ExpectFailureUndoesTheUnit(db::Connection& c) {
  testing_support::RunScript(c, kTable);
  Trace t;
  Record(c, t);
  db::Query outer(c), inner(c);
  try {
    db::RunInTransaction(outer, [&] {
      db::Batch batch(inner);
      batch.Run({"update t set n = 0 where a = 1"}, [&] { ++t.done; });
      batch.Run({"update t set b = 'toolong'", "where a = 2"}, [&] { ++t.done; });
      batch.Run({"update t set n = 0 where a = 3"}, [&] { ++t.done; });
      batch.Flush();
    });
    ADD_FAILURE() << "the failure was passed over";
  } catch (const db::Error& e) {
    EXPECT_EQ(e.number(), 8152);
    EXPECT_NE(std::string(e.what()).find("truncated"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("update t set b = 'toolong'\nwhere a = 2"),
              std::string::npos)
        << e.what();
  }
  c.on_statement = nullptr;
  EXPECT_EQ(t.done, 1);
  ASSERT_EQ(t.log.size(), 4u);
  EXPECT_EQ(t.log[1], "ok: update t set n = 0 where a = 1");
  EXPECT_EQ(t.log[2].rfind("error: update t set b = 'toolong'", 0), 0u) << t.log[2];
  EXPECT_EQ(t.log[3], "ok: if @@trancount > 0 rollback transaction");
  EXPECT_EQ(testing_support::Rows(c, "select n from t where a in (1, 3) order by a"),
            (std::vector<std::string>{"1", "3"}));
}

}  // namespace batch_cases
