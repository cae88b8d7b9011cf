// The 2007-03-12 release: reader-card numbers grow from 9 to 12 characters
// in every table that holds one, the card and barcode range parameters with
// them, several name columns to 20 characters; the reader table lib_people and
// the suspension table lib_tingjie are rebuilt with 12-character keys.
// Before that, on every run and each behind its own probe: three parameters,
// the wider loan-limit columns of the reader table, and the table of each
// operator's function list.
//
// The two rebuilds copy through a work table. Each runs as one transaction,
// so a failure (a duplicate key, a value that does not fit) leaves the old
// table with its rows and keys as they were instead of stranding the rows in
// the work table.
#include <string>
#include <utility>
#include <vector>

#include "db/ledger.h"
#include "steps/preflight.h"
#include "steps/upgrader.h"

namespace steps {

namespace {

// The reader table; pe_id, pe_passwd and pe_name take the widths given. The
// loan-limit columns keep the widths of the widening on every run, so that a
// rebuild never narrows them again.
std::vector<std::string> ReaderTable(const std::string& first, int id_width, int name_width) {
  const std::string id = std::to_string(id_width);
  return {G(first),
          G("  pe_id char(" + id + ") not null,"),
          G("  pe_yktno char(20) default(''),"),
          G("  pe_passwd char(" + id + ") default(''),"),
          G("  pe_mark char(4) default('正常'),"),
          G("  pe_name char(" + std::to_string(name_width) + ") not null default(''),"),
          G("  pe_sex char(2) default('男'),"),
          G("  pe_deptment char(40) default(''),"),
          G("  pe_dzlx numeric(2,0) default(0),"),
          G("  pe_address char(80) default(''),"),
          G("  pe_telno char(15) default(''),"),
          G("  pe_email char(80) default(''),"),
          G("  pe_maxnum int default(0),"),
          G("  pe_maxdays int default(0),"),
          G("  pe_smaxnum numeric(4,0) default(0),"),
          G("  pe_limittype char(120) default(''),"),
          G("  pe_smaxday numeric(4,0) default(0),"),
          G("  pe_limitday char(120) default(''),"),
          G("  pe_borrownum int default(0),"),
          G("  pe_remark varchar(128) default(''),"),
          G("  pe_bdate datetime default(getdate()),"),
          G("  pe_edate datetime default(getdate()),"),
          G("  pe_finemount numeric(8,2) default(0.00),"),
          G("  pe_leftamt numeric(8,2) default(0.00),"),
          G("  pe_cost numeric(5,2) default(0),"),
          G("  pe_roomid int default(0),"),
          G("  pe_termno char(6) default(''),"),
          G("  pe_logdate datetime default(getdate()),"),
          G("  pe_sign char(1) default('0'),"),
          G("  pe_photo image"),
          ")"};
}

// "insert into TO(" columns "select " columns "from FROM".
std::vector<std::string> CopyReaders(const std::string& to, const std::string& from) {
  const char* const columns[] = {
      " pe_id,pe_yktno,pe_passwd,pe_mark,pe_name,pe_sex,pe_deptment,",
      " pe_dzlx,pe_address,pe_telno,pe_email,pe_maxnum,",
      " pe_maxdays,pe_smaxnum,pe_limittype,pe_smaxday,",
      " pe_limitday,pe_borrownum,pe_remark,pe_bdate,pe_edate,",
      " pe_finemount,pe_leftamt,pe_cost,pe_roomid,pe_termno,",
  };
  std::vector<std::string> lines{"insert into " + to + "("};
  lines.insert(lines.end(), std::begin(columns), std::end(columns));
  lines.push_back(" pe_logdate,pe_sign,pe_photo)");
  lines.push_back("select ");
  lines.insert(lines.end(), std::begin(columns), std::end(columns));
  lines.push_back(" pe_logdate,pe_sign,pe_photo ");
  lines.push_back("from " + from);
  return lines;
}

std::vector<std::string> SuspensionTable(const std::string& table, int code_width) {
  return {"create table " + table + " (",
          "  tj_code char(" + std::to_string(code_width) + ") Not NULL,",
          "  tj_bdate datetime default(getdate()),", "  tj_edate datetime default(getdate())", ")"};
}

}  // namespace

void Upgrader::Do2007_03_12() {
  if (ColumnAbsent("lib_canshub", "cs_autoreglib")) {
    Exec({"alter table lib_canshub add cs_autoreglib char(1) default('0')"});
    Exec({"update lib_canshub set cs_autoreglib='0'"});
  }
  if (ColumnAbsent("lib_canshub", "cs_tingjienotice")) {
    Exec({"alter table lib_canshub add cs_tingjienotice char(1) default('0')"});
    Exec({"update lib_canshub set cs_tingjienotice='0'"});
  }
  if (ColumnAbsent("lib_canshub", "cs_twojiedays")) {
    Exec({"alter table lib_canshub add cs_twojiedays int default(0)"});
    Exec({"update lib_canshub set cs_twojiedays=0"});
  }

  // A reader table without pe_limittype gives no length; it is left to the
  // rebuild below, whose copy names the missing column.
  const auto limit_width = db::ColumnLength(qrTmp, "lib_people", "pe_limittype");
  if (limit_width && *limit_width < 120) {
    Exec({"alter table lib_people ALTER COLUMN pe_smaxnum numeric(4,0)"});
    Exec({"alter table lib_people ALTER COLUMN pe_limittype char(120)"});
    Exec({"alter table lib_people ALTER COLUMN pe_limitday char(120)"});
  }

  if (TableAbsent("lib_use_gongneng")) {
    Exec({"create table lib_use_gongneng ( ", "  lu_no int default(0),",
          "  lu_user char(6) default(''),", "  lu_order int default(0)", ") "});
    const int functions[] = {301, 211, 212, 401, 318, 213, 403, 517};
    for (std::size_t i = 0; i < std::size(functions); ++i) {
      Exec({"insert into lib_use_gongneng values(" + std::to_string(functions[i]) + ",'system'," +
            std::to_string(i + 1) + ")"});
    }
  }

  if (!CheckVerSign("PEOPLE_LEN_12")) return;

  auto announce = [this](std::string_view table) {
    SetProcess(table);
    view.ProcessMessages();
  };
  auto widen = [this](const std::string& table, const std::string& column, int width) {
    Exec({"alter table " + table + " ALTER COLUMN " + column + " char(" + std::to_string(width) +
          ")"});
  };

  announce("lib_canshub");
  Exec({"alter table lib_canshub add cs_maxcardbarlen int default(9)"});
  Exec({"update lib_canshub set cs_maxcardbarlen=9"});
  widen("lib_canshub", "cs_bookbegin", 12);
  widen("lib_canshub", "cs_bookend", 12);

  announce("lib_card_bars");
  widen("lib_card_bars", "cb_begin", 12);
  widen("lib_card_bars", "cb_end", 12);

  announce("lib_barcode");
  for (const char* column : {"bc_code1", "bc_code2", "bc_code3", "bc_code4"}) {
    widen("lib_barcode", column, 12);
  }

  announce("lib_goodbooksave");
  widen("lib_goodbooksave", "gs_user", 34);

  announce("lib_jifen_info");
  widen("lib_jifen_info", "jf_libcard", 12);

  announce("lib_jifen_total");
  widen("lib_jifen_total", "jt_libcard", 12);
  widen("lib_jifen_total", "jt_libname", 20);

  announce("lib_yigonggl");
  widen("lib_yigonggl", "yg_libcard", 12);

  announce("lib_yigongorder");
  widen("lib_yigongorder", "yo_libcard", 12);

  announce("lib_tingjie");
  db::RunInTransaction(qrTmp, [this] {
    Exec(SuspensionTable("tmp_tingjie", 9));
    Exec(
        {"insert into tmp_tingjie(tj_code,tj_bdate,tj_edate) select tj_code,tj_bdate,tj_edate "
         "from lib_tingjie"});
    Exec({"drop table lib_tingjie"});
    Exec(SuspensionTable("lib_tingjie", 12));
    Exec(
        {"ALTER TABLE lib_tingjie ADD CONSTRAINT PK_lib_tingjie PRIMARY KEY "
         "NONCLUSTERED(tj_code)"});
    Exec(
        {"insert into lib_tingjie(tj_code,tj_bdate,tj_edate) select tj_code,tj_bdate,tj_edate "
         "from tmp_tingjie"});
    Exec({"drop table tmp_tingjie"});
  });

  announce("lib_fakuan");
  widen("lib_fakuan", "fk_id", 12);
  widen("lib_fakuan", "fk_name", 20);

  announce("lib_jieshu");
  Exec({"DROP Index lib_jieshu.PK_lib_jieshu_libcard"});
  widen("lib_jieshu", "js_libcard", 12);
  Exec(
      {"create index PK_lib_jieshu_libcard on lib_jieshu(js_libcard) WITH "
       "PAD_INDEX,FILLFACTOR=85"});

  announce("lib_cuihuan");
  widen("lib_cuihuan", "ch_libcard", 12);

  announce("lib_jieshud");
  widen("lib_jieshud", "jd_libcard", 12);

  announce("lib_yuyue");
  Exec({"DROP Index lib_yuyue.PK_lib_yuyue_pid"});
  widen("lib_yuyue", "yy_pid", 12);
  Exec({"create index PK_lib_yuyue_pid on lib_yuyue(yy_pid) WITH PAD_INDEX,FILLFACTOR=85"});

  announce("lib_useorder");
  widen("lib_useorder", "uo_id", 12);

  announce("lib_people");
  Tolerate({"drop table tmp_people"});
  db::RunInTransaction(qrTmp, [this] {
    Exec(ReaderTable("create table tmp_people ( ", 9, 8));
    Exec(CopyReaders("tmp_people", "lib_people"));
    Exec({"drop table lib_people"});
    Exec(ReaderTable("create table lib_people ( ", 12, 20));
    Exec({"ALTER TABLE lib_people ADD CONSTRAINT ", "PK_lib_people PRIMARY KEY NONCLUSTERED",
          "(pe_id)"});
    Exec(CopyReaders("lib_people", "tmp_people"));
    Exec({"drop table tmp_people"});
  });
}


// Reader numbers grow to 12 characters: the suspension and reader tables are
// rebuilt through work tables (tj_code char(9), pe_id char(9), pe_name
// char(8) NOT NULL) with new primary keys; two columns are widened once their
// own indexes are dropped; no other index may cover a widened column.
std::vector<DataCheck> Do2007_03_12Checks() {
  std::vector<DataCheck> checks = {
      {DataCheck::UniqueKey, "lib_tingjie", "tj_code"},
      {DataCheck::NotNull, "lib_tingjie", "tj_code"},
      {DataCheck::FitsIn, "lib_tingjie", "tj_code", 9},
      {DataCheck::UniqueKey, "lib_people", "pe_id"},
      {DataCheck::NotNull, "lib_people", "pe_id"},
      {DataCheck::FitsIn, "lib_people", "pe_id", 9},
      {DataCheck::NotNull, "lib_people", "pe_name"},
      {DataCheck::FitsIn, "lib_people", "pe_name", 8},
      {DataCheck::OnlyIndex, "lib_jieshu", "js_libcard", 0, "PK_lib_jieshu_libcard"},
      {DataCheck::OnlyIndex, "lib_yuyue", "yy_pid", 0, "PK_lib_yuyue_pid"},
  };
  const char* const widened[][2] = {
      {"lib_canshub", "cs_bookbegin"},   {"lib_canshub", "cs_bookend"},
      {"lib_card_bars", "cb_begin"},     {"lib_card_bars", "cb_end"},
      {"lib_barcode", "bc_code1"},       {"lib_barcode", "bc_code2"},
      {"lib_barcode", "bc_code3"},       {"lib_barcode", "bc_code4"},
      {"lib_goodbooksave", "gs_user"},   {"lib_jifen_info", "jf_libcard"},
      {"lib_jifen_total", "jt_libcard"}, {"lib_jifen_total", "jt_libname"},
      {"lib_yigonggl", "yg_libcard"},    {"lib_yigongorder", "yo_libcard"},
      {"lib_fakuan", "fk_id"},           {"lib_fakuan", "fk_name"},
      {"lib_cuihuan", "ch_libcard"},     {"lib_jieshud", "jd_libcard"},
      {"lib_useorder", "uo_id"}};
  for (const auto& w : widened) checks.push_back({DataCheck::OnlyIndex, w[0], w[1]});
  return checks;
}

}  // namespace steps
