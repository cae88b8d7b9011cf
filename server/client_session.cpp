// The protocol's state machine for one client: pre-login, login, then SQL
// batches, attentions and transaction-manager requests, each answered with the
// tokens SQL Server would send. Results come from the engine as text and
// leave as the wire types of their columns.
//
// Remote procedure calls (sp_executesql, sp_prepare, sp_execute,
// sp_prepexec, sp_unprepare, and user procedures by name) run as batches
// that declare each parameter as a variable holding its value
// (parameters.h); output parameters are read back with a SELECT at the
// batch's end.
//
// Known differences from SQL Server (server/DIFFERENCES.md lists them all):
// - Transaction-manager requests run as BEGIN/COMMIT/ROLLBACK TRANSACTION
//   and answer without transaction descriptors.
// - Expressions whose type the engine does not fix arrive as int (bigint
//   past its range), numeric(38, s) with the largest scale of their values,
//   or varchar of their longest value.
// - No encryption, no Windows authentication, no MARS; the server calls
//   itself libsql-server 10.0 and its login language is us_english.
#include "server/client_session.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "server/parameters.h"
#include "server/system_procedures.h"

namespace server {

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;
constexpr std::uint32_t kProgramVersion = 0x0A000000;  // announced as 10.0.0.0
constexpr std::size_t kMaxVarChar = 8000;

bool SameLogin(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::u16string Utf16(const std::string& utf8) {
  return tds::Utf8ToUtf16(utf8);
}

// The wire type of a result column. Columns of a table or a CAST keep their
// declared type; other expressions get one from their values.
tds::Column Describe(const engine::ResultColumn& rc, const engine::StatementResult& r,
                     std::size_t index) {
  tds::Column c;
  c.name = tds::GbkToUtf16(rc.name);
  auto longest = [&] {
    std::size_t n = 0;
    for (const auto& row : r.rows)
      if (row[index]) n = std::max(n, row[index]->size());
    return n;
  };
  const std::string& d = rc.declared;
  if (d == "int" || d == "smallint" || d == "tinyint" || d == "bigint") {
    c.type = tds::kIntN;
    c.size = d == "bigint" ? 8 : d == "int" ? 4 : d == "smallint" ? 2 : 1;
  } else if (d == "bit") {
    c.type = tds::kBitN;
    c.size = 1;
  } else if (d == "numeric" || d == "decimal") {
    c.type = tds::kNumericN;
    c.precision = static_cast<std::uint8_t>(std::clamp(rc.precision, 1, 38));
    c.scale = static_cast<std::uint8_t>(std::clamp(rc.scale, 0, static_cast<int>(c.precision)));
    c.size = tds::NumericSize(c.precision);
  } else if (d == "money") {
    c.type = tds::kMoneyN;
    c.size = 8;
  } else if (d == "float") {
    c.type = tds::kFloatN;
    c.size = rc.precision == 24 ? 4 : 8;  // real is float(24)
  } else if (d == "datetime") {
    c.type = tds::kDateTimeN;
    c.size = 8;
  } else if (d == "char" || d == "varchar") {
    c.type = d == "char" ? tds::kBigChar : tds::kBigVarChar;
    c.size = static_cast<std::uint32_t>(std::clamp<std::size_t>(rc.length, 1, kMaxVarChar));
    if (longest() > c.size) {
      c.type = tds::kText;
      c.size = 0x7FFFFFFF;
    }
  } else if (d == "binary" || d == "varbinary") {
    c.type = d == "binary" ? tds::kBigBinary : tds::kBigVarBinary;
    c.size = static_cast<std::uint32_t>(std::clamp<std::size_t>(rc.length, 1, kMaxVarChar));
  } else if (d == "text") {
    c.type = tds::kText;
    c.size = 0x7FFFFFFF;
  } else if (d == "image") {
    c.type = tds::kImage;
    c.size = 0x7FFFFFFF;
  } else {
    switch (rc.type) {
      case engine::ColumnType::BigInt:
        c.type = tds::kIntN;
        c.size = 8;
        break;
      case engine::ColumnType::Int: {
        c.type = tds::kIntN;
        c.size = 4;
        for (const auto& row : r.rows)
          if (row[index]) {
            long long v = std::strtoll(row[index]->c_str(), nullptr, 10);
            if (v > 2147483647LL || v < -2147483648LL) c.size = 8;
          }
        break;
      }
      case engine::ColumnType::Numeric: {
        int scale = 0;
        for (const auto& row : r.rows)
          if (row[index]) {
            std::size_t dot = row[index]->find('.');
            if (dot != std::string::npos)
              scale = std::max(scale, static_cast<int>(row[index]->size() - dot - 1));
          }
        c.type = tds::kNumericN;
        c.precision = 38;
        c.scale = static_cast<std::uint8_t>(std::min(scale, 38));
        c.size = tds::NumericSize(38);
        break;
      }
      case engine::ColumnType::DateTime:
        c.type = tds::kDateTimeN;
        c.size = 8;
        break;
      case engine::ColumnType::Text:
        c.type = tds::kText;
        c.size = 0x7FFFFFFF;
        break;
      case engine::ColumnType::Image:
        c.type = tds::kImage;
        c.size = 0x7FFFFFFF;
        break;
      case engine::ColumnType::Binary:
        c.type = tds::kBigVarBinary;
        c.size = static_cast<std::uint32_t>(std::clamp<std::size_t>(longest() / 2, 1, kMaxVarChar));
        break;
      default: {
        std::size_t n = longest();
        c.type = n > kMaxVarChar ? tds::kText : tds::kBigVarChar;
        c.size =
            n > kMaxVarChar ? 0x7FFFFFFF : static_cast<std::uint32_t>(std::max<std::size_t>(n, 1));
        break;
      }
    }
  }
  return c;
}

void EncodeRow(const engine::StatementResult& r, const std::vector<tds::Column>& cols,
               const std::vector<std::optional<std::string>>& row,
               std::vector<std::optional<std::string>>* values);

// The wire bytes of one value of column c, from the engine's text form.
std::string Encode(const tds::Column& c, const std::string& text, bool binary_as_hex) {
  switch (c.type) {
    case tds::kIntN:
      return tds::EncodeInt(text, c.size);
    case tds::kBitN:
      return tds::EncodeInt(text, 1);
    case tds::kNumericN:
    case tds::kDecimalN:
      return tds::EncodeNumeric(text, c.scale, c.size);
    case tds::kFloatN:
      return c.size == 4 ? tds::EncodeReal(text) : tds::EncodeFloat(text);
    case tds::kDateTimeN:
      return tds::EncodeDateTime(text);
    case tds::kMoneyN:
      return tds::EncodeMoney(text);
    case tds::kBigVarBinary:
    case tds::kBigBinary:
      return binary_as_hex ? tds::DecodeHex(text) : text;
    default:
      return text;
  }
}

void EncodeRow(const engine::StatementResult& r, const std::vector<tds::Column>& cols,
               const std::vector<std::optional<std::string>>& row,
               std::vector<std::optional<std::string>>* values) {
  values->resize(cols.size());
  for (std::size_t i = 0; i < cols.size(); ++i) {
    const bool hex = r.columns[i].type == engine::ColumnType::Binary ||
                     r.columns[i].declared == "binary" || r.columns[i].declared == "varbinary";
    if (row[i])
      (*values)[i].emplace(Encode(cols[i], *row[i], hex));
    else
      (*values)[i].reset();
  }
}

// RETURNVALUE tokens for a call's output parameters: outputs gives each
// one's ordinal among the call's parameters and its name; values holds
// their values, one column each, in one row. Text and image values go as
// varchar and varbinary of 8000 bytes, as parameters cannot be text.
void WriteOutputs(tds::TokenWriter& w, const engine::StatementResult& values,
                  const std::vector<std::pair<std::uint16_t, std::u16string>>& outputs) {
  if (!values.has_result_set || values.rows.size() != 1 || values.columns.size() != outputs.size())
    return;
  std::vector<tds::Column> cols;
  for (std::size_t i = 0; i < values.columns.size(); ++i) {
    cols.push_back(Describe(values.columns[i], values, i));
    if (cols.back().type == tds::kText || cols.back().type == tds::kImage) {
      cols.back().type = cols.back().type == tds::kText ? tds::kBigVarChar : tds::kBigVarBinary;
      cols.back().size = 8000;
    }
  }
  std::vector<std::optional<std::string>> encoded;
  EncodeRow(values, cols, values.rows[0], &encoded);
  for (std::size_t i = 0; i < outputs.size(); ++i)
    w.ReturnValue(
        outputs[i].first,
        outputs[i].second.empty() ? tds::GbkToUtf16(values.columns[i].name) : outputs[i].second,
        cols[i], encoded[i]);
}

// A parameter's value as the text CAST converts from: a literal's quotes
// taken off, NULL as nullopt; numbers and 0x... hex as they are.
std::optional<std::string> ValueText(const std::string& literal) {
  if (literal == "null") return std::nullopt;
  if (literal.size() < 2 || literal.front() != '\'') return literal;
  std::string out;
  for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
    out += literal[i];
    if (literal[i] == '\'' && literal[i + 1] == '\'') ++i;
  }
  return out;
}

// The table of an INSERT BULK statement ("insert bulk [t] ([k] int, ...)
// with (TABLOCK)"), as written; nullopt for any other batch. The column
// list is not needed: the bulk load describes its columns itself.
std::optional<std::string> InsertBulkTable(const std::string& sql) {
  std::size_t at = 0;
  auto skip_space = [&] {
    while (at < sql.size() && std::isspace(static_cast<unsigned char>(sql[at]))) ++at;
  };
  auto word = [&](const char* w) {
    skip_space();
    const std::size_t n = std::strlen(w);
    if (sql.size() - at < n + 1) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(sql[at + i])) != w[i]) return false;
    if (!std::isspace(static_cast<unsigned char>(sql[at + n])) && sql[at + n] != '[') return false;
    at += n;
    return true;
  };
  if (!word("insert") || !word("bulk")) return std::nullopt;
  skip_space();
  std::string table;
  char close = 0;
  for (; at < sql.size(); ++at) {
    const char ch = sql[at];
    if (close) {
      if (ch == close) close = 0;
    } else if (ch == '[') {
      close = ']';
    } else if (ch == '"') {
      close = '"';
    } else if (ch == '(' || std::isspace(static_cast<unsigned char>(ch))) {
      break;
    }
    table += ch;
  }
  if (table.empty()) return std::nullopt;
  return table;
}

