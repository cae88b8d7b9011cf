// The connection-parameter dialog: reading and saving the registry values,
// the hidden group, Enter moving the focus on, and the permission message.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/core/start_mess.h"
#include "app/qt/db_para.h"
#include "app/qt/look.h"
#include "tests/app/qt_harness.h"
#include "text/gbk.h"
#include "text/param_codec.h"

namespace {

using app_testing::BoxWatcher;
using app_testing::ScratchRegistry;

const QString kPermission = QString::fromUtf8(
    "保存您配置的参数失败！只有具有权限的用户，如Administrator才能修改，请与系统管理员联系！");

struct Dialog {
  ScratchRegistry reg;
  std::unique_ptr<app::TDbPara> d;

  void Open() {
    app_testing::App();
    app::StartMess = "Lib";
    d = std::make_unique<app::TDbPara>(reg.registry());
    d->show();
  }
  std::string Value(const char* name) const { return reg.registry().ReadString(db::kLibKey, name); }
};

TEST(DbPara, ShowsDecodedValuesAndRevealsTheGroupOnce) {
  Dialog t;
  t.reg.SetLib(" embedded:/tmp/libupgrade-demo/library 1.db ", " 37073403 ",
               text::EncodeParam(text::Gbk("口令")));
  t.Open();

  EXPECT_EQ(t.d->windowTitle(), QString::fromUtf8("设置数据库【Lib】连接参数"));
  EXPECT_EQ(t.d->focusWidget(), t.d->btExit) << "the first control of the tab order";
  EXPECT_EQ(t.d->edOdbc->text(), "embedded:/tmp/libupgrade-demo/library 1.db");
  // Longer than the box: it shows its beginning.
  EXPECT_EQ(t.d->edOdbc->cursorPosition(), 0);
  EXPECT_EQ(t.d->edUser->text(), "sa");
  EXPECT_EQ(t.d->edPass->text(), QString::fromUtf8("口令"));
  EXPECT_EQ(t.d->edUser->echoMode(), QLineEdit::Password);
  EXPECT_EQ(t.d->edPass->echoMode(), QLineEdit::Password);
  EXPECT_EQ(t.d->size(), QSize(483, 105));
  EXPECT_TRUE(t.d->grbBox->isHidden());

  t.d->btMod->click();
  EXPECT_FALSE(t.d->grbBox->isHidden());
  EXPECT_LE(t.d->grbBox->geometry().bottom(), t.d->height()) << "group cut off";
  EXPECT_LT(t.d->edOdbc->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(), 8)
      << "the text is scrolled";
  const QSize revealed = t.d->size();
  EXPECT_GT(revealed.height(), 105);
  t.d->btMod->click();
  EXPECT_EQ(t.d->size(), revealed);
}

// The connection failure's own message stands below the fixed warnings,
// which keep their places; the window and the parameter group move down to
// make room, and a path in the message is not broken mid-name.
TEST(DbPara, ShowsWhyTheConnectionFailedBelowTheWarnings) {
  const std::string message =
      "cannot open /var/lib/libupgrade/a-rather-long-folder-name/library.db-journal: Permission "
      "denied";
  Dialog plain;
  app::StartError.clear();
  plain.Open();
  EXPECT_EQ(plain.d->lbCause, nullptr);

  Dialog t;
  app::StartError = message;
  t.Open();
  app::StartError.clear();
  ASSERT_NE(t.d->lbCause, nullptr);
  EXPECT_TRUE(t.d->lbCause->isVisible());
  QString shown = t.d->lbCause->text();
  shown.remove(QChar(0x2060));
  EXPECT_EQ(shown.toStdString(), "连接时数据库驱动程序报告：" + message);
  for (QLabel* warning : {t.d->Label4, t.d->Label5, t.d->Label8, t.d->Label6, t.d->Label7}) {
    QLabel* same = plain.d->findChild<QLabel*>(warning->objectName());
    EXPECT_EQ(warning->geometry(), same->geometry()) << warning->objectName().toStdString();
    EXPECT_LE(warning->geometry().bottom(), t.d->lbCause->geometry().top());
  }
  EXPECT_GE(t.d->height(), t.d->lbCause->geometry().bottom());
  // No line may break after a separator inside a path; at its end it may.
  EXPECT_EQ(app::Unbroken(QString::fromUtf8("在 /a/b\\c/ 中")),
            QString::fromUtf8("在 /\u2060a/\u2060b\\\u2060c/ 中"));
  const int grown = t.d->height() - plain.d->height();
  EXPECT_GT(grown, 0);
  t.d->btMod->click();
  plain.d->btMod->click();
  EXPECT_EQ(t.d->grbBox->y(), plain.d->grbBox->y() + grown);
  EXPECT_EQ(t.d->height(), plain.d->height() + grown);
  EXPECT_TRUE(t.d->grbBox->isVisible());
}

TEST(DbPara, EnterMovesTheFocusOnThroughTheParameters) {
  Dialog t;
  t.Open();
  t.d->btMod->click();
  t.d->activateWindow();
  t.d->edOdbc->setFocus();
  app_testing::Pump(20);
  ASSERT_TRUE(t.d->edOdbc->hasFocus());

  for (QWidget* next : std::vector<QWidget*>{t.d->edUser, t.d->edPass, t.d->btOk}) {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QCoreApplication::sendEvent(QApplication::focusWidget(), &enter);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
  EXPECT_TRUE(t.d->isVisible()) << "Enter on the save button's way must not close the dialog";
}

// The key is created (with SOFTWARE\Quorvant), values are trimmed, the login
// and password encoded, and the dialog closes; the next dialog reads them back.
TEST(DbPara, SavesTrimmedEncodedValuesCreatingTheKeys) {
  Dialog t;
  t.Open();
  ASSERT_FALSE(t.reg.registry().KeyExists("SOFTWARE\\Quorvant"));
  BoxWatcher boxes;
  t.d->btMod->click();
  t.d->edOdbc->setText("  embedded:/srv/lib 1.db\t");
  t.d->edUser->setText(QString::fromUtf8(" 管理员 "));
  t.d->edPass->setText("   ");
  t.d->btOk->click();

  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_FALSE(t.d->isVisible());
  EXPECT_TRUE(t.reg.registry().KeyExists("SOFTWARE\\Quorvant"));
  EXPECT_EQ(t.Value("ODBCNAME"), "embedded:/srv/lib 1.db");
  const std::string user = t.Value("USERNAME");
  EXPECT_EQ(user.size(), 4u * 6u);  // three GBK characters, six bytes
  EXPECT_EQ(user.find_first_not_of("0347"), std::string::npos) << user;
  EXPECT_EQ(t.Value("PASSWORD"), "");

  t.d->edUser->setText("sa");
  t.d->btOk->click();
  EXPECT_EQ(t.Value("USERNAME"), "37073403");

  t.reg.SetLib("x", user, text::EncodeParam("pw"));
  t.Open();
  EXPECT_EQ(t.d->edUser->text(), QString::fromUtf8("管理员"));
  EXPECT_EQ(t.d->edPass->text(), "pw");
}

TEST(DbPara, CancelClosesWithoutTouchingTheRegistry) {
  Dialog t;
  t.Open();
  t.d->btMod->click();
  t.d->edOdbc->setText("other");
  t.d->btExit->click();
  EXPECT_FALSE(t.d->isVisible());
  EXPECT_FALSE(t.reg.registry().KeyExists("SOFTWARE\\Quorvant"));
}

// A user without rights on a key that exists gets the permission message, and
// the dialog still closes with nothing written.
TEST(DbPara, RefusedKeyShowsThePermissionMessageAndCloses) {
  Dialog t;
  t.reg.SetLib("old", text::EncodeParam("sa"), "");
  t.Open();
  BoxWatcher boxes;
  t.d->btMod->click();
  t.d->edOdbc->setText("new");
  app_testing::AsUserWithoutRights(t.reg.root(), [&] { t.d->btOk->click(); });

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].caption, QString::fromUtf8("提示信息"));
  // The fixed message, then the file that could not be written and the
  // remedy as a paragraph of their own.
  const QString file = QString::fromStdString(
      (t.reg.root() / "SOFTWARE" / "Quorvant" / "Lib" / "values.txt").string());
  EXPECT_EQ(boxes.boxes[0].text,
            kPermission + "\n\n" + QString::fromUtf8("无法写入文件 ") + file +
                QString::fromUtf8("。请以 root 身份运行本程序，或把环境变量 "
                                  "LIBUPGRADE_REGISTRY_ROOT 设为一个可写的文件夹后再运行。"));
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Information);
  EXPECT_FALSE(t.d->isVisible());
  EXPECT_EQ(t.Value("ODBCNAME"), "old");
}

