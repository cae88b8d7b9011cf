// Common table expressions: WITH before SELECT, INSERT, UPDATE and DELETE,
// recursive ones, and SQL Server's errors for them.
#include <gtest/gtest.h>

#include "engine_helpers.h"

namespace {

using engine_test::TempDb;

void MakeShelves(TempDb& db) {
  db.Run("create table shelf (id int primary key, parent int null, name varchar(10))");
  db.Run("insert shelf values (1, null, 'root'), (2, 1, 'arts'), (3, 1, 'science'), "
         "(4, 3, 'physics'), (5, 4, 'optics')");
}

TEST(EngineCte, UsedBySelectInsertUpdateAndDelete) {
  TempDb db;
  MakeShelves(db);
  // Several CTEs, a column list, one reading another, a name shadowing a table.
  EXPECT_EQ(db.Rows("with kids (pid, n) as (select parent, count(*) from shelf group by parent),\n"
                    "     big as (select pid from kids where n > 1),\n"
                    "     shelf as (select 7 as id)\n"
                    "select k.pid, k.n, (select count(*) from big), (select id from shelf) "
                    "from kids k where k.pid is not null order by k.pid"),
            (std::vector<std::string>{"1|2|1|7", "3|1|1|7", "4|1|1|7"}));
  db.Run("create table leaf (name varchar(10))");
  auto r = db.Run("with l as (select name from shelf s where not exists "
                  "(select 1 from shelf c where c.parent = s.id))\n"
                  "insert leaf select name from l");
  EXPECT_EQ(r[0].rows_affected, 2);
  db.Run("with deep as (select id from shelf where parent > 2)\n"
         "update shelf set name = upper(name) where id in (select id from deep)");
  db.Run(";with gone as (select id from shelf where name = 'arts') "
         "delete from shelf where id in (select id from gone)");
  EXPECT_EQ(db.Rows("select name from shelf order by id"),
            (std::vector<std::string>{"root", "science", "PHYSICS", "OPTICS"}));
  EXPECT_EQ(db.Rows("select name from leaf order by name"),
            (std::vector<std::string>{"arts", "optics"}));
}

TEST(EngineCte, Recursive) {
  TempDb db;
  MakeShelves(db);
  EXPECT_EQ(db.Rows("with path (id, depth, name) as (\n"
                    "  select id, 0, cast(name as varchar(100)) from shelf where parent is null\n"
                    "  union all\n"
                    "  select s.id, p.depth + 1, cast(p.name + '/' + s.name as varchar(100))\n"
                    "  from shelf s join path p on s.parent = p.id)\n"
                    "select depth, name from path order by id"),
            (std::vector<std::string>{"0|root", "1|root/arts", "1|root/science",
                                      "2|root/science/physics", "3|root/science/physics/optics"}));
  // 100 rounds are allowed by default; MAXRECURSION changes it, 0 lifts it.
  const std::string count = "with n (i) as (select 1 union all select i + 1 from n where i < ";
  EXPECT_EQ(db.One(count + "101) select count(*) from n"), "101");
  EXPECT_EQ(db.ErrorOf(count + "102) select count(*) from n"), 530);
  EXPECT_EQ(db.One(count + "1000) select count(*) from n option (maxrecursion 0)"), "1000");
  std::string message;
  EXPECT_EQ(db.ErrorOf(count + "20) select count(*) from n option (maxrecursion 5)", &message), 530);
  EXPECT_EQ(message,
            "The statement terminated. The maximum recursion 5 has been exhausted before "
            "statement completion.");
}

TEST(EngineCte, Errors) {
  TempDb db;
  MakeShelves(db);
  struct Case {
    const char* sql;
    int number;
  } cases[] = {
      {"with a as (select 1 x), a as (select 2 x) select * from a", 239},
      {"select 1\nwith a as (select 1 x) select * from a", 319},
      {"with a as (select id from shelf union select id from a) select * from a", 252},
      {"with a (x) as (select name from shelf union all select x + 'z' from a) select * from a",
       240},
      {"with a (x, y) as (select 1) select * from a", 8158},
      {"with a as (select 1) select * from a", 8155},
      {"with a as (select * from b), b as (select 1 x) select * from a", 208},
      {"with a as (select 1 x) create table t (i int)", 156},
      {"with a as (select 1 x) select * from a option (maxrecursion 40000)", 310},
  };
  for (const Case& c : cases) EXPECT_EQ(db.ErrorOf(c.sql), c.number) << c.sql;
}

}  // namespace

namespace {

TEST(EngineFunctions, StringAndNumberFunctions) {
  TempDb db;
  db.Run("create table t (n int)");
  db.Run("insert t values (1), (2), (3)");
  struct Case {
    const char* expr;
    const char* want;
  } cases[] = {
      {"replicate('ab', 3)", "ababab"},
      {"replicate('ab', 0)", ""},
      {"replicate('ab', -1)", "NULL"},
      {"replicate(null, 2)", "NULL"},
      {"len(replicate('x', 9000))", "8000"},
      {"power(2, 10)", "1024"},
      {"power(2, -1)", "0"},
      {"power(2.0, 3)", "8.0"},
      {"power(cast(2 as float), 0.5)", "1.4142135623730951"},
      {"power(null, 2)", "NULL"},
      {"unicode('A')", "65"},
      {"unicode('')", "NULL"},
      {"user_name()", "dbo"},
      {"user_name(1)", "dbo"},
      {"user_name(7)", "NULL"},
      {"reverse('abc')", "cba"},
      {"reverse('a\xd6\xd0')", "\xd6\xd0" "a"},
      {"stuff('abcdef', 2, 3, 'XY')", "aXYef"},
      {"stuff('abc', 3, 10, '')", "ab"},
      {"stuff('abc', 4, 1, 'x')", "NULL"},
      {"stuff('abc', 0, 1, 'x')", "NULL"},
      {"space(3) + 'x'", "   x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(db.One(std::string("select ") + c.expr), c.want) << c.expr;
  EXPECT_EQ(db.ErrorOf("select power(2, 31)"), 232);
  // RAND(): one value per statement; a seed repeats the sequence.
  EXPECT_EQ(db.One("select count(distinct r) from (select rand() r from t) x"), "1");
  EXPECT_EQ(db.One("select rand(7)"), db.One("select rand(7)"));
  const std::string after_seed = db.Rows("select rand(7)\nselect rand()")[0];
  EXPECT_EQ(db.Rows("select rand(7)\nselect rand()")[0], after_seed);
  EXPECT_NE(db.One("select rand(7)"), after_seed);
}

}  // namespace
