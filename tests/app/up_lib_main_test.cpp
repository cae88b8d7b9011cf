// The upgrade window: its states around the backup box and the start button,
// the key chords that reveal the maintenance buttons, and whole runs through
// the upgrade core against the embedded engine.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/look.h"
#include "app/up_lib_main.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using app_testing::BoxWatcher;
using testing_support::Rows;
using testing_support::Scalar;

struct Window {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c;
  std::unique_ptr<app::TUpLibMain> w;

  explicit Window(const std::vector<std::string>& fixtures = {}) : scratch(fixtures) {
    app_testing::App();
    c = scratch.Connect();
    w = std::make_unique<app::TUpLibMain>(*c, testing_support::SampleDir());
    w->show();
  }
  bool Enabled(bool dowork, bool exit, bool backup) const {
    return w->btDoWork->isEnabled() == dowork && w->btExit->isEnabled() == exit &&
           w->cbBackUp->isEnabled() == backup;
  }
};

const QString kDone = QString::fromUtf8("所有处理已完成！");

TEST(UpLibMain, StartsWaitingAndTheBackupBoxGovernsTheStartButton) {
  Window t;
  EXPECT_EQ(t.w->windowTitle(), QString::fromUtf8("图书管理系统升级 V6.2017.1(32位)"));
  EXPECT_EQ(t.w->size(), QSize(453, 267));
  EXPECT_TRUE(t.Enabled(false, true, true));
  EXPECT_FALSE(t.w->cbBackUp->isChecked());
  EXPECT_FALSE(t.w->cbBefore->isChecked());
  EXPECT_TRUE(t.w->lbProcess->isVisible());
  EXPECT_EQ(t.w->lbProcess->text(), QString::fromUtf8("处理："));
  for (QWidget* hidden :
       std::vector<QWidget*>{t.w->pBar, t.w->lbNum, t.w->ckbDel, t.w->btCrtPrt, t.w->btExpZZM})
    EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();

  t.w->cbBackUp->click();
  EXPECT_TRUE(t.Enabled(true, true, true));
  t.w->cbBackUp->click();
  EXPECT_TRUE(t.Enabled(false, true, true));
}

// What reaches the window of a key chord, event by event. mods: the
// modifiers held before the event, as the platform reports them (for Ctrl or
// Alt itself QKeyEvent then gives the state after it); native: the key the
// platform sent (on X11 the keysym).
struct KeyStep {
  QEvent::Type type;
  int key;
  Qt::KeyboardModifiers mods;
  quint32 native = 0;
};
KeyStep Down(int key, Qt::KeyboardModifiers mods, quint32 native = 0) {
  return {QEvent::KeyPress, key, mods, native};
}
KeyStep Up(int key, Qt::KeyboardModifiers mods, quint32 native = 0) {
  return {QEvent::KeyRelease, key, mods, native};
}

