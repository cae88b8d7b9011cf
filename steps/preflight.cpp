// The checks before a run's first change (see preflight.h). Every statement
// here reads; the pending steps are found with the same ledger look-up and
// probes the steps use.
#include "steps/preflight.h"

#include <functional>

#include "db/ledger.h"
#include "refdata/data_files.h"
#include "steps/step_names.h"
#include "steps/upgrader.h"
#include "text/gbk.h"
#include "text/sql_text.h"

namespace steps {

namespace {

constexpr std::size_t kMaxKeys = 10;

// The values of column k of a query, up to kMaxKeys, trimmed.
std::vector<std::string> Column(db::Query& q, const std::string& sql) {
  std::vector<std::string> out;
  db::OpenQuery(q, {sql});
  while (!q.Eof() && out.size() < kMaxKeys) {
    out.push_back(text::Trim(q.AsString("k")));
    q.Next();
  }
  q.Close();
  return out;
}

std::string Join(const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& k : keys) {
    if (!out.empty()) out += G("、");
    out += "'" + k + "'";
  }
  return out;
}

class Checker {
 public:
  explicit Checker(Upgrader& u) : u_(u), q_(u.qrTmp) {}

  bool SignPending(const char* sign) {
    if (!ledger_known_) {
      ledger_exists_ = !u_.TableAbsent("ver_manage");
      ledger_known_ = true;
    }
    if (!ledger_exists_) return true;
    db::OpenQuery(q_,
                  {"select vm_mess from ver_manage", std::string("where vm_mess='") + sign + "'"});
    const bool pending = q_.Eof();
    q_.Close();
    return pending;
  }

  void DataFile(refdata::DataFile file, const char* step) {
    try {
      refdata::ReadDataFile(u_.ctx.data_dirs, file);
    } catch (const std::exception& e) {
      Problem(e.what() + G("（升级步骤“" + StepLabel(step) + "”需要）"));
    }
  }

  void Connection() {
    // 旻 (95 46: a trail byte below 0x80) and 中 (D6 D0), both ways. A driver
    // set to a character set these bytes are not valid in (UTF-8) cannot even
    // send the probe: that is the same problem.
    try {
      db::OpenQuery(q_, {"select convert(varbinary(8), '\x95\x46\xd6\xd0') as sent,",
                         "  cast(0x9546D6D0 as char(4)) as received"});
    } catch (const db::InjectedFault&) {
      throw;
    } catch (const db::Error& e) {
      Problem(G("连接的字符集不是GBK：含汉字“旻中”的检查语句没能原样送到服务器（") + e.what() +
              G("）。请把数据源的客户端字符集设为 GBK/CP936。"));
      return;
    }
    const std::string sent = q_.Eof() ? "" : q_.AsString("sent");
    const std::string received = q_.Eof() ? "" : q_.AsString("received");
    q_.Close();
    if (Fold(sent) != "9546D6D0" && sent != "\x95\x46\xd6\xd0")
      Problem(G("连接的字符集不是GBK：发送的汉字“旻中”到达服务器时成了 ") + Hex(sent) +
              G("，而不是 9546D6D0。升级会改写每一个经手的中文书名；请把数据源的客户端字符集设为 "
                "GBK/CP936。"));
    if (received != "\x95\x46\xd6\xd0")
      Problem(G("连接的字符集不是GBK：服务器上的汉字“旻中”到达本机时成了“") + received +
              G("”。请把数据源的客户端字符集设为 GBK/CP936。"));
  }

  void Rights() {
    db::OpenQuery(q_, {"select is_member('db_owner') as owner,",
                       "  has_perms_by_name(db_name(), 'DATABASE', 'ALTER') as can_alter"});
    const bool owner = !q_.Eof() && !q_.IsNull("owner") && q_.AsInteger("owner") == 1;
    const bool alter = !q_.Eof() && !q_.IsNull("can_alter") && q_.AsInteger("can_alter") == 1;
    q_.Close();
    if (!owner && !alter)
      Problem(
          G("当前登录用户无权修改数据库结构（既不是 db_owner，也没有 ALTER 权限）。"
            "请用数据库所有者登录。"));
  }

  void OtherSessions() {
    db::OpenQuery(q_, {"select spid, hostname, program_name from master..sysprocesses",
                       "where dbid = db_id() and spid <> @@spid"});
    std::vector<std::string> who;
    while (!q_.Eof()) {
      who.push_back(text::Trim(q_.AsString("spid")) + G("（主机 ") +
                    text::Trim(q_.AsString("hostname")) + G("，程序 ") +
                    text::Trim(q_.AsString("program_name")) + G("）"));
      q_.Next();
    }
    q_.Close();
    if (who.empty()) return;
    std::string list;
    for (const std::string& w : who) list += (list.empty() ? "" : G("；")) + w;
    Problem(G("数据库还有其他连接：") + list + G("。请先关闭其他终端上的图书管理系统。"));
  }

