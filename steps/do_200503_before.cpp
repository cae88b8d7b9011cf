// Upgrade step Do200503Before: the consolidation that brings a library
// database from before March 2005 to the baseline every dated step assumes.
//
// It has no upgrade sign; every change stands behind its own catalogue probe,
// so the step can be started any number of times. In order it makes the
// parameter and work tables of that era and the copy, fine, reader and loan
// columns (filled from existing data), the author-number tables loaded from
// zzm.dat, and then the catalogue sub-fields of the second stretch (see
// do_200503_before_catalogue.cpp), which ends the step.
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/batch.h"
#include "refdata/data_files.h"
#include "refdata/zzm.h"
#include "steps/do_200503_before.h"
#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace steps {

namespace consolidation {

void Announce(Upgrader& u, std::string_view task_utf8) {
  u.SetProcess(task_utf8);
  u.view.Repaint();
  u.view.ProcessMessages();
}

std::vector<std::string> CreateTable(std::string_view table, const std::vector<std::string>& columns,
                                     std::string_view closing) {
  std::vector<std::string> lines = {"create table " + std::string(table) + " ( "};
  for (std::size_t i = 0; i < columns.size(); ++i)
    lines.push_back("    " + columns[i] + (i + 1 < columns.size() ? "," : ""));
  lines.emplace_back(closing);
  return lines;
}

std::vector<std::string> PrimaryKey(std::string_view table, std::string_view columns) {
  const std::string t(table);
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  return {"ALTER TABLE " + t + " ADD CONSTRAINT ", "PK_" + t + " PRIMARY KEY NONCLUSTERED",
          "(" + std::string(columns) + ")"};
#pragma GCC diagnostic pop
}

void CreateIndexIfAbsent(Upgrader& u, std::string_view index, std::string_view table, std::string_view columns) {
  Announce(u, index);
  if (!u.IndexAbsent(index)) return;
  u.Exec({"create index " + std::string(index) + " on " + std::string(table) + "(" + std::string(columns) +
          ") WITH PAD_INDEX,FILLFACTOR=85"});
}

}  // namespace consolidation

