// The statistics-table rebuild: both tables made with their keys when missing,
// an existing table left alone whatever its shape, errors passed on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"
#include "refdata/prt_tables.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;

struct Db {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c = scratch.Connect();
  testing_support::RecordingView view;
  steps::Upgrader up{*c, view, scratch.dir()};
  std::vector<std::string> sent;

  Db() {
    c->on_statement = [this](const db::StatementEvent& e) { sent.push_back(text::Utf8(e.sql)); };
  }
  void Click() { refdata::CreatePrtTables(up.ctx); }
  std::vector<std::string> Columns(const std::string& table) {
    return Rows(*c,
                "select c.name, c.length, c.isnullable from syscolumns c, sysobjects o "
                "where o.name='" +
                    table + "' and c.id=o.id order by c.colid");
  }
};

std::vector<std::string> ExpectedColumns(int counters) {
  std::vector<std::string> cols{"p4_id|5|0", "p4_dzlx|10|1"};
  for (int i = 1; i <= counters; ++i) cols.push_back("p4_" + std::to_string(i) + "|5|1");
  cols.push_back("p4_total|5|1");
  return cols;
}

TEST(CreatePrtTables, MakesBothMissingTablesEmptyWithKeysAndDefaults) {
  Db d;
  d.Click();

  struct Table {
    const char* name;
    int counters;
  } tables[] = {{"lib_prttab4new", 31}, {"lib_prttab4anew", 12}};
  for (const auto& t : tables) {
    SCOPED_TRACE(t.name);
    const std::string name = t.name;
    EXPECT_EQ(d.Columns(name), ExpectedColumns(t.counters));
    EXPECT_EQ(Scalar(*d.c, "select count(*) from " + name), "0");
    EXPECT_EQ(Rows(*d.c, "select o.name from sysindexes i, sysobjects o where i.name='PK_" + name +
                             "' and o.id=i.id"),
              std::vector<std::string>{name});
    Rows(*d.c, "insert into " + name + "(p4_id) values(7)");
    EXPECT_EQ(Rows(*d.c, "select p4_dzlx, p4_1, p4_" + std::to_string(t.counters) +
                             ", p4_total from " + name),
              std::vector<std::string>{"|0|0|0"});
    EXPECT_THROW(Rows(*d.c, "insert into " + name + "(p4_id) values(7)"), db::Error);
    Rows(*d.c, "delete from " + name);
  }
  EXPECT_TRUE(d.view.events.empty()) << "the button shows nothing";
  EXPECT_TRUE(Rows(*d.c, "select name from sysobjects where name='ver_manage'").empty());
}

TEST(CreatePrtTables, ExistingTableIsLeftAsItIsAndASecondClickOnlyProbes) {
  Db d;
  Rows(*d.c, "create table lib_prttab4new (p4_other int)");
  Rows(*d.c, "insert into lib_prttab4new values(5)");
  d.Click();
  EXPECT_EQ(d.Columns("lib_prttab4new"), std::vector<std::string>{"p4_other|4|1"});
  EXPECT_EQ(Scalar(*d.c, "select p4_other from lib_prttab4new"), "5");
  EXPECT_EQ(d.Columns("lib_prttab4anew"), ExpectedColumns(12));

  d.sent.clear();
  d.Click();
  EXPECT_EQ(d.sent,
            (std::vector<std::string>{"select * from sysobjects where name ='lib_prttab4new'",
                                      "select * from sysobjects where name ='lib_prttab4anew'"}));
}

// The key statement fails when its constraint name is taken: the error leaves
// the click and the table made just before it stays.
TEST(CreatePrtTables, FailingKeyStatementPropagatesAndKeepsTheNewTable) {
  Db d;
  Rows(*d.c, "create table PK_lib_prttab4new (a int)");
  try {
    d.Click();
    FAIL() << "no error";
  } catch (const db::Error& e) {
    EXPECT_EQ(e.number(), 2714) << e.what();
  }
  EXPECT_EQ(d.Columns("lib_prttab4new"), ExpectedColumns(31));
  EXPECT_TRUE(d.Columns("lib_prttab4anew").empty()) << "the second table came after the error";
}

}  // namespace
