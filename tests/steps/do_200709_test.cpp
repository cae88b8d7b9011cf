// Book barcodes widened to 12 characters: the copies and stock-taking tables
// rebuilt, the loan, registration, good-book and cancellation columns widened.
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
using Lines = std::vector<std::string>;

struct At2007_03 : testing_support::StepRig {
  At2007_03() : StepRig({"release_2007_03.sql"}) {}
  std::string Length(const std::string& table, const std::string& column) {
    return Scalar(*c, "select length from syscolumns where name='" + column +
                          "' and id in (select id from sysobjects where name='" + table + "')")
        .value_or("none");
  }
  // Name of the table an index or key belongs to.
  std::string IndexTable(const std::string& index) {
    return Scalar(*c, "select o.name from sysindexes i, sysobjects o where i.name='" + index +
                          "' and o.id=i.id")
        .value_or("none");
  }
};

const char* kCopies =
    "select tm_barcode,tm_mark,tm_code,tm_place,tm_logdate,tm_yydate,tm_initdate,tm_user "
    "from lib_tiaoma order by tm_barcode";
const char* kStockTaking =
    "select pd_barcode,pd_date,pd_user from lib_pandianbook order by pd_barcode";

TEST(Do200709, WidensEveryBarcodeKeepingCopiesStockTakingAndKeys) {
  At2007_03 d;
  const Lines copies = Rows(*d.c, kCopies);
  const Lines stock = Rows(*d.c, kStockTaking);
  ASSERT_EQ(copies.size(), 6u);

  d.up.Do200709();

  EXPECT_EQ(Rows(*d.c, kCopies), copies);
  EXPECT_EQ(Rows(*d.c, kStockTaking), stock);
  for (const auto& [table, column] :
       std::vector<std::pair<std::string, std::string>>{{"lib_tiaoma", "tm_barcode"},
                                                        {"lib_pandianbook", "pd_barcode"},
                                                        {"lib_jieshu", "js_barcode"},
                                                        {"lib_zhucetmp", "np_barcode"},
                                                        {"lib_goodbook", "gb_barcode"},
                                                        {"lib_zhuxiaoinfo", "zi_barcode"}})
    EXPECT_EQ(d.Length(table, column), "12") << table << "." << column;
  EXPECT_EQ(d.IndexTable("PK_lib_tiaoma"), "lib_tiaoma");
  EXPECT_EQ(d.IndexTable("PK_lib_tiaoma_code"), "lib_tiaoma");
  EXPECT_EQ(d.IndexTable("PK_lib_pandianbook"), "lib_pandianbook");
  EXPECT_EQ(d.IndexTable("PK_lib_jieshu_barcode"), "lib_jieshu");
  EXPECT_EQ(Scalar(*d.c,
                   "select count(*) from sysobjects where name in "
                   "('lib_tiaoma_tmp','lib_pandianbook_tmp')"),
            "0");
  EXPECT_EQ(Rows(*d.c, "select cs_maxbookbarlen from lib_canshub"), Lines{"9"});
  EXPECT_EQ(Rows(*d.c, "select distinct cf_jiechusign from lib_cunfang"), Lines{"0"});
  EXPECT_EQ(Rows(*d.c, "select js_barcode from lib_jieshu order by js_barcode"),
            (Lines{"000010002", "000010006"}));

  // Twelve-character barcodes fit, and the new key refuses a second copy of one.
  Rows(*d.c, "insert into lib_tiaoma(tm_barcode,tm_code) values('000000010007',2)");
  EXPECT_ANY_THROW(
      Rows(*d.c, "insert into lib_tiaoma(tm_barcode,tm_code) values('000000010007',3)"));
  Rows(*d.c, "insert into lib_pandianbook(pd_barcode) values('000000010007')");
  EXPECT_ANY_THROW(Rows(*d.c, "insert into lib_pandianbook(pd_barcode) values('000000010007')"));

  EXPECT_EQ(d.view.Only("bar "), (Lines{"visible", "5", "25", "45", "55", "75", "85", "95"}));
  EXPECT_EQ(d.view.Only("process "), (Lines{"处理：lib_tiaoma，扩展位12位长", "处理：lib_jieshu"}));

  d.sent.clear();
  d.view.events.clear();
  d.up.Do200709();
  EXPECT_EQ(d.sent,
            Lines{"select vm_mess from ver_manage\nwhere vm_mess='ZZ20070913.BOOKBAR_LEN_12'"});
  EXPECT_TRUE(d.view.events.empty());
}

TEST(Do200709, DuplicateBarcodeLeavesTheOldCopiesTableWhole) {
  At2007_03 d;
  // An old database whose copies table lost its key and holds one barcode twice.
  Rows(*d.c, "ALTER TABLE lib_tiaoma DROP CONSTRAINT PK_lib_tiaoma");
  Rows(*d.c,
       "insert into lib_tiaoma(tm_barcode,tm_mark,tm_code,tm_user) "
       "values('000010003','0',5,'zhang')");
  const Lines copies = Rows(*d.c, kCopies);

  EXPECT_THROW(d.up.Do200709(), db::Error);

  EXPECT_EQ(Rows(*d.c, kCopies), copies);
  EXPECT_EQ(d.Length("lib_tiaoma", "tm_barcode"), "9");
  EXPECT_EQ(d.IndexTable("PK_lib_tiaoma_code"), "lib_tiaoma");
  EXPECT_EQ(Scalar(*d.c, "select count(*) from sysobjects where name='lib_tiaoma_tmp'"), "0");
  // Nothing after the rebuild was done, and the stock-taking table is untouched.
  EXPECT_EQ(d.Length("lib_jieshu", "js_barcode"), "9");
  EXPECT_EQ(d.Length("lib_pandianbook", "pd_barcode"), "9");
  EXPECT_EQ(d.IndexTable("PK_lib_jieshu_barcode"), "lib_jieshu");
  // The sign was recorded before the work, so a later run leaves the step alone.
  EXPECT_EQ(
      Scalar(*d.c, "select count(*) from ver_manage where vm_mess='ZZ20070913.BOOKBAR_LEN_12'"),
      "1");
  d.up.Do200709();
  EXPECT_EQ(d.Length("lib_tiaoma", "tm_barcode"), "9");
}

}  // namespace
