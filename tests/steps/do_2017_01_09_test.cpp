// The identity-card column of lib_people.
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

struct At2007_12 : testing_support::StepRig {
  At2007_12() : StepRig({"release_2007_12.sql"}) {}
};

TEST(Do2017_01_09, AddsBlankedIndexedColumnOnceAndSecondRunOnlyReadsTheLedger) {
  At2007_12 d;
  d.up.Do2017_01_09();

  EXPECT_EQ(Rows(*d.c, "select count(*) from lib_people where pe_shenfenzheng=''"),
            Rows(*d.c, "select count(*) from lib_people"));
  EXPECT_EQ(Scalar(*d.c, "select count(*) from lib_people where pe_shenfenzheng is null"), "0");
  EXPECT_EQ(Scalar(*d.c, "select length from syscolumns where name='pe_shenfenzheng'"), "24");
  EXPECT_EQ(Rows(*d.c,
                 "select o.name from sysindexes i, sysobjects o "
                 "where i.name='PK_lib_people_shenfenzheng' and o.id=i.id"),
            std::vector<std::string>{"lib_people"});
  EXPECT_EQ(Scalar(*d.c, "select count(*) from ver_manage where vm_mess='ZZ20170109.SFZ'"), "1");
  // A reader added later gets the blank by default.
  Rows(*d.c, "insert into lib_people(pe_id,pe_name) values('000000000999','新读者')");
  EXPECT_EQ(Scalar(*d.c, "select pe_shenfenzheng from lib_people where pe_id='000000000999'"), "");
  EXPECT_TRUE(d.view.events.empty());

  d.sent.clear();
  d.up.Do2017_01_09();
  EXPECT_EQ(
      d.sent,
      (std::vector<std::string>{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20170109.SFZ'"}));
  EXPECT_EQ(Scalar(*d.c, "select count(*) from ver_manage where vm_mess='ZZ20170109.SFZ'"), "1");
}

TEST(Do2017_01_09, ColumnAlreadyThereOnlyRecordsTheSign) {
  At2007_12 d;
  Rows(*d.c, "alter table lib_people add pe_shenfenzheng char(24) default('')");
  Rows(*d.c,
       "update lib_people set pe_shenfenzheng='110101199001011234' where pe_id='000000000201'");
  d.up.Do2017_01_09();

  EXPECT_EQ(Scalar(*d.c, "select count(*) from ver_manage where vm_mess='ZZ20170109.SFZ'"), "1");
  EXPECT_EQ(Scalar(*d.c, "select pe_shenfenzheng from lib_people where pe_id='000000000201'"),
            "110101199001011234");
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysindexes where name='PK_lib_people_shenfenzheng'"),
            "0");
}

// The whole run on a database of the 2007-12-27 release: the signs of these
// steps follow the release's own in the order of the sequence, and a second
// run of the steps from 2008 on sends nothing but reads.
TEST(SequenceFrom2007_12_27, RecordsTheSignsInOrderAndRepeatsNothing) {
  testing_support::ScratchDb scratch{{"release_2007_12.sql"}};
  auto c = scratch.Connect();
  testing_support::RecordingView view;
  steps::Upgrader up{*c, view, testing_support::SampleDir()};
  up.RunSequence();

  EXPECT_EQ(
      Rows(*c, "select vm_mess from ver_manage"),
      (std::vector<std::string>{
          "PEOPLE_LEN_12", "ZZ20070913.BOOKBAR_LEN_12", "ZZ20071207.SELF_BOOK",
          "ZZ20071227.MARC_DATA", "ZZ20080327.TIAOMA_PICI", "ZZ20080903.TUI_GOU",
          "ZZ20081020.TUI_GOU2", "ZZ20091015.BIBIE", "ZZ20100409.PRTTAB1", "ZZ20130901.VERUP",
          "ZZ20150201.GOODBOOK", "ZZ20150301.GOODBOOK2", "ZZ20150325.YIGONG", "ZZ20170109.SFZ"}));
  EXPECT_EQ(view.events.back(), "info 所有处理已完成！");

  std::vector<std::string> writes;
  bool from_2008 = false;
  c->on_statement = [&](const db::StatementEvent& e) {
    from_2008 = from_2008 || up.CurrentStep() == "Do2008_03_27";
    // Each step is still bracketed by its transaction; nothing else is sent.
    if (from_2008 && !e.sql.starts_with("select") && e.sql != "begin transaction" &&
        e.sql != "commit transaction")
      writes.push_back(up.CurrentStep() + ": " + e.sql);
  };
  up.RunSequence();
  EXPECT_TRUE(from_2008);
  EXPECT_EQ(writes, std::vector<std::string>{});
  EXPECT_EQ(Scalar(*c, "select count(*) from ver_manage"), "14");
}

}  // namespace