// A statement's DONE (DONEINPROC inside a procedure call), its place in the
// reply kept in last_done.
void WriteDone(tds::TokenWriter& w, bool in_proc, std::size_t* last_done, std::uint16_t status,
               std::uint16_t command, std::uint64_t rows) {
  *last_done = w.size();
  if (in_proc)
    w.DoneInProc(status, command, rows);
  else
    w.Done(status, command, rows);
}

}  // namespace

ClientSession::ClientSession(engine::Database& db, const ServerIdentity& identity)
    : db_(db), id_(identity) {}

ClientSession::~ClientSession() {
  if (spid_ != 0) {
    try {
      db_.close_session(spid_);
    } catch (...) {
      // The session's transaction is lost with the client either way.
    }
  }
}

void ClientSession::Reset(std::uint8_t status) {
  if (!(status & (tds::kStatusResetConnection | tds::kStatusResetConnectionSkipTran))) return;
  db_.reset_session(spid_, (status & tds::kStatusResetConnectionSkipTran) != 0);
  prepared_.clear();
  // The answer opens with the acknowledgement of the reset.
  tds::TokenWriter w(version_);
  w.EnvChange(18, u"", u"");
  reply_prefix_ = w.bytes();
}

ClientSession::Reply ClientSession::Send(const std::string& tokens, bool close, std::string log) {
  Reply r;
  r.packets = tds::Packetize(tds::kReply, std::exchange(reply_prefix_, {}) + tokens, packet_size_,
                             static_cast<std::uint16_t>(spid_));
  r.close = close;
  r.log = std::move(log);
  return r;
}

