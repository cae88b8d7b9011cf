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

// UNION [ALL], EXCEPT and INTERSECT (INTERSECT first, the others from the
// left; EXCEPT never an alias), the column types they give, and derived
// tables.
TEST(EngineQueries, SetOperatorsAndDerivedTables) {
  TempDb t;
  t.Run("create table s (k int, c varchar(4))");
  t.Run("insert into s values (1, 'a'), (2, 'B'), (3, NULL), (3, NULL)");
  ExpectRows(t, {
      {"select 1 union all select 2 union all select 1", {"1", "2", "1"}},
      {"select k from s union select 4 order by 1 desc", {"4", "3", "2", "1"}},
      {"select k from s except select 1 order by k", {"2", "3"}},
      {"select k, c from s intersect select 3, null", {"3|NULL"}},
      {"select 1 union select 2 intersect select 3", {"1"}},
      {"select 1 except select 1 union select 2", {"2"}},
      {"(select 2) union (select 1 union select 2) order by 1", {"1", "2"}},
      {"select c from s where c is not null union select 'A' union select 'b ' order by c",
       {"a", "B"}},
      {"select 1 union all select 2.5 order by 1", {"1.0", "2.5"}},
      {"select count(*) from s where k in (select 1 union select 3)", {"3"}},
      {"select t.x, t.n from (select k as x, count(*) n from s group by k) as t where t.x > 1 "
       "order by t.x",
       {"2|1", "3|2"}},
      {"select d.* from (select k from s except select 3) d order by 1", {"1", "2"}},
  });
  ExpectErrors(t, {
      {"select 1 union select 1, 2", 205,
       "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal "
       "number of expressions in their target lists."},
      {"select k from s union select k from s order by k + 1", 104,
       "ORDER BY items must appear in the select list if the statement contains a UNION, "
       "INTERSECT or EXCEPT operator."},
      {"select 1 union select 'x'", 245,
       "Conversion failed when converting the varchar value 'x' to data type int."},
      {"select * from (select 1) as t", 8155, "No column name was specified for column 1 of 't'."},
      {"select * from (select 1 a, 2 a) as t", 8156,
       "The column 'a' was specified multiple times for 't'."},
      {"select k from s except", 102, nullptr},
  });
}

// @@ROWCOUNT is what the statement before touched; PRINT sends its text as
// an informational message; duplicate keys are errors of severity 14.
TEST(EngineBatches, RowcountPrintAndDuplicateKeys) {
  TempDb t;
  t.Run("create table r (k int not null primary key, v int)");
  t.Run("create unique index r_v on r(v)");
  t.Run("insert into r values (1, 1), (2, 2), (3, 3)");
  ExpectRows(t, {
      {"update r set v = v where k > 1 select @@rowcount", {"2"}},
      {"select k from r select @@rowcount", {"3"}},
      {"delete r where k = 9 select @@rowcount", {"0"}},
      {"declare @n int set @n = 5 select @@rowcount", {"1"}},
      {"select k from r where k = 1 begin transaction select @@rowcount commit", {"0"}},
      {"select k from r where k < 3 if @@rowcount = 2 select 'two' else select 'other'",
       {"two"}},
  });
  auto res = t.Run("print 'hello' print 12 + 1\nselect 1");
  ASSERT_EQ(res.size(), 3u);
  ASSERT_EQ(res[0].messages.size(), 1u);
  EXPECT_EQ(res[0].messages[0].text, "hello");
  EXPECT_EQ(res[0].messages[0].number, 0);
  EXPECT_EQ(res[0].messages[0].severity, 0);
  ASSERT_EQ(res[1].messages.size(), 1u);
  EXPECT_EQ(res[1].messages[0].text, "13");
  EXPECT_EQ(res[1].messages[0].line, 1);
  for (const char* sql : {"insert into r values (1, 9)", "insert into r values (9, 1)"}) {
    try {
      t.Run(sql);
      ADD_FAILURE() << sql;
    } catch (const engine::Error& e) {
      EXPECT_EQ(e.severity(), 14) << sql;
      EXPECT_TRUE(e.number() == 2627 || e.number() == 2601) << sql;
    }
  }
}