// A key that cannot be created is an error: the error box names it and the
// dialog stays open so the user may cancel.
TEST(DbPara, KeyThatCannotBeCreatedIsReportedAndTheDialogStays) {
  Dialog t;
  t.Open();
  BoxWatcher boxes;
  t.d->btMod->click();
  t.d->edOdbc->setText("new");
  app_testing::AsUserWithoutRights(t.reg.root(), [&] { t.d->btOk->click(); });

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(boxes.boxes[0].text.contains("SOFTWARE\\Quorvant"))
      << boxes.boxes[0].text.toStdString();
  EXPECT_TRUE(t.d->isVisible());
  EXPECT_FALSE(t.reg.registry().KeyExists("SOFTWARE\\Quorvant"));
}

// A character GBK cannot hold is refused with the field's name before anything
// is written: the key keeps all three of its values.
TEST(DbPara, ValueGbkCannotHoldIsRefusedAndNothingIsWritten) {
  Dialog t;
  t.reg.SetLib("old", text::EncodeParam("sa"), "");
  t.Open();
  BoxWatcher boxes;
  t.d->btMod->click();
  t.d->edOdbc->setText("new");
  t.d->edUser->setText(QString::fromUtf8("管理员\U0001F600"));
  t.d->btOk->click();

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.boxes[0].text,
            QString::fromUtf8("登录标识号中有GBK编码无法表示的字符，请改正后再保存。"));
  EXPECT_TRUE(t.d->isVisible());
  EXPECT_EQ(t.Value("ODBCNAME"), "old");
  EXPECT_EQ(t.Value("USERNAME"), text::EncodeParam("sa"));
}

}  // namespace
