// Stored procedures: parameters, EXEC's arguments, results and errors of
// the statements inside, nesting, and the call by name a server makes.
#include <gtest/gtest.h>

#include "engine_helpers.h"

namespace {

using engine_test::TempDb;

// A loan desk's procedures over a small table.
void MakeLoans(TempDb& db) {
  db.Run("create table loans (id int identity primary key, reader varchar(10) not null, days int)");
  db.Run(
      "create procedure lend @reader varchar(10), @days int = 14, @id int = null output\n"
      "as\n"
      "insert loans (reader, days) values (@reader, @days)\n"
      "set @id = (select max(id) from loans)\n"
      "select reader, days from loans where id = @id\n"
      "return @id * 10");
}

TEST(EngineProcedures, ArgumentsOutputAndReturnStatus) {
  TempDb db;
  MakeLoans(db);
  // Positional, named, DEFAULT and OUTPUT; the results inside come first,
  // then the call's own with its return status.
  auto r = db.Run(
      "declare @rc int, @got int\n"
      "exec @rc = lend 'ann'\n"
      "exec @rc = lend @days = 7, @reader = 'bob', @id = @got output\n"
      "exec lend 'cy', default, @got out\n"
      "select @rc, @got, @@nestlevel");
  ASSERT_EQ(r.size(), 14u);
  EXPECT_EQ(r[1].rows_affected, 1);  // the INSERT inside
  ASSERT_TRUE(r[3].has_result_set);
  EXPECT_EQ(*r[3].rows[0][0], "ann");
  EXPECT_EQ(*r[3].rows[0][1], "14");
  EXPECT_EQ(r[4].return_status, 10);
  EXPECT_EQ(*r[7].rows[0][1], "7");
  EXPECT_EQ(r[12].return_status, 30);
  EXPECT_EQ(db.One("declare @rc int, @got int\n"
                   "exec @rc = lend @days = 7, @reader = 'bob', @id = @got output\n"
                   "select @rc, @got, @@nestlevel"),
            "40|4|0");
  // Without OUTPUT at the call the caller's variable keeps its value; a long
  // string is cut to the parameter's length as SQL Server passes it.
  EXPECT_EQ(db.One("declare @got int = -1\nexec lend 'dora_the_explorer', 1, @got\nselect @got"),
               "-1");
  EXPECT_EQ(db.One("select reader from loans where id = 5"), "dora_the_e");
  // Without RETURN the status is 0; @@NESTLEVEL counts the calls running.
  db.Run("create proc depth as select @@nestlevel");
  db.Run("create proc outer_depth as exec depth");
  auto d = db.Run("declare @rc int = 9\nexec @rc = outer_depth\nselect @rc");
  EXPECT_EQ(*d[1].rows[0][0], "2");
  EXPECT_EQ(db.One("declare @rc int = 9\nexec @rc = depth\nselect @rc"), "0");
}

TEST(EngineProcedures, ErrorsOfTheCall) {
  TempDb db;
  MakeLoans(db);
  db.Run("create procedure deep @n int as if @n > 0 begin set @n = @n - 1 exec deep @n end");
  struct Case {
    const char* sql;
    int number;
    const char* message;
  } cases[] = {
      {"exec nowhere", 2812, "Could not find stored procedure 'nowhere'."},
      {"exec lend", 201,
       "Procedure or function 'lend' expects parameter '@reader', which was not supplied."},
      {"exec lend default", 201, nullptr},
      {"exec lend 'a', 1, null, 4", 8144,
       "Procedure or function lend has too many arguments specified."},
      {"exec lend @who = 'a'", 8145, "@who is not a parameter for procedure lend."},
      {"exec lend @reader = 'a', 3", 119, nullptr},
      {"exec lend @reader = 'a', @reader = 'b'", 8143, nullptr},
      {"declare @d int exec lend 'a', @d output", 8162,
       "The formal parameter \"@days\" was not declared as an OUTPUT parameter, but the actual "
       "parameter passed in requested output."},
      {"exec lend 'a', 1, 5 output", 179, nullptr},
      {"exec lend 'a', 'many'", 8114, "Error converting data type varchar to int."},
      {"exec deep 40", 217,
       "Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32)."},
      {"select 1\ncreate procedure p2 as select 1", 111, nullptr},
      {"create procedure p3 @a int, @A int as select 1", 134, nullptr},
      {"create procedure p4 as select @nope", 137, nullptr},
      {"create procedure p5 as select nope from loans", 207, nullptr},
      {"alter procedure p6 as select 1", 208, nullptr},
      {"create procedure lend as select 1", 2714, nullptr},
      {"return 1", 178, nullptr},
  };
  for (const Case& c : cases) {
    std::string message;
    EXPECT_EQ(db.ErrorOf(c.sql, &message), c.number) << c.sql;
    if (c.message) {
      EXPECT_EQ(message, c.message) << c.sql;
    }
  }
  EXPECT_EQ(db.One("exec deep 31\nselect 'reached'"), "reached");  // 32 levels deep
  EXPECT_EQ(db.One("select count(*) from loans"), "0");
}

TEST(EngineProcedures, ErrorsInsideAsABatchMeetsThem) {
  TempDb db;
  MakeLoans(db);
  db.Run("create table once (k int primary key)");
  // A key violation ends only its statement: the procedure goes on, and
  // ends with status -6. A conversion error ends the whole batch, callers
  // included.
  db.Run(
      "create procedure twice as\n"
      "insert once values (1)\n"
      "insert once values (1)\n"
      "select 'after'");
  try {
    db.Run("declare @rc int\nexec @rc = twice\nselect @rc");
    FAIL();
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 2627);
    EXPECT_EQ(e.line(), 3);  // the procedure's own line
    EXPECT_EQ(e.procedure, "twice");
    ASSERT_EQ(e.results.size(), 6u);
    EXPECT_EQ(e.results[2].messages[0].procedure, "twice");
    EXPECT_EQ(*e.results[3].rows[0][0], "after");
    EXPECT_EQ(e.results[4].return_status, -6);
    EXPECT_EQ(*e.results[5].rows[0][0], "-6");
  }
  db.Run("create procedure breaks as\nselect convert(int, 'x')\nselect 'not reached'");
  try {
    db.Run("exec breaks\nselect 'nor here'");
    FAIL();
  } catch (const engine::Error& e) {
    EXPECT_EQ(e.number(), 245);
    EXPECT_EQ(e.results.size(), 1u);
  }
  // TRY in the caller catches an error raised inside, naming the procedure.
  EXPECT_EQ(db.One("begin try exec breaks end try\n"
                   "begin catch select error_procedure(), error_number(), error_line() end catch"),
            "breaks|245|2");
  EXPECT_EQ(db.One("begin try select 1/0 end try begin catch select error_procedure() end catch"),
            "NULL");
}

