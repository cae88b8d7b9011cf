// The Qt upgrade window: the shared behaviour of every front end
// (tests/app/behaviour/), and what is the Qt window's own: its stored look,
// the keys X11 sends for the chords, its message boxes, and what is on the
// screen while a statement runs.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <chrono>
#include <functional>
#include <thread>

#include "app/qt/look.h"
#include "app/qt/up_lib_main.h"
#include "tests/app/behaviour/up_lib_main_behaviour.h"
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

// What the Qt window adds to the shared behaviour: its caption and size, and
// where the focus starts.
TEST(UpLibMain, OpensWithItsCaptionSizeAndFocusOnTheExitButton) {
  Window t;
  EXPECT_EQ(t.w->windowTitle(), QString::fromUtf8("图书管理系统升级 V6.2017.1(32位)"));
  EXPECT_EQ(t.w->size(), QSize(453, 267));
  EXPECT_EQ(t.w->focusWidget(), t.w->btExit) << "the first enabled control of the tab order";
  EXPECT_EQ(t.w->lbProcess->text(), QString::fromUtf8("处理："));
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

// The chords as X11's keymap delivers them to Qt (the other cases are in the
// shared behaviour suite).
TEST(UpLibMain, ChordsAreKnownByTheKeysX11Sends) {
  const Qt::KeyboardModifiers Ctrl = Qt::ControlModifier, Alt = Qt::AltModifier, None;
  const Qt::KeyboardModifiers CtrlAlt = Ctrl | Alt;
  constexpr quint32 kVt1 = 0x1008FE01, kVt2 = 0x1008FE02, kF1 = 0xFFBE;
  struct Case {
    const char* name;
    std::vector<KeyStep> keys;
    bool del, crtprt;
  } cases[] = {
      // X11's keymap: the chord is the keysym XF86Switch_VT_n, Qt's key 0.
      {"XF86Switch_VT_1", {Up(0, CtrlAlt, kVt1)}, true, false},
      {"XF86Switch_VT_2", {Up(0, CtrlAlt, kVt2)}, false, true},
      {"XF86Switch_VT_1 without Ctrl+Alt", {Up(0, Alt, kVt1)}, false, false},
      // The display server swallowed F1's press; Ctrl and Alt came up first.
      {"swallowed press of the keysym F1",
       {Down(Qt::Key_Control, None), Down(Qt::Key_Alt, Ctrl), Up(Qt::Key_Control, CtrlAlt),
        Up(Qt::Key_Alt, Alt), Up(0, None, kF1)},
       true,
       false},
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

// The completion box is the program's "提示信息" information box with one
// button, 确定.
TEST(UpLibMain, CompletionBoxIsAnInformationBoxWithItsOkButton) {
  Window t({"release_2015_03.sql"});
  BoxWatcher boxes;
  t.w->cbBackUp->click();
  t.w->btDoWork->click();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].caption, QString::fromUtf8("提示信息"));
  EXPECT_EQ(boxes.boxes[0].text, kDone) << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Information);
  EXPECT_EQ(boxes.boxes[0].buttons, QStringList{QString::fromUtf8("确定")});
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

}  // namespace

namespace {

// The shared behaviour of the upgrade window, on the Qt window.
class QtFront {
 public:
  explicit QtFront(const std::vector<std::string>& fixtures) : t_(fixtures) {}

  db::Connection& Db() { return *t_.c; }
  void Click(const char* control) { Widget<QAbstractButton>(control)->click(); }
  bool Enabled(const char* control) { return Widget<QWidget>(control)->isEnabled(); }
  bool Visible(const char* control) { return !Widget<QWidget>(control)->isHidden(); }
  bool Checked(const char* control) { return Widget<QAbstractButton>(control)->isChecked(); }
  // Sent to a control: the window previews every key, and the key goes on
  // to the window when the control does not take it.
  void Key(bool down, const char* key, behaviour::Mods held) {
    const std::string k = key;
    const int code = k == "F1"      ? Qt::Key_F1
                     : k == "F2"    ? Qt::Key_F2
                     : k == "F3"    ? Qt::Key_F3
                     : k == "Ctrl"  ? Qt::Key_Control
                     : k == "Alt"   ? Qt::Key_Alt
                     : k == "Shift" ? Qt::Key_Shift
                                    : Qt::Key_A;
    Qt::KeyboardModifiers mods;
    if (held.ctrl) mods |= Qt::ControlModifier;
    if (held.alt) mods |= Qt::AltModifier;
    if (held.shift) mods |= Qt::ShiftModifier;
    QKeyEvent e(down ? QEvent::KeyPress : QEvent::KeyRelease, code, mods);
    QCoreApplication::sendEvent(t_.w->cbBackUp, &e);
  }
  // The window pumps its message queue at most once a frame.
  void CloseSoon() {
    QTimer::singleShot(0, t_.w.get(), [w = t_.w.get()] { w->close(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  bool IsOpen() { return t_.w->isVisible(); }
  std::string CurrentStep() { return t_.w->Core().CurrentStep(); }
  void Reopen() {
    t_.w = std::make_unique<app::TUpLibMain>(*t_.c, std::vector{testing_support::SampleDir()});
    t_.w->show();
  }
  std::vector<behaviour::Box> Boxes() {
    std::vector<behaviour::Box> out;
    for (const auto& b : boxes_.boxes)
      out.push_back({b.icon == QMessageBox::Question   ? behaviour::Box::kQuestion
                     : b.icon == QMessageBox::Critical ? behaviour::Box::kError
                                                       : behaviour::Box::kInformation,
                     b.text.toStdString()});
    return out;
  }
  void AnswerYes(bool yes) { boxes_.answer = yes ? QMessageBox::Yes : QMessageBox::No; }
  void OnBox(std::function<void()> f) { boxes_.on_box = std::move(f); }

 private:
  template <class T>
  T* Widget(const char* name) {
    T* w = t_.w->findChild<T*>(QString::fromLatin1(name));
    if (!w) throw std::out_of_range(name);
    return w;
  }

  Window t_;
  BoxWatcher boxes_;
};

}  // namespace

namespace behaviour {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, UpLibMainBehaviour, QtFront);
}  // namespace behaviour
