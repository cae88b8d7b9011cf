// libsql-server through the client the programs use: unixODBC with the
// FreeTDS driver. Logins, every column type read back, errors with their
// numbers, a cancel, two sessions and the one-writer lock, a client that goes
// with its transaction open, the refusals of a client that insists on
// encryption, and a clean stop.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "db/connection.h"
#include "tests/server/server_process.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using server_test::OdbcConfig;
using server_test::ServerProcess;
using testing_support::Rows;
using testing_support::ScratchDb;

constexpr const char* kSchema = R"(
create table kinds (k int, i int, s smallint, t tinyint, b bit, n numeric(12,2), f float,
  d datetime, c char(6), v varchar(10), x text, g image)
GO
insert into kinds values (1, -2147483648, -32768, 255, 1, -1234567890.25, 0.5,
  '2007-03-12 10:20:30.123', '中文', '书名abc', '长的文本', 'ab')
GO
insert into kinds values (2, 2147483647, 32767, 0, 0, 0, -2.25, '1900-01-01 00:00:00.000',
  '', '', '', '')
GO
insert into kinds (k) values (3)
GO
create table t (id int primary key, name varchar(20))
GO
insert into t values (1, '一')
)";

class Server : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db_ = new ScratchDb();
    testing_support::RunScript(*db_->Connect(), kSchema);
    server_ = new ServerProcess(db_->path(), {"sa:secret", "reader:pw"});
    odbc_ = new OdbcConfig();
    dsn_ = new std::map<std::string, std::string>{
        {"Lib",
         odbc_->AddDataSource("Lib", server_->port(), {{"Database", db_->path().stem().string()}})},
        {"Lib71", odbc_->AddDataSource("Lib71", server_->port(), {{"TDS_Version", "7.1"}})},
        {"Lib73", odbc_->AddDataSource("Lib73", server_->port(), {{"TDS_Version", "7.3"}})},
        {"LibOtherDb",
         odbc_->AddDataSource("LibOtherDb", server_->port(), {{"Database", "nosuchdb"}})},
        {"LibEncrypted",
         odbc_->AddDataSource("LibEncrypted", server_->port(), {{"Encryption", "require"}})}};
  }
  static void TearDownTestSuite() {
    delete dsn_;
    delete odbc_;
    delete server_;
    delete db_;
  }
  static std::unique_ptr<db::Connection> Connect(const std::string& dsn = "Lib") {
    return db::Connect({Dsn(dsn), "sa", "secret"});
  }
  static std::string Dsn(const std::string& name) { return dsn_->at(name); }
  static std::vector<std::string> Query(db::Connection& c, const std::string& sql) {
    return Rows(c, sql);
  }

  static ScratchDb* db_;
  static ServerProcess* server_;
  static OdbcConfig* odbc_;
  static std::map<std::string, std::string>* dsn_;
};

ScratchDb* Server::db_ = nullptr;
ServerProcess* Server::server_ = nullptr;
OdbcConfig* Server::odbc_ = nullptr;
std::map<std::string, std::string>* Server::dsn_ = nullptr;

