// The ODBC backend through the real unixODBC driver manager: the SQLite ODBC
// driver behind a data source of a temporary odbc.ini, and FreeTDS aimed at a
// loopback port where nothing listens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "db/connection.h"
#include "db/ledger.h"
#include "db/query.h"

namespace {

namespace fs = std::filesystem;

const char* kDriverDir = "/usr/lib/x86_64-linux-gnu/odbc";

// A port on 127.0.0.1 that was free a moment ago and has no listener.
int ClosedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

class OdbcBackend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ =
        new fs::path(fs::temp_directory_path() / ("libupgrade-odbc-" + std::to_string(getpid())));
    fs::create_directories(*dir_);
    std::ofstream(*dir_ / "odbcinst.ini")
        << "[SQLite3]\nDriver=" << kDriverDir
        << "/libsqlite3odbc.so\n\n[FreeTDS]\nDriver=" << kDriverDir << "/libtdsodbc.so\n";
    std::ofstream(*dir_ / "odbc.ini")
        << "[LibTest]\nDriver=SQLite3\nDatabase=" << (*dir_ / "lib.sqlite").string()
        << "\n\n[LibTds]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=" << ClosedPort()
        << "\nTDS_Version=7.3\n";
    setenv("ODBCSYSINI", dir_->c_str(), 1);
    setenv("ODBCINI", (*dir_ / "odbc.ini").c_str(), 1);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
  }
  void SetUp() override {
    fs::remove(*dir_ / "lib.sqlite");
    c_ = db::Connect({"LibTest", "sa", "secret"});
    // A catalogue view with the columns the table probe reads.
    c_->Execute("create view sysobjects as select name, rowid as id from sqlite_master");
  }

  static fs::path* dir_;
  std::unique_ptr<db::Connection> c_;
};

fs::path* OdbcBackend::dir_ = nullptr;

TEST_F(OdbcBackend, LedgerStatementsRunThroughTheDriverManager) {
  db::Query q(*c_);
  db::EnsureLedger(q);
  EXPECT_FALSE(db::TableAbsent(q, "ver_manage"));
  db::EnsureLedger(q);  // present: not created twice
  EXPECT_TRUE(db::CheckVerSign(q, "ZZ20130901.VERUP"));
  EXPECT_FALSE(db::CheckVerSign(q, "ZZ20130901.VERUP"));
  db::OpenQuery(q, {"select count(*) as n from ver_manage"});
  EXPECT_EQ(q.AsInteger("N"), 1);
}

TEST_F(OdbcBackend, ReadsByNameToEndOfDataAndPassesGbkBytes) {
  const std::string gbk = "\xD6\xD0\x95\x46";  // 中旻
  db::Query q(*c_);
  db::RunCommand(q, {"create table t (k integer, v varchar(20))"});
  db::RunCommand(q, {"insert into t values (1, '" + gbk + "')"});
  db::RunCommand(q, {"insert into t values (2, NULL)"});
  db::OpenQuery(q, {"select k, v", "from t order by k"});
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.AsInteger("K"), 1);
  EXPECT_EQ(q.AsString("v"), gbk);
  q.Next();
  ASSERT_FALSE(q.Eof());
  EXPECT_TRUE(q.IsNull("v"));
  EXPECT_EQ(q.AsString("v"), "");
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_THROW(q.AsString("v"), db::Error);
  q.Close();
  db::OpenQuery(q, {"select k from t where k > 5"});
  EXPECT_TRUE(q.Eof());
}

TEST_F(OdbcBackend, WalkOnOneComponentWhileWritingThroughAnother) {
  db::Query walker(*c_), writer(*c_);
  db::RunCommand(walker, {"create table src (k integer)"});
  db::RunCommand(walker, {"create table dst (k integer)"});
  for (int k = 1; k <= 3; ++k)
    db::RunCommand(walker, {"insert into src values (" + std::to_string(k) + ")"});
  db::OpenQuery(walker, {"select k from src order by k"});
  while (!walker.Eof()) {
    db::RunCommand(writer, {"insert into dst values (" + walker.AsString("k") + "0)"});
    walker.Next();
  }
  walker.Close();
  db::OpenQuery(walker, {"select sum(k) as s from dst"});
  EXPECT_EQ(walker.AsInteger("s"), 60);
}

TEST_F(OdbcBackend, LongValuesArriveWhole) {
  const std::string big(10000, 'x');
  db::Query q(*c_);
  db::RunCommand(q, {"create table b (v text)"});
  db::RunCommand(q, {"insert into b values ('" + big + "')"});
  db::OpenQuery(q, {"select v from b"});
  EXPECT_EQ(q.AsString("v"), big);
}

TEST_F(OdbcBackend, ErrorsCarryTheDriverMessageAndAreReported) {
  std::vector<std::string> outcomes;
  c_->on_statement = [&](const db::StatementEvent& e) {
    outcomes.push_back(e.ok ? "ok" : e.tolerated ? "tolerated" : "error:" + e.error);
  };
  db::Query q(*c_);
  try {
    db::RunCommand(q, {"select * from no_such_table"});
    FAIL() << "no error";
  } catch (const db::Error& e) {
    EXPECT_NE(std::string(e.what()).find("no such table"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(db::RunTolerated(q, {"drop table no_such_table"}));
  EXPECT_TRUE(db::RunTolerated(q, {"create table z (a int)"}));
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].rfind("error:", 0), 0u);
  EXPECT_NE(outcomes[0].find("no such table"), std::string::npos);
  EXPECT_EQ(outcomes[1], "tolerated");
  EXPECT_EQ(outcomes[2], "ok");
  EXPECT_EQ(c_->tolerating, 0);
}

TEST_F(OdbcBackend, ConnectionErrorsNameTheProblem) {
  const struct {
    const char* dsn;
    const char* expected;
  } cases[] = {
      {"LibTds", "FreeTDS"},  // nothing listens on the port
      {"NoSuchSource", "Data source name not found"},
  };
  for (const auto& c : cases) {
    try {
      db::Connect({c.dsn, "sa", ""});
      ADD_FAILURE() << c.dsn << " connected";
    } catch (const db::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
  }
}

}  // namespace