TEST(UpLibMain, OnlyCtrlAltF1AndCtrlAltF2RevealTheHiddenControls) {
  const Qt::KeyboardModifiers Ctrl = Qt::ControlModifier, Alt = Qt::AltModifier,
                              Shift = Qt::ShiftModifier, None;
  const Qt::KeyboardModifiers CtrlAlt = Ctrl | Alt;
  constexpr quint32 kVt1 = 0x1008FE01, kVt2 = 0x1008FE02, kF1 = 0xFFBE;
  struct Case {
    const char* name;
    std::vector<KeyStep> keys;
    bool del, crtprt;
  } cases[] = {
      {"Ctrl+Alt+F1", {Up(Qt::Key_F1, CtrlAlt)}, true, false},
      {"Ctrl+Alt+F2", {Up(Qt::Key_F2, CtrlAlt)}, false, true},
      {"Ctrl+Shift+Alt+F1", {Up(Qt::Key_F1, CtrlAlt | Shift)}, false, false},
      {"Alt+F1", {Up(Qt::Key_F1, Alt)}, false, false},
      {"Ctrl+F1", {Up(Qt::Key_F1, Ctrl)}, false, false},
      {"F1", {Up(Qt::Key_F1, None)}, false, false},
      {"Ctrl+Shift+F2", {Up(Qt::Key_F2, Ctrl | Shift)}, false, false},
      {"Ctrl+Alt+F3", {Up(Qt::Key_F3, CtrlAlt)}, false, false},
      // X11's keymap: the chord is the keysym XF86Switch_VT_n, Qt's key 0.
      {"XF86Switch_VT_1", {Up(0, CtrlAlt, kVt1)}, true, false},
      {"XF86Switch_VT_2", {Up(0, CtrlAlt, kVt2)}, false, true},
      {"XF86Switch_VT_1 without Ctrl+Alt", {Up(0, Alt, kVt1)}, false, false},
      // The display server swallowed F1's press; Ctrl and Alt came up first.
      {"swallowed press",
       {Down(Qt::Key_Control, None), Down(Qt::Key_Alt, Ctrl), Up(Qt::Key_Control, CtrlAlt),
        Up(Qt::Key_Alt, Alt), Up(Qt::Key_F1, None, kF1)},
       true,
       false},
      {"F1 pressed and released after Ctrl+Alt",
       {Down(Qt::Key_Control, None), Down(Qt::Key_Alt, Ctrl), Up(Qt::Key_Control, CtrlAlt),
        Up(Qt::Key_Alt, Alt), Down(Qt::Key_F1, None), Up(Qt::Key_F1, None)},
       false,
       false},
      {"F1 released without its press and without Ctrl+Alt",
       {Down(Qt::Key_Control, None), Up(Qt::Key_Control, Ctrl), Up(Qt::Key_F1, None)},
       false,
       false},
      {"another key between Ctrl+Alt and F2's release",
       {Down(Qt::Key_Alt, None), Down(Qt::Key_Control, Alt), Down(Qt::Key_A, CtrlAlt),
        Up(Qt::Key_A, CtrlAlt), Up(Qt::Key_Control, CtrlAlt), Up(Qt::Key_Alt, Alt),
        Up(Qt::Key_F2, None)},
       false,
       false},
      // Pressed with Ctrl+Alt, released after them.
      {"Ctrl+Alt+F2 down",
       {Down(Qt::Key_Control, None), Down(Qt::Key_Alt, Ctrl), Down(Qt::Key_F2, CtrlAlt),
        Up(Qt::Key_Control, CtrlAlt), Up(Qt::Key_Alt, Alt), Up(Qt::Key_F2, None)},
       false,
       true},
  };
  Window t;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = std::make_unique<app::TUpLibMain>(*t.c, testing_support::SampleDir());
    w->show();
    for (const KeyStep& k : c.keys) {
      // Sent to a control: the window previews every key, and the key goes
      // on to the window when the control does not take it.
      QKeyEvent e(k.type, k.key, k.mods, 0, k.native, 0);
      QCoreApplication::sendEvent(w->cbBackUp, &e);
    }
    EXPECT_EQ(!w->ckbDel->isHidden(), c.del);
    EXPECT_EQ(!w->btCrtPrt->isHidden(), c.crtprt);
    EXPECT_TRUE(w->btExpZZM->isHidden());
  }
}

TEST(UpLibMain, StatisticsButtonCreatesTheTablesSilently) {
  Window t;
  BoxWatcher boxes;
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_F2, Qt::ControlModifier | Qt::AltModifier);
  QCoreApplication::sendEvent(t.w.get(), &release);
  ASSERT_FALSE(t.w->btCrtPrt->isHidden());
  t.w->btCrtPrt->click();
  t.w->btCrtPrt->click();
  app_testing::Pump(20);

  EXPECT_EQ(Rows(*t.c, "select name from sysobjects where name like 'lib_prttab4%' order by name"),
            (std::vector<std::string>{"lib_prttab4anew", "lib_prttab4new"}));
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_TRUE(t.Enabled(false, true, true));
}

