// The upgrade-sign ledger, the catalogue probes and the statement runner,
// sending exactly the texts the library's upgrade procedure has always sent.
#include "db/ledger.h"

namespace db {

namespace {

void Fill(Query& q, const std::vector<std::string>& lines) {
  q.Clear();
  for (const auto& l : lines) q.Add(l);
}

// Query form whose only answer is whether a row came back.
bool ReturnsNoRow(Query& q, std::string sql) {
  OpenQuery(q, {std::move(sql)});
  const bool eof = q.Eof();
  q.Close();
  return eof;
}

}  // namespace

void RunCommand(Query& q, const std::vector<std::string>& lines) {
  Fill(q, lines);
  q.ExecSQL();
  q.Close();
}

void RunCommand(Query& q, std::initializer_list<std::string> lines) {
  RunCommand(q, std::vector<std::string>(lines));
}

void OpenQuery(Query& q, const std::vector<std::string>& lines) {
  Fill(q, lines);
  q.Open();
}

void EnsureLedger(Query& q) {
  if (!TableAbsent(q, "ver_manage")) return;
  RunCommand(q, {"create table ver_manage ( ", "\t\tvm_mess \tchar(40) default('')", ") "});
}

bool CheckVerSign(Query& q, std::string_view sign) {
  OpenQuery(q, {"select vm_mess from ver_manage", "where vm_mess='" + std::string(sign) + "'"});
  const bool absent = q.Eof();
  q.Close();
  if (absent) RunCommand(q, {"insert into ver_manage(vm_mess)values('" + std::string(sign) + "')"});
  return absent;
}

bool TableAbsent(Query& q, std::string_view table) {
  return ReturnsNoRow(q, "select * from sysobjects where name ='" + std::string(table) + "'");
}

bool ColumnAbsent(Query& q, std::string_view table, std::string_view column) {
  return ReturnsNoRow(q, "select name from syscolumns where name='" + std::string(column) +
                             "' and id in (select id from sysobjects where name = '" +
                             std::string(table) + "')");
}

bool IndexAbsent(Query& q, std::string_view index) {
  return ReturnsNoRow(q, "select name from sysindexes where name='" + std::string(index) + "'");
}

bool MenuAbsent(Query& q, int menu_code) {
  return ReturnsNoRow(
      q, "select gn_menucode from lib_gongneng where gn_menucode=" + std::to_string(menu_code));
}

std::optional<std::int64_t> ColumnLength(Query& q, std::string_view table,
                                         std::string_view column) {
  OpenQuery(q,
            {"select length from syscolumns where name='" + std::string(column) +
             "' and id in (select id from sysobjects where name = '" + std::string(table) + "')"});
  std::optional<std::int64_t> length;
  if (!q.Eof()) length = q.AsInteger("length");
  q.Close();
  return length;
}

bool RunTolerated(Query& q, const std::vector<std::string>& lines) {
  struct Tolerating {
    Connection& c;
    explicit Tolerating(Connection& conn) : c(conn) { ++c.tolerating; }
    ~Tolerating() { --c.tolerating; }
  } guard(q.connection());
  try {
    RunCommand(q, lines);
  } catch (const Error&) {
    q.Close();
    return false;
  }
  return true;
}

}  // namespace db