TEST(EngineProcedures, ChangesReachTheJournalAndAlterReplacesTheBody) {
  TempDb db;
  MakeLoans(db);
  db.Run("declare @id int\nexec lend 'eve', 3, @id output");
  db.Run("alter procedure lend @reader varchar(10) as\n"
         "insert loans (reader, days) values (@reader, 99)\nreturn 1");
  db.Run("begin tran\nexec lend 'fay'\nrollback");
  db.Run("exec lend 'gil'");
  db.Reopen();
  EXPECT_EQ(db.Rows("select reader, days from loans order by id"),
            (std::vector<std::string>{"eve|3", "gil|99"}));
  EXPECT_EQ(db.One("declare @rc int\nexec @rc = dbo.lend 'hal'\nselect @rc"), "1");
  db.Run("drop procedure lend");
  EXPECT_EQ(db.ErrorOf("exec lend 'x'"), 2812);
}

TEST(EngineProcedures, CallByNameWithTypedArguments) {
  TempDb db;
  MakeLoans(db);
  using engine::ProcedureArgument;
  std::vector<ProcedureArgument> args = {
      {"", "varchar(20)", "ivy", false, false},
      {"@id", "int", std::nullopt, true, false},
      {"@days", "numeric(5,1)", "21.0", false, false},
  };
  engine::ProcedureCall c = db.db().call_procedure(51, "dbo.lend", args);
  EXPECT_FALSE(c.failed);
  EXPECT_EQ(c.return_status, 10);
  ASSERT_EQ(c.outputs.columns.size(), 1u);
  EXPECT_EQ(c.outputs.columns[0].name, "@id");
  EXPECT_EQ(c.outputs.columns[0].declared, "int");
  EXPECT_EQ(*c.outputs.rows[0][0], "1");
  ASSERT_EQ(c.results.size(), 4u);
  EXPECT_EQ(*c.results[2].rows[0][1], "21");
  // A positional OUTPUT argument is named after its parameter.
  c = db.db().call_procedure(51, "lend",
                             {{"", "varchar(5)", "jo", false, false},
                              {"", "int", "", false, true},
                              {"", "int", std::nullopt, true, false}});
  ASSERT_EQ(c.outputs.columns.size(), 1u);
  EXPECT_EQ(c.outputs.columns[0].name, "@id");
  EXPECT_EQ(*c.outputs.rows[0][0], "2");
  // Errors come back in the results, not thrown.
  c = db.db().call_procedure(51, "nowhere", {});
  EXPECT_TRUE(c.failed);
  EXPECT_FALSE(c.return_status);
  ASSERT_EQ(c.results.size(), 1u);
  EXPECT_EQ(c.results[0].messages[0].number, 2812);
  c = db.db().call_procedure(51, "lend", {{"@days", "int", "3", false, false}});
  EXPECT_TRUE(c.failed);
  EXPECT_EQ(c.results[0].messages[0].number, 201);
  EXPECT_EQ(c.results[0].messages[0].procedure, "lend");
  c = db.db().call_procedure(51, "lend", {{"", "int", "x1", false, false}});
  EXPECT_EQ(c.results[0].messages[0].number, 245);
}

