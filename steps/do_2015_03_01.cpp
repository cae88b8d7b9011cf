// The key text bi_key of each good-book recommendation list.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2015_03_01() {
  SetProcess("馆藏好书推荐2");
  view.ProcessMessages();

  if (!CheckVerSign("ZZ20150301.GOODBOOK2")) return;
  if (!ColumnAbsent("lib_goodbookitem", "bi_key")) return;

  Exec({"alter table lib_goodbookitem add bi_key varchar(128) default('')"});
  Exec({"update lib_goodbookitem set bi_key=''"});
}

}  // namespace steps