ClientSession::Reply ClientSession::Refuse(std::int32_t number, std::uint8_t severity,
                                           const std::string& text_utf8, std::string log) {
  tds::TokenWriter w(version_);
  w.Message(true, number, 1, severity, Utf16(text_utf8), Utf16(id_.server_name), 1);
  w.Done(tds::kDoneError, 0, 0);
  return Send(w.bytes(), true, std::move(log));
}

ClientSession::Reply ClientSession::Handle(const tds::MessageReader::Message& m,
                                           const std::function<bool()>& cancelled) {
  try {
    switch (state_) {
      case State::Start:
        if (m.type == tds::kPrelogin) return Prelogin(m.payload);
        if (m.type == tds::kLogin7) return Login(m.payload);
        break;
      case State::PreloginDone:
        if (m.type == tds::kLogin7) return Login(m.payload);
        break;
      case State::LoggedIn:
        if (m.too_large && m.type != tds::kAttention) {
          tds::TokenWriter w(version_);
          w.Message(true, 50000, 1, 16,
                    Utf16("The request is larger than the " +
                          std::to_string(tds::MessageReader::kMaxMessage >> 20) +
                          " MB libsql-server takes; it was not run."),
                    Utf16(id_.server_name), 1);
          w.Done(tds::kDoneError, 0, 0);
          return Send(w.bytes(), false, "refused a request larger than the limit");
        }
        switch (m.type) {
          case tds::kSqlBatch: {
            Reset(m.status);
            bulk_table_.reset();
            std::string sql = tds::Utf16ToGbk(tds::BatchText(m.payload, version_));
            if (std::optional<std::string> table = InsertBulkTable(sql)) return InsertBulk(*table);
            return Batch(sql, cancelled);
          }
          case tds::kBulkLoad:
            return BulkLoad(m.payload, cancelled);
          case tds::kAttention: {
            // Nothing runs between messages: acknowledge at once.
            tds::TokenWriter w(version_);
            w.Done(tds::kDoneAttention, 0, 0);
            return Send(w.bytes());
          }
          case tds::kTransactionManager:
            Reset(m.status);
            bulk_table_.reset();
            return TransactionManager(m.payload, cancelled);
          case tds::kRpc:
            Reset(m.status);
            bulk_table_.reset();
            return Rpc(m.payload, cancelled);
          default:
            break;
        }
        break;
    }
    Reply r;
    r.close = true;
    r.log = "unexpected message of type " + std::to_string(m.type) + "; connection closed";
    return r;
  } catch (const tds::ProtocolError& e) {
    Reply r;
    r.close = true;
    r.log = std::string("malformed message from the client (") + e.what() + "); connection closed";
    return r;
  }
}

