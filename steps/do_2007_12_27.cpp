// Upgrade step of 27 December 2007: MARC cataloguing. Creates the MARC rule
// tables, the per-record MARC text table and the template table, stores the two
// cataloguing templates and loads the rules from MarcRule.txt; then renumbers
// the free-cataloguing records 1, 2, 3, ..., gives them a MARC text column, and
// rewrites the book numbers of the catalogue, the purchase list and the
// free-cataloguing table into their 13-digit form.
//
// The rule file is checked before anything is recorded or made: the file is
// read only on the run that creates the rule tables, so a run that went ahead
// without it would leave them empty for good.
#include <ctime>

#include "db/batch.h"
#include "port/local_time.h"
#include "refdata/marc_rule.h"
#include "steps/upgrader.h"
#include "text/isbn.h"
#include "text/sql_text.h"

namespace steps {
namespace {

constexpr const char* kSign = "ZZ20071227.MARC_DATA";

// The year of the system date, as the templates' record number carries it.
int CurrentYear() {
  const std::time_t now = std::time(nullptr);
  return port::ToLocalTime(now).tm.tm_year + 1900;
}

}  // namespace

void Upgrader::Do2007_12_27() {
  // The ledger is read first without recording anything, so that a missing
  // rule file stops the run before the sign is written.
  db::OpenQuery(qrTmp,
                {"select vm_mess from ver_manage", std::string("where vm_mess='") + kSign + "'"});
  const bool sign_new = qrTmp.Eof();
  qrTmp.Close();
  if (!sign_new) return;
  if (TableAbsent("lib_marc_rule")) refdata::CheckMarcRuleReadable(ctx);
  CheckVerSign(kSign);

  view.SetBarVisible(true);
  view.SetBarPosition(5);
  if (TableAbsent("lib_marc_rule")) {
    SetProcess("Marc数据");
    view.ProcessMessages();
    Exec({
        "create table lib_marc_rule(",
        "  mr_code char(3) not null,",
        "  mr_name char(12) default(''),",
        "  mr_sign1 char(16) default(' '),",
        "  mr_sign2 char(16) default(' '),",
        "  mr_must char(1) default('0'),",
        "  mr_more char(1) default('0'),",
        "  mr_remark text default(''))",
    });
    Exec(
        {"ALTER TABLE lib_marc_rule ADD CONSTRAINT PK_lib_marc_rule PRIMARY KEY "
         "NONCLUSTERED(mr_code)"});
    view.SetBarPosition(15);
    Exec({
        "create table lib_marc_field_rule(",
        "  mf_id int NOT NULL IDENTITY (1, 1),",
        "  mf_code char(3) not null,",
        "  mf_subcode char(1) not null,",
        "  mf_name char(12) default(''),",
        "  mf_must char(1) default('0'),",
        "  mf_more char(1) default('0'),",
        "  mf_order int default(1),",
        "  mf_chinese int default(0))",
    });
    Exec(
        {"ALTER TABLE lib_marc_field_rule ADD CONSTRAINT PK_lib_marc_field_rule PRIMARY KEY "
         "NONCLUSTERED(mf_id)"});
    view.SetBarPosition(20);
    Exec({
        "create table lib_pin_yin(",
        "  py_id int NOT NULL IDENTITY (1, 1),",
        "  py_hanzi char(2) default(''),",
        "  py_pinyin char(6) default(''),",
        "  py_order int default(' '))",
    });
    Exec(
        {"ALTER TABLE lib_pin_yin ADD CONSTRAINT PK_lib_pin_yin PRIMARY KEY "
         "NONCLUSTERED(py_id)"});
    view.SetBarPosition(25);
    Exec({
        "create table lib_marc_data(",
        "  md_code int not null,",
        "  md_data text default(''))",
    });
    Exec(
        {"ALTER TABLE lib_marc_data ADD CONSTRAINT PK_lib_marc_data PRIMARY KEY "
         "NONCLUSTERED(md_code)"});
    view.SetBarPosition(30);

    Exec({"alter table lib_canshub add cs_canusemarcedit char(1) default('0')"});
    Exec({"update lib_canshub set cs_canusemarcedit='0'"});
    Exec({"alter table lib_canshub add cs_cardmoney int default(0)"});
    Exec({"update lib_canshub set cs_cardmoney=0"});

    Exec({
        "create table lib_marc_model(",
        "  mm_id int default(0),",
        "  mm_name char(20) default(''),",
        "  mm_data text default(''))",
    });
    Exec({G("insert into lib_marc_model values(0,'默认模板','") +
          refdata::DefaultMarcModel(CurrentYear()) + "')"});
    Exec({G("insert into lib_marc_model values(1,'简要模板','") +
          refdata::BriefMarcModel(CurrentYear()) + "')"});

    refdata::InputMarcRule(ctx);
  }

  // Renumbering of the free-cataloguing records in the order the server
  // returns them. A row whose update fails keeps its code; the counter still
  // moves on.
  // The updates go several at a time (db::Batch); a row that cannot be read
  // is passed over as a failed update is.
  {
    db::OpenQuery(qrTmp, {"select bm_code,bm_bookid,bm_name from lib_freebm"});
    db::Batch batch(qrTmp1);
    for (std::int64_t counter = 1; !qrTmp.Eof(); ++counter) {
      view.ProcessMessages();
      std::vector<std::string> update;
      db::Tolerate(qrTmp1, [&] {
        if (qrTmp.IsNull("bm_code")) throw db::Error(0, "bm_code is null");
        update = {
            "update lib_freebm set bm_code=" + std::to_string(counter),
            "where bm_code=" + std::to_string(qrTmp.AsInteger("bm_code")),
            "  and bm_bookid='" + text::EscapeQuotes(text::Trim(qrTmp.AsString("bm_bookid"))) + "'",
            "  and bm_name='" + text::EscapeQuotes(text::Trim(qrTmp.AsString("bm_name"))) + "'"};
      });
      if (!update.empty()) batch.RunTolerated(update);
      db::ProgressTick(view, 0);
      qrTmp.Next();
    }
    batch.Flush();
    qrTmp.Close();
  }

  if (ColumnAbsent("lib_freebm", "bm_othermarc")) {
    Exec({"alter table lib_freebm add bm_othermarc text default('')"});
    Exec({"update lib_freebm set bm_othermarc=''"});
  }

  // Book numbers to their 13-digit form; a number that stays as it is is not
  // written back, and a row whose update fails is left alone.
  auto normalise = [&](std::vector<std::string> select, const std::string& table,
                       const std::string& key, const std::string& column) {
    db::OpenQuery(qrTmp, select);
    db::Batch batch(qrTmp1);
    while (!qrTmp.Eof()) {
      view.ProcessMessages();
      std::vector<std::string> update;
      db::Tolerate(qrTmp1, [&] {
        const std::string old_text = text::Trim(qrTmp.AsString(column));
        const std::string new_text = text::IsbnTo13(old_text);
        if (new_text != old_text) {
          update = {"update " + table + " set ",
                    "  " + column + "='" + text::EscapeQuotes(new_text) + "'",
                    "where " + key + "=" + std::to_string(qrTmp.AsInteger(key))};
        }
      });
      if (!update.empty()) batch.RunTolerated(update);
      db::ProgressTick(view, 0);
      qrTmp.Next();
    }
    batch.Flush();
    qrTmp.Close();
  };
  normalise({"select bm_code,bm_bookid from lib_bianma", "where bm_bookid<>''",
             "  and bm_isbn<>'' and not (bm_isbn is null)"},
            "lib_bianma", "bm_code", "bm_bookid");
  normalise({"select cg_no,cg_sbookno from lib_caigou", "where cg_sbookno<>''"}, "lib_caigou",
            "cg_no", "cg_sbookno");
  normalise({"select bm_code,bm_bookid from lib_freebm", "where bm_bookid<>''"}, "lib_freebm",
            "bm_code", "bm_bookid");

  view.SetBarVisible(false);
}

}  // namespace steps