// SELECT @v = expr assigns row by row and returns no rows: the last row's
// values stay, no row leaves the variable as it was, @@ROWCOUNT counts the
// rows; mixed with columns it is refused before the batch runs.
TEST(EngineBatches, SelectAssignsVariables) {
  TempDb t;
  t.Run("create table a (k int not null primary key, v varchar(5))");
  t.Run("insert into a values (1, 'x'), (2, 'y'), (3, 'z')");
  ExpectRows(t, {
      {"declare @v int select @v = k from a where k = 2 select @v", {"2"}},
      {"declare @v int = 7 select @v = k from a where k = 9 select @v", {"7"}},
      {"declare @k int, @s varchar(9) select @k = k, @s = v from a where k = 3 select @k, @s",
       {"3|z"}},
      {"declare @s varchar(20) = '' select @s = @s + v from a select @s", {"xyz"}},
      {"declare @n int select @n = count(*) from a select @n, @@rowcount", {"3|1"}},
      {"declare @v int select @v = k from a order by k desc select @v", {"1"}},
      {"declare @v int select @v = k from a select @@rowcount", {"3"}},
      {"declare @v int set rowcount 2 select @v = k from a order by k set rowcount 0 select @v",
       {"2"}},
  });
  auto res = t.Run("declare @v int select @v = 1");
  ASSERT_EQ(res.size(), 2u);
  EXPECT_FALSE(res[1].has_result_set);
  EXPECT_EQ(res[1].rows_affected, 1);
  ExpectErrors(t, {
      {"select @nope = k from a", 137, nullptr},
      {"declare @v int select @v = k, v from a", 141,
       "A SELECT statement that assigns a value to a variable must not be combined with "
       "data-retrieval operations."},
      {"declare @s varchar(20) = '' select @s = @s + v from a order by v", 50000, nullptr},
  });
}

// float is an IEEE double, shown in full and sent as a float; past its
// range is an overflow error, never an infinity stored.
TEST(EngineNumbers, FloatsAreDoublesAndOverflowIsAnError) {
  TempDb t;
  t.Run("create table f (x float)");
  t.Run("insert into f values (1.7976931348623157e308)");
  ExpectRows(t, {
      {"select x from f", {"1.7976931348623157e+308"}},
      {"select 0.1e0 + 0.2e0", {"0.30000000000000004"}},
      {"select 1e0 / 3", {"0.3333333333333333"}},
      {"select cast(123456789e0 as varchar(20)), cast(0.5e0 as varchar(10))",
       {"1.23457e+008|0.5"}},
  });
  EXPECT_EQ(t.Run("select 1e0 / 4")[0].columns[0].declared, "float");
  ExpectErrors(t, {
      {"select x * 10 from f", 8115,
       "Arithmetic overflow error converting expression to data type float."},
      {"insert into f select x + x from f", 8115, nullptr},
      {"select 1e400", 168,
       "The floating point value '1e400' is out of the range of computer representation (8 "
       "bytes)."},
      {"select cast('1e400' as float)", 8114, "Error converting data type varchar to float."},
      {"select cast(x as numeric(10, 2)) from f", 8115,
       "Arithmetic overflow error converting float to data type numeric."},
      {"select 5e0 % 2", 402, nullptr},
  });
  EXPECT_EQ(t.One("select count(*) from f"), "1");
}

// Joins: whatever order the planner takes the tables in, and whether it
// reaches one through a hash of a column or by a scan, the rows are those of
// nested loops over the tables as written, in their order.
TEST(EngineQueries, JoinsGiveTheRowsOfNestedLoopsInTheirOrder) {
  TempDb t;
  t.Run("create table a (k int, v varchar(5)) create table b (k int, a_k int)");
  t.Run("create table c (k int, b_k int, d datetime)");
  t.Run("insert into a values (1, 'x'), (2, 'y'), (3, 'z')");
  t.Run("insert into b values (10, 3), (11, 1), (12, 3), (13, NULL)");
  t.Run("insert into c values (100, 12, '2020-01-01'), (101, 10, '2020-01-02'), "
        "(102, 11, '2020-01-01'), (103, 12, NULL)");
  ExpectRows(t, {
      {"select a.v, b.k, c.k from c, a, b where c.b_k = b.k and b.a_k = a.k",
       {"z|12|100", "z|10|101", "x|11|102", "z|12|103"}},
      {"select b.k, a.k from b join a on a.k = b.a_k where a.v = 'Z '", {"10|3", "12|3"}},
      {"select count(*) from a, b where b.a_k = '3'", {"6"}},
      {"select count(*) from a x, a y where x.v = upper(y.v)", {"3"}},
      {"select count(*) from a, b where a.k = b.a_k", {"3"}},
      {"select count(*) from b, a, c where a.k = 3 and c.b_k = b.k and b.a_k = a.k", {"3"}},
      {"select x.k, y.k from c x, c y where x.d = y.d and x.k < y.k", {"100|102"}},
      {"select a.k, b.k from a, b where a.k + 9 = b.k or a.k = b.a_k order by 1, 2",
       {"1|10", "1|11", "2|11", "3|10", "3|12"}},
      {"select c.k from c, b where c.b_k = b.k and exists (select 1 from a where a.k = b.a_k "
       "and a.v = 'x')",
       {"102"}},
  });
}

