// Upgrade step of September 2007: book barcodes grow from 9 to 12 characters.
// The copies table lib_tiaoma and the stock-taking table lib_pandianbook are
// rebuilt through work tables with 12-character keys; the loan, registration,
// good-book and cancellation tables get their barcode columns widened, and the
// parameter table learns the longest barcode the library accepts.
//
// Each rebuild runs, from creating its work table to dropping it, inside one
// transaction: a duplicate barcode or any other failure rolls the database back
// to the old table with all its copies and keys, instead of leaving the copies
// stranded in the work table.
#include "steps/preflight.h"
#include "steps/upgrader.h"

namespace steps {
namespace {

// The eight copy columns; only the width of the barcode differs between the
// work table and the rebuilt table.
std::vector<std::string> TiaomaTable(const std::string& name, int barcode_width) {
  return {
      "create table " + name + "(",
      "  tm_barcode char(" + std::to_string(barcode_width) + ") NOT NULL,",
      "  tm_mark char(1) default('0'),",
      "  tm_code int NOT NULL,",
      "  tm_place numeric(2,0) default(0),",
      "  tm_logdate datetime default(getdate()),",
      "  tm_yydate datetime default(getdate()),",
      "  tm_initdate datetime default(getdate()),",
      "  tm_user char(8) default(''))",
  };
}

std::vector<std::string> PandianTable(const std::string& name, int barcode_width) {
  return {
      "create table " + name + "(",
      "  pd_barcode char(" + std::to_string(barcode_width) + ") not null,",
      "  pd_date datetime default(getdate()) not null,",
      "  pd_user char(6) default(''))",
  };
}

}  // namespace

void Upgrader::Do200709() {
  if (!CheckVerSign("ZZ20070913.BOOKBAR_LEN_12")) return;

  view.SetBarVisible(true);
  view.SetBarPosition(5);
  Exec({"alter table lib_cunfang add cf_jiechusign int default(0)"});
  Exec({"update lib_cunfang set cf_jiechusign=0"});

  SetProcess("lib_tiaoma，扩展位12位长");
  view.ProcessMessages();
  db::RunInTransaction(qrTmp, [&] {
    Exec(TiaomaTable("lib_tiaoma_tmp", 9));
    Exec(
        {"insert into lib_tiaoma_tmp(tm_barcode,tm_mark,tm_code,tm_place,tm_logdate,tm_yydate,"
         "tm_initdate,tm_user)",
         "select tm_barcode,tm_mark,tm_code,tm_place,tm_logdate,tm_yydate,tm_initdate,tm_user "
         "from lib_tiaoma "});
    view.SetBarPosition(25);
    Exec({"drop table lib_tiaoma"});
    Exec(TiaomaTable("lib_tiaoma", 12));
    Exec(
        {"ALTER TABLE lib_tiaoma ADD CONSTRAINT PK_lib_tiaoma PRIMARY KEY "
         "NONCLUSTERED(tm_barcode)"});
    Exec({"create index PK_lib_tiaoma_code on lib_tiaoma(tm_code) WITH PAD_INDEX,FILLFACTOR=85"});
    Exec(
        {"insert into lib_tiaoma(tm_barcode,tm_mark,tm_code,tm_place,tm_logdate,tm_yydate,"
         "tm_initdate,tm_user)",
         "select tm_barcode,tm_mark,tm_code,tm_place,tm_logdate,tm_yydate,tm_initdate,tm_user "
         "from lib_tiaoma_tmp "});
    view.SetBarPosition(45);
    Exec({"drop table lib_tiaoma_tmp"});
  });
  view.SetBarPosition(55);

  SetProcess("lib_jieshu");
  view.ProcessMessages();
  Exec({"DROP Index lib_jieshu.PK_lib_jieshu_barcode"});
  Exec({"alter table lib_jieshu ALTER COLUMN js_barcode char(12)"});
  Exec(
      {"create index PK_lib_jieshu_barcode on lib_jieshu(js_barcode) WITH "
       "PAD_INDEX,FILLFACTOR=85"});
  view.SetBarPosition(75);

  Exec({"alter table lib_canshub add cs_maxbookbarlen int default(9)"});
  Exec({"update lib_canshub set cs_maxbookbarlen=9"});
  Exec({"alter table lib_zhucetmp ALTER COLUMN np_barcode char(12)"});
  Exec({"alter table lib_goodbook ALTER COLUMN gb_barcode char(12)"});
  Exec({"alter table lib_zhuxiaoinfo ALTER COLUMN zi_barcode char(12)"});
  view.SetBarPosition(85);

  db::RunInTransaction(qrTmp, [&] {
    Exec(PandianTable("lib_pandianbook_tmp", 9));
    Exec({"insert into lib_pandianbook_tmp(pd_barcode,pd_date,pd_user)",
          "select pd_barcode,pd_date,pd_user from lib_pandianbook "});
    Exec({"drop table lib_pandianbook"});
    Exec(PandianTable("lib_pandianbook", 12));
    Exec(
        {"ALTER TABLE lib_pandianbook ADD CONSTRAINT PK_lib_pandianbook PRIMARY KEY "
         "NONCLUSTERED(pd_barcode)"});
    Exec({"insert into lib_pandianbook(pd_barcode,pd_date,pd_user)",
          "select pd_barcode,pd_date,pd_user from lib_pandianbook_tmp "});
    Exec({"drop table lib_pandianbook_tmp"});
  });
  // The bar stays visible; the next step sets it again.
  view.SetBarPosition(95);
}


// The copies and stock-taking tables are rebuilt with their barcodes as NOT
// NULL primary keys; the loan table's barcode column is widened once its own
// index is dropped, and three more barcode columns are widened in place
// (refused while any other index covers them).
std::vector<DataCheck> Do200709Checks() {
  return {{DataCheck::UniqueKey, "lib_tiaoma", "tm_barcode"},
          {DataCheck::NotNull, "lib_tiaoma", "tm_barcode"},
          {DataCheck::NotNull, "lib_tiaoma", "tm_code"},
          {DataCheck::UniqueKey, "lib_pandianbook", "pd_barcode"},
          {DataCheck::NotNull, "lib_pandianbook", "pd_barcode"},
          {DataCheck::NotNull, "lib_pandianbook", "pd_date"},
          {DataCheck::OnlyIndex, "lib_jieshu", "js_barcode", 0, "PK_lib_jieshu_barcode"},
          {DataCheck::OnlyIndex, "lib_zhucetmp", "np_barcode"},
          {DataCheck::OnlyIndex, "lib_goodbook", "gb_barcode"},
          {DataCheck::OnlyIndex, "lib_zhuxiaoinfo", "zi_barcode"}};
}

}  // namespace steps