ClientSession::Reply ClientSession::Prelogin(const std::string& payload) {
  tds::Prelogin p = tds::ParsePrelogin(payload);
  Reply r;
  r.packets = tds::Packetize(tds::kReply, tds::BuildPreloginReply(), packet_size_, 0);
  if (p.encryption &&
      (*p.encryption == tds::kEncryptOn || *p.encryption == tds::kEncryptRequired)) {
    // The answer says encryption is not supported; a client that requires it
    // gives up on reading it. Nothing else is said on an unencrypted line.
    r.close = true;
    r.log = "refused a client that requires encryption: this server does not encrypt";
    return r;
  }
  state_ = State::PreloginDone;
  return r;
}

ClientSession::Reply ClientSession::Login(const std::string& payload) {
  tds::Login7 l = tds::ParseLogin7(payload);
  if (l.tds_version < tds::kTds71) {
    version_ = tds::kTds71;
    return Refuse(4002, 16,
                  "libsql-server speaks TDS 7.1 to 7.4; the client asked for an older version.",
                  "refused a login with TDS version below 7.1");
  }
  version_ = std::min(l.tds_version, tds::kTds74);
  if (l.packet_size >= 512) packet_size_ = std::min<std::uint32_t>(l.packet_size, 32767);
  const std::string who = l.user_name;
  if (l.integrated_security)
    return Refuse(18452, 14,
                  "Login failed. The login is from an untrusted domain and cannot be used with "
                  "Windows authentication.",
                  "refused a Windows-authentication login");
  bool known = std::any_of(id_.logins.begin(), id_.logins.end(), [&](const server::Login& x) {
    return SameLogin(x.user, l.user_name) && x.password == l.password;
  });
  if (!known)
    return Refuse(18456, 14, "Login failed for user '" + who + "'.",
                  "login failed for user '" + who + "' from " + l.host_name);
  // master always exists: a login naming it lands in the one database
  // there is, as one naming no database does.
  if (!l.database.empty() && !SameLogin(l.database, id_.db_name) &&
      !SameLogin(l.database, "master")) {
    tds::TokenWriter w(version_);
    w.Message(true, 4060, 1, 11,
              Utf16("Cannot open database \"" + l.database +
                    "\" requested by the login. The login failed."),
              Utf16(id_.server_name), 1);
    w.Message(true, 18456, 1, 14, Utf16("Login failed for user '" + who + "'."),
              Utf16(id_.server_name), 1);
    w.Done(tds::kDoneError, 0, 0);
    return Send(w.bytes(), true, "login of '" + who + "' asked for database '" + l.database + "'");
  }
  engine::SessionInfo info;
  info.host_name = tds::Utf16ToGbk(Utf16(l.host_name));
  info.program_name = tds::Utf16ToGbk(Utf16(l.app_name));
  info.login_name = tds::Utf16ToGbk(Utf16(l.user_name));
  spid_ = db_.open_session(info);
  state_ = State::LoggedIn;

  tds::TokenWriter w(version_);
  w.EnvChange(1, tds::GbkToUtf16(id_.db_name), u"master");
  w.CollationChange();
  w.EnvChange(2, u"us_english", u"");
  w.EnvChange(4, Utf16(std::to_string(packet_size_)), u"4096");
  w.LoginAck(u"libsql-server", kProgramVersion);
  if (l.feature_ext && version_ >= tds::kTds74) w.FeatureExtAck();
  w.Done(tds::kDoneFinal, 0, 0);
  return Send(w.bytes());
}

