// The ODBC backend over the driver manager's narrow (ANSI) API: statement text
// and values pass as bytes, so GBK reaches the server unchanged. A result is
// read to its end before Execute returns, because SQL Server (and FreeTDS)
// allow one active result per connection while an upgrade walks the rows of
// one query component and writes through another.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "db/result_set.h"
#include "port/odbc.h"

namespace db {

namespace {

// SQLSTATEs of a connection that is gone: communication link failure,
// link failure during a transaction, no connection, server rejected it.
bool LostState(const char* state) {
  for (const char* lost : {"08S01", "08S02", "08003", "08007"})
    if (std::strcmp(state, lost) == 0) return true;
  return false;
}

// The diagnostic records of a handle: every message, in order, and the first
// native error number that is not zero. The error is marked connection_lost
// when a record's SQLSTATE says so, or when dbc (given for a statement's
// failure) is reported dead by the driver: FreeTDS answers a server gone in
// the middle of a result with "Unknown error" and a general SQLSTATE.
Error Diagnostics(SQLSMALLINT type, SQLHANDLE handle, const std::string& fallback,
                  SQLHDBC dbc = SQL_NULL_HDBC) {
  std::string message;
  int number = 0;
  bool lost = false;
  for (SQLSMALLINT rec = 1;; ++rec) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[SQL_MAX_MESSAGE_LENGTH + 1] = {};
    SQLSMALLINT len = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, rec, state, &native, text, sizeof text, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    if (!message.empty()) message += '\n';
    message += reinterpret_cast<const char*>(text);
    if (number == 0) number = native;
    if (LostState(reinterpret_cast<const char*>(state))) lost = true;
  }
  if (message.empty()) message = fallback;
  if (!lost && dbc != SQL_NULL_HDBC) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (SQL_SUCCEEDED(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)))
      lost = dead == SQL_CD_TRUE;
  }
  return Error(number, message, lost);
}

class Statement {
 public:
  explicit Statement(SQLHDBC dbc) : dbc_(dbc) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h_)))
      throw Diagnostics(SQL_HANDLE_DBC, dbc, "cannot allocate an ODBC statement", dbc);
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, h_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT get() const { return h_; }
  [[noreturn]] void Fail(const char* what) const {
    throw Diagnostics(SQL_HANDLE_STMT, h_, what, dbc_);
  }

 private:
  SQLHDBC dbc_;
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

// Reads the current result set of stmt completely.
void ReadResultSet(const Statement& stmt, SQLSMALLINT ncols, ResultSet& r) {
  for (SQLUSMALLINT i = 1; i <= ncols; ++i) {
    SQLCHAR name[256] = {};
    SQLSMALLINT name_len = 0, data_type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeCol(stmt.get(), i, name, sizeof name, &name_len, &data_type,
                                      &size, &digits, &nullable)))
      stmt.Fail("cannot describe a result column");
    r.columns.emplace_back(reinterpret_cast<const char*>(name));
  }
  char buf[4096];
  for (;;) {
    SQLRETURN rc = SQLFetch(stmt.get());
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) stmt.Fail("cannot fetch a row");
    std::vector<std::optional<std::string>> row;
    row.reserve(ncols);
    for (SQLUSMALLINT i = 1; i <= ncols; ++i) {
      std::string value;
      bool is_null = false;
      for (;;) {
        SQLLEN ind = 0;
        rc = SQLGetData(stmt.get(), i, SQL_C_CHAR, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) stmt.Fail("cannot read a column value");
        if (ind == SQL_NULL_DATA) {
          is_null = true;
          break;
        }
        // A piece fills the buffer but its terminating zero when more follows.
        const bool more = ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf);
        if (rc == SQL_SUCCESS_WITH_INFO && more) {
          value.append(buf, sizeof buf - 1);
          continue;
        }
        value.append(buf, static_cast<std::size_t>(ind));
        break;
      }
      if (is_null)
        row.emplace_back(std::nullopt);
      else
        row.emplace_back(std::move(value));
    }
    r.rows.push_back(std::move(row));
  }
}