// Logins as SQL Server checks them: the user's case does not matter, the
// password's does; a refusal is 18456 naming the user.
TEST_F(Server, LoginsAreCheckedAsSqlServerChecksThem) {
  struct Case {
    std::string dsn, user, password;
    int error;  // 0: accepted
    std::string message;
  } cases[] = {
      {"Lib", "sa", "secret", 0, ""},
      {"Lib", "SA", "secret", 0, ""},
      {"Lib", "reader", "pw", 0, ""},
      {"Lib", "sa", "Secret", 18456, "Login failed for user 'sa'."},
      {"Lib", "sa", "", 18456, "Login failed for user 'sa'."},
      {"Lib", "nobody", "secret", 18456, "Login failed for user 'nobody'."},
      // 4060 comes with 18456, which FreeTDS lists first.
      {"LibOtherDb", "sa", "secret", 18456,
       "Cannot open database \"nosuchdb\" requested by the login."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dsn + " " + c.user + "/" + c.password);
    try {
      auto conn = db::Connect({Dsn(c.dsn), c.user, c.password});
      EXPECT_EQ(c.error, 0) << "accepted";
      EXPECT_EQ(Query(*conn, "select count(*) from t"), std::vector<std::string>{"1"});
    } catch (const db::Error& e) {
      EXPECT_EQ(e.number(), c.error) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// Each column type through FreeTDS's conversion to text, in every TDS
// version the server speaks; char data converted from code page 936 and back.
TEST_F(Server, EveryColumnTypeReadsBackThroughTheDriver) {
  // FreeTDS writes a zero numeric as 0.00 where SQL Server's own driver
  // writes .00, as the embedded engine does.
  const std::vector<std::string> want = {
      "1|-2147483648|-32768|255|1|-1234567890.25|0.5|2007-03-12 10:20:30.123|中文|书名abc|长的文本|"
      "6162",
      "2|2147483647|32767|0|0|0.00|-2.25|1900-01-01 00:00:00.000||||",
      "3|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL|NULL"};
  for (const char* dsn : {"Lib", "Lib73", "Lib71"}) {
    SCOPED_TRACE(dsn);
    auto c = Connect(dsn);
    EXPECT_EQ(Query(*c, "select * from kinds order by k"), want);
    // Expressions whose type comes from their values, and CASTs.
    EXPECT_EQ(Query(*c,
                    "select count(*), 7 * 6, 1.5 * 3, 'ab' + '中', cast(3 as smallint), "
                    "cast(2.5 as numeric(5,1)), convert(char(4), 'x'), null from kinds"),
              std::vector<std::string>{"3|42|4.5|ab中|3|2.5|x|NULL"});
  }
}

// The SQL type the driver reports for each column of a query, and the rows
// as text, through a statement of its own.
struct Described {
  std::vector<int> types;
  std::vector<std::string> rows;
};

Described Describe(const std::string& dsn, const std::string& sql) {
  Described out;
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  EXPECT_TRUE(SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"sa",
                                       SQL_NTS, (SQLCHAR*)"secret", SQL_NTS)));
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  EXPECT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)sql.c_str(), SQL_NTS))) << sql;
  SQLSMALLINT ncols = 0;
  SQLNumResultCols(st, &ncols);
  for (SQLSMALLINT c = 1; c <= ncols; ++c) {
    SQLCHAR name[64];
    SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeCol(st, c, name, sizeof name, &name_len, &type, &size, &digits, &nullable);
    out.types.push_back(type);
  }
  while (SQL_SUCCEEDED(SQLFetch(st))) {
    std::string line;
    for (SQLSMALLINT c = 1; c <= ncols; ++c) {
      char buf[256] = {};
      SQLLEN ind = 0;
      SQLGetData(st, c, SQL_C_CHAR, buf, sizeof buf, &ind);
      line += (c > 1 ? "|" : "") + (ind == SQL_NULL_DATA ? std::string("NULL") : std::string(buf));
    }
    out.rows.push_back(line);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return out;
}

// bigint columns and expressions go out as 8-byte integers (the driver reads
// SQL_BIGINT), whatever their values; int ones stay 4-byte.
TEST_F(Server, BigintCrossesTheWireAsEightBytes) {
  auto c = Connect();
  c->Execute("create table big (k bigint not null, n bigint null)");
  c->Execute("insert big values (9223372036854775807, null)");
  c->Execute("insert big values (-5, 7)");
  for (const char* dsn : {"Lib", "Lib71"}) {
    SCOPED_TRACE(dsn);
    Described d = Describe(Dsn(dsn),
                           "select k, n, n * 2, count_big(*) over_n, cast(1 as bigint), 1 from big "
                           "group by k, n order by k");
    EXPECT_EQ(d.types, (std::vector<int>{SQL_BIGINT, SQL_BIGINT, SQL_BIGINT, SQL_BIGINT,
                                         SQL_BIGINT, SQL_INTEGER}));
    EXPECT_EQ(d.rows, (std::vector<std::string>{"-5|7|14|1|1|1",
                                                "9223372036854775807|NULL|NULL|1|1|1"}));
  }
  c->Execute("drop table big");
}

// binary and varbinary columns go out as BIGBINARY and BIGVARBINARY with
// their lengths; the driver reads their bytes back as hex (lower case).
TEST_F(Server, BinaryColumnsCrossTheWireAsBinary) {
  auto c = Connect();
  c->Execute("create table bin (k int, f binary(3) null, v varbinary(5) null)");
  c->Execute("insert bin values (1, 0x0A, 0xD6D0CEC4)");
  c->Execute("insert bin values (2, null, 0x)");
  for (const char* dsn : {"Lib", "Lib71"}) {
    SCOPED_TRACE(dsn);
    Described d = Describe(Dsn(dsn), "select f, v, cast(v as varchar(5)) from bin order by k");
    EXPECT_EQ(d.types, (std::vector<int>{SQL_BINARY, SQL_VARBINARY, SQL_VARCHAR}));
    ASSERT_EQ(d.rows.size(), 2u);
    EXPECT_EQ(d.rows[0].substr(0, 16), "0a0000|d6d0cec4|");
    EXPECT_EQ(text::Utf8(d.rows[0].substr(16)), "中文");
    EXPECT_EQ(d.rows[1], "NULL||");
  }
  c->Execute("drop table bin");
}

