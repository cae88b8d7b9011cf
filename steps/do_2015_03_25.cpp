// Volunteer rewards: the totals per reader card and the reward records.
// Guarded by its sign alone.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2015_03_25() {
  SetProcess("义工奖励");
  view.ProcessMessages();

  if (!CheckVerSign("ZZ20150325.YIGONG")) return;

  Exec({"create table lib_yigongtotal(", "  yt_code char(12) NOT NULL,",
        "  yt_lasttime int default(0),", "  yt_totaltime int default(0),",
        "  yt_lastnum int default(0),", "  yt_totalnum int default(0),",
        "  yt_oknum int default(0))"});
  Exec(
      {"ALTER TABLE lib_yigongtotal ADD CONSTRAINT PK_lib_yigongtotal PRIMARY KEY "
       "NONCLUSTERED(yt_code)"});

  Exec({"create table lib_yigongjiangli(", "  yj_code char(12) NOT NULL,",
        "  yj_num int default(1),", "  yj_date datetime default(getdate()),",
        "  yj_sign int default(0))"});
  Exec(
      {"create index PK_lib_yigongjiangli on lib_yigongjiangli(yj_code) WITH "
       "PAD_INDEX,FILLFACTOR=85"});
}

}  // namespace steps
