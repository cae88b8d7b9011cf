// The entry sequence: which window becomes the main window, the splash during
// the connection attempt, and that a failed connection shows no error box.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>

#include "app/core/start_mess.h"
#include "app/qt/flash.h"
#include "app/qt/startup.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace {

using app_testing::BoxWatcher;
using app_testing::ScratchRegistry;
using app_testing::TopLevels;

// What the start-up looked like at the moment the connection was attempted.
struct Attempt {
  bool made = false;
  db::ConnectParams params;
  int splashes = 0;
  bool splash_visible = false;
  QString splash_text;
  std::string start_mess;
};

app::ConnectFn Watching(Attempt& a) {
  return [&a](const db::ConnectParams& p) {
    a.made = true;
    a.params = p;
    const auto flashes = TopLevels<app::TFlash>();
    a.splashes = static_cast<int>(flashes.size());
    if (!flashes.empty()) {
      a.splash_visible = flashes[0]->isVisible();
      a.splash_text = flashes[0]->lbView->text();
    }
    a.start_mess = app::StartMess;
    return db::Connect(p);
  };
}

const QString kConnecting = QString::fromUtf8("系统正在连接数据库，请稍候...");

TEST(Startup, ReachableDatabaseMakesTheUpgradeWindowTheMainWindow) {
  app_testing::App();
  testing_support::ScratchDb scratch;
  ScratchRegistry reg;
  // GCC 12 at -O2/-O3 reports -Wrestrict inside std::string's operator+ for
  // "literal" + std::string&& (GCC bug 105329): a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
  reg.SetLib("  " + scratch.data_source() + " \t", " " + text::EncodeParam("sa") + " ", "");
#pragma GCC diagnostic pop
  BoxWatcher boxes;
  Attempt a;
  {
    app::Startup s(reg.registry(), {scratch.dir()}, Watching(a));
    s.Run();

    EXPECT_EQ(a.params.data_source, scratch.data_source());
    EXPECT_EQ(a.params.user, "sa");
    EXPECT_EQ(a.splashes, 1);
    EXPECT_TRUE(a.splash_visible);
    EXPECT_EQ(a.splash_text, kConnecting);
    EXPECT_EQ(a.start_mess, kConnecting.toStdString());

    EXPECT_EQ(app::StartMess, "OK");
    ASSERT_NE(s.UpLibMain, nullptr);
    EXPECT_EQ(s.MainWindow(), s.UpLibMain.get());
    EXPECT_TRUE(s.UpLibMain->isVisible());
    EXPECT_EQ(s.DbPara, nullptr);
    EXPECT_TRUE(TopLevels<app::TDbPara>().empty());
    EXPECT_TRUE(TopLevels<app::TFlash>().empty()) << "the splash outlived the connection";
    app_testing::Pump(30);
  }
  EXPECT_TRUE(boxes.boxes.empty());
}

// Every way the database can be out of reach ends in the dialog, silently.
TEST(Startup, UnreachableDatabaseMakesTheDialogTheMainWindowWithoutAnErrorBox) {
  app_testing::App();
  struct Case {
    const char* name;
    bool key;  // whether SOFTWARE\Quorvant\Lib exists
    std::string odbc;
    const char* expect_source;  // data source attempted
  } cases[] = {
      {"missing database file", true, "embedded:/nonexistent/folder/lib.db",
       "embedded:/nonexistent/folder/lib.db"},
      {"no key: stored defaults", false, "", "LibODBC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchRegistry reg;
    if (c.key) reg.SetLib(c.odbc, text::EncodeParam("sa"), text::EncodeParam("pw"));
    BoxWatcher boxes;
    Attempt a;
    app::Startup s(reg.registry(), {reg.root()}, Watching(a));
    s.Run();
    app_testing::Pump(30);

    EXPECT_TRUE(a.made);
    EXPECT_EQ(a.params.data_source, c.expect_source);
    EXPECT_EQ(a.params.user, "sa");
    EXPECT_EQ(a.params.password, c.key ? "pw" : "");
    EXPECT_TRUE(a.splash_visible);

    EXPECT_EQ(app::StartMess, "Lib");
    EXPECT_EQ(s.UpLibMain, nullptr);
    EXPECT_TRUE(TopLevels<app::TUpLibMain>().empty());
    ASSERT_NE(s.DbPara, nullptr);
    EXPECT_EQ(s.MainWindow(), s.DbPara.get());
    EXPECT_TRUE(s.DbPara->isVisible());
    EXPECT_EQ(s.DbPara->windowTitle(), QString::fromUtf8("设置数据库【Lib】连接参数"));
    EXPECT_EQ(s.DbPara->edOdbc->text().toStdString(), c.odbc);
    EXPECT_TRUE(TopLevels<app::TFlash>().empty()) << "the splash stayed behind the dialog";
    EXPECT_TRUE(boxes.boxes.empty());
  }
}

// A login that does not decode stops start-up before the splash; the dialog
// then reports the same bad value in the error box and keeps what it could read.
TEST(Startup, BadlyEncodedLoginFallsBackToTheDialogWhichReportsIt) {
  app_testing::App();
  testing_support::ScratchDb scratch;
  ScratchRegistry reg;
  reg.SetLib(scratch.data_source(), "3a07", "");
  BoxWatcher boxes;
  Attempt a;
  app::Startup s(reg.registry(), {scratch.dir()}, Watching(a));
  s.Run();
  app_testing::Pump(50);

  EXPECT_FALSE(a.made);
  EXPECT_TRUE(TopLevels<app::TFlash>().empty());
  ASSERT_NE(s.DbPara, nullptr);
  EXPECT_EQ(s.DbPara->edOdbc->text().toStdString(), scratch.data_source());
  EXPECT_EQ(s.DbPara->edUser->text(), "");
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  EXPECT_FALSE(boxes.boxes[0].text.isEmpty());
  EXPECT_TRUE(s.DbPara->isVisible());
}

}  // namespace
