// ALTER TABLE ADD, ALTER COLUMN and DROP COLUMN inside transactions. They
// change the table in place, so undoing them must give back, from what the
// undo log kept, every row, column, default object, index and identity value:
// after a ROLLBACK (whole or to a savepoint) that follows any mix of them and
// later row changes, and after a statement that fails part-way. Committed
// work survives closing and, replayed from the journal, a killed process.
#include <gtest/gtest.h>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::RunAndKill;
using engine_test::TempDb;

// Every kind of value, NULLs, an identity, a key, a second index, a named
// default, and a deleted slot between live rows.
constexpr const char* kSetup =
    "create table r (id int identity(1, 1) not null, k int not null, c char(6) null,\n"
    "  v varchar(12) null, n numeric(9, 2) null, d datetime null,\n"
    "  note varchar(20) null constraint DF_r_note default('none'),\n"
    "  constraint PK_r primary key nonclustered (k))\n"
    "create index ix_r_v on r(v)\n"
    "insert into r(k, c, v, n, d) values(1, 'a', 'ab', 1.50, '2001-02-03 04:05:06')\n"
    "insert into r(k, c, v, n, d) values(2, null, 'beta', null, null)\n"
    "insert into r(k, c, v, n, d, note) values(3, 'ccc', 'gamma-long', -7.25, '1999-12-31', null)\n"
    "insert into r(k, c, v, n, d) values(4, null, null, 0, null)\n"
    "delete from r where k = 2";

void Append(std::vector<std::string>& out, const std::string& label,
            const std::vector<std::string>& rows) {
  out.push_back("-- " + label);
  out.insert(out.end(), rows.begin(), rows.end());
}

// What undoing must give back, as text: the rows in scan (slot) order; the
// catalogue's view of the table; every value of every column found again by
// equality, through an index where one is on the column (an index left on the
// wrong column, or left empty, finds fewer rows); and, taken back at once, what
// the next changes make of the table: a duplicate key refused, the next
// identity value (of the table's identity column, or of one added when it has
// none), and a column added with a default, which reads its default in every
// row only when no row kept bytes of a column taken away.
std::vector<std::string> State(TempDb& t) {
  std::vector<std::string> out;
  Append(out, "rows", t.Rows("select * from r"));
  Append(out, "syscolumns",
         t.Rows("select name, colid, xtype, length, xprec, xscale, cdefault, isnullable, status "
                "from syscolumns where id = object_id('r') order by colid"));
  Append(out, "sysobjects",
         t.Rows("select name, id, xtype from sysobjects where parent_obj = object_id('r') order by "
                "id"));
  Append(out, "sysindexes",
         t.Rows("select indid, name, status, keycnt, rows from sysindexes where id = "
                "object_id('r') order by indid"));
  out.push_back("-- look-ups");
  for (const std::string& col :
       t.Rows("select name from syscolumns where id = object_id('r') order by colid"))
    for (const std::string& v : t.Rows("select " + col + " from r where " + col + " is not null"))
      out.push_back(col + " = " + v + ": " +
                    t.One("select count(*) from r where " + col + " = '" + v + "'"));
  bool open = t.One("select @@trancount") != "0";
  t.Run(open ? "save transaction probe" : "begin transaction");
  out.push_back("-- next changes");
  std::string key = t.One("select max(k) from r");
  out.push_back("duplicate key: " +
                std::to_string(t.ErrorOf("insert into r(k) values(" + key + ")")));
  out.push_back("identity added: " +
                std::to_string(t.ErrorOf("alter table r add probe_id int identity(1, 1)")));
  t.Run("alter table r add probe char(1) not null default('p')\ninsert into r(k) values(999)");
  Append(out, "rows", t.Rows("select * from r"));
  t.Run(open ? "rollback transaction probe" : "rollback transaction");
  return out;
}

// The batches of a script, apart at lines "go" (a batch that adds a column
// cannot name it: it is checked before it runs).
std::vector<std::string> Split(const std::string& script) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t at; (at = script.find("\ngo\n", from)) != std::string::npos; from = at + 4)
    out.push_back(script.substr(from, at - from));
  out.push_back(script.substr(from));
  return out;
}