// A complete run ends Ready with the completion box; a second run in the same
// session shows its progress label again and records no new sign.
TEST(UpLibMain, CompleteRunEndsReadyWithTheCompletionBoxAndCanBeRepeated) {
  Window t({"release_2007_03.sql"});
  BoxWatcher boxes;
  bool ready_at_box = false, labels_hidden_at_box = false;
  boxes.on_box = [&] {
    ready_at_box = t.Enabled(true, true, true);
    labels_hidden_at_box = t.w->lbProcess->isHidden() && t.w->pBar->isHidden();
  };
  t.w->cbBackUp->click();
  t.w->btDoWork->click();

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].caption, QString::fromUtf8("提示信息"));
  EXPECT_EQ(boxes.boxes[0].text, kDone) << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Information);
  EXPECT_TRUE(ready_at_box);
  EXPECT_TRUE(labels_hidden_at_box);
  const auto signs = Rows(*t.c, "select vm_mess from ver_manage");
  for (const char* sign : {"ZZ20130901.VERUP", "ZZ20170109.SFZ"})
    EXPECT_NE(std::find(signs.begin(), signs.end(), sign), signs.end()) << sign;

  std::vector<bool> label_shown;
  t.c->on_statement = [&](const db::StatementEvent&) {
    label_shown.push_back(!t.w->lbProcess->isHidden());
  };
  t.w->btDoWork->click();
  t.c->on_statement = nullptr;

  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].text, kDone);
  ASSERT_FALSE(label_shown.empty());
  EXPECT_TRUE(label_shown.back()) << "the second run's progress label stayed hidden";
  EXPECT_EQ(Rows(*t.c, "select vm_mess from ver_manage"), signs);
  EXPECT_TRUE(t.Enabled(true, true, true));
}

// A statement the server rejects ends the run in the error box with the
// server's own message, and the window stays Stopped.
TEST(UpLibMain, RejectedStatementLeavesTheWindowStoppedWithTheServerMessage) {
  Window t({"release_2007_03.sql"});
  Rows(*t.c, "drop table lib_people");
  std::string last_error;
  bool last_failed = false;
  t.c->on_statement = [&](const db::StatementEvent& e) {
    if (e.sql == "if @@trancount > 0 rollback transaction") return;  // the step undone
    last_failed = !e.ok;
    last_error = e.error;
  };
  BoxWatcher boxes;
  t.w->cbBackUp->click();
  t.w->btDoWork->click();
  t.c->on_statement = nullptr;

  ASSERT_TRUE(last_failed) << "the run did not stop at a failing statement";
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes.boxes[0].text, app::ErrorText(last_error.c_str()));
  EXPECT_TRUE(boxes.boxes[0].text.contains("lib_people")) << boxes.boxes[0].text.toStdString();
  EXPECT_TRUE(t.Enabled(false, false, false));
}

}  // namespace

namespace {

// A click on the revealed statistics button that arrives while a step pumps
// the message queue must not send statements through the step's components.
TEST(UpLibMain, StatisticsClickDuringARunSendsNothing) {
  Window t({"release_2007_03.sql"});
  BoxWatcher boxes;
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_F2, Qt::ControlModifier | Qt::AltModifier);
  QCoreApplication::sendEvent(t.w.get(), &release);
  int clicks = 0, sent_by_click = 0;
  bool in_click = false;
  t.c->on_statement = [&](const db::StatementEvent&) {
    if (in_click) {
      ++sent_by_click;
      return;
    }
    if (clicks++ < 3) {
      in_click = true;
      t.w->btCrtPrt->click();
      in_click = false;
    }
  };
  t.w->cbBackUp->click();
  t.w->btDoWork->click();
  t.c->on_statement = nullptr;

  EXPECT_GT(clicks, 0);
  EXPECT_EQ(sent_by_click, 0);
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, kDone) << boxes.boxes[0].text.toStdString();

  t.w->btCrtPrt->click();  // after the run it works again
  EXPECT_EQ(Rows(*t.c, "select name from sysobjects where name like 'lib_prttab4%' order by name"),
            (std::vector<std::string>{"lib_prttab4anew", "lib_prttab4new"}));
}

}  // namespace