ClientSession::Outcome ClientSession::RunBatch(tds::TokenWriter& w, const std::string& sql,
                                               const std::function<bool()>& cancelled, bool in_proc,
                                               std::size_t* last_done,
                                               engine::StatementResult* trailing) {
  const std::u16string server = Utf16(id_.server_name);
  auto done = [&](std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
    WriteDone(w, in_proc, last_done, status, command, rows);
  };
  std::vector<engine::StatementResult> results;
  Outcome outcome = Outcome::Ok;
  try {
    results = db_.execute(spid_, sql, cancelled);
  } catch (const engine::Cancelled&) {
    return Outcome::Cancelled;
  } catch (const engine::Error& e) {
    outcome = Outcome::Failed;
    if (e.results.empty()) {  // nothing ran: a syntax error
      w.Message(true, e.number(), 1, static_cast<std::uint8_t>(e.severity()),
                tds::GbkToUtf16(e.what()), server, e.line(), tds::GbkToUtf16(e.procedure));
      for (const engine::Error::Message& f : e.follow_on)
        w.Message(f.severity > 10, f.number, 1, static_cast<std::uint8_t>(f.severity),
                  tds::GbkToUtf16(f.text), server, f.line ? f.line : e.line());
      done(tds::kDoneMore | tds::kDoneError, 0, 0);
      return outcome;
    }
    results = e.results;  // the statements that ran, the errors in place
  } catch (const std::exception& e) {
    w.Message(true, 50000, 1, 16, tds::GbkToUtf16(e.what()), server, 1);
    done(tds::kDoneMore | tds::kDoneError, 0, 0);
    return Outcome::Failed;
  }
  // A call's output parameters come back as the batch's last result set.
  if (trailing && !results.empty() && results.back().has_result_set &&
      results.back().messages.empty()) {
    *trailing = std::move(results.back());
    results.pop_back();
  }
  WriteResults(w, results, in_proc, last_done);
  return outcome;
}

void ClientSession::WriteResults(tds::TokenWriter& w,
                                 const std::vector<engine::StatementResult>& results, bool in_proc,
                                 std::size_t* last_done) {
  const std::u16string server = Utf16(id_.server_name);
  auto done = [&](std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
    WriteDone(w, in_proc, last_done, status, command, rows);
  };
  // One DONE per statement that SQL Server reports something for.
  for (const engine::StatementResult& r : results) {
    bool failed = false;
    for (const engine::Error::Message& m : r.messages) {  // PRINT, or the statement's errors
      failed = failed || m.severity > 10;
      w.Message(m.severity > 10, m.number, 1, static_cast<std::uint8_t>(m.severity),
                tds::GbkToUtf16(m.text), server, m.line, tds::GbkToUtf16(m.procedure));
    }
    const std::uint16_t counted = r.nocount ? 0 : tds::kDoneCount;
    if (r.return_status) {
      // EXEC of a procedure that ran to its end: its status, then its DONEPROC.
      w.ReturnStatus(*r.return_status);
      *last_done = w.size();
      w.DoneProc(tds::kDoneMore, 0, 0);
    } else if (failed) {
      done(tds::kDoneMore | tds::kDoneError, 0, 0);
    } else if (r.has_result_set) {
      std::vector<tds::Column> cols;
      for (std::size_t i = 0; i < r.columns.size(); ++i)
        cols.push_back(Describe(r.columns[i], r, i));
      w.ColMetadata(cols);
      std::vector<std::optional<std::string>> values;
      for (const auto& row : r.rows) {
        EncodeRow(r, cols, row, &values);
        w.Row(cols, values);
      }
      done(tds::kDoneMore | counted, kCmdSelect, r.rows.size());
    } else if (r.rows_affected >= 0) {
      done(tds::kDoneMore | counted, 0, static_cast<std::uint64_t>(r.rows_affected));
    }
  }
}

ClientSession::Reply ClientSession::Batch(const std::string& sql,
                                          const std::function<bool()>& cancelled) {
  tds::TokenWriter w(version_);
  std::size_t last_done = std::string::npos;
  const std::string run = SystemProcedureQuery(sql).value_or(sql);
  if (RunBatch(w, run, cancelled, false, &last_done, nullptr) == Outcome::Cancelled)
    return Attention();
  if (last_done == std::string::npos) {
    w.Done(tds::kDoneFinal, 0, 0);
  } else {
    // Clear the MORE bit of the last DONE (status follows its token byte).
    w.bytes()[last_done + 1] = static_cast<char>(w.bytes()[last_done + 1] & ~tds::kDoneMore);
  }
  return Send(w.bytes());
}

namespace {

// The sp_ procedures a call may name instead of giving their id.
std::uint16_t ProcIdOf(const std::u16string& name) {
  std::string n = tds::Utf16ToUtf8(name);
  for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (n.rfind("sys.", 0) == 0) n = n.substr(4);
  if (n.rfind("dbo.", 0) == 0) n = n.substr(4);
  if (n == "sp_executesql") return tds::kSpExecuteSql;
  if (n == "sp_prepare") return tds::kSpPrepare;
  if (n == "sp_execute") return tds::kSpExecute;
  if (n == "sp_prepexec") return tds::kSpPrepExec;
  if (n == "sp_unprepare") return tds::kSpUnprepare;
  return 0;
}

std::int32_t HandleOf(const tds::RpcParam& p) {
  const std::string text = ParamText(p);
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  return text.empty() || *end ? 0 : static_cast<std::int32_t>(v);
}

}  // namespace

