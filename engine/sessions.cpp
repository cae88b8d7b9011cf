// What a session can ask of the server rather than of its tables: the sessions
// connected (master..sysprocesses, sys.dm_exec_sessions), the properties of
// the server, the database and its collation, the caller's rights,
// application locks (sp_getapplock), batch variables, and BACKUP DATABASE.
//
// The embedded engine answers as a SQL Server would to the database owner:
// every database role and permission is granted. Known differences:
// - sp_getapplock never waits: a lock held by another session in a mode that
//   conflicts gives -1 (time-out) at once whatever @LockTimeout says, since
//   the sessions of one process run one batch at a time and a wait could
//   never end.
// - BACKUP DATABASE writes a copy of the database in the engine's own file
//   format, one database per file, always as if WITH INIT, FORMAT; the copy
//   opens as a database (embedded:PATH).
// - sysprocesses and dm_exec_sessions list the user sessions of this
//   database only, none of the server's own.
#include <cstdio>

#include "engine/ascii.h"
#include "engine/session_internal.h"
#include "port/host_name.h"

namespace engine {

namespace {

std::string LowerText(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return r;
}

// SQL Server's compatibility of application lock modes.
bool Compatible(const std::string& held, const std::string& wanted) {
  static const char* kModes[] = {"IntentShared", "Shared", "Update", "IntentExclusive",
                                 "Exclusive"};
  // Rows: held; columns: wanted, in the order of kModes.
  static const bool kTable[5][5] = {{true, true, true, true, false},
                                    {true, true, true, false, false},
                                    {true, true, false, false, false},
                                    {true, false, false, true, false},
                                    {false, false, false, false, false}};
  int h = -1, w = -1;
  for (int k = 0; k < 5; ++k) {
    if (held == kModes[k]) h = k;
    if (wanted == kModes[k]) w = k;
  }
  return h >= 0 && w >= 0 && kTable[h][w];
}

// The mode as SQL Server spells it, or "" when it names none.
std::string LockMode(std::string_view given) {
  static const char* kModes[] = {"Shared", "Update", "IntentShared", "IntentExclusive",
                                 "Exclusive"};
  for (const char* m : kModes)
    if (Fold(given) == Fold(m)) return m;
  return "";
}

std::string Literal(const Value& v) {
  switch (v.kind) {
    case Kind::Null:
      return "null";
    case Kind::Int:
    case Kind::Num:
      return ToText(v);
    case Kind::Float: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.f);
      return buf;
    }
    case Kind::Bin:
      return "0x" + ToText(v);
    case Kind::Date:
    case Kind::Str: {
      std::string out = "'";
      for (char c : ToText(v)) {
        out += c;
        if (c == '\'') out += c;
      }
      return out + "'";
    }
  }
  return "null";
}

std::string TypeText(const TypeSpec& t) {
  std::string n = TypeName(t);
  switch (t.type) {
    case Type::Char:
    case Type::VarChar:
    case Type::Binary:
    case Type::VarBinary:
      return n + "(" + std::to_string(t.length) + ")";
    case Type::Numeric:
      return n + "(" + std::to_string(t.precision) + "," + std::to_string(t.scale) + ")";
    default:
      return n;
  }
}

}  // namespace

std::string Session::ServerName() {
  return port::HostName();
}

std::string Session::LastNamePart(const std::string& name) {
  // 'master..sysprocesses', 'dbo.t', '[dbo].[t]': the object is the last part.
  std::size_t dot = name.rfind('.');
  std::string last = dot == std::string::npos ? name : name.substr(dot + 1);
  if (last.size() >= 2 && last.front() == '[' && last.back() == ']')
    last = last.substr(1, last.size() - 2);
  return last;
}

Value Session::DatabaseNamed(const Value& v, bool want_id) const {
  // The server's own databases keep their usual ids; this database is the
  // only user database.
  static const char* kSystem[] = {"master", "tempdb", "model", "msdb"};
  const int my_id = shared ? shared->db_id : 5;
  if (want_id) {
    std::string n = v.kind == Kind::Str ? v.s : ToText(v);
    if (Fold(n) == Fold(db_name_)) return Value::Int(my_id);
    for (int k = 0; k < 4; ++k)
      if (Fold(n) == Fold(kSystem[k])) return Value::Int(k + 1);
    return Value::Null();
  }
  std::int64_t id = ConvertTo(v, TypeSpec{Type::Int, 0, 0, 0}).i;
  if (id == my_id) return Value::Str(db_name_);
  if (id >= 1 && id <= 4) return Value::Str(kSystem[id - 1]);
  return Value::Null();
}

