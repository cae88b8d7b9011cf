// The 2007-03 step: reader-card ranges, the 13-digit rewrite of the catalogue,
// free-cataloguing and purchase book numbers, the publisher table rebuilt
// with its key, and the row progress of the two long walks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/connection.h"
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

TEST(Do200703, RewritesBookNumbersKeepingTheOldOnes) {
  Library lib;
  lib.up.Do200703();

  // bm_isbn | bm_bookid, in the order of the fixture's records.
  EXPECT_EQ(lib.Rows("select bm_isbn,bm_bookid from lib_bianma order by bm_code"),
            (std::vector<std::string>{
                "7-5006-1234-5|9787500612346",            // hyphens
                "|",                                      // no book number
                "O\"Reilly-1|O\"Reilly-1",                // quote cleaned, not convertible
                "75OO612345|9787500612346",               // letter O read as zero
                "1750061234|9771750061238",               // below 18: prefix 977
                "1800061234|9781800061231",               // prefix 978
                "7-02-003456-X|9787020034567",            // old check character dropped
                "9787500612340|9787500612340",            // 13 digits kept as they are
                "统一书号10019·1234|统一书号10019·1234",  // unified book number kept
                " 7-5o06-5678-9|9787500656784",           // blanks around, small o
                "7-5006-12|7-5006-12",                    // too short
            }));
  EXPECT_EQ(lib.Scalar("select count(*) from syscolumns where name='bm_isbn' and id in "
                       "(select id from sysobjects where name='lib_bianmatmp')"),
            "1");

  // Every free-cataloguing record of a number is rewritten; a quote in a
  // number no longer breaks the statement.
  EXPECT_EQ(lib.Rows("select bm_code,bm_bookid from lib_freebm order by bm_code"),
            (std::vector<std::string>{"1|9787500612346", "2|9787500612346", "3|7-80'1", "4|",
                                      "5|9787500656784"}));
  EXPECT_EQ(lib.Rows("select cg_isbn,cg_sbookno from lib_caigou order by cg_no"),
            (std::vector<std::string>{"7-02-003456-X|9787020034567", "|", "7-5006-O'1|7-5006-O'1",
                                      "1750061234|9771750061238"}));

  // The publishers survive the rebuild, now keyed by prefix.
  EXPECT_EQ(lib.Rows("select cb_sbookno,cb_publish,cb_detail from lib_chuban order by cb_sbookno"),
            (std::vector<std::string>{"7-02|人民文学出版社|古典文学",
                                      "7-020|人民文学出版社|同社第二前缀", "7-101|中华书局|",
                                      "7-5006|中国青年出版社|", "7-80|校友会|赠书，勿催款"}));
  EXPECT_EQ(lib.Scalar("select count(*) from sysindexes where name='PK_lib_chuban'"), "1");
  EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name='lib_chuban1'"), "0");

  EXPECT_EQ(lib.Rows("select name from syscolumns where id in (select id from sysobjects where "
                     "name='lib_card_bars') order by colid"),
            (std::vector<std::string>{"cb_no", "cb_begin", "cb_end", "cb_sign"}));
  EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name='PK_lib_card_bars'"), "1");
}

TEST(Do200703, SecondRunConvertsNothingAndOnlyShowsTheLabel) {
  Library lib;
  lib.up.Do200703();
  const auto books = lib.Rows("select * from lib_bianma order by bm_code");
  lib.ClearSent();
  lib.view.events.clear();

  lib.up.Do200703();

  EXPECT_EQ(lib.Changes(), std::vector<std::string>{});
  EXPECT_EQ(lib.Rows("select * from lib_bianma order by bm_code"), books);
  EXPECT_EQ(lib.view.Only("process "), (std::vector<std::string>{"处理：13位ISBN问题", ""}));
}

TEST(Do200703, BarCountsRowsAcrossBothWalksAndHundredsRestartPerWalk) {
  Library lib;
  // 100 catalogue numbers, 97 distinct free-cataloguing numbers.
  std::string script;
  for (int i = 0; i < 90; ++i) {
    script += "insert into lib_bianma(bm_bookid,bm_name) values('7-5006-" +
              std::to_string(2000 + i) + "-1','卷" + std::to_string(i) + "')\nGO\n";
  }
  for (int i = 0; i < 94; ++i) {
    script += "insert into lib_freebm(bm_code,bm_bookid) values(" + std::to_string(10 + i) + ",'F" +
              std::to_string(i) + "')\nGO\n";
  }
  lib.Run(script);

  lib.up.Do200703();

  std::vector<std::string> expected{"visible", "5"};
  for (int p = 6; p <= 100; ++p) expected.push_back(std::to_string(p));  // catalogue rows 1..95
  expected.push_back("0");                                               // row 96
  for (int p = 1; p <= 4; ++p) expected.push_back(std::to_string(p));    // rows 97..100
  for (int p = 5; p <= 100; ++p) expected.push_back(std::to_string(p));  // free rows 1..96
  expected.push_back("0");                                               // free row 97
  expected.push_back("hidden");
  EXPECT_EQ(lib.view.Only("bar "), expected);
  EXPECT_EQ(lib.view.Only("num "), (std::vector<std::string>{"visible", "100", "100", "hidden"}));
}

// A rebuild that fails leaves the publishers as they were: rows, index and
// no work table behind.
TEST(Do200703, FailedPublisherRebuildLeavesTheOldTableWhole) {
  const char* const breakers[] = {
      // two publishers under one prefix: the new key refuses the copy
      "insert into lib_chuban values('7-5006','0','青年出版社(旧)','北京','','','','','')",
      // a tenth column the copy does not expect
      "alter table lib_chuban add cb_email char(40) default('')",
  };
  for (const char* breaker : breakers) {
    SCOPED_TRACE(breaker);
    Library lib;
    lib.Run(
        "create index PK_lib_chuban_publish on lib_chuban(cb_publish) WITH "
        "PAD_INDEX,FILLFACTOR=85\nGO\n" +
        std::string(breaker));
    const auto before = lib.Rows("select * from lib_chuban order by cb_sbookno,cb_publish");

    EXPECT_THROW(lib.up.Do200703(), db::Error);

    EXPECT_EQ(lib.Rows("select * from lib_chuban order by cb_sbookno,cb_publish"), before);
    EXPECT_EQ(lib.Rows("select name from sysindexes where id in (select id from sysobjects where "
                       "name='lib_chuban') and indid > 0"),
              (std::vector<std::string>{"PK_lib_chuban_publish"}));
    EXPECT_EQ(lib.Scalar("select count(*) from sysobjects where name in "
                         "('lib_chuban1','PK_lib_chuban')"),
              "0");
    EXPECT_EQ(lib.Scalar("select @@trancount"), "0");
  }
}

}  // namespace
