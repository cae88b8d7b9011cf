// The print-table book number, the card-system parameter, the repair of the
// mis-encoded name 莫F川 and the reader-category text.
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

const std::string kBroken = "\xC4\xAA\x46\xB4\xA8";
const std::string kRepaired = "\xC4\xAA\x95\x46\xB4\xA8";

struct At2007_12 : testing_support::StepRig {
  At2007_12() : StepRig({"release_2007_12.sql"}) {}

  // The stored GBK bytes of one column, trailing blanks removed.
  std::string Bytes(const std::string& column, int code) {
    db::Query q(*c);
    db::OpenQuery(q,
                  {"select " + column + " from lib_bianma where bm_code=" + std::to_string(code)});
    std::string v = text::TrimRight(q.AsString(column));
    q.Close();
    return v;
  }
};

TEST(Do2010_04_09, WidensTheBookNumberKeepingValuesAndShowsItsLabelOnEveryRun) {
  At2007_12 d;
  d.up.Do2010_04_09();
  EXPECT_EQ(Scalar(*d.c, "select length from syscolumns where name='p1_bookno'"), "40");
  EXPECT_EQ(Rows(*d.c, "select p1_bookno from lib_prttab1 order by p1_code"),
            (V{"I247.5/2", "I247.55/15"}));

  d.view.events.clear();
  d.sent_gbk.clear();
  d.up.Do2010_04_09();
  EXPECT_EQ(d.view.events, (V{"process 处理：Lib_PrtTab1", "pump"}));
  EXPECT_EQ(d.sent_gbk, V{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20100409.PRTTAB1'"});
}

TEST(Do2011_09_02, ParametersAndTheNameRepairColumnByColumn) {
  At2007_12 d;
  // A match that exists only across two columns: bm_author is full to its
  // width and ends in 莫F, bm_authorsec starts with 川.
  Rows(*d.c,
       "insert into lib_bianma(bm_code,bm_name,bm_namefu,bm_namesec,bm_author,bm_authorsec)"
       " values(9,'诗集','','','" +
           std::string(43, 'a') + "莫F','川集')");
  d.up.Do2011_09_02();

  EXPECT_EQ(Rows(*d.c, "select cs_card_ykt_all from lib_canshub"), V{"0"});
  EXPECT_EQ(Rows(*d.c, "select dz_duzhedx from lib_duzhe where dz_duzhedx=''").size(), 3u);
  EXPECT_EQ(Scalar(*d.c, "select length from syscolumns where name='dz_duzhedx'"), "128");

  EXPECT_EQ(text::Gbk("莫旻川"), kRepaired);
  struct Case {
    int code;
    const char* column;
    std::string expected;  // GBK
  };
  const Case cases[] = {
      // Only the author matched.
      {4, "bm_name", text::Gbk("山里的孩子")},
      {4, "bm_author", kRepaired},
      // Three columns of one record; the title also loses its leading blanks.
      {5, "bm_name", kRepaired + text::Gbk("童诗选")},
      {5, "bm_namefu", kRepaired + text::Gbk(" 编")},
      {5, "bm_author", kRepaired},
      // Two occurrences in one title.
      {6, "bm_name", kRepaired + text::Gbk("与") + kRepaired + text::Gbk("的学生")},
      // An author holding an apostrophe is repaired too.
      {7, "bm_author", text::Gbk("O'Neil 著 ") + kRepaired + text::Gbk(" 译")},
      // A lower-case f is matched by the server but is not the broken name.
      {8, "bm_author", text::Gbk("莫f川")},
      // The match across two columns changes nothing.
      {9, "bm_author", std::string(43, 'a') + text::Gbk("莫F")},
      {9, "bm_authorsec", text::Gbk("川集")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.column);
    EXPECT_EQ(d.Bytes(c.column, c.code), c.expected);
  }

  V updates;
  for (const auto& s : d.sent_gbk)
    if (s.starts_with("update lib_bianma")) updates.push_back(s);
  EXPECT_EQ(updates, (V{"update lib_bianma set \n bm_author='" + kRepaired + "' \nwhere bm_code=4",
                        "update lib_bianma set \n bm_name='" + kRepaired + text::Gbk("童诗选") +
                            "' \n, bm_namefu='" + kRepaired + text::Gbk(" 编") +
                            "' \n, bm_author='" + kRepaired + "' \nwhere bm_code=5",
                        "update lib_bianma set \n bm_name='" + kRepaired + text::Gbk("与") +
                            kRepaired + text::Gbk("的学生") + "' \nwhere bm_code=6",
                        "update lib_bianma set \n bm_author='O''Neil " + text::Gbk("著 ") +
                            kRepaired + text::Gbk(" 译") + "' \nwhere bm_code=7"}));
  EXPECT_EQ(Scalar(*d.c,
                   "select count(*) from lib_bianma where bm_name+bm_namefu+bm_namesec+"
                   "bm_author+bm_authorsec like '%" +
                       text::Utf8(kRepaired) + "%'"),
            "4");
}

TEST(Do2011_09_02, SecondRunShowsBothLabelsAndChangesNothing) {
  At2007_12 d;
  d.up.Do2011_09_02();
  d.view.events.clear();
  d.sent_gbk.clear();

  d.up.Do2011_09_02();
  EXPECT_EQ(d.view.events,
            (V{"process 处理：cs_card_ykt_all", "pump", "process 处理：莫F川->莫旻川", "pump",
               // the lower-case record is still selected, and left alone
               "pump"}));
  ASSERT_EQ(d.sent_gbk.size(), 3u);
  EXPECT_TRUE(
      d.sent_gbk[0].starts_with("select name from syscolumns where name='cs_card_ykt_all'"));
  EXPECT_TRUE(d.sent_gbk[1].starts_with("select bm_code,bm_name,bm_namefu,bm_namesec,bm_author"));
  EXPECT_TRUE(d.sent_gbk[2].starts_with("select name from syscolumns where name='dz_duzhedx'"));
}

}  // namespace