Value Session::ServerProperty(const std::string& name) const {
  std::string p = Fold(name);
  if (p == "COLLATION") return Value::Str("Chinese_PRC_CI_AS");
  if (p == "SERVERNAME" || p == "MACHINENAME") return Value::Str(ServerName());
  if (p == "PRODUCTVERSION") return Value::Str("9.00.5000.00");
  if (p == "EDITION") return Value::Str("Embedded Edition");
  if (p == "ISSINGLEUSER" || p == "ISCLUSTERED" || p == "ISFULLTEXTINSTALLED") return Value::Int(0);
  if (p == "ISINTEGRATEDSECURITYONLY") return Value::Int(0);
  return Value::Null();  // unknown properties, and InstanceName of a default instance
}

Value Session::DatabaseProperty(const std::string& name) const {
  std::string p = Fold(name);
  if (p == "COLLATION") return Value::Str("Chinese_PRC_CI_AS");
  if (p == "STATUS") return Value::Str("ONLINE");
  if (p == "UPDATEABILITY") return Value::Str("READ_WRITE");
  if (p == "USERACCESS") return Value::Str("MULTI_USER");
  if (p == "RECOVERY") return Value::Str("FULL");
  if (p == "VERSION") return Value::Int(611);
  if (p == "ISAUTOCLOSE" || p == "ISAUTOSHRINK" || p == "ISINSTANDBY") return Value::Int(0);
  return Value::Null();
}

Value Session::CollationProperty(const std::string& collation, const std::string& property) {
  std::string c = Fold(collation), p = Fold(property);
  struct Known {
    const char* prefix;
    int code_page;
    int lcid;
  };
  static const Known kKnown[] = {{"CHINESE_PRC_", 936, 2052},
                                 {"CHINESE_TAIWAN_", 950, 1028},
                                 {"JAPANESE_", 932, 1041},
                                 {"KOREAN_", 949, 1042},
                                 {"SQL_LATIN1_GENERAL_", 1252, 1033},
                                 {"LATIN1_GENERAL_", 1252, 1033}};
  for (const Known& k : kKnown)
    if (c.rfind(k.prefix, 0) == 0) {
      if (p == "CODEPAGE") return Value::Int(k.code_page);
      if (p == "LCID") return Value::Int(k.lcid);
      return Value::Null();
    }
  return Value::Null();
}

Value Session::RoleMember(const std::string& role) {
  // The database owner is a member of every fixed database role.
  static const char* kRoles[] = {"public",           "db_owner",      "db_accessadmin",
                                 "db_securityadmin", "db_ddladmin",   "db_backupoperator",
                                 "db_datareader",    "db_datawriter", "db_denydatareader",
                                 "db_denydatawriter"};
  for (const char* r : kRoles)
    if (Fold(role) == Fold(r))
      return Value::Int(Fold(r) == "DB_DENYDATAREADER" || Fold(r) == "DB_DENYDATAWRITER" ? 0 : 1);
  return Value::Null();
}

Value Session::HasPerms(const std::string& securable, const std::string& cls,
                        const std::string& permission) {
  (void)permission;  // the owner holds every permission
  std::string c = Fold(cls);
  if (c == "SERVER") return Value::Int(1);
  if (c == "DATABASE")
    return DatabaseNamed(Value::Str(securable), true).null() ? Value::Null() : Value::Int(1);
  if (c == "OBJECT") {
    std::string n = LastNamePart(securable);
    return cat_.FindTable(n) || cat_.FindObject(n) || SystemTable(cat_, n) ? Value::Int(1)
                                                                           : Value::Null();
  }
  return Value::Null();
}

