// The protocol's state machine for one client: pre-login, login, then SQL
// batches, attentions and transaction-manager requests, each answered with the
// tokens SQL Server would send. Results come from the engine as text and
// leave as the wire types of their columns.
//
// Known differences from SQL Server:
// - A batch that fails sends its errors but not the results and counts of
//   the statements that ran before the failure (the engine returns none).
// - Remote procedure calls (prepared statements, parameters) are refused;
//   transaction-manager requests run as BEGIN/COMMIT/ROLLBACK TRANSACTION
//   and answer without transaction descriptors.
// - money columns arrive as numeric(19,4); expressions whose type the engine
//   does not fix arrive as int (bigint past its range), numeric(38, s) with
//   the largest scale of their values, or varchar of their longest value.
// - No encryption, no Windows authentication, no MARS; the server calls
//   itself libsql-server 10.0 and its login language is us_english.
#include "server/client_session.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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
  if (d == "int" || d == "smallint" || d == "tinyint") {
    c.type = tds::kIntN;
    c.size = d == "int" ? 4 : d == "smallint" ? 2 : 1;
  } else if (d == "bit") {
    c.type = tds::kBitN;
    c.size = 1;
  } else if (d == "numeric" || d == "decimal") {
    c.type = tds::kNumericN;
    c.precision = static_cast<std::uint8_t>(std::clamp(rc.precision, 1, 38));
    c.scale = static_cast<std::uint8_t>(std::clamp(rc.scale, 0, static_cast<int>(c.precision)));
    c.size = tds::NumericSize(c.precision);
  } else if (d == "money") {
    c.type = tds::kNumericN;
    c.precision = 19;
    c.scale = 4;
    c.size = tds::NumericSize(19);
  } else if (d == "float") {
    c.type = tds::kFloatN;
    c.size = 8;
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
      return tds::EncodeFloat(text);
    case tds::kDateTimeN:
      return tds::EncodeDateTime(text);
    case tds::kBigVarBinary:
    case tds::kBigBinary:
      return binary_as_hex ? tds::DecodeHex(text) : text;
    default:
      return text;
  }
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

ClientSession::Reply ClientSession::Send(const std::string& tokens, bool close, std::string log) {
  Reply r;
  r.packets = tds::Packetize(tds::kReply, tokens, packet_size_, static_cast<std::uint16_t>(spid_));
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
        switch (m.type) {
          case tds::kSqlBatch:
            return Batch(tds::Utf16ToGbk(tds::BatchText(m.payload, version_)), cancelled);
          case tds::kAttention: {
            // Nothing runs between messages: acknowledge at once.
            tds::TokenWriter w(version_);
            w.Done(tds::kDoneAttention, 0, 0);
            return Send(w.bytes());
          }
          case tds::kTransactionManager:
            return TransactionManager(m.payload, cancelled);
          case tds::kRpc: {
            tds::TokenWriter w(version_);
            w.Message(true, 50000, 1, 16,
                      u"libsql-server runs SQL batches only; remote procedure calls "
                      u"(prepared statements, parameters) are not supported.",
                      Utf16(id_.server_name), 1);
            w.Done(tds::kDoneError, 0, 0);
            return Send(w.bytes());
          }
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
  if (!l.database.empty() && !SameLogin(l.database, id_.db_name)) {
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

ClientSession::Reply ClientSession::Batch(const std::string& sql,
                                          const std::function<bool()>& cancelled) {
  tds::TokenWriter w(version_);
  const std::u16string server = Utf16(id_.server_name);
  std::vector<engine::StatementResult> results;
  try {
    results = db_.execute(spid_, sql, cancelled);
  } catch (const engine::Cancelled&) {
    w.Done(tds::kDoneAttention, 0, 0);
    return Send(w.bytes());
  } catch (const engine::Error& e) {
    if (e.results.empty()) {  // nothing ran: a syntax error
      w.Message(true, e.number(), 1, static_cast<std::uint8_t>(e.severity()),
                tds::GbkToUtf16(e.what()), server, e.line());
      for (const engine::Error::Message& f : e.follow_on)
        w.Message(f.severity > 10, f.number, 1, static_cast<std::uint8_t>(f.severity),
                  tds::GbkToUtf16(f.text), server, f.line ? f.line : e.line());
      w.Done(tds::kDoneError, 0, 0);
      return Send(w.bytes());
    }
    results = e.results;  // the statements that ran, the errors in place
  } catch (const std::exception& e) {
    w.Message(true, 50000, 1, 16, tds::GbkToUtf16(e.what()), server, 1);
    w.Done(tds::kDoneError, 0, 0);
    return Send(w.bytes(), false, std::string("batch failed: ") + e.what());
  }
  // One DONE per statement that SQL Server reports something for, the last
  // one final.
  std::size_t last_done = std::string::npos;
  for (const engine::StatementResult& r : results) {
    bool failed = false;
    for (const engine::Error::Message& m : r.messages) {  // PRINT, or the statement's errors
      failed = failed || m.severity > 10;
      w.Message(m.severity > 10, m.number, 1, static_cast<std::uint8_t>(m.severity),
                tds::GbkToUtf16(m.text), server, m.line);
    }
    if (failed) {
      last_done = w.size();
      w.Done(tds::kDoneMore | tds::kDoneError, 0, 0);
    } else if (r.has_result_set) {
      std::vector<tds::Column> cols;
      for (std::size_t i = 0; i < r.columns.size(); ++i)
        cols.push_back(Describe(r.columns[i], r, i));
      w.ColMetadata(cols);
      std::vector<bool> hex(cols.size());
      for (std::size_t i = 0; i < cols.size(); ++i)
        hex[i] = r.columns[i].type == engine::ColumnType::Binary ||
                 r.columns[i].declared == "binary" || r.columns[i].declared == "varbinary";
      std::vector<std::optional<std::string>> values(cols.size());
      for (const auto& row : r.rows) {
        for (std::size_t i = 0; i < cols.size(); ++i) {
          if (row[i])
            values[i].emplace(Encode(cols[i], *row[i], hex[i]));
          else
            values[i].reset();
        }
        w.Row(cols, values);
      }
      last_done = w.size();
      w.Done(tds::kDoneMore | tds::kDoneCount, kCmdSelect, r.rows.size());
    } else if (r.rows_affected >= 0) {
      last_done = w.size();
      w.Done(tds::kDoneMore | tds::kDoneCount, 0, static_cast<std::uint64_t>(r.rows_affected));
    }
  }
  if (last_done == std::string::npos) {
    w.Done(tds::kDoneFinal, 0, 0);
  } else {
    // Clear the MORE bit of the last DONE (status follows its token byte).
    w.bytes()[last_done + 1] = static_cast<char>(w.bytes()[last_done + 1] & ~tds::kDoneMore);
  }
  return Send(w.bytes());
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
