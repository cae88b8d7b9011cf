// Transactions and errors inside them: which errors end only their statement
// and which end the batch, XACT_ABORT, savepoints, nesting, @@TRANCOUNT and
// XACT_STATE(), and what a commit after a failed statement keeps.
#include <gtest/gtest.h>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

// Error number of each batch (0 when it succeeds).
std::vector<int> RunAll(TempDb& t, const std::vector<std::string>& batches) {
  std::vector<int> errors;
  for (const std::string& b : batches) errors.push_back(t.ErrorOf(b));
  return errors;
}

std::string Keys(TempDb& t) {
  std::string out;
  for (const std::string& k : t.Rows("select k from t order by k"))
    out += (out.empty() ? "" : ",") + k;
  return out;
}

TEST(EngineTransactions, ErrorsInsideTransactions) {
  struct Case {
    const char* what;
    std::vector<std::string> batches;
    std::vector<int> errors;  // per batch
    int trancount;
    int xact_state;
    const char* keys;  // rows of t afterwards; t starts with k = 1
  };
  const Case cases[] = {
      {"duplicate key ends only its statement; the batch goes on",
       {"begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\ninsert into t "
        "values(3, 'c')"},
       {2627},
       1,
       1,
       "1,2,3"},
      {"and the transaction commits what the other statements did",
       {"begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\ninsert into t "
        "values(3, 'c')",
        "insert into t values(4, 'd')\nupdate t set v = 'toolong' where k = 4\ninsert into t(v) "
        "values('e')\n"
        "insert into t values(5, 'e')\ncommit tran"},
       {2627, 8152},
       0,
       0,
       "1,2,3,4,5"},
      {"@@ERROR tells the next statement",
       {"begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\n"
        "if @@error <> 0 rollback tran\ninsert into t values(3, 'c')"},
       {2627},
       0,
       0,
       "1,3"},
      {"a many-row INSERT ... SELECT failing part-way, and one rolled back to a savepoint, "
       "leave neither rows nor keys behind",
       {"insert into t values(2, 'b')\ninsert into t values(10, 'j')",
        "begin tran\ninsert into t select k + 8, v from t",
        "save tran a\ninsert into t select k + 20, v from t\nrollback tran a\n"
        "insert into t select k + 30, v from t\ncommit tran",
        "insert into t values(9, 'i')\ninsert into t values(21, 'u')"},
       {0, 2627, 0, 0},
       0,
       0,
       "1,2,9,10,21,31,32,40"},
      {"a conversion error ends the batch, the transaction stays open",
       {"begin tran\ninsert into t values(2, 'a')\ninsert into t values('abc', 'b')\ninsert into t "
        "values(3, 'c')"},
       {245},
       1,
       1,
       "1,2"},
      {"an unknown table ends the batch",
       {"begin tran\ninsert into t values(2, 'a')\nselect * from nosuch\ninsert into t values(3, "
        "'c')"},
       {208},
       1,
       1,
       "1,2"},
      {"XACT_ABORT ON, set in an earlier batch, rolls the whole transaction back",
       {"set xact_abort on",
        "begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\ninsert into t "
        "values(3, 'c')"},
       {0, 2627},
       0,
       0,
       "1"},
      {"XACT_ABORT ON outside a transaction ends the batch",
       {"set xact_abort on\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\ninsert "
        "into t values(3, 'c')"},
       {2627},
       0,
       0,
       "1,2"},
      {"XACT_ABORT OFF again",
       {"set xact_abort on", "set xact_abort off",
        "begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\ninsert into t "
        "values(3, 'c')"},
       {0, 0, 2627},
       1,
       1,
       "1,2,3"},
      {"rollback to a savepoint keeps @@TRANCOUNT and what came before",
       {"begin tran\ninsert into t values(2, 'a')\nsave tran s1\ninsert into t values(3, 'c')\n"
        "delete from t where k = 1\nrollback tran s1\ninsert into t values(4, 'd')"},
       {0},
       1,
       1,
       "1,2,4"},
      {"a savepoint can be rolled back to twice; later ones go",
       {"begin transaction\nsave transaction a\ninsert into t values(2, 'a')\nsave tran b\n"
        "insert into t values(3, 'c')\nrollback tran a\ninsert into t values(4, 'd')\nrollback "
        "tran a\n"
        "rollback tran b\ninsert into t values(5, 'e')\ncommit"},
       {6401},
       0,
       0,
       "1,5"},
      {"savepoint names are case-sensitive",
       {"begin tran\nsave tran s1\ninsert into t values(2, 'a')\nrollback tran S1"},
       {6401},
       1,
       1,
       "1,2"},
      {"the outermost transaction's name rolls everything back",
       {"begin tran outer_t\ninsert into t values(2, 'a')\nbegin tran inner_t\nsave tran s\n"
        "insert into t values(3, 'c')\nrollback tran outer_t\ninsert into t values(4, 'd')"},
       {0},
       0,
       0,
       "1,4"},
      {"an inner transaction's name is unknown (6401) and the batch goes on",
       {"begin tran outer_t\nbegin tran inner_t\ninsert into t values(2, 'a')\nrollback tran "
        "inner_t\n"
        "insert into t values(3, 'c')"},
       {6401},
       2,
       1,
       "1,2,3"},
      {"an inner COMMIT commits nothing",
       {"begin tran\ninsert into t values(2, 'a')\nbegin tran\ninsert into t values(3, "
        "'c')\ncommit tran x",
        "rollback"},
       {0, 0},
       0,
       0,
       "1"},
      {"ROLLBACK at depth 2 ends the transaction; what follows commits by itself",
       {"begin tran\nbegin tran\ninsert into t values(2, 'a')\nrollback\ninsert into t values(3, "
        "'c')\ncommit"},
       {3902},
       0,
       0,
       "1,3"},
      {"COMMIT without a transaction ends only itself",
       {"commit transaction\ninsert into t values(2, 'a')"},
       {3902},
       0,
       0,
       "1,2"},
      {"ROLLBACK without a transaction ends only itself",
       {"rollback tran\ninsert into t values(2, 'a')\nrollback tran s"},
       {3903},
       0,
       0,
       "1,2"},
      {"SAVE without a transaction",
       {"save tran s\ninsert into t values(2, 'a')"},
       {628},
       0,
       0,
       "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDb t;
    t.Run(
        "create table t (k int not null primary key, v varchar(5))\ninsert into t values(1, 'x')");
    EXPECT_EQ(RunAll(t, c.batches), c.errors);
    EXPECT_EQ(t.One("select @@trancount, xact_state()"),
              std::to_string(c.trancount) + "|" + std::to_string(c.xact_state));
    EXPECT_EQ(Keys(t), c.keys);
  }
}

// Every error of a batch reaches the caller: the first as the exception, the
// later ones (each with its own line) as follow-on messages, up to the error
// that ended the batch.
TEST(EngineTransactions, BatchReportsEveryError) {
  TempDb t;
  t.Run("create table t (k int not null primary key, v varchar(5))\ninsert into t values(1, 'x')");
  try {
    t.Run(
        "insert into t values(1, 'a')\ninsert into t values(5, 'a')\n\ninsert into t values(1, "
        "'b')\n"
        "select * from nosuch\ninsert into t values(6, 'a')");
    FAIL() << "no error";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 2627);
    EXPECT_EQ(e.line(), 1);
    std::vector<std::string> follow;
    for (const auto& m : e.follow_on)
      follow.push_back(std::to_string(m.number) + "@" + std::to_string(m.line));
    EXPECT_EQ(follow, (std::vector<std::string>{"3621@0", "2627@4", "3621@4", "208@5"}));
  }
  EXPECT_EQ(Keys(t), "1,5");
}