ClientSession::Reply ClientSession::Rpc(const std::string& payload,
                                        const std::function<bool()>& cancelled) {
  const std::vector<tds::RpcCall> calls = tds::ParseRpc(payload, version_);
  tds::TokenWriter w(version_);
  const std::u16string server = Utf16(id_.server_name);
  for (std::size_t k = 0; k < calls.size(); ++k) {
    const tds::RpcCall& call = calls[k];
    const std::uint16_t id = call.proc_id ? call.proc_id : ProcIdOf(call.name);
    if (id == 0 && !call.name.empty()) {
      try {
        CallProcedure(w, call, k + 1 == calls.size(), cancelled);
      } catch (const engine::Cancelled&) {
        return Attention();
      }
      continue;
    }
    const std::vector<tds::RpcParam>& ps = call.params;
    auto refuse = [&](std::int32_t number, const std::string& text) {
      w.Message(true, number, 1, 16, Utf16(text), server, 1);
    };
    // What to run: the statement, its parameter list and the values (from
    // the first value parameter on), and the handle to give back, if any.
    std::string statement, list;
    std::size_t first_value = ps.size();
    std::optional<std::int32_t> handle_out;
    bool run = true, failed = false;
    switch (id) {
      case tds::kSpExecuteSql:
        if (ps.empty()) {
          refuse(201,
                 "Procedure or function 'sp_executesql' expects parameter '@statement', "
                 "which was not supplied.");
          run = false;
          break;
        }
        statement = ParamText(ps[0]);
        if (ps.size() > 1) list = ParamText(ps[1]);
        first_value = std::min<std::size_t>(2, ps.size());
        break;
      case tds::kSpPrepare:
      case tds::kSpPrepExec: {
        if (ps.size() < 3) {
          refuse(201, "Procedure or function expects parameter '@stmt', which was not supplied.");
          run = false;
          break;
        }
        list = ParamText(ps[1]);
        statement = ParamText(ps[2]);
        handle_out = next_handle_++;
        prepared_[*handle_out] = {list, statement};
        first_value = id == tds::kSpPrepare ? ps.size() : 3;
        run = id == tds::kSpPrepExec;
        break;
      }
      case tds::kSpExecute:
      case tds::kSpUnprepare: {
        std::int32_t h = ps.empty() ? 0 : HandleOf(ps[0]);
        auto it = prepared_.find(h);
        if (it == prepared_.end()) {
          refuse(8179, "Could not find prepared statement with handle " + std::to_string(h) + ".");
          run = false;
          failed = true;
          break;
        }
        if (id == tds::kSpUnprepare) {
          prepared_.erase(it);
          run = false;
          break;
        }
        list = it->second.params;
        statement = it->second.statement;
        first_value = 1;
        break;
      }
      default:
        // A system procedure by an id this server does not know.
        refuse(2812, "Could not find stored procedure with id " + std::to_string(id) + ".");
        run = false;
        failed = true;
        break;
    }
    // The return status, then the prepared statement's handle when one was made.
    auto ReturnStatusAndHandle = [&] {
      w.ReturnStatus(failed ? -6 : 0);
      if (!handle_out) return;
      tds::Column c;
      c.type = tds::kIntN;
      c.size = 4;
      w.ReturnValue(0, ps[0].name, c, tds::EncodeInt(std::to_string(*handle_out), 4));
    };
    std::size_t last_done = std::string::npos;
    // Output parameters: (ordinal, name) of each, in order.
    std::vector<std::pair<std::uint16_t, std::string>> outputs;
    if (run) {
      std::vector<DeclaredParam> declared = ParseDeclarations(list);
      std::string declare;
      for (std::size_t i = first_value; i < ps.size(); ++i) {
        const std::size_t position = i - first_value;
        std::string name = !ps[i].name.empty()          ? tds::Utf16ToGbk(ps[i].name)
                           : position < declared.size() ? declared[position].name
                                                        : std::string();
        if (name.empty()) continue;
        SqlParam v = ParamAsSql(ps[i]);
        declare += (declare.empty() ? "declare " : ", ") + name + " " + v.type + " = " + v.literal;
        if (ps[i].output) outputs.emplace_back(static_cast<std::uint16_t>(i), name);
      }
      // The declarations on the statement's first line keep its line numbers.
      std::string sql = (declare.empty() ? "" : declare + " ") + statement;
      if (!outputs.empty()) {
        sql += "\nselect ";
        for (std::size_t i = 0; i < outputs.size(); ++i) sql += (i ? ", " : "") + outputs[i].second;
      }
      engine::StatementResult trailing;
      Outcome o =
          RunBatch(w, sql, cancelled, true, &last_done, outputs.empty() ? nullptr : &trailing);
      if (o == Outcome::Cancelled) return Attention();
      failed = o == Outcome::Failed;
      ReturnStatusAndHandle();
      std::vector<std::pair<std::uint16_t, std::u16string>> named;
      for (const auto& [ordinal, name] : outputs)
        named.emplace_back(ordinal, tds::GbkToUtf16(name));
      WriteOutputs(w, trailing, named);
    } else {
      ReturnStatusAndHandle();
    }
    const bool last = k + 1 == calls.size();
    w.DoneProc(
        static_cast<std::uint16_t>((last ? 0 : tds::kDoneMore) | (failed ? tds::kDoneError : 0)), 0,
        0);
  }
  if (calls.empty()) w.Done(tds::kDoneFinal, 0, 0);
  return Send(w.bytes());
}

