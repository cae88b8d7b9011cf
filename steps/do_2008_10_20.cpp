// The fines detail table (made whenever it is missing, on every run), the
// readers behind each purchase recommendation and the same-day reservation
// parameter.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2008_10_20() {
  if (TableAbsent("lib_fajin_mingxi")) {
    Exec({"create table lib_fajin_mingxi(", "  fj_libcard char(12) not null,",
          "  fj_fajin numeric(15,0) default(0),", "  fj_why char(80) not null,",
          "  fj_user char(6) not null,", "  fj_date datetime default(getdate()))"});
    Exec(
        {"create index PK_lib_fajin_mingxi on lib_fajin_mingxi(fj_libcard) WITH "
         "PAD_INDEX,FILLFACTOR=85"});
  }

  if (!CheckVerSign("ZZ20081020.TUI_GOU2")) return;

  Exec({"update lib_booktuigou set bt_price=1"});

  Exec({"create table lib_booktuigou_who(", "  bw_id int default(0) not null,",
        "  bw_people char(12) not null,", "  bw_date datetime default(getdate()))"});
  Exec(
      {"ALTER TABLE lib_booktuigou_who ADD CONSTRAINT PK_lib_booktuigou_who PRIMARY KEY "
       "NONCLUSTERED(bw_id,bw_people)"});
  Exec({"insert into lib_booktuigou_who(bw_id,bw_people,bw_date)",
        "select bt_no,bt_people,bt_date from lib_booktuigou"});

  if (ColumnAbsent("lib_canshub", "cs_todayyuyue")) {
    Exec({"alter table lib_canshub add cs_todayyuyue char(1) default('0')"});
    Exec({"update lib_canshub set cs_todayyuyue='0'"});
  }
}

}  // namespace steps