// SQL Server's drivers (and FreeTDS) give the line of the batch on which
// the failing statement starts as this diagnostic field (SQLUSMALLINT).
constexpr SQLSMALLINT kDiagLine = -1154;

// The line of the batch the first diagnostic record of a failure names; 0
// when the driver gives none.
int ErrorLine(SQLHSTMT h) {
  SQLUSMALLINT line = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagField(SQL_HANDLE_STMT, h, 1, kDiagLine, &line, sizeof line, nullptr)))
    return 0;
  return line;
}

class OdbcConnection : public Connection {
 public:
  OdbcConnection(SQLHENV env, SQLHDBC dbc, bool batches)
      : env_(env), dbc_(dbc), batches_(batches) {}
  ~OdbcConnection() override {
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  std::unique_ptr<Cursor> Send(const std::string& sql) override {
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
          .count();
    };
    ResultSet r;
    try {
      Run(sql, r);
    } catch (const Error& e) {
      Report(sql, elapsed(), false, -1, e.what());
      throw;
    }
    const std::int64_t rows =
        r.columns.empty() ? r.rows_affected : static_cast<std::int64_t>(r.rows.size());
    Report(sql, elapsed(), true, rows, std::string());
    return std::make_unique<ResultSetCursor>(std::move(r));
  }

 private:
  // Sends the text and walks every result it produces: the first result set
  // is kept, counts of the other statements add up.
  void Run(const std::string& sql, ResultSet& r) {
    Statement stmt(dbc_);
    SQLRETURN rc =
        SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                      static_cast<SQLINTEGER>(sql.size()));
    bool have_set = false;
    if (rc == SQL_NO_DATA) {  // a searched update or delete that touched no row
      r.rows_affected = 0;
      rc = SQLMoreResults(stmt.get());
    }
    while (rc != SQL_NO_DATA) {
      if (!SQL_SUCCEEDED(rc)) stmt.Fail("the statement failed");
      SQLSMALLINT ncols = 0;
      if (!SQL_SUCCEEDED(SQLNumResultCols(stmt.get(), &ncols)))
        stmt.Fail("cannot count result columns");
      if (ncols > 0 && !have_set) {
        have_set = true;
        ReadResultSet(stmt, ncols, r);
      } else if (ncols == 0) {
        SQLLEN count = -1;
        if (SQL_SUCCEEDED(SQLRowCount(stmt.get(), &count)) && count >= 0)
          r.rows_affected = (r.rows_affected < 0 ? 0 : r.rows_affected) + count;
      }
      rc = SQLMoreResults(stmt.get());
    }
  }

  SQLHENV env_;
  SQLHDBC dbc_;
  bool batches_;

 protected:
  // One batch, its results walked in order: each statement that ran gives a
  // result set or a count, the failed one an error carrying its line. The
  // batch starts with "set nocount off", so that a statement that ran is
  // seen whatever the session had set (the run lock's batch sets it on).
  std::vector<BatchOutcome> SendBatch(std::span<const BatchStatement> statements) override {
    if (!batches_) return Connection::SendBatch(statements);
    const auto start = std::chrono::steady_clock::now();
    const BatchText batch = JoinBatch(statements, "set nocount off\n");
    std::vector<BatchOutcome> out;
    std::optional<Error> failure;
    std::size_t failed_at = 0;
    try {
      Statement stmt(dbc_);
      SQLRETURN rc = SQLExecDirect(
          stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(batch.text.c_str())),
          static_cast<SQLINTEGER>(batch.text.size()));
      if (rc == SQL_NO_DATA) {  // the first statement, an update or delete, touched no row
        out.emplace_back().rows = 0;
        rc = SQLMoreResults(stmt.get());
      }
      while (rc != SQL_NO_DATA) {
        if (!SQL_SUCCEEDED(rc)) {
          const int line = ErrorLine(stmt.get());
          Error e = Diagnostics(SQL_HANDLE_STMT, stmt.get(), "the statement failed", dbc_);
          if (!failure) {
            failure.emplace(std::move(e));
            failed_at = line > 0 ? batch.StatementAt(line) : out.size();
            if (failure->connection_lost()) break;
          }
        } else {
          SQLSMALLINT ncols = 0;
          if (!SQL_SUCCEEDED(SQLNumResultCols(stmt.get(), &ncols)))
            stmt.Fail("cannot count result columns");
          if (ncols > 0) {
            ResultSet r;
            ReadResultSet(stmt, ncols, r);
            out.emplace_back().rows = static_cast<std::int64_t>(r.rows.size());
          } else {
            SQLLEN count = -1;
            // A result without a count is no statement of ours.
            if (SQL_SUCCEEDED(SQLRowCount(stmt.get(), &count)) && count >= 0)
              out.emplace_back().rows = count;
          }
        }
        rc = SQLMoreResults(stmt.get());
      }
    } catch (const Error& e) {  // the driver could not walk the results
      if (!failure) {
        failure = e;
        failed_at = out.size();
      }
    }
    if (failure) {
      if (failed_at > out.size() && out.empty()) {
        // Nothing ran: the batch did not compile, the error is a later
        // statement's. The statements before it go alone first.
        return SendBatch(statements.first(failed_at));
      }
      // Statements seen after the failure would mean the batch did not stop
      // there; the outcomes go as far as the failure either way.
      failed_at = std::min(failed_at, out.size());
      out.resize(failed_at + 1);
      out.back().rows = -1;
      out.back().error = std::move(failure);
    } else if (out.size() > statements.size()) {
      out.resize(statements.size());
    }
    if (out.empty()) {
      BatchOutcome o;
      o.error = Error(0, "the batch gave no result for its statements");
      out.push_back(std::move(o));
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) ReportBatch(statements[i], ms, out[i]);
    return out;
  }
};

}  // namespace