void ClientSession::CallProcedure(tds::TokenWriter& w, const tds::RpcCall& call, bool last,
                                  const std::function<bool()>& cancelled) {
  std::vector<engine::ProcedureArgument> args;
  std::vector<std::pair<std::uint16_t, std::u16string>> outputs;
  for (std::size_t i = 0; i < call.params.size(); ++i) {
    const tds::RpcParam& p = call.params[i];
    const SqlParam v = ParamAsSql(p);
    engine::ProcedureArgument a;
    a.name = tds::Utf16ToGbk(p.name);
    a.type = v.type;
    a.value = ValueText(v.literal);
    a.output = p.output;
    a.use_default = p.use_default;
    args.push_back(std::move(a));
    if (p.output) outputs.emplace_back(static_cast<std::uint16_t>(i), p.name);
  }
  engine::ProcedureCall r = db_.call_procedure(spid_, tds::Utf16ToGbk(call.name), args, cancelled);
  // The call's own end is written here: its return status, its output
  // parameters and its DONEPROC.
  std::vector<engine::StatementResult>& results = r.results;
  if (r.return_status && !results.empty() && results.back().return_status) results.pop_back();
  std::size_t last_done = std::string::npos;
  WriteResults(w, results, true, &last_done);
  if (r.return_status) {
    w.ReturnStatus(*r.return_status);
    WriteOutputs(w, r.outputs, outputs);
  }
  w.DoneProc(
      static_cast<std::uint16_t>((last ? 0 : tds::kDoneMore) | (r.failed ? tds::kDoneError : 0)), 0,
      0);
}

ClientSession::Reply ClientSession::InsertBulk(const std::string& table) {
  // The table must exist now, as SQL Server checks it at INSERT BULK.
  tds::TokenWriter w(version_);
  try {
    db_.execute(spid_, "select * from " + table + " where 1 = 0");
  } catch (const engine::Error& e) {
    w.Message(true, e.number(), 1, static_cast<std::uint8_t>(e.severity()),
              tds::GbkToUtf16(e.what()), Utf16(id_.server_name), 1);
    w.Done(tds::kDoneError, 0, 0);
    return Send(w.bytes());
  } catch (const engine::Cancelled&) {
    return Attention();
  }
  bulk_table_ = table;
  w.Done(tds::kDoneFinal, 0, 0);
  return Send(w.bytes());
}

