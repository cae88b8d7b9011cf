// The 2005-03 step on a consolidated January 2005 library: volunteer tables
// and the evaluation migration, menu rows, reservation indexes, the statistics
// tables in their new layout, and the small tables of that release.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::RecordingView;
using testing_support::ScratchDb;

struct Library : testing_support::StepRig {
  explicit Library(const std::vector<std::string>& fixtures = {"release_2005_01"})
      : StepRig(fixtures, testing_support::SampleDir()) {}
  std::string Scalar(const std::string& sql) {
    return testing_support::Scalar(*c, sql).value_or("<no row>");
  }
  std::vector<std::string> Columns(const std::string& table) {
    return Rows("select name from syscolumns where id in (select id from sysobjects where name='" +
                table + "') order by colid");
  }
};

const std::string kNotice =
    "1、本证仅限领证人使用，不得转借。\r\n"
    "2、使用本证必须遵守本馆的有关章程及规定。\r\n"
    "3、进入书库选阅书刊时，请自觉使用“代书板”，防止图\r\n"
    "   书乱架。\r\n"
    "4、借出书刊请依期归还，以方便他人借阅。\r\n"
    "5、请爱护书籍，人人争当文明读者。\r\n"
    "6、本证需妥善保管，保持平整，请勿折叠。如有遗失应及\r\n"
    "   时向本馆报失，以领取新的借书证。在失证期间由此引\r\n"
    "   起的失书后果，由领证人负责。";

TEST(Do200503, FirstRunMigratesEvaluationsAndBuildsTheReleaseTables) {
  Library lib;
  lib.up.Do200503();

  // Consolidated already: the consolidation is not started.
  EXPECT_FALSE(lib.view.before_);

  // Criterion numbers became points and notes; a number without a criterion
  // gives 0 and no note; a criterion text with quotes comes through whole.
  EXPECT_EQ(lib.Rows("select yg_no,yg_pingjia,yg_notice from lib_yigonggl order by yg_no"),
            (std::vector<std::string>{"1|10|有创造性", "2|50|基本评价分", "3|0|",
                                      "4|15|富有'团队'精神"}));
  // The library's own criteria stay: the basic criterion is there.
  EXPECT_EQ(lib.Scalar("select count(*) from lib_yigongpj"), "6");
  EXPECT_EQ(lib.Scalar("select yp_pingjia from lib_yigongpj where yp_no=5"), "富有'团队'精神");
  EXPECT_EQ(lib.Columns("lib_yigongorder"),
            (std::vector<std::string>{"yo_libcard", "yo_name", "yo_number", "yo_time", "yo_fen",
                                      "yo_deptment"}));

  EXPECT_EQ(lib.Rows("select gn_menucode,gn_menuitem from lib_gongneng where gn_menucode in "
                     "(304,391,392,381,299,901) order by gn_menucode"),
            (std::vector<std::string>{"299|好书推荐管理", "304|借还书(无罚款)", "381|库藏图书盘点",
                                      "391|义工管理", "392|义工签到", "901|一卡通参数配置"}));
  EXPECT_EQ(lib.Rows("select name from sysindexes where name like 'PK_lib_yuyue%' order by name"),
            (std::vector<std::string>{"PK_lib_yuyue_code", "PK_lib_yuyue_pid"}));

  // Old statistics layouts are replaced, empty.
  auto p3 = lib.Columns("lib_prttab3a");
  ASSERT_EQ(p3.size(), 30u);
  EXPECT_EQ(p3.front(), "p3_year");
  EXPECT_EQ(p3[2], "p3_a");
  EXPECT_EQ(p3[27], "p3_z");
  EXPECT_EQ(p3.back(), "p3_user");
  EXPECT_EQ(lib.Columns("lib_prttab2a").size(), 9u);
  auto p4 = lib.Columns("lib_prttab4anew");
  ASSERT_EQ(p4.size(), 18u);
  EXPECT_EQ(p4[15], "p4_14");
  for (const char* t : {"lib_prttab3a", "lib_prttab2a", "lib_prttab4anew"}) {
    EXPECT_EQ(lib.Scalar(std::string("select count(*) from ") + t), "0") << t;
  }

  EXPECT_EQ(lib.Rows("select dz_id,dz_yuqitimes,dz_cunfang from lib_duzhe order by dz_id"),
            (std::vector<std::string>{"1|1.0|0", "2|1.0|0", "3|1.0|0"}));
  EXPECT_EQ(lib.Rows("select ct_termno,ct_date from lib_curtermno"),
            (std::vector<std::string>{"|"}));
  EXPECT_EQ(lib.Rows("select bq_sign,bq_font1,bq_size1,bq_font2,bq_bold3 from lib_biaoqianfont"),
            (std::vector<std::string>{"0|Arial|14|宋体|1"}));
  EXPECT_EQ(lib.Rows("select zb_title,zb_font1,zb_size2 from lib_zhengbackmess"),
            (std::vector<std::string>{"读者须知|黑体|9"}));
  EXPECT_EQ(lib.Scalar("select zb_mess from lib_zhengbackmess"), kNotice);
  EXPECT_EQ(lib.Scalar("select count(*) from lib_zhengbackprt"), "0");
  for (const char* t : {"lib_zhuxiaoinfo", "lib_pandianbook", "lib_pandianbooktj", "lib_cgshumu"}) {
    EXPECT_EQ(lib.Scalar(std::string("select count(*) from ") + t), "0") << t;
  }
  EXPECT_EQ(lib.Columns("lib_pandianbooktj").at(4), "pt_amt2");
  EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name='PK_lib_pandianbook'"), "1");

  EXPECT_EQ(lib.view.Only("process "),
            (std::vector<std::string>{"处理：义工管理", "处理：增加有关索引"}));
}

