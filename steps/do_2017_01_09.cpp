// The identity-card number of every reader: pe_shenfenzheng in lib_people,
// blank in existing rows, and its index.
#include "steps/upgrader.h"

namespace steps {

void Upgrader::Do2017_01_09() {
  if (!CheckVerSign("ZZ20170109.SFZ")) return;
  if (!ColumnAbsent("lib_people", "pe_shenfenzheng")) return;

  Exec({"alter table lib_people add pe_shenfenzheng char(24) default('')"});
  Exec({"update lib_people set pe_shenfenzheng=''"});
  Exec(
      {"create index PK_lib_people_shenfenzheng on lib_people(pe_shenfenzheng) WITH "
       "PAD_INDEX,FILLFACTOR=85"});
}

}  // namespace steps
