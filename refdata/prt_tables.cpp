// The statistics-table rebuild behind the hidden "生成Prt表" button: creates
// lib_prttab4new (31 counters) and lib_prttab4anew (12 counters) with their
// primary keys when they are missing. A table that exists is left as it is,
// whatever its shape; nothing is recorded in the ledger.
#include "refdata/prt_tables.h"

#include <string>
#include <vector>

#include "db/ledger.h"

namespace refdata {

namespace {

void CreateIfAbsent(db::Query& q, const std::string& table, int counters) {
  if (!db::TableAbsent(q, table)) return;
  std::vector<std::string> lines;
  lines.push_back("create table " + table + " (");
  lines.push_back("p4_id numeric(2,0) not null,");
  lines.push_back("p4_dzlx char(10) default(''),");
  for (int i = 1; i <= counters; ++i) {
    lines.push_back("p4_" + std::to_string(i) + " numeric(6,0) default(0),");
  }
  lines.push_back("p4_total numeric(6,0) default(0)");
  lines.push_back(")");
  db::RunCommand(q, lines);
  db::RunCommand(q, {"ALTER TABLE " + table + " ADD CONSTRAINT ",
                     "PK_" + table + " PRIMARY KEY NONCLUSTERED", "(p4_id)"});
}

}  // namespace

void CreatePrtTables(db::StepContext& ctx) {
  CreateIfAbsent(ctx.qrTmp, "lib_prttab4new", 31);
  CreateIfAbsent(ctx.qrTmp, "lib_prttab4anew", 12);
}

}  // namespace refdata