// A transaction in which statements failed commits exactly what the others
// did, and that survives closing and opening again.
TEST(EngineTransactions, CommitAfterFailedStatementsSurvivesReopen) {
  TempDb t;
  t.Run("create table t (k int not null primary key, v varchar(5))\ninsert into t values(1, 'x')");
  EXPECT_EQ(t.ErrorOf("begin tran\ninsert into t values(2, 'a')\ninsert into t values(1, 'b')\n"
                      "update t set v = 'toolong'\nupdate t set v = 'y' where k = 2\n"
                      "drop table nosuch\ninsert into t values(3, 'c')"),
            2627);
  EXPECT_EQ(t.ErrorOf("insert into t values(4, 'd')\ninsert into t values(4, 'd')\ncommit"), 2627);
  t.Reopen();
  EXPECT_EQ(t.Rows("select k, v from t order by k"),
            (std::vector<std::string>{"1|x", "2|y", "3|c", "4|d"}));
}

}  // namespace

// A step walks a table changing a row a statement: the undo of consecutive
// UPDATEs of the same columns is kept together. A statement failing part-way,
// a savepoint between two of them, and rows read at opening (whose old bytes
// stay where the database file put them, also once a column added to the
// table has given every row bytes of its own) must all roll back exactly.
TEST(EngineTransactions, RowByRowUpdatesRollBackExactly) {
  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened ? "rows read at opening" : "rows made in this session");
    engine_test::TempDb t;
    t.Run("create table w(k int not null primary key, name char(40), u int)");
    for (int k = 1; k <= 6; ++k)
      t.Run("insert into w values(" + std::to_string(k) + ", 'n" + std::to_string(k) + "', " +
            std::to_string(k) + ")");
    const auto all = [&] { return t.Rows("select k, name, u from w order by k"); };
    const std::vector<std::string> before = all();
    if (reopened) t.Reopen();
    t.Run("begin transaction");
    t.Run("update w set name = 'renamed one, much longer than before' where k = 1");
    t.Run("update w set name = 'two' where k = 2");
    // Two rows of this one change before the third divides by zero.
    const std::vector<std::string> ahead = all();
    EXPECT_EQ(
        t.ErrorOf("update w set name = 'a much longer name ' + convert(varchar(10), 10 / (3 - k)) "
                  "where k <= 3"),
        8134);
    EXPECT_EQ(all(), ahead);
    t.Run("update w set name = 'three' where k = 3");
    const std::vector<std::string> saved = all();
    t.Run("save transaction s");
    t.Run("update w set name = 'four, after the savepoint' where k = 4");
    t.Run("alter table w add extra int null");
    t.Run("update w set name = 'five' where k = 5");
    t.Run("rollback transaction s");
    EXPECT_EQ(all(), saved);
    t.Run("update w set name = 'six' where k = 6");
    t.Run("rollback transaction");
    EXPECT_EQ(all(), before);

    // Every row given bytes of its own and committed: the rows read at
    // opening no longer need the file's bytes, which are let go of.
    t.Run("begin transaction");
    t.Run("update w set name = rtrim(name) + ' committed, and longer'");
    t.Run("commit transaction");
    const std::vector<std::string> committed = all();
    EXPECT_NE(committed, before);
    t.Run("begin transaction");
    t.Run("update w set name = 'short' where k = 2");
    t.Run("delete from w where k = 3");
    t.Run("rollback transaction");
    EXPECT_EQ(all(), committed);
    t.Reopen();
    EXPECT_EQ(all(), committed);
  }
}

