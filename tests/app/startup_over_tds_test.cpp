// The start-up sequence against libsql-server through unixODBC and FreeTDS:
// a login the server refuses makes the connection dialog the main window, as
// any unreachable database does; the right password opens the upgrade window.
#include <gtest/gtest.h>

#include <QLineEdit>

#include "app/qt/flash.h"
#include "app/qt/startup.h"
#include "tests/app/qt_harness.h"
#include "tests/server/server_process.h"
#include "tests/support/support.h"
#include "text/param_codec.h"

namespace {

using app_testing::BoxWatcher;
using app_testing::ScratchRegistry;
using app_testing::TopLevels;

TEST(StartupOverTds, ARefusedLoginLeadsToTheDialogAndTheRightOneToTheUpgradeWindow) {
  app_testing::App();
  testing_support::ScratchDb scratch({"release_2007_12.sql"});
  server_test::ServerProcess server(scratch.path(), {"sa:secret"});
  server_test::OdbcConfig odbc;
  const std::string dsn = odbc.AddDataSource("LibOdbc", server.port());
  struct Case {
    const char* password;
    bool refused;
  } cases[] = {{"wrong", true}, {"secret", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    ScratchRegistry reg;
    reg.SetLib(dsn, text::EncodeParam("sa"), text::EncodeParam(c.password));
    BoxWatcher boxes;
    std::string error;
    app::Startup s(reg.registry(), {reg.root()}, [&](const db::ConnectParams& p) {
      try {
        return db::Connect(p);
      } catch (const db::Error& e) {
        error = e.what();
        throw;
      }
    });
    s.Run();
    app_testing::Pump(30);

    EXPECT_TRUE(boxes.boxes.empty()) << "a failed connection shows no error box";
    EXPECT_TRUE(TopLevels<app::TFlash>().empty());
    if (c.refused) {
      EXPECT_NE(error.find("Login failed for user 'sa'."), std::string::npos) << error;
      EXPECT_EQ(s.UpLibMain, nullptr);
      ASSERT_NE(s.DbPara, nullptr);
      EXPECT_EQ(s.MainWindow(), s.DbPara.get());
      EXPECT_EQ(s.DbPara->edOdbc->text().toStdString(), dsn);
    } else {
      EXPECT_EQ(error, "");
      ASSERT_NE(s.UpLibMain, nullptr);
      EXPECT_EQ(s.MainWindow(), s.UpLibMain.get());
    }
  }
  EXPECT_EQ(server.Stop(), 0) << server.log();
}

}  // namespace
