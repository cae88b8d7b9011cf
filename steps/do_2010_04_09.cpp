// The book number of the print table lib_prttab1 widened to 40 characters.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2010_04_09() {
  SetProcess("Lib_PrtTab1");
  view.ProcessMessages();

  if (!CheckVerSign("ZZ20100409.PRTTAB1")) return;

  Exec({"alter table lib_prttab1 ALTER COLUMN p1_bookno char(40)"});
}

}  // namespace steps
