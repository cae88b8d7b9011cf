// Statements of a walk sent several at a time through unixODBC, FreeTDS and
// libsql-server: each batch one round trip, its results and errors mapped
// back to its statements.
#include <gtest/gtest.h>

#include "tests/db/batch_cases.h"
#include "tests/server/server_process.h"

namespace {

using server_test::OdbcConfig;
using server_test::ServerProcess;
using testing_support::ScratchDb;

// A database of its own served by libsql-server, reached through a data
// source of the one ODBC configuration of the process.
struct Served {
  explicit Served(OdbcConfig& odbc)
      : server(db.path(), {"sa:secret"}), source(odbc.AddDataSource("Lib", server.port())) {}
  std::unique_ptr<db::Connection> Connect() const { return db::Connect({source, "sa", "secret"}); }
  ScratchDb db;
  ServerProcess server;
  std::string source;
};

TEST(BatchOverTds, EveryKindOfFailureEndsAsTheStatementsSentAlone) {
  OdbcConfig odbc;
  Served alone(odbc), batched(odbc);
  batch_cases::ExpectBatchedAsAlone([&] { return alone.Connect(); },
                                    [&] { return batched.Connect(); });
}

TEST(BatchOverTds, AFailureNotToleratedNamesItsStatementAndUndoesTheUnit) {
  OdbcConfig odbc;
  Served served(odbc);
  auto c = served.Connect();
  batch_cases::ExpectFailureUndoesTheUnit(*c);
}

}  // namespace