// Runs the batches of a script in turn; the first error, 0 for none.
int Batches(TempDb& t, const std::string& script) {
  int first = 0;
  for (const std::string& b : Split(script)) {
    int e = t.ErrorOf(b);
    if (!first) first = e;
  }
  return first;
}

struct Case {
  const char* what;
  const char* batch;  // runs inside a transaction
  int error;          // the batch's first error, 0 for none
};

const Case kCases[] = {
    {"columns added (nullable, NOT NULL with defaults), filled, then rows changed",
     "alter table r add x int null, y varchar(5) not null default('yy'),\n"
     "  z datetime not null constraint DF_r_z default('2020-01-02')\n"
     "go\n"
     "update r set x = k * 10, y = 'q' where k < 4\n"
     "insert into r(k, c, v) values(10, 'ten', 'tenth')\n"
     "update r set v = 'ab2' where k = 3\n"
     "delete from r where k = 1",
     0},
    {"the identity column dropped, another added between two columns",
     "alter table r drop column id\n"
     "alter table r add pre int null, seq int identity(100, 10), w char(2) not null default 'w'\n"
     "insert into r(k) values(11)\n"
     "delete from r where k = 3",
     0},
    {"the identity column dropped, so that the probe's identity column starts at its seed",
     "alter table r drop column id\n"
     "insert into r(k, v) values(17, 'seventeen')",
     0},
    {"columns altered: char widened, indexed varchar widened, numeric NOT NULL and back, defaulted "
     "varchar",
     "alter table r alter column c char(10)\n"
     "alter table r alter column v varchar(30)\n"
     "alter table r alter column n numeric(12, 3) not null\n"
     "alter table r alter column note varchar(40)\n"
     "update r set c = 'wide value', v = 'longer than twelve'\n"
     "insert into r(k, c, v, n) values(12, 'twelve', 'v12', 12345.678)\n"
     "alter table r alter column n numeric(12, 3) null",
     0},
    {"columns dropped, two at once, then rows changed",
     "alter table r drop column c, d\n"
     "alter table r drop column n\n"
     "update r set v = 'changed' where k = 4\n"
     "insert into r(k, v) values(13, 'thirteen')\n"
     "delete from r where k = 1",
     0},
    {"a new column altered and indexed, a default and its column dropped, an index dropped",
     "alter table r add x varchar(5) null\n"
     "go\n"
     "update r set x = 'x'\n"
     "alter table r alter column x char(8) null\n"
     "create index ix_r_x on r(x)\n"
     "alter table r drop constraint DF_r_note\n"
     "alter table r drop column note\n"
     "drop index r.ix_r_v\n"
     "alter table r drop column d\n"
     "insert into r(k, x, v) values(14, 'y', 'ab')",
     0},
    {"ALTER statements failing part-way, the transaction going on",
     "alter table r alter column c char(2)\n"           // 'a' converted, then 'ccc' 8152
     "alter table r alter column c char(8) not null\n"  // two rows converted, then NULL 515
     "alter table r add a1 int null default(5),\n"      // a1's default made, then 2714
     "  a2 int null constraint DF_r_note default(1)\n"
     "insert into r(k) values(15)",
     8152},
    {"an index dropped before the table's indexes were first built comes back built",
     "drop index r.ix_r_v\n"
     "insert into r(k, v) values(16, 'sixteen')",
     0},
};

// Run after each case and rolled back to a savepoint: more of the same on
// columns no case touches.
constexpr const char* kAfterSavepoint =
    "alter table r add sv int null, sw char(3) not null default('sw')\n"
    "go\n"
    "update r set sv = k\n"
    "alter table r alter column sv numeric(5, 1)\n"
    "alter table r alter column v varchar(40)\n"
    "delete from r where k = 4\n"
    "insert into r(k, v) values(40, 'forty')\n"
    "alter table r drop column sv";

TEST(EngineAlterUndo, RollbackGivesBackRowsColumnsDefaultsIndexesAndIdentity) {
  for (bool reopened : {false, true}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(c.what) + (reopened ? " (rows read at opening)" : ""));
      TempDb t;
      t.Run(kSetup);
      // Taken before reopening, so that the case finds the indexes unbuilt.
      std::vector<std::string> before = State(t);
      if (reopened) t.Reopen();
      EXPECT_EQ(Batches(t, std::string("begin transaction\n") + c.batch), c.error);
      std::vector<std::string> done = State(t);
      EXPECT_EQ(Batches(t, std::string("save transaction s\n") + kAfterSavepoint), 0);
      EXPECT_EQ(t.ErrorOf("rollback transaction s"), 0);
      EXPECT_EQ(State(t), done);
      EXPECT_EQ(t.One("select @@trancount"), "1");
      t.Run("rollback transaction");
      EXPECT_EQ(State(t), before);
    }
  }
}