TEST_F(Server, ErrorsKeepTheirNumbersAndTexts) {
  auto c = Connect();
  struct Case {
    std::string sql;
    int number;
    std::string text;
  } cases[] = {
      {"select * from nosuch", 208, "Invalid object name 'nosuch'."},
      {"insert into t values (1, 'again')", 2627, "Violation of PRIMARY KEY constraint"},
      {"select 1/0", 8134, "Divide by zero error encountered."},
      {"selec 1", 102, "Incorrect syntax near 'selec'."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.sql);
    try {
      c->Execute(k.sql);
      ADD_FAILURE() << "no error";
    } catch (const db::Error& e) {
      EXPECT_EQ(e.number(), k.number) << e.what();
      EXPECT_NE(std::string(e.what()).find(k.text), std::string::npos) << e.what();
    }
  }
  // A Chinese message comes back in the client's character set.
  try {
    c->Execute(text::Gbk("select * from 不存在"));
    ADD_FAILURE() << "no error";
  } catch (const db::Error& e) {
    EXPECT_NE(text::Utf8(e.what()).find("Invalid object name '不存在'."), std::string::npos)
        << text::Utf8(e.what());
  }
  EXPECT_EQ(Query(*c, "select name from t"), std::vector<std::string>{"一"}) << "still usable";
}

// One writer at a time: while one session's transaction is open, another's
// statements wait, up to its LOCK_TIMEOUT; the wait ends when it commits.
TEST_F(Server, ASecondSessionWaitsForTheFirstOnesTransaction) {
  auto a = Connect();
  auto b = Connect();
  a->Execute("begin transaction");
  a->Execute("insert into t values (2, 'two')");
  b->Execute("set lock_timeout 300");
  const auto start = std::chrono::steady_clock::now();
  try {
    b->Execute("select count(*) from t");
    ADD_FAILURE() << "the second session read during the first one's transaction";
  } catch (const db::Error& e) {
    EXPECT_EQ(e.number(), 1222) << e.what();
    EXPECT_NE(std::string(e.what()).find("Lock request time out period exceeded."),
              std::string::npos);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

  b->Execute("set lock_timeout -1");
  std::vector<std::string> seen;
  std::thread waiter([&] { seen = Query(*b, "select count(*) from t"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  a->Execute("commit");
  waiter.join();
  EXPECT_EQ(seen, std::vector<std::string>{"2"}) << "the wait ended with the committed row";
  b->Execute("delete from t where id = 2");
}

// Each client is a session of its own, listed with the machine name and
// login it gave (FreeTDS sends the computer's name), and gone from the list
// once it disconnects.
TEST_F(Server, SessionsAreListedWithTheirClientsNames) {
  auto a = Connect();
  const std::vector<std::string> me = Query(*a, "select @@spid");
  ASSERT_EQ(me.size(), 1u);
  std::string b_spid;
  {
    auto b = Connect();
    b_spid = Query(*b, "select @@spid").at(0);
    EXPECT_NE(b_spid, me[0]);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(Query(*a,
                    "select host_name, login_name from sys.dm_exec_sessions where "
                    "session_id = " +
                        b_spid),
              std::vector<std::string>{std::string(host) + "|sa"});
  }
  // The database's own session serves no client: it is not listed.
  EXPECT_EQ(Query(*a, "select count(*) from master..sysprocesses where spid = 51"),
            std::vector<std::string>{"0"});
  // The server closes the session once it has seen the client go.
  std::vector<std::string> left;
  for (int i = 0; i < 100; ++i) {
    left = Query(*a, "select count(*) from master..sysprocesses where spid = " + b_spid);
    if (left == std::vector<std::string>{"0"}) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(left, std::vector<std::string>{"0"});
}

// A client that goes with its transaction open has it rolled back, and the
// others go on.
TEST_F(Server, ADisconnectedSessionsTransactionIsRolledBack) {
  {
    auto a = Connect();
    a->Execute("begin transaction");
    a->Execute("insert into t values (3, 'three')");
  }
  auto b = Connect();
  EXPECT_EQ(Query(*b, "select count(*) from t where id = 3"), std::vector<std::string>{"0"});
}

// A statement waiting for another session is cancelled by the driver's
// query timeout (an attention); the connection stays usable.
TEST_F(Server, AnAttentionCancelsAWaitingStatement) {
  auto a = Connect();
  a->Execute("begin transaction");
  a->Execute("update t set name = 'x' where id = 1");

  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  const std::string dsn = Dsn("Lib");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"sa", SQL_NTS,
                                       (SQLCHAR*)"secret", SQL_NTS)));
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  SQLSetStmtAttr(st, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(1), 0);
  SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)"select name from t", SQL_NTS);
  EXPECT_EQ(rc, SQL_ERROR);
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR msg[512];
  SQLSMALLINT len = 0;
  SQLGetDiagRec(SQL_HANDLE_STMT, st, 1, state, &native, msg, sizeof msg, &len);
  EXPECT_STREQ(reinterpret_cast<char*>(state), "HYT00") << msg;

  a->Execute("rollback");
  SQLFreeStmt(st, SQL_CLOSE);
  SQLSetStmtAttr(st, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), 0);
  EXPECT_TRUE(SQL_SUCCEEDED(SQLExecDirect(st, (SQLCHAR*)"select name from t", SQL_NTS)));
  SQLCHAR name[32] = {};
  SQLLEN ind = 0;
  EXPECT_TRUE(SQL_SUCCEEDED(SQLFetch(st)));
  SQLGetData(st, 1, SQL_C_CHAR, name, sizeof name, &ind);
  EXPECT_EQ(text::Utf8(reinterpret_cast<char*>(name)), "一") << "the update was rolled back";
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

