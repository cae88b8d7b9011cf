// Good-book lists and the self-service library, the list key, the Douban
// picture link and the volunteer rewards.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/query.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;
using V = std::vector<std::string>;

struct At2007_12 : testing_support::StepRig {
  At2007_12() : StepRig({"release_2007_12.sql"}) {}

  void All2015() {
    up.Do2015_02_01();
    up.Do2015_03_01();
    up.Do2015_03_12();
    up.Do2015_03_25();
  }
};

std::string Count(db::Connection& c, const std::string& from_where) {
  return Scalar(c, "select count(*) from " + from_where).value_or("?");
}

TEST(Do2015_02_01, EveryRecommendationJoinsTheListOfItsTitle) {
  At2007_12 d;
  d.up.Do2015_02_01();

  // The seed list first; one list per other distinct, non-empty title, in the
  // server's order.
  const V lists = Rows(*d.c, "select bi_id,bi_title,bi_hits from lib_goodbookitem order by bi_id");
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[0], "1|自助图书馆推荐|0");
  EXPECT_EQ(Rows(*d.c, "select bi_title from lib_goodbookitem where bi_id>1 order by bi_title"),
            (V{"O'Brien's picks", "寒假推荐"}));
  // List titles are stored without the padding of the recommendation titles.
  {
    db::Query q(*d.c);
    db::OpenQuery(q, {"select bi_title from lib_goodbookitem where bi_id>1 order by bi_title"});
    EXPECT_EQ(q.AsString("bi_title"), "O'Brien's picks");
    q.Close();
  }

  EXPECT_EQ(Rows(*d.c,
                 "select g.gs_code, i.bi_title from lib_goodbooksave g, lib_goodbookitem i "
                 "where g.gs_item=i.bi_id order by g.gs_code"),
            (V{"2|寒假推荐", "3|寒假推荐", "5|自助图书馆推荐", "7|O'Brien's picks"}));
  // The empty and the null title belong to no list.
  EXPECT_EQ(Rows(*d.c,
                 "select gs_code,gs_item from lib_goodbooksave where gs_code in (1,4) "
                 "order by gs_code"),
            (V{"1|0", "4|0"}));
  EXPECT_EQ(Count(*d.c, "lib_goodbooksave where gs_hits=1"), Count(*d.c, "lib_goodbooksave"));

  EXPECT_EQ(Rows(*d.c,
                 "select gn_menucode,gn_menuitem from lib_gongneng where gn_menucode>900 "
                 "order by gn_menucode"),
            (V{"902|自助图书馆参数", "903|公告管理"}));
  EXPECT_EQ(Rows(*d.c,
                 "select rt_user,rt_menucode from lib_right where rt_menucode>900 "
                 "order by rt_menucode"),
            (V{"system|902", "system|903"}));
  for (const char* pk :
       {"PK_lib_self_para", "PK_lib_self_gonggao", "PK_lib_bianma_pic", "PK_lib_goodbookitem"}) {
    EXPECT_EQ(Count(*d.c, std::string("sysindexes where name='") + pk + "'"), "1") << pk;
  }
  // The client adds announcements and parameters relying on the defaults.
  Rows(*d.c, "insert into lib_self_gonggao(sg_title) values('寒假闭馆通知')");
  EXPECT_EQ(Rows(*d.c, "select sg_id,sg_url,sg_user from lib_self_gonggao"), V{"1||"});
}

TEST(Do2015_02_01, EmptyRecommendationsGetOnlyTheSeedList) {
  At2007_12 d;
  Rows(*d.c, "delete from lib_goodbooksave");
  d.up.Do2015_02_01();
  EXPECT_EQ(Rows(*d.c, "select bi_id,bi_title from lib_goodbookitem"), V{"1|自助图书馆推荐"});
}

TEST(Do2015_02_01, ExistingListColumnOnlyRecordsTheSign) {
  At2007_12 d;
  Rows(*d.c, "alter table lib_goodbooksave add gs_item int default(1)");
  d.up.Do2015_02_01();
  EXPECT_EQ(Count(*d.c, "ver_manage where vm_mess='ZZ20150201.GOODBOOK'"), "1");
  EXPECT_EQ(Count(*d.c, "lib_gongneng where gn_menucode in (902,903)"), "0");
  EXPECT_EQ(Count(*d.c, "sysobjects where name='lib_goodbookitem'"), "0");
}

TEST(Do2015, LaterStepsAddTheirColumnsAndTablesThenEveryRunShowsOnlyTheLabels) {
  At2007_12 d;
  d.up.Do2015_02_01();
  Rows(*d.c, "insert into lib_bianma_pic(bp_code) values(2)");
  d.up.Do2015_03_01();
  d.up.Do2015_03_12();
  d.up.Do2015_03_25();

  EXPECT_EQ(Rows(*d.c, "select bi_key from lib_goodbookitem where bi_key=''").size(), 3u);
  EXPECT_EQ(Rows(*d.c, "select bp_code,bp_douban from lib_bianma_pic"), V{"2|"});
  EXPECT_EQ(Scalar(*d.c, "select length from syscolumns where name='bp_douban'"), "250");
  EXPECT_EQ(Count(*d.c, "sysindexes where name='PK_lib_yigongtotal'"), "1");
  EXPECT_EQ(Rows(*d.c,
                 "select o.name from sysindexes i, sysobjects o "
                 "where i.name='PK_lib_yigongjiangli' and o.id=i.id"),
            V{"lib_yigongjiangli"});
  // Rewards are many per reader card; totals one per card.
  Rows(*d.c,
       "insert into lib_yigongjiangli(yj_code) values('000000000101')\n"
       "insert into lib_yigongjiangli(yj_code) values('000000000101')");
  EXPECT_EQ(Rows(*d.c, "select yj_num,yj_sign from lib_yigongjiangli"), (V{"1|0", "1|0"}));
  Rows(*d.c, "insert into lib_yigongtotal(yt_code) values('000000000101')");
  EXPECT_ANY_THROW(Rows(*d.c, "insert into lib_yigongtotal(yt_code) values('000000000101')"));

  d.view.events.clear();
  d.sent.clear();
  d.All2015();
  EXPECT_EQ(d.view.events,
            (V{"process 处理：馆藏好书推荐", "pump", "process 处理：馆藏好书推荐2", "pump",
               "process 处理：增加豆瓣图片的链接", "pump", "process 处理：义工奖励", "pump"}));
  EXPECT_EQ(d.sent,
            (V{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20150201.GOODBOOK'",
               "select vm_mess from ver_manage\nwhere vm_mess='ZZ20150301.GOODBOOK2'",
               "select name from syscolumns where name='bp_douban' and id in (select id from "
               "sysobjects where name = 'lib_bianma_pic')",
               "select vm_mess from ver_manage\nwhere vm_mess='ZZ20150325.YIGONG'"}));
}

}  // namespace