std::shared_ptr<Table> Session::SessionView(const std::string& name) {
  std::string f = Fold(name);
  bool processes = f == "SYSPROCESSES";
  if (!processes && f != "DM_EXEC_SESSIONS") return nullptr;
  std::vector<SessionInfo> list;
  std::map<int, int> open_tran;
  if (shared) {
    std::lock_guard<std::mutex> lock(shared->sessions_mutex);
    for (const auto& [id, info] : shared->sessions) list.push_back(info);
    for (const auto& [id, s] : shared->session_objects) open_tran[id] = s->trancount();
  } else {
    SessionInfo me;
    me.spid = spid;
    list.push_back(me);
  }
  open_tran[spid] = trancount_;
  const int db_id = shared ? shared->db_id : 5;
  auto t = std::make_shared<Table>();
  t->name = name;
  if (processes) {
    t->id = -101;
    t->cols = {Col("spid", Type::SmallInt),          Col("kpid", Type::SmallInt),
               Col("blocked", Type::SmallInt),       Col("dbid", Type::SmallInt),
               Col("uid", Type::SmallInt),           Col("open_tran", Type::SmallInt),
               Col("status", Type::Char, 30),        Col("hostname", Type::Char, 128),
               Col("program_name", Type::Char, 128), Col("cmd", Type::Char, 16),
               Col("loginame", Type::Char, 128)};
    auto padded = [](std::string s, std::size_t n) {
      s.resize(std::max(s.size(), n), ' ');
      return Value::Str(s.substr(0, n));
    };
    for (const SessionInfo& s : list) {
      bool me = s.spid == spid;
      AddRow(*t,
             {Value::Int(s.spid), Value::Int(0), Value::Int(0), Value::Int(db_id), Value::Int(1),
              Value::Int(open_tran[s.spid]), padded(me ? "runnable" : "sleeping", 30),
              padded(s.host_name, 128), padded(s.program_name, 128),
              padded(me ? "SELECT" : "AWAITING COMMAND", 16), padded(s.login_name, 128)});
    }
  } else {
    t->id = -102;
    t->cols = {Col("session_id", Type::SmallInt),        Col("host_name", Type::VarChar, 128),
               Col("program_name", Type::VarChar, 128),  Col("login_name", Type::VarChar, 128),
               Col("status", Type::VarChar, 30),         Col("database_id", Type::SmallInt),
               Col("open_transaction_count", Type::Int), Col("is_user_process", Type::Bit)};
    auto text = [](const std::string& s) { return s.empty() ? Value::Null() : Value::Str(s); };
    for (const SessionInfo& s : list) {
      bool me = s.spid == spid;
      AddRow(*t, {Value::Int(s.spid), text(s.host_name), text(s.program_name), text(s.login_name),
                  Value::Str(me ? "running" : "sleeping"), Value::Int(db_id),
                  Value::Int(open_tran[s.spid]), Value::Int(1)});
    }
  }
  return t;
}

// sp_getapplock @Resource, @LockMode, @LockOwner = 'Transaction',
// @LockTimeout, @DbPrincipal = 'public'.
std::int64_t Session::GetAppLock(const std::vector<Value>& args) {
  auto arg = [&](std::size_t k) { return k < args.size() ? args[k] : Value::Null(); };
  Value resource = arg(0), mode_v = arg(1), owner_v = arg(2);
  if (resource.null() || mode_v.null()) return -999;
  std::string res = ToText(resource);
  if (res.empty() || res.size() > 255) return -999;
  std::string mode = LockMode(ToText(mode_v));
  if (mode.empty()) return -999;
  std::string owner = owner_v.null() ? "TRANSACTION" : Fold(ToText(owner_v));
  if (owner != "TRANSACTION" && owner != "SESSION") return -999;
  bool transaction = owner == "TRANSACTION";
  if (transaction && trancount_ == 0) return -999;  // no transaction to own it

  auto& holds = (shared ? shared->applocks : applocks_local_)[res];
  for (const SharedState::AppLock& h : holds)
    if (h.spid != spid && !Compatible(h.mode, mode)) return -1;
  for (SharedState::AppLock& h : holds)
    if (h.spid == spid && h.mode == mode && h.transaction == transaction) {
      ++h.count;
      return 0;
    }
  holds.push_back({spid, mode, transaction, 1});
  return 0;
}