ClientSession::Reply ClientSession::BulkLoad(const std::string& payload,
                                             const std::function<bool()>& cancelled) {
  const std::u16string server = Utf16(id_.server_name);
  tds::TokenWriter w(version_);
  if (!bulk_table_) {
    w.Message(true, 4804, 1, 16,
              u"While reading current row from host, a premature end-of-message was "
              u"encountered--an incoming data stream was interrupted when the server "
              u"expected to see more data. The host program may have terminated.",
              server, 1);
    w.Done(tds::kDoneError, 0, 0);
    return Send(w.bytes());
  }
  const std::string table = *std::exchange(bulk_table_, std::nullopt);
  const tds::BulkLoad load = tds::ParseBulkLoad(payload, version_);
  // The rows go in as INSERT statements of up to 200 rows each, all of
  // them in one transaction (or under a savepoint of the client's): a row
  // that fails undoes the whole load.
  std::string columns;
  for (const tds::RpcParam& c : load.columns) {
    std::string name = tds::Utf16ToGbk(c.name);
    std::string quoted = "[";
    for (char ch : name) quoted += ch == ']' ? std::string("]]") : std::string(1, ch);
    columns += (columns.empty() ? "" : ", ") + quoted + "]";
  }
  const bool own = db_.trancount(spid_) == 0;
  std::uint64_t inserted = 0;
  try {
    db_.execute(spid_, own ? "begin transaction" : "save transaction libsql_bulk_load");
    try {
      constexpr std::size_t kRowsPerInsert = 200;
      for (std::size_t first = 0; first < load.rows.size(); first += kRowsPerInsert) {
        std::string sql = "insert into " + table + " (" + columns + ") values ";
        const std::size_t last = std::min(load.rows.size(), first + kRowsPerInsert);
        for (std::size_t r = first; r < last; ++r) {
          sql += r == first ? "(" : ", (";
          for (std::size_t i = 0; i < load.columns.size(); ++i) {
            tds::RpcParam v = load.columns[i];
            v.value = load.rows[r][i];
            sql += (i ? ", " : "") + ParamAsSql(v).literal;
          }
          sql += ")";
        }
        db_.execute(spid_, sql, cancelled);
        inserted += last - first;
      }
      if (own) db_.execute(spid_, "commit transaction");
    } catch (...) {
      // An error with XACT_ABORT ON, or a deadlock, has ended the transaction.
      if (db_.trancount(spid_) > 0)
        db_.execute(spid_, own ? "rollback transaction" : "rollback transaction libsql_bulk_load");
      throw;
    }
  } catch (const engine::Cancelled&) {
    return Attention();
  } catch (const engine::Error& e) {
    w.Message(true, e.number(), 1, static_cast<std::uint8_t>(e.severity()),
              tds::GbkToUtf16(e.what()), server, 1);
    for (const engine::Error::Message& f : e.follow_on)
      w.Message(f.severity > 10, f.number, 1, static_cast<std::uint8_t>(f.severity),
                tds::GbkToUtf16(f.text), server, 1);
    w.Done(tds::kDoneError, 0, 0);
    return Send(w.bytes());
  }
  w.Done(tds::kDoneCount, 0, inserted);
  return Send(w.bytes());
}

ClientSession::Reply ClientSession::Attention() {
  // The request's answer ends first (what ran before the attention is
  // dropped with it), then the acknowledgement follows as a message of its
  // own: clients read the answer they were waiting for, then look for the
  // acknowledgement in the next message (tedious), or skip everything until
  // it comes (FreeTDS).
  tds::TokenWriter ended(version_), ack(version_);
  ended.Done(tds::kDoneFinal, 0, 0);
  ack.Done(tds::kDoneAttention, 0, 0);
  Reply r = Send(ended.bytes());
  r.packets +=
      tds::Packetize(tds::kReply, ack.bytes(), packet_size_, static_cast<std::uint16_t>(spid_));
  return r;
}

ClientSession::Reply ClientSession::TransactionManager(const std::string& payload,
                                                       const std::function<bool()>& cancelled) {
  // ALL_HEADERS, then the request type; begin, commit and rollback are run
  // as the statements that do the same.
  std::string_view p(payload);
  if (version_ >= tds::kTds72) {
    if (p.size() < 4) throw tds::ProtocolError("truncated request headers");
    std::uint32_t total = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8 |
                          static_cast<unsigned char>(p[2]) << 16 |
                          static_cast<std::uint32_t>(static_cast<unsigned char>(p[3])) << 24;
    if (total < 4 || total > p.size()) throw tds::ProtocolError("request headers too long");
    p.remove_prefix(total);
  }
  if (p.size() < 2) throw tds::ProtocolError("truncated transaction request");
  int request = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8;
  // Commit and rollback carry a name, then flags: 0x01 begins a new one.
  auto begins_again = [&] {
    if (p.size() < 3) return false;
    std::size_t name_len = static_cast<unsigned char>(p[2]) * 2u;
    return p.size() > 3 + name_len && (static_cast<unsigned char>(p[3 + name_len]) & 0x01);
  };
  std::string sql;
  switch (request) {
    case 5:
      sql = "BEGIN TRANSACTION";
      break;
    case 7:
      sql = begins_again() ? "COMMIT TRANSACTION\nBEGIN TRANSACTION" : "COMMIT TRANSACTION";
      break;
    case 8:
      sql = begins_again() ? "ROLLBACK TRANSACTION\nBEGIN TRANSACTION" : "ROLLBACK TRANSACTION";
      break;
    default: {
      tds::TokenWriter w(version_);
      w.Message(true, 50000, 1, 16,
                u"libsql-server supports only begin, commit and rollback among "
                u"transaction manager requests.",
                Utf16(id_.server_name), 1);
      w.Done(tds::kDoneError, 0, 0);
      return Send(w.bytes());
    }
  }
  return Batch(sql, cancelled);
}

}  // namespace server