// Views: read like the query they hold; UPDATE and DELETE through a view of
// one table change the rows it shows; views that cannot be read or changed
// are refused as SQL Server refuses them.
TEST(EngineViews, ReadAndChangedThroughTheirQuery) {
  TempDb t;
  t.Run("create table t1 (x int, y varchar(8))");
  t.Run("insert into t1 values (1, 'one'), (0, 'zero'), (2, 'two'), (NULL, 'null')");
  t.Run("create view v1 as select x, y as name from t1 where x > 0");
  t.Run("create view v2 (n, c) as select x, count(*) from t1 group by x");
  ExpectRows(t, {
      {"select x, name from v1 order by x", {"1|one", "2|two"}},
      {"select v1.name from v1 join t1 on t1.x = v1.x + 1", {"one"}},
      {"select count(*) from v2 where c = 1", {"4"}},
  });
  EXPECT_EQ(t.Run("update v1 set name = 'big' where x = 2")[0].rows_affected, 1);
  EXPECT_EQ(t.Run("update v1 set x = x * 10")[0].rows_affected, 2);
  EXPECT_EQ(t.Run("delete from v1 where name = 'one'")[0].rows_affected, 1);
  ExpectRows(t, {{"select x, y from t1 order by x", {"NULL|null", "0|zero", "20|big"}}});
  ExpectErrors(t, {
      {"create view v1 as select 1 a", 2714, nullptr},
      {"create view v3 as select nosuch from t1", 207, "Invalid column name 'nosuch'."},
      {"create view v3 as select x from nosuch", 208, "Invalid object name 'nosuch'."},
      {"update v2 set n = 1", 4403,
       "Cannot update the view or function 'v2' because it contains aggregates, or a DISTINCT or "
       "GROUP BY clause, or PIVOT or UNPIVOT operator."},
  });
  EXPECT_EQ(t.One("select count(*) from sysobjects where name = 'v3'"), "0");
  t.Run("drop view v1");
  EXPECT_EQ(t.ErrorOf("select * from v1"), 208);
}

// A batch with a failing statement still gives the results of the
// statements that ran, before and after it, with the error in its place.
TEST(EngineBatches, ResultsOfTheStatementsThatRanComeWithTheError) {
  TempDb t;
  t.Run("create table k (x int primary key)");
  try {
    t.Run("select 1 insert into k values (1) insert into k values (1) select count(*) from k");
    ADD_FAILURE() << "no error";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 2627);
    ASSERT_EQ(e.results.size(), 4u);
    EXPECT_EQ(e.results[0].rows.at(0).at(0).value_or("NULL"), "1");
    EXPECT_EQ(e.results[1].rows_affected, 1);
    ASSERT_EQ(e.results[2].messages.size(), 2u);
    EXPECT_EQ(e.results[2].messages[0].number, 2627);
    EXPECT_EQ(e.results[2].messages[1].number, 3621);
    EXPECT_FALSE(e.results[2].has_result_set);
    EXPECT_EQ(e.results[3].rows.at(0).at(0).value_or("NULL"), "1");
  }
  try {  // an error that ends the batch: nothing after it ran
    t.Run("select 2\nselect * from nosuch\nselect 3");
    ADD_FAILURE() << "no error";
  } catch (const engine::Error& e) {
    ASSERT_EQ(e.results.size(), 2u);
    EXPECT_EQ(e.results[0].rows.at(0).at(0).value_or("NULL"), "2");
    ASSERT_EQ(e.results[1].messages.size(), 1u);
    EXPECT_EQ(e.results[1].messages[0].number, 208);
    EXPECT_EQ(e.results[1].messages[0].line, 2);
  }
}

