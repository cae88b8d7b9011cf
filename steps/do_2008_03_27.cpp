// Batch numbers for book copies: the batch column of lib_tiaoma and the three
// batch tables (current batch settings, batch names, batch totals).
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2008_03_27() {
  if (!CheckVerSign("ZZ20080327.TIAOMA_PICI")) return;

  view.SetBarVisible(true);
  view.SetBarPosition(5);
  SetProcess("图书批次号");
  view.ProcessMessages();

  Exec({"alter table lib_tiaoma add tm_pici int default(0)"});
  view.SetBarPosition(50);
  Exec({"update lib_tiaoma set tm_pici=0"});

  Exec({"create table lib_pici_cur(", "  pc_id int default(0),", "  pc_sign int default(0),",
        "  pc_notice int default(1),", "  pc_auth int default(1))"});
  Exec({"insert into lib_pici_cur(pc_id,pc_sign,pc_notice,pc_auth) values(", "0,0,1,1)"});

  Exec({"create table lib_pici_name(", "  pn_id int default(0),",
        "  pn_name char(20) default(''))"});
  Exec({"insert into lib_pici_name(pn_id,pn_name) values(", G("0,'无批次号')")});

  Exec({"create table lib_pici_total(", "  pt_id int default(0),",
        "  pt_name char(20) default(''),", "  pt_zhong int default(0),", "  pt_ce int default(0),",
        "  pt_amt numeric(15,2) default(0.00))"});

  view.SetBarVisible(false);
}

}  // namespace steps