TEST(EngineAlterUndo, CommittedAlterationsSurviveReopenAndJournalReplay) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string batch = std::string("begin transaction\n") + c.batch + "\nsave transaction s\n" +
                        kAfterSavepoint + "\nrollback transaction s\ncommit transaction";
    TempDb t;
    t.Run(kSetup);
    t.Reopen();
    EXPECT_EQ(Batches(t, batch), c.error);
    std::vector<std::string> committed = State(t);
    t.Reopen();
    EXPECT_EQ(State(t), committed);

    TempDb replayed;
    replayed.Run(kSetup);
    replayed.Close();
    engine_test::KilledRun run;
    run.batches = Split(batch);
    run.errors_ignored = true;
    ASSERT_TRUE(RunAndKill(replayed.path(), run));
    replayed.Open();
    EXPECT_EQ(State(replayed), committed);
  }
}

// Statements that fail after changing some rows, or after making some of
// their objects, leave the table exactly as it was: alone, and inside a
// transaction after other alterations, which then commits.
TEST(EngineAlterUndo, StatementFailingPartWayLeavesTableAsItWas) {
  const Case cases[] = {
      {"a value that no longer fits, after a converted one", "alter table r alter column c char(2)",
       8152},
      {"NULL into NOT NULL, after converted ones", "alter table r alter column c char(8) not null",
       515},
      {"a default's name taken, after another column's default was made",
       "alter table r add a1 int null default(5), a2 int null constraint DF_r_note default(1)",
       2714},
      {"a default that does not convert", "alter table r add a3 int not null default('x')", 245},
  };
  for (bool reopened : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (reopened ? " (rows read at opening)" : ""));
      TempDb t;
      t.Run(kSetup);
      // Taken before reopening, so that the case finds the indexes unbuilt.
      std::vector<std::string> before = State(t);
      if (reopened) t.Reopen();
      EXPECT_EQ(t.ErrorOf(c.batch), c.error);
      EXPECT_EQ(State(t), before);

      Batches(t,
          "begin transaction\nalter table r add x int null\ngo\nupdate r set x = k\n"
          "alter table r drop column d\nalter table r alter column c char(7)");
      std::vector<std::string> altered = State(t);
      EXPECT_EQ(t.ErrorOf(c.batch), c.error);
      EXPECT_EQ(State(t), altered);
      t.Run("commit transaction");
      t.Reopen();
      EXPECT_EQ(State(t), altered);
    }
  }
}

// A column is found by its name, in any case, wherever it stands once columns
// are dropped, added and given back by a rollback: a name looked up before
// the change must not lead to the column that held its place.
TEST(AlterUndo, ColumnsAreFoundByNameAfterTheColumnsChange) {
  TempDb t;
  t.Run("create table w (a int null, b varchar(2) null, c int null)\n"
        "insert into w values (1, 'x', 3)");
  EXPECT_EQ(t.One("select C, b, A from w"), "3|x|1");
  t.Run("alter table w drop column a");
  EXPECT_EQ(t.One("select c, B from w"), "3|x");
  EXPECT_EQ(t.ErrorOf("select a from w"), 207);
  t.Run("alter table w add a int null, d int null");
  EXPECT_EQ(t.One("select A, c, d from w"), "NULL|3|NULL");
  t.Run("update w set D = c + 1, a = 7");
  EXPECT_EQ(t.One("select * from w"), "x|3|7|4");
  t.Run("begin transaction\nalter table w drop column b\nupdate w set c = 5");
  EXPECT_EQ(t.One("select C, a from w"), "5|7");
  EXPECT_EQ(t.ErrorOf("select b from w"), 207);
  t.Run("rollback transaction");
  EXPECT_EQ(t.One("select b, C, a, d from w"), "x|3|7|4");
  t.Reopen();
  EXPECT_EQ(t.One("select d, a, c, b from w"), "4|7|3|x");
}

}  // namespace
