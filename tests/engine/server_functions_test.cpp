// What a client asks of the server before it changes anything: session and
// server functions, the sessions view, application locks, binary values and
// bitwise operators, correlated subqueries, batch variables, BACKUP DATABASE.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/engine/engine_helpers.h"

namespace {

using engine_test::TempDb;

TEST(EngineServerFunctions, ExpressionsAsSqlServerAnswersThem) {
  TempDb t;
  struct Case {
    const char* expr;
    const char* want;
  } cases[] = {
      {"@@spid", "51"},
      {"db_id()", "5"},
      {"db_id(db_name())", "5"},
      {"db_id('master')", "1"},
      {"db_id('nosuch')", "NULL"},
      {"db_name(5)", "lib"},
      {"serverproperty('Collation')", "Chinese_PRC_CI_AS"},
      {"serverproperty('NoSuchProperty')", "NULL"},
      {"databasepropertyex(db_name(), 'Collation')", "Chinese_PRC_CI_AS"},
      {"databasepropertyex('nosuch', 'Collation')", "NULL"},
      {"collationproperty('Chinese_PRC_CI_AS', 'CodePage')", "936"},
      {"is_member('db_owner')", "1"},
      {"is_member('no_such_role')", "NULL"},
      {"has_perms_by_name(db_name(), 'DATABASE', 'ALTER')", "1"},
      {"has_perms_by_name('nosuch', 'DATABASE', 'ALTER')", "NULL"},
      {"case when object_id('sysobjects') is null then 'no' else 'yes' end", "yes"},
      {"case when object_id('master..sysprocesses') is null then 'no' else 'yes' end", "yes"},
      {"object_id('no_such_table')", "NULL"},
      // Bitwise operators on integers, with + and -'s precedence.
      {"136 & 128", "128"},
      {"8 | 128", "136"},
      {"12 ^ 10", "6"},
      {"~0", "-1"},
      {"1 + 2 & 3", "3"},
      {"null & 1", "NULL"},
      // Binary values: text as its GBK bytes and back, shown as hex.
      {"convert(varbinary(4), 'AB')", "4142"},
      {"convert(varbinary(1), 'AB')", "41"},
      {"convert(binary(3), 'A')", "410000"},
      {"cast(0x4142 as char(2))", "AB"},
      {"cast(0x41 as char(3)) + '|'", "A  |"},
      {"convert(varbinary(4), 258)", "00000102"},
      {"convert(int, 0x0102)", "258"},
      {"datalength(convert(varbinary(8), 'abc'))", "3"},
      {"case when 0x41 = 0x4100 then 1 else 0 end", "1"},
      {"case when convert(varbinary(2), 'a') = 0x41 then 1 else 0 end", "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(t.One(std::string("select ") + c.expr), c.want) << c.expr;
}

TEST(EngineServerFunctions, IndexColNamesTheKeyColumns) {
  TempDb t;
  t.Run("create table j (a int not null, b char(9), c int)\n"
        "alter table j add constraint PK_j primary key nonclustered(a)\n"
        "create index ix_bc on j(b, c)");
  // The query a check runs to find every index over a column, statistics aside.
  EXPECT_EQ(t.Rows("select name from sysindexes where id = object_id('j') and indid between 1 and "
                   "254 and (status & 64) = 0 and (index_col('j', indid, 1) = 'c' or "
                   "index_col('j', indid, 2) = 'c')"),
            (std::vector<std::string>{"ix_bc"}));
  EXPECT_EQ(t.One("select index_col('j', 2, 1), index_col('j', 2, 3), index_col('nosuch', 2, 1)"),
            "a|NULL|NULL");
}

TEST(EngineServerFunctions, GbkBytesPassBothWaysUnchanged) {
  TempDb t;
  // 旻 is 95 46 in GBK (a trail byte below 0x80), 中 is D6 D0.
  EXPECT_EQ(t.One("select convert(varbinary(10), '\x95\x46\xd6\xd0')"), "9546D6D0");
  EXPECT_EQ(t.One("select cast(0x9546D6D0 as char(4))"), "\x95\x46\xd6\xd0");
}

TEST(EngineServerFunctions, BinaryLiteralsFillImageAndCharColumns) {
  TempDb t;
  t.Run("create table i (p image, c char(2))");
  t.Run("insert into i values(0x4142, 0x4344)");
  EXPECT_EQ(t.One("select datalength(p), c from i"), "2|CD");
}

TEST(EngineServerFunctions, SessionsViewsListTheSession) {
  TempDb t;
  EXPECT_EQ(t.One("select spid, dbid, open_tran from master..sysprocesses where dbid = db_id()"),
            "51|5|0");
  EXPECT_EQ(t.One("begin tran select session_id, database_id, open_transaction_count "
                  "from sys.dm_exec_sessions"),
            "51|5|1");
  t.Run("rollback");
  EXPECT_EQ(t.One("select count(*) from master..sysprocesses where dbid = db_id() and spid <> "
                  "@@spid"),
            "0");
}

TEST(EngineCorrelatedSubqueries, OuterColumnsBindPerRow) {
  TempDb t;
  t.Run(
      "create table a (k int, v char(4))\n"
      "create table b (k int, n int)\n"
      "create index ix_b on b(k)\n"
      "insert into a values(1,'x') insert into a values(2,'y') insert into a values(3,'z')\n"
      "insert into b values(1,10) insert into b values(1,11) insert into b values(3,30)");
  EXPECT_EQ(t.Rows("select k from a where exists (select 1 from b where b.k = a.k) order by k"),
            (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(t.Rows("select k from a where not exists (select * from b where b.k = a.k)"),
            (std::vector<std::string>{"2"}));
  EXPECT_EQ(t.Rows("select k, (select count(*) from b where b.k = a.k) from a order by k"),
            (std::vector<std::string>{"1|2", "2|0", "3|1"}));
  EXPECT_EQ(t.Rows("select x.k from a x where 30 in (select n from b where b.k = x.k)"),
            (std::vector<std::string>{"3"}));
  // Two levels out, and an unqualified name that only the outer query has.
  EXPECT_EQ(t.Rows("select k from a where exists (select 1 from b where b.k = a.k and exists "
                   "(select 1 from a a2 where a2.k = b.k and a2.v = a.v and n > 10))"),
            (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(t.Rows("select k from a where exists (select 1 from b where n = 30 and v = 'z')"),
            (std::vector<std::string>{"3"}));
  // In UPDATE and DELETE.
  t.Run("update a set v = 'hit' where exists (select 1 from b where b.k = a.k and n > 20)");
  EXPECT_EQ(t.Rows("select k from a where v = 'hit'"), (std::vector<std::string>{"3"}));
  EXPECT_EQ(
      t.Run("delete from a where not exists (select 1 from b where b.k = a.k)")[0].rows_affected,
      1);
  // A name neither query has is still invalid.
  EXPECT_EQ(t.ErrorOf("select k from a where exists (select 1 from b where b.zz = a.k)"), 207);
  // An outer column compared with a constant is not a search of the inner
  // table, even where the inner table has an index at that column's place.
  t.Run("create table c (k int, m int) create index ix_c on c(m) insert into c values(1, 99)");
  t.Run("create table d (k int, m int) insert into d values(5, 30) insert into d values(6, 40)");
  EXPECT_EQ(t.Rows("select k from d where exists (select 1 from c where d.m = 30)"),
            (std::vector<std::string>{"5"}));
}

TEST(EngineVariables, DeclareSetExecAndReplay) {
  TempDb t;
  EXPECT_EQ(t.One("declare @a int, @b char(3) = 'x'\nset @a = 40 + 2\nselect @a, @b + '|'"),
            "42|x  |");
  EXPECT_EQ(t.ErrorOf("select @nope"), 137);
  EXPECT_EQ(t.ErrorOf("declare @a int declare @a int"), 134);
  // Variables live for one batch.
  EXPECT_EQ(t.ErrorOf("set @a = 1"), 137);
  // A change made with a variable survives the process as it was made.
  t.Run("create table v (n int, s varchar(10), d datetime)");
  t.Close();
  ASSERT_TRUE(engine_test::RunAndKill(
      t.path(), {"begin tran\ndeclare @n int = 7, @s varchar(10) = 'it''s', @d datetime\n"
                 "set @d = '2017-01-09 10:11:12'\ninsert into v values(@n, @s, @d)\ncommit"}));
  t.Open();
  EXPECT_EQ(t.One("select n, s, d from v"), "7|it's|2017-01-09 10:11:12.000");
}

TEST(EngineAppLocks, ReturnCodesOfOneSession) {
  TempDb t;
  auto code = [&](const std::string& call) {
    return t.One("declare @r int\nexec @r = " + call + "\nselect @r");
  };
  EXPECT_EQ(code("sp_getapplock @Resource = 'libupgrade', @LockMode = 'Exclusive', "
                 "@LockOwner = 'Session', @LockTimeout = 0"),
            "0");
  // The same session may take it again; each take is released once.
  EXPECT_EQ(code("sp_getapplock 'libupgrade', 'Exclusive', 'Session', 0"), "0");
  EXPECT_EQ(code("sp_releaseapplock @Resource = 'libupgrade', @LockOwner = 'Session'"), "0");
  EXPECT_EQ(code("sp_releaseapplock @Resource = 'libupgrade', @LockOwner = 'Session'"), "0");
  EXPECT_EQ(code("sp_releaseapplock @Resource = 'libupgrade', @LockOwner = 'Session'"), "-999");
  // Parameter errors, and a transaction owner without a transaction.
  EXPECT_EQ(code("sp_getapplock @Resource = 'r', @LockMode = 'Sideways', @LockOwner = 'Session'"),
            "-999");
  EXPECT_EQ(code("sp_getapplock @Resource = 'r', @LockMode = 'Exclusive'"), "-999");
  EXPECT_EQ(t.One("begin tran\ndeclare @r int\nexec @r = sp_getapplock @Resource = 'r', "
                  "@LockMode = 'Exclusive'\nselect @r"),
            "0");
  t.Run("commit");
  // The transaction's lock went with it.
  EXPECT_EQ(code("sp_releaseapplock @Resource = 'r'"), "-999");
  EXPECT_EQ(t.ErrorOf("exec sp_getapplock @Nonsense = 1"), 8145);
}

class EngineBackup : public ::testing::Test {
 protected:
  void SetUp() override {
    t.Run(
        "create table lib_a (k int not null, s char(4) default('d'))\n"
        "alter table lib_a add constraint PK_lib_a primary key(k)\n"
        "create index ix_s on lib_a(s)\n"
        "insert into lib_a values(1, '\xd6\xd0') insert into lib_a(k) values(2)");
    dest = (std::filesystem::path(t.path()).parent_path() / "copy.bak").string();
  }
  std::string Backup(const std::string& path) {
    return "BACKUP DATABASE [lib] TO DISK = N'" + path + "' WITH INIT, COPY_ONLY";
  }
  TempDb t;
  std::string dest;
};

TEST_F(EngineBackup, CopyOpensAsTheDatabaseAsItWas) {
  t.Run(Backup(dest));
  t.Run("insert into lib_a values(3, 'new')");  // after the backup: not in it
  // A stale journal beside an older file at dest is not replayed onto the copy.
  t.Run(Backup(dest));
  auto copy = engine::Database::open(dest, engine::Database::OpenMode::MustExist);
  auto rows = [](engine::Database& db, const std::string& sql) {
    std::vector<std::string> out;
    const auto results = db.execute(sql);
    for (auto& row : results.back().rows) {
      std::string line;
      for (auto& v : row) line += (v ? *v : "NULL") + "|";
      out.push_back(line);
    }
    return out;
  };
  const std::string data = "select k, s from lib_a order by k";
  const std::string catalogue =
      "select o.name, o.xtype, c.name, c.length, c.isnullable from sysobjects o, syscolumns c "
      "where c.id = o.id order by o.name, c.colid";
  const std::string indexes =
      "select name, indid from sysindexes where name is not null order by name";
  EXPECT_EQ(rows(*copy, data), rows(t.db(), data));
  EXPECT_EQ(rows(*copy, catalogue), rows(t.db(), catalogue));
  EXPECT_EQ(rows(*copy, indexes), rows(t.db(), indexes));
  EXPECT_EQ(rows(*copy, "select count(*) from lib_a").front(), "3|");
  // The copy is a database of its own, and the copy in use is not written over.
  copy->execute("insert into lib_a values(9, 'c')");
  std::string msg;
  EXPECT_EQ(t.ErrorOf(Backup(dest), &msg), 3201);
  EXPECT_EQ(t.One("select count(*) from lib_a where k = 9"), "0");
}

TEST_F(EngineBackup, RefusedWhereSqlServerRefuses) {
  struct Case {
    std::string sql;
    int error;
  } cases[] = {
      {"begin tran\n" + Backup(dest), 3021},
      {"BACKUP DATABASE other TO DISK = N'" + dest + "' WITH INIT", 911},
      {Backup(t.path()), 3201},                      // the database's own file
      {Backup(t.path() + "-journal"), 3201},         // or its journal
      {Backup("/nonexistent-dir/x/copy.bak"), 3201}  // a folder that is not there
  };
  for (const Case& c : cases) {
    std::string msg;
    EXPECT_EQ(t.ErrorOf(c.sql, &msg), c.error) << c.sql << ": " << msg;
    t.ErrorOf("if @@trancount > 0 rollback");
  }
  // Nothing of the database was touched.
  t.Reopen();
  EXPECT_EQ(t.One("select count(*) from lib_a"), "2");
  EXPECT_FALSE(std::filesystem::exists(dest));
}

}  // namespace