// The text of menu row 304 is set on every run, but only where the row does
// not hold it already: a second run rewrites nothing, and a text changed
// since is set again.
TEST(Do200503, SecondRunSetsTheTextOfMenuRow304OnlyWhereItDiffers) {
  Library lib;
  lib.up.Do200503();
  const auto volunteers = lib.Rows("select * from lib_yigonggl order by yg_no");
  std::vector<std::int64_t> updated;
  const auto recorded = lib.c->on_statement;
  lib.c->on_statement = [&](const db::StatementEvent& e) {
    recorded(e);
    if (e.sql.rfind("update", 0) == 0) updated.push_back(e.rows);
  };
  struct Case {
    const char* held;
    std::int64_t rewritten;
  };
  for (const Case& k : {Case{"借还书(无罚款)", 0}, Case{"借还书", 1}, Case{"", 1}}) {
    SCOPED_TRACE(std::string("the row held '") + k.held + "'");
    lib.Run(std::string("update lib_gongneng set gn_menuitem='") + k.held +
            "' where gn_menucode=304");
    lib.ClearSent();
    updated.clear();

    lib.up.Do200503();

    EXPECT_EQ(lib.Changes(),
              (std::vector<std::string>{
                  "ok update lib_gongneng set gn_menuitem='借还书(无罚款)' where gn_menucode=304 "
                  "and (gn_menuitem is null or gn_menuitem<>'借还书(无罚款)')"}));
    EXPECT_EQ(updated, std::vector<std::int64_t>{k.rewritten});
    EXPECT_EQ(lib.Rows("select gn_menuitem from lib_gongneng where gn_menucode=304"),
              std::vector<std::string>{"借还书(无罚款)"});
  }
  EXPECT_EQ(lib.Rows("select * from lib_yigonggl order by yg_no"), volunteers);
}

