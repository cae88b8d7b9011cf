// Currencies, and the page count rebuilt as text after its default
// constraint is looked up and dropped.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;
using V = std::vector<std::string>;

struct At2007_12 : testing_support::StepRig {
  At2007_12() : StepRig({"release_2007_12.sql"}) {}

  // The statements sent that contain part.
  std::vector<std::string> Sent(std::string_view part) const {
    V out;
    for (const auto& s : sent)
      if (s.find(part) != std::string::npos) out.push_back(s);
    return out;
  }
};

std::string DefaultOfPages(db::Connection& c, const std::string& table) {
  return Scalar(c,
                "select o.name from sysobjects o where o.xtype='D' and o.id in "
                "(select cdefault from syscolumns where name='bm_pages' and id in "
                "(select id from sysobjects where name='" +
                    table + "'))")
      .value_or("");
}

TEST(Do2009_10_15, FixtureCarriesARealDefaultThatBlocksTheColumnDrop) {
  At2007_12 d;
  EXPECT_FALSE(DefaultOfPages(*d.c, "lib_bianma").empty());
  EXPECT_ANY_THROW(Rows(*d.c, "alter table lib_bianma drop COLUMN bm_pages"));
}

TEST(Do2009_10_15, CurrenciesAndPagesAsTextInTheThreeCatalogueTables) {
  At2007_12 d;
  const std::string old_defaults[] = {DefaultOfPages(*d.c, "lib_bianma"),
                                      DefaultOfPages(*d.c, "lib_bianmatmp"),
                                      DefaultOfPages(*d.c, "lib_freebm")};
  d.up.Do2009_10_15();

  EXPECT_EQ(Rows(*d.c, "select bb_id,bb_bibie,bb_char from lib_bibie order by bb_id"),
            (V{"0|人民币|￥", "1|美元|$", "2|港币|$", "3|日元|$", "4|澳元|$", "5|欧元|$"}));
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysindexes where name='PK_lib_bibie'"), "1");

  // Each old default was found by name and dropped before its column.
  EXPECT_EQ(d.Sent("DROP CONSTRAINT"),
            (V{"ALTER TABLE lib_bianma DROP CONSTRAINT " + old_defaults[0],
               "ALTER TABLE lib_bianmatmp DROP CONSTRAINT " + old_defaults[1],
               "ALTER TABLE lib_freebm DROP CONSTRAINT " + old_defaults[2]}));
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='tmp_tmp_bm'"), "0");

  EXPECT_EQ(Rows(*d.c,
                 "select bm_code,bm_pages,bm_bibie from lib_bianma where bm_code in (2,3)"
                 " order by bm_code"),
            (V{"2|320|0", "3|NULL|0"}));
  EXPECT_EQ(Rows(*d.c, "select bm_code,bm_pages,bm_bibie from lib_bianmatmp order by bm_code"),
            (V{"101|142|0", "102|NULL|0"}));
  EXPECT_EQ(Rows(*d.c, "select bm_pages,bm_bibie from lib_freebm"), V{"212|0"});
  EXPECT_EQ(Scalar(*d.c, "select count(*) from lib_bianma where bm_bibie is null or bm_bibie<>0"),
            "0");

  for (const std::string t : {"lib_bianma", "lib_bianmatmp", "lib_freebm"}) {
    SCOPED_TRACE(t);
    const std::string cols =
        "select name,length from syscolumns where id in (select id from "
        "sysobjects where name='" +
        t + "') ";
    // The rebuilt column is char(20) and the last one before bm_bibie.
    EXPECT_EQ(Rows(*d.c, cols +
                             "and colid >= (select max(colid)-1 from syscolumns where id in "
                             "(select id from sysobjects where name='" +
                             t + "')) order by colid"),
              (V{"bm_pages|20", "bm_bibie|4"}));
    EXPECT_EQ(Rows(*d.c, cols + "and name='bm_pages1'"), V{});
    Rows(*d.c, "insert into " + t + "(bm_code) values(900000)");
    EXPECT_EQ(Rows(*d.c, "select bm_pages,bm_bibie from " + t + " where bm_code=900000"), V{"|0"});
  }
}

TEST(Do2009_10_15, PagesWithoutADefaultAreConvertedWithoutAnyDrop) {
  At2007_12 d;
  Rows(*d.c, "drop table lib_freebm");
  Rows(*d.c, "create table lib_freebm (bm_code int not null, bm_name char(120), bm_pages int)");
  Rows(*d.c,
       "insert into lib_freebm values(1,'校史',320)\ninsert into lib_freebm values(2,'',NULL)");
  d.up.Do2009_10_15();

  EXPECT_EQ(d.Sent("ALTER TABLE lib_freebm DROP CONSTRAINT"), V{});
  EXPECT_EQ(Rows(*d.c, "select bm_code,bm_pages from lib_freebm order by bm_code"),
            (V{"1|320", "2|NULL"}));
}

TEST(Do2009_10_15, SecondRunOnlyShowsItsLabel) {
  At2007_12 d;
  d.up.Do2009_10_15();
  d.view.events.clear();
  d.sent.clear();

  d.up.Do2009_10_15();
  EXPECT_EQ(d.view.events, (V{"process 处理：币别", "pump"}));
  EXPECT_EQ(d.sent, V{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20091015.BIBIE'"});
}

}  // namespace