TEST(EngineProcedures, TempTablesAreThoseOfTheSessionRunningIt) {
  TempDb db;
  const int a = db.db().open_session({});
  const int b = db.db().open_session({});
  db.db().execute(a, "create procedure fill @v int as insert #work values (@v) select count(*) from #work");
  db.db().execute(a, "create table #work (v int)");
  db.db().execute(b, "create table #work (v int)");
  db.db().execute(b, "exec fill 1");
  auto r = db.db().execute(a, "exec fill 2\nexec fill 3");
  EXPECT_EQ(*r[4].rows[0][0], "2");  // a's own #work: 2 and 3
  engine::ProcedureCall c = db.db().call_procedure(b, "fill", {{"", "int", "4", false, false}});
  EXPECT_EQ(*c.results[1].rows[0][0], "2");  // b's: 1 and 4
  db.db().close_session(a);
  std::string message;
  try {
    db.db().execute(b, "drop table #work\nexec fill 5");
  } catch (const engine::Error& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "Invalid object name '#work'.");
}

}  // namespace

namespace {

using engine_test::TempDb;

TEST(EngineIdentity, ScopeIdentityAndAtAtIdentity) {
  TempDb db;
  db.Run("create table books (id int identity(100, 5) primary key, t varchar(10))");
  db.Run("create table log (n int identity, what varchar(10))");
  db.Run("create table plain (v int)");
  // The procedure's insert into log is another scope: @@IDENTITY sees it,
  // SCOPE_IDENTITY() does not.
  db.Run("create procedure add_book @t varchar(10) as\n"
         "insert books (t) values (@t)\n"
         "insert log (what) values ('added')\n"
         "select scope_identity()");
  EXPECT_EQ(db.One("select scope_identity(), @@identity, ident_current('books')"), "NULL|NULL|100");
  auto r = db.Run("insert books (t) values ('a'), ('b')\n"
                  "exec add_book 'c'\n"
                  "select scope_identity(), @@identity, ident_current('books'), "
                  "ident_current('log'), ident_current('plain'), ident_seed('books'), "
                  "ident_incr('books')");
  EXPECT_EQ(*r[3].rows[0][0], "1");  // inside the procedure: its own last insert's
  const auto& last = r.back();
  EXPECT_EQ(last.columns[0].declared, "numeric");
  EXPECT_EQ(last.columns[0].precision, 38);
  std::vector<std::string> got;
  for (const auto& v : last.rows[0]) got.push_back(v ? *v : "NULL");
  EXPECT_EQ(got, (std::vector<std::string>{"105", "1", "110", "1", "NULL", "100", "5"}));
  // A later batch is a new scope; the session keeps @@IDENTITY. An INSERT
  // into a table without identity makes it NULL; a failed one leaves it.
  EXPECT_EQ(db.One("select scope_identity(), @@identity"), "NULL|1");
  db.ErrorOf("insert books (id, t) values (1, 'x')");
  EXPECT_EQ(db.One("select @@identity"), "1");
  EXPECT_EQ(db.One("insert plain values (1)\nselect @@identity, scope_identity()"), "NULL|NULL");
}

}  // namespace

namespace {

// A replay of the journal runs the sessions' statements one after another
// in one session: what @@IDENTITY and SCOPE_IDENTITY() gave must reach it
// as values.
TEST(EngineIdentity, ReplayKeepsTheValuesTheStatementsSaw) {
  TempDb db;
  db.Run("create table a (id int identity, v int)\ncreate table b (id int identity(50, 1), v int)\n"
         "create table refs (x numeric(38, 0), y numeric(38, 0))");
  db.Close();
  ASSERT_TRUE(engine_test::RunAndKill(
      db.path(), {"insert a (v) values (1)", "insert refs values (@@identity, scope_identity())",
                  "insert b (v) values (2)\ninsert refs values (@@IDENTITY, Scope_Identity())"}));
  db.Open();
  EXPECT_EQ(db.Rows("select x, y from refs order by x"),
            (std::vector<std::string>{"1|NULL", "50|50"}));
}

}  // namespace
