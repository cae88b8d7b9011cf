// The 2007-03-12 step: parameters and the wider loan limits on every run,
// then, once, 12-character reader cards everywhere with the suspension and
// reader tables rebuilt.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "db/connection.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::RecordingView;
using testing_support::ScratchDb;

// A January 2005 library brought to the 2007-03 release by the steps before.
struct Library : testing_support::StepRig {
  Library() : StepRig({"release_2005_01"}, testing_support::SampleDir()) {
    up.Do200503();
    up.Do200611();
    up.Do200703();
    view.events.clear();
    ClearSent();
  }
  std::string Scalar(const std::string& sql) {
    return testing_support::Scalar(*c, sql).value_or("<no row>");
  }
  std::string Length(const std::string& table, const std::string& column) {
    return Scalar("select length from syscolumns where name='" + column +
                  "' and id in (select id from sysobjects where name='" + table + "')");
  }
  std::vector<std::string> Indexes(const std::string& table) {
    return Rows(
        "select name from sysindexes where indid > 0 and id in (select id from sysobjects "
        "where name='" +
        table + "') order by name");
  }
};

const char* const kReaders = "select * from lib_people order by pe_id";

TEST(Do2007_03_12, WidensReaderCardsEverywhereAndKeepsEveryReader) {
  Library lib;
  const auto readers = lib.Rows(kReaders);
  const auto suspensions = lib.Rows("select * from lib_tingjie order by tj_code");
  lib.up.Do2007_03_12();

  // table, column, syscolumns.length afterwards
  const std::tuple<const char*, const char*, const char*> widths[] = {
      {"lib_canshub", "cs_bookbegin", "12"},   {"lib_canshub", "cs_bookend", "12"},
      {"lib_card_bars", "cb_begin", "12"},     {"lib_card_bars", "cb_end", "12"},
      {"lib_barcode", "bc_code1", "12"},       {"lib_barcode", "bc_code4", "12"},
      {"lib_goodbooksave", "gs_user", "34"},   {"lib_jifen_info", "jf_libcard", "12"},
      {"lib_jifen_total", "jt_libcard", "12"}, {"lib_jifen_total", "jt_libname", "20"},
      {"lib_yigonggl", "yg_libcard", "12"},    {"lib_yigongorder", "yo_libcard", "12"},
      {"lib_tingjie", "tj_code", "12"},        {"lib_fakuan", "fk_id", "12"},
      {"lib_fakuan", "fk_name", "20"},         {"lib_jieshu", "js_libcard", "12"},
      {"lib_cuihuan", "ch_libcard", "12"},     {"lib_jieshud", "jd_libcard", "12"},
      {"lib_yuyue", "yy_pid", "12"},           {"lib_useorder", "uo_id", "12"},
      {"lib_people", "pe_id", "12"},           {"lib_people", "pe_passwd", "12"},
      {"lib_people", "pe_name", "20"},         {"lib_people", "pe_limittype", "120"},
      {"lib_people", "pe_limitday", "120"},    {"lib_people", "pe_smaxnum", "5"},
      {"lib_people", "pe_photo", "16"},
  };
  for (const auto& [table, column, length] : widths) {
    EXPECT_EQ(lib.Length(table, column), length) << table << "." << column;
  }
  EXPECT_EQ(lib.Scalar("select prec from syscolumns where name='pe_smaxnum'"), "4");

  // Same readers, photos included; same suspensions; 9-character cards kept.
  EXPECT_EQ(lib.Rows(kReaders), readers);
  EXPECT_EQ(lib.Rows("select * from lib_tingjie order by tj_code"), suspensions);
  EXPECT_EQ(lib.Indexes("lib_people"), (std::vector<std::string>{"PK_lib_people"}));
  EXPECT_EQ(lib.Indexes("lib_tingjie"), (std::vector<std::string>{"PK_lib_tingjie"}));
  EXPECT_EQ(lib.Indexes("lib_jieshu"),
            (std::vector<std::string>{"PK_lib_jieshu_barcode", "PK_lib_jieshu_libcard"}));
  EXPECT_EQ(lib.Indexes("lib_yuyue"),
            (std::vector<std::string>{"PK_lib_yuyue_code", "PK_lib_yuyue_pid"}));
  EXPECT_EQ(
      lib.Scalar("select count(*) from sysobjects where name in ('tmp_people','tmp_tingjie')"),
      "0");

  // A 12-character card and a long loan-limit list now fit.
  lib.Run(
      "insert into lib_people(pe_id,pe_name,pe_limittype) "
      "values('200700000001','欧阳新读者名','01,02,03,04,05,06,07')\nGO\n"
      "insert into lib_tingjie(tj_code) values('200700000001')\nGO\n"
      "insert into lib_jieshu(js_libcard,js_barcode) values('200700000001','000012009')");
  EXPECT_EQ(lib.Scalar("select pe_limittype from lib_people where pe_id='200700000001'"),
            "01,02,03,04,05,06,07");

  EXPECT_EQ(lib.Rows("select cs_autoreglib,cs_tingjienotice,cs_twojiedays,cs_maxcardbarlen,"
                     "cs_bookbegin from lib_canshub"),
            (std::vector<std::string>{"0|0|0|9|000000001"}));
  EXPECT_EQ(
      lib.Rows("select lu_no,lu_user,lu_order from lib_use_gongneng"),
      (std::vector<std::string>{"301|system|1", "211|system|2", "212|system|3", "401|system|4",
                                "318|system|5", "213|system|6", "403|system|7", "517|system|8"}));
  EXPECT_EQ(lib.Scalar("select count(*) from ver_manage where vm_mess='PEOPLE_LEN_12'"), "1");

  EXPECT_EQ(lib.view.Only("process "),
            (std::vector<std::string>{
                "处理：lib_canshub", "处理：lib_card_bars", "处理：lib_barcode",
                "处理：lib_goodbooksave", "处理：lib_jifen_info", "处理：lib_jifen_total",
                "处理：lib_yigonggl", "处理：lib_yigongorder", "处理：lib_tingjie",
                "处理：lib_fakuan", "处理：lib_jieshu", "处理：lib_cuihuan", "处理：lib_jieshud",
                "处理：lib_yuyue", "处理：lib_useorder", "处理：lib_people"}));
}

