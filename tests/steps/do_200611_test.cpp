// The 2006-11 step: author-number corrections on every run, the reading-points
// menu row and the five reading-points tables behind one probe.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::RecordingView;
using testing_support::ScratchDb;

struct Library : testing_support::StepRig {
  Library() : StepRig({"release_2005_01"}, testing_support::SampleDir()) {}
  std::string Scalar(const std::string& sql) {
    return testing_support::Scalar(*c, sql).value_or("<no row>");
  }
};

const std::vector<std::string> kOldCodes{"贝|B45", "马|M11", "牛|N47"};

// Author character and the code it ends with in lib_zzm_zst.
const std::pair<const char*, const char*> kZstCodes[] = {
    {"八", "B12"}, {"巴", "B12"}, {"百", "B34"}, {"扒", "P11"}, {"马", "M11"}};

TEST(Do200611, CorrectsAuthorNumbersAndCreatesTheReadingPointsTables) {
  Library lib;
  lib.up.Do200611();

  EXPECT_EQ(lib.Rows("select zz_zhuzhe,zz_code from lib_zzm_old order by zz_code"), kOldCodes);
  for (const auto& [author, code] : kZstCodes) {
    EXPECT_EQ(
        lib.Scalar(std::string("select zz_code from lib_zzm_zst where zz_zhuzhe='") + author + "'"),
        code)
        << author;
  }
  EXPECT_EQ(lib.Scalar("select gn_menuitem from lib_gongneng where gn_menucode=395"),
            "读书积分管理");

  EXPECT_EQ(lib.Rows("select jl_no,jl_name,jl_sign,jl_fenzhi from lib_jifen_name order by jl_no"),
            (std::vector<std::string>{"1||1|10", "2|读书讲座|1|10", "3|捐赠图书|1|10",
                                      "4|二手书交换|1|10"}));
  EXPECT_EQ(lib.Rows("select jw_no,jw_jifen,jw_sign,jw_fenzhi from lib_jifen_www"),
            (std::vector<std::string>{"1|0|0|1"}));
  EXPECT_EQ(lib.Rows("select jx_name0,jx_name9 from lib_jifen_xf"),
            (std::vector<std::string>{"交换二手图书|"}));
  EXPECT_EQ(lib.Scalar("select count(*) from lib_jifen_info"), "0");
  EXPECT_EQ(lib.Scalar("select count(*) from lib_jifen_total"), "0");
  EXPECT_EQ(
      lib.Rows("select name from sysobjects where name like 'PK_lib_jifen%' order by name"),
      (std::vector<std::string>{"PK_lib_jifen_info", "PK_lib_jifen_name", "PK_lib_jifen_www"}));
  EXPECT_EQ(lib.Scalar("select length from syscolumns where name='jt_libname' and id in "
                       "(select id from sysobjects where name='lib_jifen_total')"),
            "8");
  EXPECT_TRUE(lib.view.Only("process ").empty());
}

// The corrections run on every run, each skipping what is in place already:
// a second run inserts no N47 and its updates rewrite no row; a code changed
// since the first run is corrected again.
TEST(Do200611, SecondRunRewritesNothingButCorrectsWhatChangedSince) {
  Library lib;
  lib.up.Do200611();
  std::vector<std::int64_t> updated;
  const auto recorded = lib.c->on_statement;
  lib.c->on_statement = [&](const db::StatementEvent& e) {
    recorded(e);
    if (e.sql.rfind("update", 0) == 0) updated.push_back(e.rows);
  };
  lib.ClearSent();
  lib.up.Do200611();

  const auto changes = lib.Changes();
  ASSERT_EQ(changes.size(), 3u);
  for (const std::string& c : changes) EXPECT_EQ(c.rfind("ok update", 0), 0u) << c;
  EXPECT_EQ(updated, (std::vector<std::int64_t>{0, 0, 0}));
  EXPECT_EQ(lib.Rows("select zz_zhuzhe,zz_code from lib_zzm_old order by zz_code"), kOldCodes);
  EXPECT_EQ(lib.Scalar("select count(*) from lib_jifen_name"), "4");

  lib.Run("update lib_zzm_old set zz_code='X99' where zz_zhuzhe='贝'\nGO\n"
          "update lib_zzm_zst set zz_code='Q12' where zz_zhuzhe='八'\nGO\n"
          "delete from lib_zzm_old where zz_zhuzhe='牛'");
  updated.clear();
  lib.up.Do200611();
  EXPECT_EQ(updated, (std::vector<std::int64_t>{1, 0, 1}));
  EXPECT_EQ(lib.Rows("select zz_zhuzhe,zz_code from lib_zzm_old order by zz_code"), kOldCodes);
  EXPECT_EQ(lib.Scalar("select zz_code from lib_zzm_zst where zz_zhuzhe='八'"), "B12");
}

TEST(Do200611, ExistingPointsTableKeepsTheOthersFromBeingMade) {
  Library lib;
  testing_support::RunScript(*lib.c, "create table lib_jifen_info (jf_no int)");
  lib.up.Do200611();
  for (const char* t : {"lib_jifen_name", "lib_jifen_www", "lib_jifen_total", "lib_jifen_xf"}) {
    EXPECT_EQ(lib.Scalar(std::string("select count(*) from sysobjects where name='") + t + "'"),
              "0")
        << t;
  }
}

}  // namespace
