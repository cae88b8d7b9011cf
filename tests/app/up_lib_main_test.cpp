// The upgrade window: its states around the backup box and the start button,
// the key chords that reveal the maintenance buttons, whole runs through the
// upgrade core against the embedded engine, what is on the screen while a
// statement runs, and closing the window during a run.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <chrono>
#include <functional>
#include <thread>

#include "app/look.h"
#include "app/up_lib_main.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"
#include "text/gbk.h"

namespace {

using app_testing::BlockingConnection;
using app_testing::BoxWatcher;
using app_testing::Rendered;
using app_testing::Shown;
using testing_support::Rows;
using testing_support::Scalar;

using Window = app_testing::UpgradeWindow;

const QString kDone = QString::fromUtf8("所有处理已完成！");

std::string G(const char* utf8) {
  return text::Gbk(utf8);
}

TEST(UpLibMain, StartsWaitingAndTheBackupBoxGovernsTheStartButton) {
  Window t;
  EXPECT_EQ(t.w->windowTitle(), QString::fromUtf8("图书管理系统升级 V6.2017.1(32位)"));
  EXPECT_EQ(t.w->size(), QSize(453, 267));
  EXPECT_TRUE(t.Enabled(false, true, true));
  EXPECT_EQ(t.w->focusWidget(), t.w->btExit) << "the first enabled control of the tab order";
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
    auto w = std::make_unique<app::TUpLibMain>(*t.c, std::vector{testing_support::SampleDir()});
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
  EXPECT_EQ(boxes.boxes[0].buttons, QStringList{QString::fromUtf8("确定")});
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

namespace {

// The count label is wide enough for "000" before its first count, keeping
// its right edge where the layout puts it.
TEST(UpLibMain, CountLabelFitsItsTextFromTheStart) {
  Window t;
  EXPECT_GE(t.w->lbNum->width(), t.w->lbNum->sizeHint().width());
  EXPECT_EQ(t.w->lbNum->geometry().right() + 1, 324 + 18);
  t.w->SetNumText("12345");
  EXPECT_GE(t.w->lbNum->width(), t.w->lbNum->sizeHint().width());
  EXPECT_EQ(t.w->lbNum->geometry().right() + 1, 324 + 18);
}

// A new progress text, or a control shown or enabled, is on the screen after
// the next Repaint or ProcessMessages however soon after the last paint
// (only the bar and the count wait for the next frame).
TEST(UpLibMain, ChangedLabelsAndControlsArePaintedAtOnce) {
  Window t;
  app_testing::Pump(30);
  struct Case {
    const char* name;
    std::function<void()> change;
    QWidget* look;
    bool pump;  // ProcessMessages, else Repaint
  } cases[] = {
      {"progress text, Repaint", [&] { t.w->SetProcessText(G("处理：lib_fakuan，请耐心等待...")); },
       t.w->lbProcess, false},
      {"progress text, ProcessMessages", [&] { t.w->SetProcessText(G("处理：馆藏好书推荐")); },
       t.w->lbProcess, true},
      {"bar shown", [&] { t.w->SetBarVisible(true); }, t.w->pBar, false},
      {"start button enabled", [&] { t.w->SetDoWorkEnabled(true); }, t.w->btDoWork, true},
      {"backup box disabled", [&] { t.w->SetBackUpEnabled(false); }, t.w->cbBackUp, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.w->Repaint();  // a frame painted just now
    t.w->ProcessMessages();
    c.change();
    if (c.pump)
      t.w->ProcessMessages();
    else
      t.w->Repaint();
    EXPECT_TRUE(Shown(c.look) == Rendered(c.look)) << "not on the screen yet";
  }
}

// Through a whole pre-2005 upgrade: every progress text a step sets is on the
// screen by the time its next statement runs.
TEST(UpLibMain, EveryProgressTextIsOnTheScreenWhileTheNextStatementRuns) {
  app_testing::App();
  testing_support::ScratchDb scratch({"pre2005.sql"});
  BlockingConnection c(scratch.Connect());
  app::TUpLibMain w(c, {testing_support::SampleDir()});
  w.show();
  app_testing::Pump(30);
  BoxWatcher boxes;
  QString last_looked;
  std::vector<std::string> not_shown;
  bool fakuan_looked = false;
  c.while_sending = [&](const std::string&) {
    const QString text = w.lbProcess->text();
    if (!w.lbProcess->isVisible() || text.isEmpty() || text == last_looked) return;
    last_looked = text;
    if (text.contains("lib_fakuan")) fakuan_looked = true;
    if (Shown(w.lbProcess) != Rendered(w.lbProcess)) not_shown.push_back(text.toStdString());
  };
  w.cbBackUp->click();
  w.btDoWork->click();
  c.while_sending = nullptr;

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, kDone) << boxes.boxes[0].text.toStdString();
  EXPECT_TRUE(fakuan_looked);
  EXPECT_TRUE(not_shown.empty()) << not_shown.size() << " texts, the first " << not_shown[0];
}

// Closing the window 0.4 s into a run used to hide it while the run went on.
// Now it asks; Yes rolls the step in progress back and closes the window
// without the completion box, No carries on to the end.
TEST(UpLibMain, ClosingDuringARunAsksAndYesUndoesOnlyTheStepInProgress) {
  const QString question = QString::fromUtf8(
      "升级正在进行。现在退出将撤销正在进行的这一步（已完成的步骤保留）。确定要退出吗？");
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "yes" : "no");
    Window t({"pre2005.sql"});
    const auto books = Rows(*t.c, "select bm_code,bm_bookid from lib_bianma order by bm_code");
    BoxWatcher boxes;
    boxes.answer = yes ? QMessageBox::Yes : QMessageBox::No;
    std::string step_asked;
    boxes.on_box = [&] {
      if (boxes.boxes.back().icon == QMessageBox::Question) step_asked = t.w->Core().CurrentStep();
    };
    bool closed = false;
    t.c->on_statement = [&](const db::StatementEvent& e) {
      // Do200703 has begun converting book numbers: the close box is clicked,
      // and the step's next pass of the message queue takes the click.
      if (!closed && e.sql == "update lib_bianma set bm_isbn=bm_bookid") {
        closed = true;
        QTimer::singleShot(0, t.w.get(), [&] { t.w->close(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    };
    t.w->cbBackUp->click();
    t.w->btDoWork->click();
    t.c->on_statement = nullptr;

    ASSERT_TRUE(closed);
    ASSERT_GE(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, question);
    EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Question);
    EXPECT_EQ(step_asked, "Do200703");
    if (yes) {
      EXPECT_EQ(boxes.boxes.size(), 1u) << "no completion box after leaving";
      EXPECT_FALSE(t.w->isVisible());
      // The steps before Do200703 (the consolidation among them) stay done;
      // nothing of Do200703 is left.
      EXPECT_FALSE(Rows(*t.c, "select name from sysobjects where name='lib_prtblank'").empty());
      EXPECT_FALSE(Rows(*t.c, "select name from syscolumns where name='fk_type'").empty());
      EXPECT_TRUE(Rows(*t.c, "select name from sysobjects where name='lib_card_bars'").empty());
      EXPECT_TRUE(Rows(*t.c, "select name from syscolumns where name='bm_isbn'").empty());
      EXPECT_EQ(Rows(*t.c, "select bm_code,bm_bookid from lib_bianma order by bm_code"), books);
      // The next run carries on from Do200703.
      auto again =
          std::make_unique<app::TUpLibMain>(*t.c, std::vector{testing_support::SampleDir()});
      again->cbBackUp->click();
      again->btDoWork->click();
      ASSERT_EQ(boxes.boxes.size(), 2u);
      EXPECT_EQ(boxes.boxes[1].text, kDone);
      EXPECT_FALSE(Rows(*t.c, "select name from syscolumns where name='bm_isbn'").empty());
    } else {
      ASSERT_EQ(boxes.boxes.size(), 2u);
      EXPECT_EQ(boxes.boxes[1].text, kDone);
      EXPECT_TRUE(t.w->isVisible());
      EXPECT_TRUE(t.Enabled(true, true, true));
      EXPECT_FALSE(Rows(*t.c, "select name from syscolumns where name='bm_isbn'").empty());
    }
  }
}

}  // namespace