TEST(Do2007_03_12, SecondRunChangesNothing) {
  Library lib;
  lib.up.Do2007_03_12();
  const auto readers = lib.Rows(kReaders);
  lib.ClearSent();

  lib.up.Do2007_03_12();

  EXPECT_EQ(lib.Changes(), std::vector<std::string>{});
  EXPECT_EQ(lib.Rows(kReaders), readers);
  EXPECT_EQ(lib.Length("lib_people", "pe_limittype"), "120");
}

TEST(Do2007_03_12, LongLoanLimitListsSurviveTheRebuild) {
  Library lib;
  // A library that got the wider limits from an earlier run and used them.
  lib.Run(
      "alter table lib_people ALTER COLUMN pe_smaxnum numeric(4,0)\nGO\n"
      "alter table lib_people ALTER COLUMN pe_limittype char(120)\nGO\n"
      "alter table lib_people ALTER COLUMN pe_limitday char(120)\nGO\n"
      "update lib_people set pe_smaxnum=120,pe_limittype='01,02,03,04,05,06,07,08',"
      "pe_limitday='60,30,30,15,15,07,07,07' where pe_id='T00000012'");
  lib.up.Do2007_03_12();
  EXPECT_EQ(lib.Rows("select pe_smaxnum,pe_limittype,pe_limitday from lib_people "
                     "where pe_id='T00000012'"),
            (std::vector<std::string>{"120|01,02,03,04,05,06,07,08|60,30,30,15,15,07,07,07"}));
  EXPECT_EQ(lib.Length("lib_people", "pe_id"), "12");
}

// A rebuild that fails leaves the old table exactly as it was; the sign,
// recorded before the work, keeps later runs from trying again.
TEST(Do2007_03_12, FailedRebuildLeavesTheOldTableWhole) {
  struct Case {
    const char* table;
    const char* breaker;
    const char* order;
  };
  const Case cases[] = {
      // two suspensions of one card once the old key is gone
      {"lib_tingjie",
       "alter table lib_tingjie drop constraint PK_lib_tingjie\nGO\n"
       "insert into lib_tingjie values('200400002','2005-02-01 00:00:00','2005-02-28 00:00:00')",
       "tj_code,tj_bdate"},
      // a reader table without a column the copy names (its limits already
      // wide, so that only the rebuild could change it)
      {"lib_people",
       "alter table lib_people drop column pe_photo\nGO\n"
       "alter table lib_people ALTER COLUMN pe_smaxnum numeric(4,0)\nGO\n"
       "alter table lib_people ALTER COLUMN pe_limittype char(120)\nGO\n"
       "alter table lib_people ALTER COLUMN pe_limitday char(120)",
       "pe_id"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    Library lib;
    lib.Run(c.breaker);
    const std::string all = std::string("select * from ") + c.table + " order by " + c.order;
    const auto rows = lib.Rows(all);
    const auto indexes = lib.Indexes(c.table);
    const auto columns = lib.Rows(
        std::string("select name,length from syscolumns where id in (select id from sysobjects "
                    "where name='") +
        c.table + "') order by colid");

    EXPECT_THROW(lib.up.Do2007_03_12(), db::Error);

    EXPECT_EQ(lib.Rows(all), rows);
    EXPECT_EQ(lib.Indexes(c.table), indexes);
    EXPECT_EQ(lib.Rows(std::string("select name,length from syscolumns where id in (select id "
                                   "from sysobjects where name='") +
                       c.table + "') order by colid"),
              columns);
    EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name in "
                         "('tmp_people','tmp_tingjie')"),
              "0");
    EXPECT_EQ(lib.Scalar("select @@trancount"), "0");

    lib.ClearSent();
    lib.up.Do2007_03_12();
    EXPECT_EQ(lib.Changes(), std::vector<std::string>{});
  }
}

}  // namespace