// Searches by a column, through an index (g) or through the engine's own
// look-up that a table searched again and again by a column without an index
// gets (c, s), must find what a scan finds ("or 1 = 0" keeps a search from
// using either), whatever changes the rows or the columns, and whether an
// UPDATE changes a row's key or keeps it. The look-up must not reach the file
// or sysindexes.
// An index meets keys as the collation does: case and trailing blanks
// ignored, a double-byte character's bytes never folded (a trail byte in the
// range of ASCII letters tells two characters apart).
TEST(EngineTransactions, IndexKeysMeetAsTheCollationCompares) {
  TempDb t;
  t.Run("create table k(v varchar(10), n int)\ncreate unique index ix_k on k(v)");
  t.Run("insert into k values('\x81' + 'a', 1)\ninsert into k values('ab', 2)");
  EXPECT_EQ(t.ErrorOf("insert into k values('\x81' + 'A', 3)"), 0);
  EXPECT_EQ(t.ErrorOf("insert into k values('AB  ', 4)"), 2601);
  EXPECT_EQ(t.ErrorOf("insert into k values('\x81' + 'a  ', 5)"), 2601);
  EXPECT_EQ(t.ErrorOf("update k set v = 'aB' where n = 3"), 2601);
  EXPECT_EQ(t.One("select n from k where v = '\x81' + 'a '"), "1");
  EXPECT_EQ(t.One("select n from k where v = '\x81' + 'A'"), "3");
  EXPECT_EQ(t.One("select n from k where v = 'Ab'"), "2");
  t.Run("update k set v = 'Ab ' where n = 2");  // the same key: no duplicate of itself
  EXPECT_EQ(t.One("select n from k where v = 'aB'"), "2");
}