// {? = CALL p(?, ?)}: the driver sends a remote procedure call by name and
// reads the return status and the output parameter back into its buffers.
TEST_F(Server, AProceduresReturnStatusAndOutputParametersReachTheDriver) {
  auto a = Connect();
  a->Execute(
      "create procedure name_of @id int, @name varchar(20) output as\n"
      "set @name = (select name from t where id = @id)\n"
      "if @name is null return 1\nreturn 0");
  SQLHENV env;
  SQLHDBC dbc;
  SQLHSTMT st;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  const std::string dsn = Dsn("Lib");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR*)dsn.c_str(), SQL_NTS, (SQLCHAR*)"sa", SQL_NTS,
                                       (SQLCHAR*)"secret", SQL_NTS)));
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  SQLINTEGER status = -99, id = 1;
  SQLCHAR name[21] = {};
  SQLLEN status_ind = 0, id_ind = 0, name_ind = 0;
  SQLBindParameter(st, 1, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &status, 0,
                   &status_ind);
  SQLBindParameter(st, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, &id_ind);
  SQLBindParameter(st, 3, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 20, 0, name, sizeof name,
                   &name_ind);
  for (SQLINTEGER which : {1, 9}) {
    id = which;
    status = -99;
    name[0] = 0;
    // No result set and no count: the driver says SQL_NO_DATA, its
    // parameters filled.
    SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)"{? = CALL name_of(?, ?)}", SQL_NTS);
    ASSERT_TRUE(rc == SQL_NO_DATA || SQL_SUCCEEDED(rc)) << rc;
    while (SQL_SUCCEEDED(rc) && SQLMoreResults(st) != SQL_NO_DATA) {
    }
    if (which == 1) {
      EXPECT_EQ(status, 0);
      ASSERT_EQ(name_ind, 2);  // code page 936
      EXPECT_EQ(text::Utf8(std::string(reinterpret_cast<char*>(name), 2)), "一");
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(name_ind, SQL_NULL_DATA);
    }
    SQLFreeStmt(st, SQL_CLOSE);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  a->Execute("drop procedure name_of");
}

TEST_F(Server, AClientThatRequiresEncryptionIsRefused) {
  EXPECT_THROW(db::Connect({Dsn("LibEncrypted"), "sa", "secret"}), db::Error);
  EXPECT_NE(server_->log().find("requires encryption"), std::string::npos) << server_->log();
}

// SIGTERM: what was committed is in the file, what a connected client left
// open is not, and the server exits 0.
TEST(ServerStop, SigtermRollsBackOpenTransactionsAndKeepsCommittedOnes) {
  ScratchDb db;
  testing_support::RunScript(*db.Connect(), "create table t (id int)");
  ServerProcess server(db.path(), {"sa:"});
  OdbcConfig odbc;
  auto c = db::Connect({odbc.AddDataSource("Lib", server.port()), "sa", ""});
  c->Execute("insert into t values (1)");
  c->Execute("begin transaction");
  c->Execute("insert into t values (2)");
  EXPECT_EQ(server.Stop(), 0) << server.log();
  c.reset();
  EXPECT_EQ(Rows(*db.Connect(), "select id from t"), std::vector<std::string>{"1"});
}

}  // namespace