// SET ROWCOUNT n stops SELECT, INSERT, UPDATE and DELETE after n rows, also
// when the journal replays them after a crash; SET options whose other
// values the engine cannot honour, and triggers, are refused.
TEST(EngineBatches, SetRowcountAndOptionsTheEngineCannotHonour) {
  TempDb t;
  t.Run("create table n (k int, v int)");
  t.Run("insert into n values (1, 0), (2, 0), (3, 0), (4, 0)");
  ExpectRows(t, {
      {"set rowcount 2 select k from n order by k desc set rowcount 0", {"4", "3"}},
      {"declare @m int = 3 set rowcount @m select k from n order by k set rowcount 0",
       {"1", "2", "3"}},
      {"set rowcount 1 update n set v = 1 select @@rowcount set rowcount 0", {"1"}},
      {"set rowcount 2 insert into n select k + 10, 0 from n set rowcount 0 "
       "select count(*) from n",
       {"6"}},
      {"set rowcount 1 delete n where k > 10 set rowcount 0 select count(*) from n", {"5"}},
      {"select count(*) from n where v = 1", {"1"}},
      {"set rowcount 0 select count(*) from n", {"5"}},
      {"set textsize 3 select cast('abcdef' as text), 'abcdef' set textsize -1", {"abc|abcdef"}},
      {"select cast('abcdef' as text)", {"abcdef"}},
      {"set ansi_nulls on set ansi_warnings on set arithabort off set dateformat ymd "
       "set transaction isolation level read committed set nocount on select 1",
       {"1"}},
      // What tedious sends at login and at each reset of a pooled connection.
      {"set dateformat mdy set datefirst 7 set language us_english set textsize 2147483647 "
       "select cast('2007/12/27' as datetime)",
       {"2007-12-27 00:00:00.000"}},
  });
  ExpectErrors(t, {
      {"set ansi_nulls off", 50000,
       "The embedded engine cannot honour SET ANSI_NULLS OFF: it always runs as SQL Server does "
       "with an ODBC connection's defaults."},
      {"set concat_null_yields_null off", 50000, nullptr},
      {"set implicit_transactions on", 50000, nullptr},
      {"set dateformat dmy", 50000, nullptr},
      {"set transaction isolation level read uncommitted", 50000, nullptr},
      {"set identity_insert n on", 50000, nullptr},
      {"create trigger tr on n after insert as update n set v = 9", 50000,
       "The embedded engine cannot run triggers: CREATE TRIGGER 'tr' is refused."},
      {"create table b (a int, b char(2), c nosuchtype)", 2715,
       "Column, parameter, or variable #3: Cannot find data type nosuchtype."},
      {"declare @a int, @b nosuchtype", 2715,
       "Column, parameter, or variable #2: Cannot find data type nosuchtype."},
      {"select cast(1 as nosuchtype)", 243, "Type nosuchtype is not a defined system type."},
      {"create table b (a int, b numeric(40, 2))", 2750,
       "Column or parameter #2: Specified column precision 40 is greater than the maximum "
       "precision of 38."},
  });
  EXPECT_EQ(t.One("select count(*) from sysobjects where name = 'tr'"), "0");

  // The journal replays an UPDATE made under SET ROWCOUNT with its limit.
  t.Close();
  ASSERT_TRUE(engine_test::RunAndKill(
      t.path(), {"set rowcount 2 update n set v = 7 delete n where v = 0 set rowcount 0"}));
  t.Open();
  EXPECT_EQ(t.One("select count(*) from n where v = 7"), "2");
  EXPECT_EQ(t.One("select count(*) from n"), "3");
}

// A batch is checked before it runs: an unknown column of a table that
// exists (207) or an undeclared variable (137) stops it before its first
// statement; a table that does not exist yet is left to the statement that
// names it (208 when reached).
TEST(EngineBatches, BindingErrorsStopTheBatchBeforeItRuns) {
  TempDb t;
  t.Run("create table c (k int, v int)");
  struct Case {
    const char* sql;
    int number;
    int line;
  };
  for (const Case& c : std::vector<Case>{
           {"insert into c values (1, 1)\nselect nosuch from c", 207, 2},
           {"insert into c values (1, 1)\nupdate c set nosuch = 1", 207, 2},
           {"insert into c values (1, 1)\ninsert into c (k, nosuch) values (1, 1)", 207, 2},
           {"insert into c values (1, 1)\nselect k from c where exists "
            "(select 1 from c x where x.nosuch = c.k)",
            207, 2},
           {"insert into c values (1, 1)\nif 1 = 1 delete c where nosuch = 1", 207, 2},
           {"insert into c values (1, 1)\nselect @v", 137, 2},
           {"insert into c values (1, 1)\nset @v = 1\ndeclare @v int", 137, 2},
           {"alter table c add w int\nupdate c set w = 1", 207, 2},
       }) {
    try {
      t.Run(c.sql);
      ADD_FAILURE() << c.sql;
    } catch (const engine::Error& e) {
      EXPECT_EQ(e.number(), c.number) << c.sql;
      EXPECT_EQ(e.line(), c.line) << c.sql;
      EXPECT_TRUE(e.results.empty()) << c.sql;
    }
    EXPECT_EQ(t.One("select count(*) from c"), "0") << c.sql;
    EXPECT_EQ(t.One("select count(*) from syscolumns where name = 'w'"), "0") << c.sql;
  }
  ExpectRows(t, {
      // Deferred: the table is made by the batch itself.
      {"create table d (a int) insert into d values (4) select a from d drop table d", {"4"}},
      {"select k as kk from c order by kk", {}},
      {"declare @x int = 2 select @x + k from c", {}},
      {"select k from c where k in (select v from c where v = c.k) order by k", {}},
  });
  try {
    t.Run("insert into c values (1, 1)\nselect * from nosuch\nselect 3");
    ADD_FAILURE() << "no error";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 208);
    EXPECT_EQ(e.results.size(), 2u);
  }
  EXPECT_EQ(t.One("select count(*) from c"), "1");
}

