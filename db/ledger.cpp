// The upgrade-sign ledger, the catalogue probes and the statement runner,
// sending exactly the texts the library's upgrade procedure has always sent.
#include "db/ledger.h"

#include "text/gbk.h"

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

void RollBackAfterFailure(Query& q) {
  try {
    RunTolerated(q, {"if @@trancount > 0 rollback transaction"});
  } catch (const std::exception&) {
    q.Close();
  }
}

std::string UndoneAtCommit(const std::string& message) {
  return message + "\n" +
         text::Gbk(
             "本步骤在提交时失败，服务器已撤销本步骤的全部改动；排除原因后再次运行本程序即可。");
}

bool RunTolerated(Query& q, const std::vector<std::string>& lines) {
  return Tolerate(q, [&] { RunCommand(q, lines); });
}

bool GoOnAfter(Query& q, const Error& e) {
  q.Close();
  Connection& c = q.connection();
  if (c.transactions_open == 0) return false;
  // Inside a unit of work: is it still there to go on with? With XACT_ABORT
  // off most errors leave it open, but a server set otherwise, or an error
  // grave enough, rolls it back or dooms it; asking costs one statement per
  // tolerated failure, which are few.
  std::int64_t state = 0;
  try {
    OpenQuery(q, {"select xact_state() as xact_state"});
    state = q.Eof() ? 0 : q.AsInteger("xact_state");
    q.Close();
  } catch (const InjectedFault&) {
    throw;
  } catch (const Error&) {
    q.Close();  // a server that cannot say: the unit is taken as lost
  }
  if (state == 1) return false;
  throw Error(e.number(),
              std::string(e.what()) + "\n" +
                  text::Gbk("服务器在这个错误之后结束了本步骤的事务，本步骤的改动已全部撤销；"
                            "排除原因后再次运行本程序即可。"))
      .SaysUndone();
}

}  // namespace db
