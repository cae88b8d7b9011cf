// MARC cataloguing: rule tables loaded from the rule file, the two templates,
// free-cataloguing records renumbered and book numbers normalised.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "port/local_time.h"
#include "refdata/marc_rule.h"
#include "steps/upgrader.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using testing_support::Rows;
using testing_support::Scalar;
using Lines = std::vector<std::string>;

struct At2007_03 : testing_support::StepRig {
  At2007_03() : StepRig({"release_2007_03.sql"}, testing_support::SampleDir()) {}
  std::string Count(const std::string& from_where) {
    return Scalar(*c, "select count(*) from " + from_where).value_or("none");
  }
  // The stored bytes of one template, control bytes and all.
  std::string Model(int id) {
    auto cur = c->Execute("select mm_data from lib_marc_model where mm_id=" + std::to_string(id));
    if (!cur->Fetch() || !cur->Value(0)) return "none";
    return *cur->Value(0);
  }
};

int ThisYear() {
  return port::ToLocalTime(std::time(nullptr)).tm.tm_year + 1900;
}

const Lines kBookNumbersAfter = {
    "1|9787020002207",  // already right: not rewritten
    "2|9787536692930",  // check digit corrected
    "3|9787500612346",
    "4|9787532401840",
    "5|75OO612345",     // letters among the first nine: left alone
    "6|7-5600-3201-7",  // no stored ISBN
    "7|7-5358-2801-1",  // stored ISBN is NULL
    "8|",
    "9|9787500733560",
};