// BEGIN…END, WHILE with BREAK and CONTINUE, RETURN, RAISERROR, THROW and
// TRY…CATCH with the ERROR_ functions and XACT_STATE().
TEST(EngineBatches, ControlOfFlow) {
  TempDb t;
  t.Run("create table w (k int constraint PK_w primary key)");
  ExpectRows(t, {
      {"declare @i int = 0 while @i < 10 begin set @i = @i + 1 if @i = 3 continue "
       "if @i > 5 break insert into w values (@i) end select k from w order by k",
       {"1", "2", "4", "5"}},
      {"if 1 = 1 begin select 'a' select 'b' end else select 'c'", {"b"}},
      {"select 1 return select 2", {"1"}},
      {"begin try insert into w values (1) select 'no' end try "
       "begin catch select error_number(), error_severity(), error_line(), error_message() "
       "end catch",
       {"2627|14|1|Violation of PRIMARY KEY constraint 'PK_w'. Cannot insert duplicate key in "
        "object 'dbo.w'. The duplicate key value is (1)."}},
      {"begin try\nraiserror('bad %s: %d, %5s|', 16, 3, 'name', 42, 'ab')\nend try\n"
       "begin catch select error_number(), error_state(), error_line(), error_message() "
       "end catch",
       {"50000|3|2|bad name: 42,    ab|"}},
      {"begin try select 1 / 0 end try begin catch begin try throw 50001, 'inner', 7 end try "
       "begin catch select error_number(), error_message(), error_state() end catch end catch",
       {"50001|inner|7"}},
      {"select error_number(), xact_state()", {"NULL|0"}},
      // A conversion error in a transaction inside TRY leaves it uncommittable.
      {"begin transaction begin try insert into w values (20) select convert(int, 'x') "
       "end try begin catch select xact_state() rollback end catch "
       "select @@trancount, count(*) from w where k = 20",
       {"0|0"}},
  });
  // Outside TRY, RAISERROR sends its error and the batch goes on; THROW ends
  // it (after a semicolon: "select 'after' throw" names a column throw); an
  // informational RAISERROR is a message.
  try {
    t.Run("raiserror('first', 16, 1) select 'after'; throw 50002, 'second', 1 select 'not'");
    ADD_FAILURE() << "no error";
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 50000);
    EXPECT_STREQ(e.what(), "first");
    ASSERT_EQ(e.results.size(), 3u);
    EXPECT_EQ(e.results[1].rows.at(0).at(0).value_or(""), "after");
    EXPECT_EQ(e.results[2].messages.at(0).number, 50002);
  }
  auto res = t.Run("raiserror('note %d', 10, 1, 5)");
  ASSERT_EQ(res.size(), 1u);
  EXPECT_EQ(res[0].messages.at(0).text, "note 5");
  // Names that do not resolve are not caught by TRY; uncommittable work is
  // refused and rolled back at the end of the batch.
  ExpectErrors(t, {
      {"begin try select * from nosuch end try begin catch select 1 end catch", 208, nullptr},
      {"break", 135, nullptr},
      {"throw", 10704, nullptr},
      {"return 1", 178, nullptr},
      {"throw 5, 'low', 1", 35100, nullptr},
      {"raiserror('x', 20, 1)", 2754, nullptr},
      {"begin transaction begin try select convert(int, 'x') end try begin catch "
       "insert into w values (30) end catch",
       3930, nullptr},
      {"begin end", 156, nullptr},
  });
  EXPECT_EQ(t.One("select @@trancount"), "0");
  EXPECT_EQ(t.One("select count(*) from w where k = 30"), "0");
}
