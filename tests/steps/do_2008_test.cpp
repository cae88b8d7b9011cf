// Batch numbers, purchase recommendations with their readers, and the fines
// detail table.
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
};

std::string SignQuery(const std::string& sign) {
  return "select vm_mess from ver_manage\nwhere vm_mess='" + sign + "'";
}

TEST(Do2008_03_27, BatchColumnAndTablesWithProgressThenQuiet) {
  At2007_12 d;
  d.up.Do2008_03_27();

  EXPECT_EQ(Rows(*d.c, "select tm_barcode, tm_pici from lib_tiaoma order by tm_barcode"),
            (V{"000000010001|0", "000000010002|0", "000000010003|0", "000000010004|0"}));
  EXPECT_EQ(Rows(*d.c, "select pc_id,pc_sign,pc_notice,pc_auth from lib_pici_cur"), V{"0|0|1|1"});
  EXPECT_EQ(Rows(*d.c, "select pn_id,pn_name from lib_pici_name"), V{"0|无批次号"});
  EXPECT_EQ(Scalar(*d.c, "select count(*) from lib_pici_total"), "0");
  // Defaults of the new tables, as the client relies on them.
  Rows(*d.c, "insert into lib_pici_total(pt_id) values(7)");
  EXPECT_EQ(Rows(*d.c, "select pt_id,pt_name,pt_zhong,pt_ce,pt_amt from lib_pici_total"),
            V{"7||0|0|0.00"});
  EXPECT_EQ(d.view.events, (V{"bar visible", "bar 5", "process 处理：图书批次号", "pump", "bar 50",
                              "bar hidden"}));

  d.view.events.clear();
  d.sent.clear();
  d.up.Do2008_03_27();
  EXPECT_EQ(d.sent, V{SignQuery("ZZ20080327.TIAOMA_PICI")});
  EXPECT_TRUE(d.view.events.empty());
}

TEST(Do2008, RecommendationsAreCopiedToTheirReadersAndSecondRunOnlyProbes) {
  At2007_12 d;
  d.up.Do2008_09_03();

  EXPECT_EQ(Rows(*d.c, "select dz_id,dz_booktuigou from lib_duzhe order by dz_id"),
            (V{"1|1", "2|1", "3|1"}));
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysindexes where name='PK_lib_booktuigou'"), "1");

  // Readers recommend books between the two releases.
  Rows(*d.c,
       "insert into lib_booktuigou(bt_name,bt_people,bt_price,bt_date) "
       "values('小王子','000000000101',25.00,'2008-09-10 10:00:00')\n"
       "insert into lib_booktuigou(bt_name,bt_people,bt_price,bt_date) "
       "values('昆虫记','000000000201',18.50,'2008-09-12 15:30:00')");
  d.up.Do2008_10_20();

  EXPECT_EQ(Rows(*d.c, "select bt_no,bt_price from lib_booktuigou order by bt_no"),
            (V{"1|1.00", "2|1.00"}));
  EXPECT_EQ(
      Rows(*d.c, "select bw_id,bw_people,bw_date from lib_booktuigou_who order by bw_id"),
      (V{"1|000000000101|2008-09-10 10:00:00.000", "2|000000000201|2008-09-12 15:30:00.000"}));
  EXPECT_EQ(Rows(*d.c, "select cs_todayyuyue from lib_canshub"), V{"0"});
  EXPECT_EQ(Rows(*d.c,
                 "select o.name from sysindexes i, sysobjects o "
                 "where i.name='PK_lib_fajin_mingxi' and o.id=i.id"),
            V{"lib_fajin_mingxi"});
  // A fine needs its reader, reason and operator.
  EXPECT_ANY_THROW(Rows(*d.c, "insert into lib_fajin_mingxi(fj_libcard,fj_fajin) values('1',5)"));

  d.sent.clear();
  d.up.Do2008_09_03();
  d.up.Do2008_10_20();
  EXPECT_EQ(d.sent, (V{SignQuery("ZZ20080903.TUI_GOU"),
                       "select * from sysobjects where name ='lib_fajin_mingxi'",
                       SignQuery("ZZ20081020.TUI_GOU2")}));
  EXPECT_TRUE(d.view.events.empty());
}

TEST(Do2008_10_20, FinesTableIsMadeOnALaterRunAfterTheSign) {
  At2007_12 d;
  d.up.Do2008_09_03();
  d.up.Do2008_10_20();
  Rows(*d.c, "insert into lib_booktuigou(bt_name,bt_people) values('小王子','000000000101')");
  Rows(*d.c, "drop table lib_fajin_mingxi");

  d.up.Do2008_10_20();

  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='lib_fajin_mingxi'"), "1");
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysindexes where name='PK_lib_fajin_mingxi'"), "1");
  // The signed part did not run again: the new recommendation was not copied.
  EXPECT_EQ(Scalar(*d.c, "select count(*) from lib_booktuigou_who"), "0");
}

}  // namespace