  void Data(const char* step, const std::vector<DataCheck>& checks) {
    for (const DataCheck& c : checks) {
      if (u_.TableAbsent(c.table)) continue;  // the step's own probes pass it by
      const bool has_column = !u_.ColumnAbsent(c.table, c.column);
      const std::string where = G("表 ") + c.table + G(" 列 ") + c.column;
      const std::string by = G("（升级步骤“" + StepLabel(step) + "”）");
      std::vector<std::string> keys;
      switch (c.kind) {
        case DataCheck::UniqueKey:
          if (!has_column) break;
          keys = Column(q_, "select " + c.column + " as k from " + c.table + " where " + c.column +
                                " is not null group by " + c.column + " having count(*) > 1");
          if (!keys.empty()) Problem(where + G("：将建为主键，但有重复的值 ") + Join(keys) + by);
          break;
        case DataCheck::NotNull:
          if (!has_column) break;
          keys = Column(q_,
                        "select count(*) as k from " + c.table + " where " + c.column + " is null");
          if (!keys.empty() && keys[0] != "0")
            Problem(where + G("：不允许为空，但有 ") + keys[0] + G(" 行为空值") + by);
          break;
        case DataCheck::FitsIn:
          if (!has_column) break;
          keys = Column(q_, "select " + c.column + " as k from " + c.table +
                                " where datalength(rtrim(" + c.column + ")) > " +
                                std::to_string(c.width));
          if (!keys.empty())
            Problem(where + G("：将复制到 char(") + std::to_string(c.width) +
                    G(") 的列，这些值放不下 ") + Join(keys) + by);
          break;
        case DataCheck::OnlyIndex: {
          if (!has_column) break;
          std::string sql = "select name as k from sysindexes where id = object_id('" + c.table +
                            "') and indid between 1 and 254 and (status & 64) = 0 and (";
          for (int k = 1; k <= 16; ++k)
            sql += (k > 1 ? " or " : "") + std::string("index_col('") + c.table + "', indid, " +
                   std::to_string(k) + ") = '" + c.column + "'";
          sql += ")";
          if (!c.index.empty()) sql += " and name <> '" + c.index + "'";
          keys = Column(q_, sql);
          if (!keys.empty())
            Problem(where + G("：将修改此列，但列上有图书管理系统未建立的索引或主键 ") +
                    Join(keys) + G("，请先删除") + by);
          break;
        }
      }
    }
  }

  // Whether the database is a library database at all: the steps change
  // the library system's own tables and make none of them. A database
  // without any of its main tables (a new, empty one, or another
  // application's) is named as such, not met as a missing table in the
  // middle of the first step.
  bool LibraryTables() {
    static const char* const kMain[] = {"lib_bianma", "lib_tiaoma", "lib_jieshu",
                                        "lib_people", "lib_duzhe",  "lib_gongneng"};
    std::string list;
    for (const char* t : kMain) list += std::string(list.empty() ? "" : ",") + "'" + t + "'";
    const std::vector<std::string> found =
        Column(q_, "select name as k from sysobjects where type = 'U' and name in (" + list + ")");
    if (!found.empty()) return true;
    std::string names;
    for (const char* t : kMain) names += (names.empty() ? "" : G("、")) + std::string(t);
    Problem(G("这不是图书管理系统的数据库：其中没有图书管理系统的表（") + names +
            G(" 都不存在）。请检查数据源是否指向图书馆的数据库。"));
    return false;
  }

  std::vector<std::string> problems;

 private:
  void Problem(std::string text) { problems.push_back(std::move(text)); }
  static std::string Fold(std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return s;
  }
  static std::string Hex(const std::string& s) {
    if (s.empty()) return G("（空）");
    return s;
  }

  Upgrader& u_;
  db::Query& q_;
  bool ledger_known_ = false, ledger_exists_ = false;
};

}  // namespace

PreflightFailed::PreflightFailed(std::vector<std::string> problems)
    : std::runtime_error([&] {
        std::string text = G("升级前检查发现以下问题，数据库未做任何改动：");
        for (const std::string& p : problems) text += "\n" + p;
        return text;
      }()),
      problems_(std::move(problems)) {}

std::vector<std::string> Preflight(Upgrader& u) {
  Checker c(u);
  c.Connection();
  c.Rights();
  c.OtherSessions();
  if (!c.LibraryTables()) return std::move(c.problems);

  // The pre-2005 consolidation: ticked, or started by Do200503 on a database
  // that predates it. It loads other.dat, and zzm.dat when the author-number
  // tables are (re)made.
  const bool before = u.view.BeforeChecked() || u.ColumnAbsent("lib_duzhe", "dz_tuijian");
  if (before) {
    c.DataFile(refdata::DataFile::Other, "Do200503Before");
    if (u.view.DeleteOldChecked() || u.TableAbsent("lib_zzm_zst") || u.TableAbsent("lib_zzm_new"))
      c.DataFile(refdata::DataFile::Zzm, "Do200503Before");
  }
  if (u.ColumnAbsent("lib_bianma", "bm_isbn")) c.Data("Do200703", Do200703Checks());
  if (c.SignPending("PEOPLE_LEN_12")) c.Data("Do2007_03_12", Do2007_03_12Checks());
  if (c.SignPending("ZZ20070913.BOOKBAR_LEN_12")) c.Data("Do200709", Do200709Checks());
  if (c.SignPending("ZZ20071227.MARC_DATA") && u.TableAbsent("lib_marc_rule"))
    c.DataFile(refdata::DataFile::MarcRule, "Do2007_12_27");
  return std::move(c.problems);
}

}  // namespace steps