TEST(Do200503, DatabaseWithoutVolunteerTablesGetsThemWithSeedRows) {
  Library lib;
  lib.Run(
      "drop table lib_yigonggl\nGO\ndrop table lib_yigongld\nGO\n"
      "drop table lib_yigongorder\nGO\ndrop table lib_yigongpj\n");
  lib.up.Do200503();

  EXPECT_EQ(lib.Columns("lib_yigonggl"),
            (std::vector<std::string>{"yg_no", "yg_libcard", "yg_bdate", "yg_edate", "yg_sign",
                                      "yg_dowork", "yg_pingjia", "yg_pjuser", "yg_notice"}));
  EXPECT_EQ(lib.Scalar("select count(*) from lib_yigonggl"), "0");
  EXPECT_EQ(lib.Rows("select yl_no,yl_order,yl_dowork from lib_yigongld order by yl_no"),
            (std::vector<std::string>{"1|0|值勤", "2|1|开架书库排架", "3|2|阅览室排架", "4|3|清洁",
                                      "5|99|其他"}));
  EXPECT_EQ(lib.Rows("select yp_no,yp_pingjia,yp_fen from lib_yigongpj order by yp_no"),
            (std::vector<std::string>{"0|基本评价分|50", "1|准时到岗|10", "2|主动负责|10",
                                      "3|有创造性|10", "4|积极提建议|10", "5|富有团体精神|10"}));
  EXPECT_EQ(lib.Rows("select name from sysobjects where name like 'PK_lib_yigong%' order by name"),
            (std::vector<std::string>{"PK_lib_yigonggl", "PK_lib_yigongld", "PK_lib_yigongpj"}));
}

TEST(Do200503, CriteriaWithoutTheBasicRowAreReplacedBySeedRows) {
  Library lib;
  lib.Run("delete from lib_yigongpj where yp_no=0");
  lib.up.Do200503();
  EXPECT_EQ(lib.Rows("select yp_no,yp_pingjia,yp_fen from lib_yigongpj order by yp_no"),
            (std::vector<std::string>{"0|基本评价分|50", "1|准时到岗|10", "2|主动负责|10",
                                      "3|有创造性|10", "4|积极提建议|10", "5|富有团体精神|10"}));
}

TEST(Do200503, ExistingNewLayoutsAndNoticeAreLeftAlone) {
  Library lib;
  lib.Run(
      "drop table lib_prttab3a\nGO\n"
      "create table lib_prttab3a (p3_year numeric(4,0) not null, p3_total numeric(6,0))\nGO\n"
      "insert into lib_prttab3a values(2004,77)\nGO\n"
      "create table lib_zhengbackmess (zb_title char(32), zb_mess text)\nGO\n"
      "insert into lib_zhengbackmess values('本馆须知','自定的文字')\n");
  lib.up.Do200503();
  EXPECT_EQ(lib.Rows("select * from lib_prttab3a"), (std::vector<std::string>{"2004|77"}));
  EXPECT_EQ(lib.Rows("select * from lib_zhengbackmess"),
            (std::vector<std::string>{"本馆须知|自定的文字"}));
  EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name='lib_zhengbackprt'"), "0");
}

TEST(Do200503, DatabaseBeforeTheConsolidationGetsItFirst) {
  Library lib({"pre2005"});
  ASSERT_EQ(lib.Scalar("select count(*) from syscolumns where name='dz_tuijian'"), "0");
  lib.up.Do200503();
  EXPECT_TRUE(lib.view.before_);
  const auto& ev = lib.view.events;
  const auto ticked = std::find(ev.begin(), ev.end(), "before checked");
  const auto volunteers = std::find(ev.begin(), ev.end(), "process 处理：义工管理");
  ASSERT_NE(ticked, ev.end());
  EXPECT_LT(ticked, volunteers);
  EXPECT_EQ(lib.Scalar("select count(*) from syscolumns where name='dz_tuijian'"), "1");
  EXPECT_EQ(lib.Scalar("select count(*) from lib_yigongpj"), "6");

  // Once consolidated, the next run leaves the check box alone.
  lib.view.before_ = false;
  lib.view.events.clear();
  lib.up.Do200503();
  EXPECT_FALSE(lib.view.before_);
}

}  // namespace