TEST(EngineTransactions, SearchesByAColumnAgreeWithAScan) {
  TempDb t;
  t.Run("create table f(id int identity, a int, c int, s char(10), g varchar(12))");
  t.Run("create index ix_f_g on f(g)");
  // No row to compare with: a value the column's type cannot take is no error.
  EXPECT_EQ(t.One("select count(*) from f where c = 'abc'"), "0");
  std::string batch;
  for (int i = 0; i < 3000; ++i)
    batch += "insert into f(a, c, s, g) values(" + std::to_string(i) + ", " +
             std::to_string(i % 50) + ", 'v" + std::to_string(i % 37) + "', 'g" +
             std::to_string(i % 7) + "')\n";
  t.Run(batch);
  const std::string indexes = t.One("select count(*) from sysindexes where id = object_id('f')");
  const auto all = [&] { return t.Rows("select id, a, c, s, g from f order by id"); };
  const auto agree = [&](const std::string& when) {
    SCOPED_TRACE(when);
    for (int round = 0; round < 10; ++round)
      for (const std::string& cond :
           {std::string("c = ") + "236"[round % 3], std::string("s = 'V3  '"),
            std::string("c = '7'"), std::string("g = 'G1'"), std::string("g = 'g3 '")}) {
        SCOPED_TRACE(cond);
        const auto found = t.Rows("select id from f where " + cond + " order by id");
        EXPECT_EQ(found, t.Rows("select id from f where (" + cond + " or 1 = 0) order by id"));
        EXPECT_FALSE(found.empty());
      }
  };
  agree("first searches");
  t.Run("update f set c = 3 where id between 100 and 260");
  t.Run("update f set s = 'v3' where c = 5 and id < 400");
  t.Run("update f set g = upper(g)");  // every key kept: the collation ignores case
  t.Run("delete from f where c = 4 and id > 1000");
  t.Run("insert into f(a, c, s, g) values(-1, 4, 'V3', 'g1')");
  agree("rows changed");
  const std::vector<std::string> kept = all();
  t.Run("begin transaction");
  t.Run("update f set c = 2, s = 'x' where c = 3");
  t.Run("update f set g = lower(g), c = c");  // keys kept
  t.Run("update f set g = 'g3, longer' where c = 6");
  t.Run("update f set c = 6 where id = 7");  // one row at a time, as a step goes
  t.Run("update f set c = 6 where id = 9");
  t.Run("delete from f where c = 6 and id > 2000");
  t.Run("rollback transaction");
  agree("changes rolled back");
  EXPECT_EQ(all(), kept);
  t.Run("begin transaction");
  t.Run("update f set c = 2 where c = 3");
  t.Run("delete from f where c = 5");
  t.Run("insert into f(a, c, s, g) values(-2, 3, 'v3', 'g3')");
  t.Run("alter table f drop column a");  // c, s and g move one column left
  agree("inside the transaction");
  t.Run("update f set c = 4 where c = 2 and id < 2000");
  t.Run("rollback transaction");
  agree("rolled back");
  EXPECT_EQ(all(), kept);
  EXPECT_EQ(t.One("select count(*) from sysindexes where id = object_id('f')"), indexes);
  // Rows read at opening: an UPDATE that changes a row's size gives it bytes
  // of its own, and its rollback hands the row back its bytes in the file.
  t.Reopen();
  EXPECT_EQ(all(), kept);
  agree("reopened");
  t.Run("begin transaction");
  t.Run("update f set g = 'g1 and more' where c = 9");
  t.Run("update f set g = g where c = 2");
  t.Run("update f set c = 3 where g = 'G1'");
  agree("reopened, inside the transaction");
  t.Run("rollback transaction");
  agree("reopened, rolled back");
  EXPECT_EQ(all(), kept);
}