namespace {

using consolidation::Announce;
using consolidation::CreateIndexIfAbsent;
using consolidation::CreateTable;
using consolidation::PrimaryKey;

void CreatePrtBlank(Upgrader& u) {
  Announce(u, "lib_prtblank");
  if (!u.TableAbsent("lib_prtblank")) return;
  u.Exec(CreateTable("lib_prtblank", {"pb_no int NOT NULL IDENTITY (1, 1)", "pb_default int default(0)",
                                      "pb_top int default(0)", "pb_bottom int default(0)",
                                      "pb_left int default(0)", "pb_right int default(0)"}));
  u.Exec(PrimaryKey("lib_prtblank", "pb_no"));
  u.Exec({"insert into lib_prtblank( ", "     pb_default,pb_top,pb_bottom,pb_left,pb_right) values(",
          "     0,10,10,10,10)"});
}

void AddTeachingReferenceLoanType(Upgrader& u) {
  db::OpenQuery(u.qrTmp, {"select jz_id from lib_jiezhilx where jz_id=6 or jz_type='" + G("教参") + "'"});
  const bool absent = u.qrTmp.Eof();
  u.qrTmp.Close();
  if (absent) u.Exec({"insert into lib_jiezhilx values(6,'" + G("教参") + "')"});
}

void CreateCopyAndLoanIndexes(Upgrader& u) {
  struct Index {
    const char* name;
    const char* table;
    const char* columns;
  };
  static const Index kIndexes[] = {
      {"PK_lib_bianma_bookid", "lib_bianma", "bm_bookid"},
      {"PK_lib_bianma_bookno", "lib_bianma", "bm_bookno"},
      {"PK_lib_bianma_name", "lib_bianma", "bm_name"},
      {"PK_lib_freebm_bookid", "lib_freebm", "bm_bookid"},
      {"PK_lib_freebm_name", "lib_freebm", "bm_name"},
      {"PK_lib_tiaoma_code", "lib_tiaoma", "tm_code"},
      {"PK_lib_jieshu_libcard", "lib_jieshu", "js_libcard"},
      {"PK_lib_jieshu_barcode", "lib_jieshu", "js_barcode"},
  };
  for (const Index& ix : kIndexes) CreateIndexIfAbsent(u, ix.name, ix.table, ix.columns);
}

void AddCopyInitDate(Upgrader& u) {
  Announce(u, "lib_tiaoma:tm_initdate");
  if (!u.ColumnAbsent("lib_tiaoma", "tm_initdate")) return;
  u.Exec({"alter table lib_tiaoma add tm_initdate datetime default(getdate())"});
  u.Exec({"update lib_tiaoma set ", "    tm_initdate=tm_yydate", "where tm_mark<>'9'"});
  u.Exec({"update lib_tiaoma set ", "    tm_initdate=tm_logdate", "where tm_mark='9'"});
}

void CreateDiskLoans(Upgrader& u) {
  Announce(u, "lib_diskjieshu");
  if (!u.TableAbsent("lib_diskjieshu")) return;
  u.Exec(CreateTable("lib_diskjieshu",
                     {"js_no int NOT NULL IDENTITY (1, 1)", "js_libcard char(9) not null",
                      "js_mark char(2) default(' ')", "js_barcode char(9) not null",
                      "js_bdate datetime default(getdate()) not null",
                      "js_edate datetime default(getdate()) not null", "js_user char(6) default('')"}));
  u.Exec(PrimaryKey("lib_diskjieshu", "js_no"));
}

void CreateGoodBookSave(Upgrader& u) {
  Announce(u, "lib_goodbooksave");
  if (u.TableAbsent("lib_goodbooksave")) {
    u.Exec(CreateTable("lib_goodbooksave",
                       {"gs_no int NOT NULL IDENTITY (1, 1)", "gs_code int default('0')",
                        "gs_user char(26) default('')", "gs_date datetime default(getdate())",
                        "gs_why text default('')"}));
    u.Exec(PrimaryKey("lib_goodbooksave", "gs_no"));
  }
  if (u.ColumnAbsent("lib_goodbooksave", "gs_title")) {
    u.Exec({"alter table lib_goodbooksave add gs_title char(128) DEFAULT('')"});
    u.Exec({"update lib_goodbooksave set gs_title=''"});
  }
}

void CreateCheckMore(Upgrader& u) {
  Announce(u, "lib_checkmore");
  if (!u.TableAbsent("lib_checkmore")) return;
  u.Exec(CreateTable("lib_checkmore",
                     {"cm_no int NOT NULL IDENTITY (1, 1)", "cm_checkmore char(1) default('1')",
                      "cm_freebm char(1) default('1')", "cm_zhengding char(1) default('1')",
                      "cm_z39net char(1) default('0')", "cm_otherc char(1) default('0')",
                      "cm_others char(80) default('')", "cm_otheri int default(0)"}));
  u.Exec(PrimaryKey("lib_checkmore", "cm_no"));
  u.Exec({"insert into lib_checkmore( ",
          "     cm_checkmore,cm_freebm,cm_zhengding,cm_z39net,cm_otherc,cm_others,cm_otheri) values(",
          "     '1','1','1','0','0','',0)"});
}

void CreateBookNoPara(Upgrader& u) {
  Announce(u, "lib_booknopara");
  if (u.TableAbsent("lib_booknopara")) {
    u.Exec(CreateTable("lib_booknopara",
                       {"bp_id int NOT NULL IDENTITY (1, 1)", "bp_sign int NOT NULL", "bp_width int NOT NULL",
                        "bp_height int NOT NULL", "bp_top int NOT NULL", "bp_bottom int NOT NULL",
                        "bp_left int NOT NULL", "bp_right int NOT NULL", "bp_lines int NOT NULL",
                        "bp_rows int NOT NULL", "bp_2or3 int NOT NULL", "bp_step int NOT NULL"}));
    u.Exec(PrimaryKey("lib_booknopara", "bp_id"));
    u.Exec({"insert into lib_booknopara( ",
            "     bp_sign,bp_width,bp_height,bp_top,bp_bottom,bp_left,bp_right,bp_lines,bp_rows,bp_2or3,bp_step) "
            "values(",
            "     0,130,265,17,4,3,3,8,3,3,0)"});
  }
  if (u.ColumnAbsent("lib_booknopara", "bp_step")) {
    u.Exec({"alter table lib_booknopara add bp_step int NOT NULL DEFAULT(0)"});
    u.Exec({"update lib_booknopara set bp_step=0"});
  }
}

void CreateRegistrationWork(Upgrader& u) {
  Announce(u, "lib_zhucetmp");
  if (!u.TableAbsent("lib_zhucetmp")) return;
  u.Exec(CreateTable("lib_zhucetmp", {"np_no int NOT NULL IDENTITY (1, 1)", "np_code int NOT NULL",
                                      "np_barcode char(9) default('')", "np_from char(20) default('')",
                                      "np_to char(20) default('')", "np_user char(6) default('')"}));
  u.Exec(PrimaryKey("lib_zhucetmp", "np_no"));
}

void CreateSuspensions(Upgrader& u) {
  Announce(u, "lib_tingjie");
  if (!u.TableAbsent("lib_tingjie")) return;
  u.Exec(CreateTable("lib_tingjie", {"tj_code char(9) Not NULL", "tj_bdate datetime default(getdate())",
                                     "tj_edate datetime default(getdate())"}));
  u.Exec(PrimaryKey("lib_tingjie", "tj_code"));
}

void CreateCardSystem(Upgrader& u) {
  Announce(u, "lib_yikatong");
  if (!u.TableAbsent("lib_yikatong")) return;
  u.Exec(CreateTable("lib_yikatong", {"yk_no int NOT NULL IDENTITY (1, 1)", "yk_len integer default(9)",
                                      "yk_lenb integer default(0)", "yk_lene integer default(0)",
                                      "yk_cardsign integer default(0)"}));
  u.Exec(PrimaryKey("lib_yikatong", "yk_no"));
  u.Exec({"insert into lib_yikatong(yk_len,yk_lenb,yk_lene,yk_cardsign) values( ", " 9,0,0,1)"});
}

void CreateMonthlyStatistics(Upgrader& u, const std::string& table, int columns) {
  Announce(u, table);
  if (!u.TableAbsent(table)) return;
  std::vector<std::string> cols = {"p4_id numeric(2,0) not null", "p4_dzlx char(10) default('')"};
  for (int i = 1; i <= columns; ++i) cols.push_back("p4_" + std::to_string(i) + " numeric(6,0) default(0)");
  cols.push_back("p4_total numeric(6,0) default(0)");
  u.Exec(CreateTable(table, cols));
  u.Exec(PrimaryKey(table, "p4_id"));
}

void AddFineReaderColumns(Upgrader& u) {
  Announce(u, "lib_fakuan，请耐心等待...");
  if (!u.ColumnAbsent("lib_fakuan", "fk_type")) return;
  u.Exec({"alter table lib_fakuan ", "add fk_name char(8) default(''),", "    fk_deptment char(40) default(''),",
          "    fk_type int default(0),", "    fk_optname char(20) default('')"});

  // Reader name and department of each fine, by card number.
  db::OpenQuery(u.qrTmp, {"select fk_id from lib_fakuan group by fk_id"});
  while (!u.qrTmp.Eof()) {
    u.view.ProcessMessages();
    const std::string card = text::EscapeQuotes(text::Trim(u.qrTmp.AsString("fk_id")));
    db::OpenQuery(u.qrTmp1, {"select pe_name,pe_deptment from lib_people", "where pe_id='" + card + "'"});
    std::string name, dept;
    if (!u.qrTmp1.Eof()) {
      name = text::Trim(u.qrTmp1.AsString("pe_name"));
      dept = text::Trim(u.qrTmp1.AsString("pe_deptment"));
    }
    u.qrTmp1.Close();
    u.Exec(u.qrTmp1, {"update lib_fakuan set", "fk_name='" + text::EscapeQuotes(name) + "',",
                      "fk_deptment='" + text::EscapeQuotes(dept) + "' ", "where fk_id='" + card + "'"});
    u.qrTmp.Next();
  }
  u.qrTmp.Close();

  // Operator name of each fine, by operator code.
  db::OpenQuery(u.qrTmp, {"select fk_operator from lib_fakuan group by fk_operator"});
  while (!u.qrTmp.Eof()) {
    u.view.ProcessMessages();
    const std::string code = text::EscapeQuotes(text::Trim(u.qrTmp.AsString("fk_operator")));
    db::OpenQuery(u.qrTmp1, {"select us_name from lib_user", "where us_code='" + code + "'"});
    std::string operator_name;
    if (!u.qrTmp1.Eof()) operator_name = text::Trim(u.qrTmp1.AsString("us_name"));
    u.qrTmp1.Close();
    u.Exec(u.qrTmp1, {"update lib_fakuan set", "fk_optname='" + text::EscapeQuotes(operator_name) + "',",
                      "fk_type=0 ", "where fk_operator='" + code + "'"});
    u.qrTmp.Next();
  }
  u.qrTmp.Close();
}

void AddCopyCataloguer(Upgrader& u) {
  Announce(u, "lib_tiaoma:tm_user，请耐心等待...");
  if (!u.ColumnAbsent("lib_tiaoma", "tm_user")) return;
  u.Exec({"alter table lib_tiaoma add tm_user char(8) default('')"});
  db::OpenQuery(u.qrTmp, {"select bm_code,bm_user from lib_bianma "});
  db::Batch batch(u.qrTmp1);
  while (!u.qrTmp.Eof()) {
    u.view.ProcessMessages();
    const std::string user = text::EscapeQuotes(text::Trim(u.qrTmp.AsString("bm_user")));
    batch.Run({"update lib_tiaoma set ", " tm_user='" + user + "'",
               "where tm_code=" + std::to_string(u.qrTmp.AsInteger("bm_code"))});
    u.qrTmp.Next();
  }
  batch.Flush();
  u.qrTmp.Close();
}

void RebuildPrintWork(Upgrader& u) {
  Announce(u, "lib_prtdowork:to_bianmaf");
  if (!u.ColumnAbsent("lib_prtdowork", "to_bianmaf")) return;
  u.Exec(u.qrTmp1, {"drop table lib_prtdowork"});
  u.Exec(u.qrTmp1, CreateTable("lib_prtdowork",
                               {"to_name char(20) default(' ')", "to_bianma numeric(7,0) default(0)",
                                "to_number numeric(7,0) default(0)", "to_bianmaf numeric(7,0) default(0)",
                                "to_numberf numeric(7,0) default(0)", "to_price numeric(15,2) default(0.00)"},
                               ")"));
}

void AddCatalogueOrderNo(Upgrader& u) {
  Announce(u, "lib_bianma:bm_noorder");
  if (u.ColumnAbsent("lib_bianma", "bm_noorder"))
    u.Exec(u.qrTmp1, {"alter table lib_bianma add bm_noorder char(26) default('')"});
}

void AddReaderCategoryDays(Upgrader& u) {
  Announce(u, "lib_duzhe:dz_xjdays,dz_yydays,dz_yynum");
  if (u.ColumnAbsent("lib_duzhe", "dz_yydays")) {
    std::int64_t renew_days = 30, reserve_days = 30;
    db::OpenQuery(u.qrTmp1, {"select cs_xujie,cs_yuyue from lib_canshub "});
    if (!u.qrTmp1.Eof()) {
      renew_days = u.qrTmp1.AsInteger("cs_xujie");
      reserve_days = u.qrTmp1.AsInteger("cs_yuyue");
    }
    u.qrTmp1.Close();
    u.Exec(u.qrTmp1, {"alter table lib_duzhe add ", "    dz_xjdays numeric(3,0) default(30),",
                      "    dz_yydays numeric(3,0) default(30),", "    dz_yynum numeric(2,0) default(5)"});
    u.Exec(u.qrTmp1, {"update lib_duzhe set ", "    dz_xjdays=" + std::to_string(renew_days) + ",",
                      "    dz_yydays=" + std::to_string(reserve_days) + ",", "    dz_yynum=5"});
  }
  // Widened on every run; the data stays as it is.
  u.Exec(u.qrTmp1, {"alter table lib_duzhe alter column  ", "    dz_bdays numeric(4,0)"});
  u.Exec(u.qrTmp1, {"alter table lib_duzhe alter column  ", "    dz_booknum numeric(4,0)"});
}

void AddReaderCategoryRecommend(Upgrader& u) {
  Announce(u, "lib_duzhe:dz_tuijian");
  if (!u.ColumnAbsent("lib_duzhe", "dz_tuijian")) return;
  u.Exec(u.qrTmp1, {"alter table lib_duzhe add ", "    dz_tuijian char(1) default('0')"});
  u.Exec(u.qrTmp1, {"update lib_duzhe set ", "    dz_tuijian='0'"});
}

void CreateNotepad(Upgrader& u) {
  Announce(u, "lib_notepadlib");
  if (!u.TableAbsent("lib_notepadlib")) return;
  u.Exec(CreateTable("lib_notepadlib", {"np_no int NOT NULL IDENTITY (1, 1)", "np_date datetime default(getdate())",
                                        "np_text text default('')", "np_operator char(6) default('')",
                                        "np_oprname char(20) default('')"}));
  u.Exec(PrimaryKey("lib_notepadlib", "np_no"));
}

void CreateGoodBook(Upgrader& u) {
  Announce(u, "lib_goodbook");
  if (!u.TableAbsent("lib_goodbook")) return;
  u.Exec(CreateTable("lib_goodbook",
                     {"gb_barcode char(10) default('')", "gb_code int default(0)", "gb_usercode char(10) default('')"}));
}

// The author-number tables: create statement with the table's own name, and
// its three-line primary key.
void CreateZzmTable(Upgrader& u, const std::string& table, std::initializer_list<std::string_view> columns,
                    const std::string& key) {
  std::vector<std::string> lines = {"create table " + table + "("};
  std::size_t i = 0;
  for (std::string_view c : columns) lines.push_back("    " + std::string(c) + (++i < columns.size() ? "," : ""));
  lines.push_back(")");
  u.Exec(lines);
  u.Exec({"ALTER TABLE " + table + " ADD CONSTRAINT", "PK_" + table + " PRIMARY KEY NONCLUSTERED ",
          "(" + key + ")"});
}

void CreateZzmAuthorTable(Upgrader& u, const std::string& table) {
  CreateZzmTable(u, table,
                 {"zz_zhuzhe char(20) NOT NULL", "zz_pinyin char(6) default('')", "zz_code char(3) default('')",
                  "zz_fufen char(1) default('')", "zz_begin char(6) NOT NULL default('0')",
                  "zz_end char(6) default('')"},
                 "zz_zhuzhe,zz_begin");
}

void SetUpAuthorNumberTables(Upgrader& u) {
  Announce(u, "lib_zzm_new");
  if (u.TableAbsent("lib_zzm_zst")) u.view.SetDeleteOldChecked(true);
  const bool replace = u.view.DeleteOldChecked();

  // The tables are loaded whenever they are (re)made; make sure the file is
  // there before anything is dropped or created, so a missing file leaves the
  // tables as they were and the next run, with the file in place, does the
  // whole job.
  if (replace || u.TableAbsent("lib_zzm_new")) {
    refdata::LocateDataFile(u.ctx.data_dirs, refdata::DataFile::Zzm);
  }

  if (replace) {
    u.Tolerate({"drop table lib_zzm_new"});
    u.Tolerate({"drop table lib_zzm_old"});
    u.Tolerate({"drop table lib_zzm_zst"});
    u.Tolerate({"drop table lib_zzm_hz"});
  }
  if (!u.TableAbsent("lib_zzm_new")) return;
  CreateZzmAuthorTable(u, "lib_zzm_new");
  CreateZzmTable(u, "lib_zzm_hz", {"hz_hanzi char(2) NOT NULL", "hz_pinyin char(6) default('')"}, "hz_hanzi");
  CreateZzmTable(u, "lib_zzm_old", {"zz_zhuzhe char(10) NOT NULL", "zz_code char(4) default('')"}, "zz_zhuzhe");
  CreateZzmAuthorTable(u, "lib_zzm_zst");
  Announce(u, "导入著者代码表，请耐心等待...");
  refdata::InputZzmCode(u.ctx);
}

}  // namespace

void Upgrader::Do200503Before() {
  CreatePrtBlank(*this);
  AddTeachingReferenceLoanType(*this);
  CreateCopyAndLoanIndexes(*this);
  AddCopyInitDate(*this);
  CreateDiskLoans(*this);
  CreateGoodBookSave(*this);
  CreateCheckMore(*this);
  CreateBookNoPara(*this);
  CreateRegistrationWork(*this);
  CreateSuspensions(*this);
  CreateCardSystem(*this);
  CreateMonthlyStatistics(*this, "lib_prttab4new", 31);
  CreateMonthlyStatistics(*this, "lib_prttab4anew", 12);
  AddFineReaderColumns(*this);
  AddCopyCataloguer(*this);
  RebuildPrintWork(*this);
  AddCatalogueOrderNo(*this);
  AddReaderCategoryDays(*this);
  AddReaderCategoryRecommend(*this);
  CreateNotepad(*this);
  CreateGoodBook(*this);
  SetUpAuthorNumberTables(*this);
  consolidation::ConsolidateCatalogue(*this);
}

}  // namespace steps