TEST(Do2007_12_27, FirstRunLoadsRulesStoresTemplatesRenumbersAndNormalises) {
  At2007_03 d;
  d.up.Do2007_12_27();

  // Rule tables, counted against the sample file's data lines.
  EXPECT_EQ(d.Count("lib_marc_rule"), "41");
  EXPECT_EQ(d.Count("lib_marc_field_rule"), "98");
  EXPECT_EQ(d.Count("lib_pin_yin"), "360");
  EXPECT_EQ(Rows(*d.c,
                 "select mr_code,mr_name,mr_must,mr_more from lib_marc_rule "
                 "where mr_code in ('010','215') order by mr_code"),
            (Lines{"010|国际标准书号|0|1", "215|载体形态|0|1"}));
  EXPECT_EQ(Rows(*d.c, "select py_pinyin,py_order from lib_pin_yin where py_hanzi='啊'"),
            Lines{"a|1"});
  EXPECT_EQ(d.Count("lib_marc_data"), "0");

  EXPECT_EQ(d.Model(0), refdata::DefaultMarcModel(ThisYear()));
  EXPECT_EQ(d.Model(1), refdata::BriefMarcModel(ThisYear()));
  EXPECT_EQ(Rows(*d.c, "select mm_id,mm_name from lib_marc_model order by mm_id"),
            (Lines{"0|默认模板", "1|简要模板"}));
  EXPECT_EQ(Rows(*d.c, "select cs_canusemarcedit,cs_cardmoney from lib_canshub"), Lines{"0|0"});

  // Free-cataloguing records numbered 1..4, the one with an apostrophe too.
  EXPECT_EQ(Rows(*d.c, "select bm_code from lib_freebm order by bm_code"),
            (Lines{"1", "2", "3", "4"}));
  EXPECT_EQ(Rows(*d.c, "select bm_name,bm_bookid from lib_freebm order by bm_price"),
            (Lines{"校史（1958-2007）|", "青柳镇志|ZB-2006-03", "小布头奇遇记|9787539122120",
                   "Charlotte's Web|9787020020348"}));
  EXPECT_EQ(d.Count("lib_freebm where bm_othermarc is null"), "0");

  EXPECT_EQ(Rows(*d.c, "select bm_code,bm_bookid from lib_bianma order by bm_code"),
            kBookNumbersAfter);
  EXPECT_EQ(Rows(*d.c, "select cg_sbookno from lib_caigou order by cg_no"),
            (Lines{"9787536692930", "9787500612346", "", "O'K-12"}));

  // Loader 35..75, then one tick per row of the four walks (4 + 6 + 3 + 3).
  Lines bar = {"visible", "5", "15", "20", "25", "30", "35", "45", "55", "75"};
  for (int p = 76; p <= 91; ++p) bar.push_back(std::to_string(p));
  bar.push_back("hidden");
  EXPECT_EQ(d.view.Only("bar "), bar);
  EXPECT_EQ(d.view.Only("process "), Lines{"处理：Marc数据"});

  d.sent.clear();
  d.view.events.clear();
  d.up.Do2007_12_27();
  EXPECT_EQ(d.sent, Lines{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20071227.MARC_DATA'"});
  EXPECT_TRUE(d.view.events.empty());
}

TEST(Do2007_12_27, MissingRuleFileStopsBeforeAnythingAndTheNextRunDoesItAll) {
  At2007_03 d;
  d.up.ctx.data_dirs = {d.scratch.dir()};  // no MarcRule.txt there
  try {
    d.up.Do2007_12_27();
    FAIL() << "expected the missing rule file to stop the step";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("MarcRule.txt"), std::string::npos) << e.what();
  }
  EXPECT_EQ(d.Count("ver_manage where vm_mess='ZZ20071227.MARC_DATA'"), "0");
  EXPECT_EQ(d.Count("sysobjects where name like 'lib_marc%' or name='lib_pin_yin'"), "0");
  EXPECT_EQ(Rows(*d.c, "select min(bm_code) from lib_freebm"), Lines{"100001"});

  d.up.ctx.data_dirs = {testing_support::SampleDir()};
  d.up.Do2007_12_27();
  EXPECT_EQ(d.Count("lib_marc_rule"), "41");
  EXPECT_EQ(d.Count("lib_marc_model"), "2");
  EXPECT_EQ(Rows(*d.c, "select max(bm_code) from lib_freebm"), Lines{"4"});
}

TEST(Do2007_12_27, ExistingRuleTableSkipsTheMarcBlockButNotTheRewrites) {
  At2007_03 d;
  Rows(*d.c, "create table lib_marc_rule(mr_code char(3) not null)");
  d.up.ctx.data_dirs = {d.scratch.dir()};  // the rule file is not needed
  d.up.Do2007_12_27();

  EXPECT_EQ(d.Count("lib_marc_rule"), "0");
  EXPECT_EQ(d.Count("sysobjects where name in ('lib_marc_model','lib_pin_yin','lib_marc_data')"),
            "0");
  EXPECT_EQ(d.Count("syscolumns where name='cs_canusemarcedit'"), "0");
  EXPECT_EQ(Rows(*d.c, "select max(bm_code) from lib_freebm"), Lines{"4"});
  EXPECT_EQ(d.Count("syscolumns where name='bm_othermarc'"), "1");
  EXPECT_EQ(Rows(*d.c, "select bm_code,bm_bookid from lib_bianma order by bm_code"),
            kBookNumbersAfter);
  EXPECT_TRUE(d.view.Only("process ").empty());
}

TEST(Do2007_12_27, RowTickWrapsFrom100To0) {
  At2007_03 d;
  std::string batch;
  for (int i = 0; i < 246; ++i)  // with the fixture's four: 250 records
    batch +=
        "insert into lib_freebm(bm_code,bm_name) values(" + std::to_string(200000 + i) + ",'' )\n";
  Rows(*d.c, batch);
  d.up.Do2007_12_27();

  const Lines bar = d.view.Only("bar ");
  const auto from = std::find(bar.begin(), bar.end(), "75");
  ASSERT_NE(from, bar.end());
  // 250 renumbered rows, then 6 + 3 + 3 book numbers: 262 ticks.
  Lines expected;
  auto run = [&](int first, int last) {
    for (int p = first; p <= last; ++p) expected.push_back(std::to_string(p));
  };
  run(76, 100);
  run(0, 100);
  run(0, 100);
  run(0, 34);
  expected.push_back("hidden");
  EXPECT_EQ(Lines(from + 1, bar.end()), expected);
  EXPECT_EQ(Rows(*d.c, "select count(*), min(bm_code), max(bm_code) from lib_freebm"),
            Lines{"250|1|250"});
}

}  // namespace
