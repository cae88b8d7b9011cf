// Currencies in cataloguing: the currency table lib_bibie, a currency column
// in the three catalogue tables, and their page count rebuilt as char(20).
//
// The old bm_pages may carry a default constraint, and the server refuses to
// drop a column while one depends on it. Its name is system-made and differs
// from database to database, so it is looked up in the catalogue into the
// work table tmp_tmp_bm and dropped by name before the column is rebuilt.
#include "steps/upgrader.h"
#include "text/gbk.h"

namespace steps {

namespace {

const char* const kCatalogueTables[] = {"lib_bianma", "lib_bianmatmp", "lib_freebm"};

}  // namespace

void Upgrader::Do2009_10_15() {
  SetProcess("币别");
  view.ProcessMessages();

  if (!CheckVerSign("ZZ20091015.BIBIE")) return;

  Exec({"create table lib_bibie(", "  bb_id int default(0) not null,",
        "  bb_bibie char(20) default(''),", "  bb_char char(2) default(''))"});
  Exec({"ALTER TABLE lib_bibie ADD CONSTRAINT PK_lib_bibie PRIMARY KEY NONCLUSTERED(bb_id)"});
  Exec({G("insert lib_bibie values(0,'人民币','￥')")});
  Exec({G("insert lib_bibie values(1,'美元','$')")});
  Exec({G("insert lib_bibie values(2,'港币','$')")});
  Exec({G("insert lib_bibie values(3,'日元','$')")});
  Exec({G("insert lib_bibie values(4,'澳元','$')")});
  Exec({G("insert lib_bibie values(5,'欧元','$')")});

  for (const std::string t : kCatalogueTables) {
    // Default-constraint lookup for bm_pages of t.
    Exec({"create table tmp_tmp_bm( ", "  pe_name char(250) default('')", ")"});
    Exec({"insert into tmp_tmp_bm(pe_name)", "select name from sysobjects",
          "where parent_obj in(select id from sysobjects where name='" + t + "')",
          "  and id in(select cdefault from syscolumns where name='bm_pages' and id in (select id "
          "from sysobjects where name='" +
              t + "'))"});
    db::OpenQuery(qrTmp, {"select * from tmp_tmp_bm"});
    while (!qrTmp.Eof()) {
      qrTmp1.Clear();
      qrTmp1.Add("ALTER TABLE " + t + " DROP CONSTRAINT " +
                 text::TrimRight(qrTmp.AsString("pe_name")));
      qrTmp1.ExecSQL();
      qrTmp1.Close();
      qrTmp.Next();
    }
    qrTmp.Close();
    Exec({"drop table tmp_tmp_bm"});

    // The page count rebuilt as text through a copy column.
    Exec({"alter table " + t + " add bm_pages1 char(20)"});
    Exec({"update " + t + " set bm_pages1=CONVERT(char(20),bm_pages)"});
    Exec({"alter table " + t + " drop COLUMN bm_pages"});
    Exec({"alter table " + t + " add bm_pages char(20) default('')"});
    Exec({"update " + t + " set bm_pages=bm_pages1"});
    Exec({"alter table " + t + " drop COLUMN bm_pages1"});
  }

  for (const std::string t : kCatalogueTables) {
    Exec({"alter table " + t + " add bm_bibie int default(0)"});
    Exec({"update " + t + " set bm_bibie=0"});
  }
}

}  // namespace steps