// sp_releaseapplock @Resource, @LockOwner = 'Transaction', @DbPrincipal.
std::int64_t Session::ReleaseAppLock(const std::vector<Value>& args) {
  auto arg = [&](std::size_t k) { return k < args.size() ? args[k] : Value::Null(); };
  if (arg(0).null()) return -999;
  std::string res = ToText(arg(0));
  std::string owner = arg(1).null() ? "TRANSACTION" : Fold(ToText(arg(1)));
  if (owner != "TRANSACTION" && owner != "SESSION") return -999;
  bool transaction = owner == "TRANSACTION";
  auto& locks = shared ? shared->applocks : applocks_local_;
  auto it = locks.find(res);
  if (it == locks.end()) return -999;
  auto& holds = it->second;
  // The newest hold of this session and owner.
  for (std::size_t k = holds.size(); k-- > 0;) {
    if (holds[k].spid != spid || holds[k].transaction != transaction) continue;
    if (--holds[k].count == 0) holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(k));
    if (holds.empty()) locks.erase(it);
    return 0;
  }
  return -999;
}

void Session::Lock(const std::string& resource, bool exclusive) {
  if (!shared) return;
  const int held = shared->locks.Held(spid, resource);
  if (held == 2 || (held == 1 && !exclusive)) return;
  if (!shared->locks.TryAcquire(spid, resource, exclusive)) throw LockWait{resource, exclusive};
  if (!exclusive) statement_shared_.push_back(resource);
}

void Session::EndStatementLocks(bool keep) {
  if (shared && trancount_ == 0) {
    shared->locks.ReleaseAll(spid);
  } else if (shared && !keep) {
    for (const std::string& r : statement_shared_)
      if (shared->locks.Held(spid, r) == 1) shared->locks.Release(spid, r);
  }
  statement_shared_.clear();
}

void Session::ReleaseLocks(bool transaction_only) {
  if (shared) shared->locks.ReleaseAll(spid);
  statement_shared_.clear();
  auto& locks = shared ? shared->applocks : applocks_local_;
  for (auto it = locks.begin(); it != locks.end();) {
    auto& holds = it->second;
    std::erase_if(holds, [&](const SharedState::AppLock& h) {
      return h.spid == spid && (h.transaction || !transaction_only);
    });
    it = holds.empty() ? locks.erase(it) : std::next(it);
  }
}

void Session::DoBackup(const Stmt& s) {
  auto fail = [&](int number, const std::string& text) {
    throw WithFollow(Error(number, 16, text), 3013, 16,
                     "BACKUP DATABASE is terminating abnormally.");
  };
  if (trancount_ > 0)
    throw Error(3021, 16, "Cannot perform a backup or restore operation within a transaction.");
  if (Fold(s.name) != Fold(db_name_))
    throw Error(
        911, 16,
        "Database '" + s.name + "' does not exist. Make sure that the name is entered correctly.");
  std::unique_lock<std::mutex> listed;
  if (shared) listed = std::unique_lock<std::mutex>(shared->sessions_mutex);
  if (shared)
    for (const auto& [id, other] : shared->session_objects)
      if (other != this && other->trancount() > 0)
        fail(3023,
             "Backup, file manipulation operations (such as ALTER DATABASE ADD FILE) and "
             "encryption changes on a database must be serialized. Reissue the statement after "
             "the current backup or file manipulation operation is completed.");
  if (listed) listed.unlock();
  if (!journal) fail(3201, "Cannot open backup device '" + s.body + "'.");
  try {
    journal->Backup(cat_, s.body);
  } catch (Error& e) {
    if (e.follow_on.empty())
      throw WithFollow(std::move(e), 3013, 16, "BACKUP DATABASE is terminating abnormally.");
    throw;
  }
}

void Session::DoDeclare(const Stmt& s) {
  for (const ColumnDef& c : s.columns) {
    if (vars_.count(c.name))
      throw SqlError(134,
                     "The variable name '" + c.name +
                         "' has already been declared. Variable names must be unique within "
                         "a query batch or stored procedure.",
                     15);
    Value v;
    if (c.def) {
      Scope scope;
      Bind(const_cast<Expr&>(*c.def), scope, nullptr);
      Ctx ctx;
      v = ConvertTo(Eval(*c.def, ctx), c.type);
    }
    vars_[c.name] = {c.type, std::move(v)};
  }
}

std::string Session::VariablePrefix(std::string_view text) const {
  if (vars_.empty()) return "";
  std::string lower = LowerText(text), out;
  for (const auto& [name, var] : vars_) {
    if (lower.find(name) == std::string::npos) continue;
    out += "declare " + name + " " + TypeText(var.type) + " = " + Literal(var.value) + ";\n";
  }
  return out;
}

}  // namespace engine