std::unique_ptr<Connection> ConnectOdbc(const ConnectParams& params) {
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
    throw Error(0, "cannot allocate the ODBC environment (is unixODBC installed?)");
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    Error e = Diagnostics(SQL_HANDLE_ENV, env, "cannot allocate an ODBC connection");
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    throw e;
  }
  // SQLConnect never prompts: the data source, user and password are used as
  // they are.
  auto text = [](const std::string& s) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
  };
  const SQLRETURN rc =
      SQLConnect(dbc, text(params.data_source), static_cast<SQLSMALLINT>(params.data_source.size()),
                 text(params.user), static_cast<SQLSMALLINT>(params.user.size()),
                 text(params.password), static_cast<SQLSMALLINT>(params.password.size()));
  if (!SQL_SUCCEEDED(rc)) {
    Error e = Diagnostics(SQL_HANDLE_DBC, dbc,
                          "cannot connect to data source '" + params.data_source + "'");
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    throw e;
  }
  // A unit of work must survive the errors its tolerated statements meet: a
  // server whose user options turn XACT_ABORT on would roll the whole step
  // back at the first of them. A driver that does not know the setting (not
  // SQL Server) is left as it is.
  SQLHSTMT setup = SQL_NULL_HSTMT;
  if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &setup))) {
    static const char kXactAbortOff[] = "set xact_abort off";
    SQLExecDirect(setup, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kXactAbortOff)), SQL_NTS);
    SQLFreeHandle(SQL_HANDLE_STMT, setup);
  }
  // Several statements go in one batch only to SQL Server (and the embedded
  // engine's server), which run a batch as the batches are written.
  SQLCHAR dbms[128] = {};
  SQLSMALLINT dbms_len = 0;
  SQLGetInfo(dbc, SQL_DBMS_NAME, dbms, sizeof dbms, &dbms_len);
  const std::string name(reinterpret_cast<const char*>(dbms));
  const bool batches = name.find("SQL Server") != std::string::npos || name == "libsql-server";
  return std::make_unique<OdbcConnection>(env, dbc, batches);
}

}  // namespace db
