// The March 2007 release: 13-digit book numbers. Each catalogue record keeps
// its old book number in the new column bm_isbn while bm_bookid is rewritten
// into the 13-digit form; the free-cataloguing and purchase tables are
// rewritten the same way; the publisher table is rebuilt with a primary key on
// cb_sbookno; and the table of reader-card ranges is created.
//
// No upgrade sign: each group stands behind one probe, and because the
// rewrites come with the columns they create, each table's book numbers are
// converted at most once.
#include <string>
#include <utility>
#include <vector>

#include "db/batch.h"
#include "db/ledger.h"
#include "steps/preflight.h"
#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/isbn.h"
#include "text/sql_text.h"

namespace steps {

namespace {

std::vector<std::string> PublisherTable(const std::string& first) {
  return {first,
          "  cb_sbookno char(16) not null,",
          "  cb_mark char(1) default('0'),",
          "  cb_publish char(30) default(''),",
          "  cb_pplace char(8) default(''),",
          "  cb_address char(30) default(''),",
          "  cb_telno char(15) default(''),",
          "  cb_post char(6) default(''),",
          "  cb_linker char(30) default(''),",
          "  cb_detail varchar(128) default('')",
          ")"};
}

// Row progress of the long walks: the bar moves one step per row from where it
// stands, and every time it has reached the end the hundreds count grows and
// the bar starts over.
class RowProgress {
 public:
  explicit RowProgress(db::UpgradeView& view) : view_(view) {}
  void Restart() { hundreds_ = 0; }
  void Tick() {
    if (view_.BarPosition() >= 100) {
      ++hundreds_;
      view_.SetNumText(std::to_string(hundreds_ * 100));
      view_.Repaint();
      view_.SetBarPosition(0);
    } else {
      view_.SetBarPosition(view_.BarPosition() + 1);
    }
  }

 private:
  db::UpgradeView& view_;
  int hundreds_ = 0;
};

}  // namespace

void Upgrader::Do200703() {
  if (TableAbsent("lib_card_bars")) {
    Exec({"create table lib_card_bars ( ", "  cb_no int NOT NULL IDENTITY (1, 1),",
          "  cb_begin char(9) not null,", "  cb_end char(9) not null,", "  cb_sign int default(0)",
          ") "});
    Exec({"ALTER TABLE lib_card_bars ADD CONSTRAINT ", "PK_lib_card_bars PRIMARY KEY NONCLUSTERED",
          "(cb_no)"});
  }

  SetProcess("13位ISBN问题");
  view.Repaint();
  if (ColumnAbsent("lib_bianma", "bm_isbn")) {
    Exec({"alter table lib_bianma add bm_isbn char(22) default('')"});
    Exec({"alter table lib_bianmatmp add bm_isbn char(22) default('')"});
    view.SetBarVisible(true);
    view.SetBarPosition(5);
    view.SetNumVisible(true);
    Exec({"update lib_bianma set bm_isbn=bm_bookid"});

    RowProgress progress(view);
    db::OpenQuery(qrTmp, {"select bm_code,bm_bookid from lib_bianma where bm_bookid<>''"});
    db::Batch batch(qrTmp1);
    while (!qrTmp.Eof()) {
      view.ProcessMessages();
      // bm_isbn keeps the cleaned old number (SafeSqlText leaves no quote in
      // it), and the conversion works on that cleaned text.
      const std::string old_number = text::SafeSqlText(qrTmp.AsString("bm_bookid"));
      const std::string new_number = text::BookIdTo13(old_number);
      batch.Run({"update lib_bianma set ", "  bm_isbn='" + old_number + "'",
                 " ,bm_bookid='" + new_number + "'",
                 "where bm_code=" + text::Trim(qrTmp.AsString("bm_code"))},
                [&] { progress.Tick(); });
      qrTmp.Next();
    }
    batch.Flush();
    qrTmp.Close();

    // One statement rewrites every free-cataloguing record of a book number.
    progress.Restart();
    db::OpenQuery(qrTmp,
                  {"select bm_bookid from lib_freebm where bm_bookid<>'' group by bm_bookid"});
    while (!qrTmp.Eof()) {
      view.ProcessMessages();
      const std::string old_number = qrTmp.AsString("bm_bookid");
      batch.Run({"update lib_freebm set ",
                 "  bm_bookid='" + text::EscapeQuotes(text::BookIdTo13(old_number)) + "'",
                 "where bm_bookid='" + text::EscapeQuotes(old_number) + "'"},
                [&] { progress.Tick(); });
      qrTmp.Next();
    }
    batch.Flush();
    qrTmp.Close();

    // The rebuild runs as one transaction: should the copy or the new key
    // fail (two publishers under one prefix, a row that does not fit), the
    // old table stays with its rows and keys and no work table is left.
    db::RunInTransaction(qrTmp, [this] {
      Exec(PublisherTable("create table lib_chuban1("));
      Exec({"insert into lib_chuban1 select * from lib_chuban"});
      Exec({"drop table lib_chuban"});
      Exec(PublisherTable("create table lib_chuban("));
      Exec({"ALTER TABLE lib_chuban ADD CONSTRAINT ", "PK_lib_chuban PRIMARY KEY NONCLUSTERED",
            "(cb_sbookno)"});
      Exec({"insert into lib_chuban select * from lib_chuban1"});
      Exec({"drop table lib_chuban1"});
    });
  }
  // The label is cleared on every run, also when nothing was left to convert.
  view.SetBarVisible(false);
  view.SetNumVisible(false);
  view.SetProcessText("");
  view.Repaint();

  if (ColumnAbsent("lib_caigou", "cg_isbn")) {
    Exec({"alter table lib_caigou add cg_isbn char(22) default('')"});
    Exec({"update lib_caigou set cg_isbn=cg_sbookno"});
    db::OpenQuery(qrTmp, {"select cg_no,cg_sbookno from lib_caigou where cg_sbookno<>''"});
    db::Batch batch(qrTmp1);
    while (!qrTmp.Eof()) {
      view.ProcessMessages();
      batch.Run({"update lib_caigou set ",
                 "  cg_sbookno='" +
                     text::EscapeQuotes(text::BookIdTo13(qrTmp.AsString("cg_sbookno"))) + "'",
                 "where cg_no=" + text::Trim(qrTmp.AsString("cg_no"))});
      qrTmp.Next();
    }
    batch.Flush();
    qrTmp.Close();
  }
}


// The publisher table is rebuilt with cb_sbookno as a NOT NULL char(16)
// primary key, and every row copied back into it.
std::vector<DataCheck> Do200703Checks() {
  return {{DataCheck::UniqueKey, "lib_chuban", "cb_sbookno"},
          {DataCheck::NotNull, "lib_chuban", "cb_sbookno"},
          {DataCheck::FitsIn, "lib_chuban", "cb_sbookno", 16}};
}

}  // namespace steps
