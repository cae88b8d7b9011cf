// The link to the Douban picture of a catalogue record. No sign: the column
// probe alone guards it, on every run.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2015_03_12() {
  SetProcess("增加豆瓣图片的链接");
  view.ProcessMessages();

  if (!ColumnAbsent("lib_bianma_pic", "bp_douban")) return;

  Exec({"alter table lib_bianma_pic add bp_douban varchar(250) default('')"});
  Exec({"update lib_bianma_pic set bp_douban=''"});
}

}  // namespace steps