// A large table dropped inside a transaction keeps its rows on disk until the
// transaction ends; rolled back, by the whole transaction, to a savepoint or
// by the failing statement itself, it comes back whole: every row in its
// slot, its changes in the transaction undone in order, its indexes and its
// identity as they were.
TEST(EngineTransactions, DroppedTablesComeBackWhole) {
  for (bool reopened : {false, true}) {
    SCOPED_TRACE(reopened ? "rows read at opening" : "rows made in this session");
    TempDb t;
    t.Run("create table big(id int identity primary key, k int, pad varchar(400))");
    t.Run("create index ix_big_k on big(k)");
    std::string batch;
    for (int i = 0; i < 4000; ++i)
      batch += "insert into big(k, pad) values(" + std::to_string(i % 97) + ", 'row " +
               std::to_string(i) + std::string(300, '.') + "')\n";
    t.Run(batch);
    t.Run("delete from big where id in (5, 6, 3000)");
    if (reopened) t.Reopen();
    const auto all = [&] { return t.Rows("select id, k, pad from big order by id"); };
    const auto by_k = [&] { return t.Rows("select id from big where k = 13 order by id"); };
    const std::vector<std::string> before = all(), thirteen = by_k();

    t.Run("begin transaction");
    // Most rows get bytes of their own (more than a megabyte); read at
    // opening, the others are still borrowed from the file.
    t.Run("update big set pad = pad + ' and more' where k < 70");
    t.Run("update big set pad = 'changed, and longer than it was' where k = 13");
    t.Run("delete from big where k = 14");
    t.Run("drop table big");
    t.Run("create table big(other int)");
    t.Run("insert into big values(1)");
    t.Run("rollback transaction");
    EXPECT_EQ(all(), before);
    EXPECT_EQ(by_k(), thirteen);

    t.Run("begin transaction");
    t.Run("save transaction s");
    t.Run("drop table big");
    EXPECT_EQ(t.ErrorOf("select count(*) from big"), 208);
    t.Run("rollback transaction s");
    EXPECT_EQ(all(), before);
    // The statement fails on its second name: the first table comes back.
    EXPECT_EQ(t.ErrorOf("drop table big, no_such_table"), 3701);
    EXPECT_EQ(all(), before);
    t.Run("commit transaction");
    EXPECT_EQ(t.One("select max(id) from big"), "4000");
    t.Run("insert into big(k, pad) values(1, 'next')");
    EXPECT_EQ(t.One("select max(id) from big"), "4001");

    t.Run("begin transaction");
    t.Run("drop table big");
    t.Run("commit transaction");
    EXPECT_EQ(t.ErrorOf("select count(*) from big"), 208);
    t.Reopen();
    EXPECT_EQ(t.ErrorOf("select count(*) from big"), 208);
  }
}
