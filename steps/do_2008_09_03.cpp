// Reader purchase recommendations: the table lib_booktuigou and the switch
// dz_booktuigou of each reader category. Guarded by its sign alone.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2008_09_03() {
  if (!CheckVerSign("ZZ20080903.TUI_GOU")) return;

  Exec({"create table lib_booktuigou(", "  bt_no int NOT NULL IDENTITY (1, 1),",
        "  bt_bookid char(22) default(''),", "  bt_name char(80) default(''),",
        "  bt_author char(46) default(''),", "  bt_publish char(30) default(''),",
        "  bt_paddress char(8) default(''),", "  bt_pdate char(10) default(''),",
        "  bt_bcbs char(10) default(''),", "  bt_price numeric(15,2) default(0),",
        "  bt_where char(128) default(''),", "  bt_people char(12) default(''),",
        "  bt_date datetime default(getdate()),", "  bt_memo char(128) default(''),",
        "  bt_mark int default(0),", "  bt_user char(8) default(''),",
        "  bt_dodate datetime default(getdate()),", "  bt_dowork char(128) default(''))"});
  Exec(
      {"ALTER TABLE lib_booktuigou ADD CONSTRAINT PK_lib_booktuigou PRIMARY KEY "
       "NONCLUSTERED(bt_no)"});

  Exec({"alter table lib_duzhe add dz_booktuigou int default(1)"});
  Exec({"update lib_duzhe set dz_booktuigou=1"});
}

}  // namespace steps
