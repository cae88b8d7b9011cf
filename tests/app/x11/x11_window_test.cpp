// The windows under a real X server with real key and mouse events (xdotool
// through the XTEST extension): the chords as X11's keymap delivers them,
// where the focus is as a window opens, Enter on buttons, and the server's
// pixels while a statement runs.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <functional>

#include "app/core/start_mess.h"
#include "app/qt/db_para.h"
#include "app/qt/up_lib_main.h"
#include "db/registry.h"
#include "tests/app/qt_harness.h"
#include "tests/support/support.h"

namespace {

using app_testing::BoxWatcher;
using testing_support::Rows;

// Runs the event loop until done() holds or ms have passed; done() at the end.
bool PumpUntil(const std::function<bool()>& done, int ms = 3000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return done();
}

// Runs xdotool with the arguments; the events it makes wait in the X
// connection until the event loop runs.
void Xdo(const QStringList& args) {
  ASSERT_EQ(QProcess::execute("xdotool", args), 0) << args.join(' ').toStdString();
}

// Maps the window and gives it the X input focus, as a click on it would.
void Open(QWidget* w) {
  w->show();
  ASSERT_TRUE(PumpUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }));
  Xdo({"windowfocus", "--sync", QString::number(w->winId())});
  ASSERT_TRUE(PumpUntil([w] { return QApplication::activeWindow() == w; }));
}

// Shown by Open, once the test is ready for the X server's events.
struct Window : app_testing::UpgradeWindow {
  explicit Window(const std::vector<std::string>& fixtures = {})
      : UpgradeWindow(fixtures, /*show=*/false) {}
};

// The chords as xdotool types them: "key" lets Ctrl and Alt go before F1, so
// the server, which keeps Ctrl+Alt+F1 for switching consoles, swallows F1's
// press and sends only a release without modifiers; keydown/keyup as a
// person's hand does (F1 up first) sends a release of the keysym
// XF86Switch_VT_1, Qt's key 0.
TEST(X11Window, ChordsRevealTheHiddenControls) {
  const struct {
    QStringList keys;
    bool del, crtprt;
  } cases[] = {
      {{"key", "ctrl+alt+F1"}, true, false},
      {{"key", "ctrl+alt+F2"}, false, true},
      {{"keydown", "ctrl+alt+F1", "keyup", "F1", "keyup", "alt", "keyup", "ctrl"}, true, false},
      {{"keydown", "ctrl+alt+F2", "keyup", "F2", "keyup", "ctrl", "keyup", "alt"}, false, true},
      {{"key", "F1"}, false, false},
      {{"key", "alt+F1"}, false, false},
      {{"key", "ctrl+F1"}, false, false},
      {{"key", "ctrl+shift+alt+F1"}, false, false},
      {{"key", "ctrl+alt+F3", "F1"}, false, false},
  };
  Window t;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys.join(' ').toStdString());
    auto w = std::make_unique<app::TUpLibMain>(*t.c, std::vector{testing_support::SampleDir()});
    Open(w.get());
    Xdo(c.keys);
    // A control that is to appear appears within the wait; one that is not
    // has had the same time.
    PumpUntil([&] {
      return (!w->ckbDel->isHidden()) == c.del && (!w->btCrtPrt->isHidden()) == c.crtprt;
    });
    app_testing::Pump(c.del || c.crtprt ? 0 : 500);
    EXPECT_EQ(!w->ckbDel->isHidden(), c.del);
    EXPECT_EQ(!w->btCrtPrt->isHidden(), c.crtprt);
    EXPECT_TRUE(w->btExpZZM->isHidden());
  }
}

// The focus starts on the exit button (the start button, first in the tab
// order, is disabled): Space right after the start presses it and leaves the
// pre-2005 option alone.
TEST(X11Window, UpgradeWindowStartsOnTheExitButton) {
  Window t;
  Open(t.w.get());
  EXPECT_EQ(QApplication::focusWidget(), t.w->btExit);
  Xdo({"key", "space"});
  EXPECT_TRUE(PumpUntil([&] { return !t.w->isVisible(); })) << "Space did not press 退出";
  EXPECT_FALSE(t.w->cbBefore->isChecked());
}

// Ticked with the mouse, Tab to the start button, Enter on the keypad: the
// run starts and ends with its completion box.
TEST(X11Window, EnterOnTheStartButtonRunsTheUpgrade) {
  Window t({"release_2015_03.sql"});
  BoxWatcher boxes;
  Open(t.w.get());
  const QPoint centre = t.w->cbBackUp->mapToGlobal(QPoint(8, t.w->cbBackUp->height() / 2));
  Xdo({"mousemove", "--sync", QString::number(centre.x()), QString::number(centre.y()), "click",
       "1"});
  ASSERT_TRUE(PumpUntil([&] { return t.w->btDoWork->isEnabled(); }));
  Xdo({"key", "Tab"});
  ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == t.w->btDoWork; }));
  Xdo({"key", "KP_Enter"});
  ASSERT_TRUE(PumpUntil([&] { return !boxes.boxes.empty(); }, 20000));
  EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8("所有处理已完成！"));
  EXPECT_EQ(boxes.boxes[0].buttons, QStringList{QString::fromUtf8("确定")});
  EXPECT_FALSE(Rows(*t.c, "select vm_mess from ver_manage where vm_mess='ZZ20170109.SFZ'").empty());
}

// On a real X server: each progress text of a pre-2005 upgrade is in the
// server's pixels by the time the step's next statement runs, the lib_fakuan
// one among them.
TEST(X11Window, ProgressTextIsOnTheScreenWhileTheNextStatementRuns) {
  app_testing::App();
  testing_support::ScratchDb scratch({"pre2005.sql"});
  app_testing::BlockingConnection c(scratch.Connect());
  app::TUpLibMain w(c, {testing_support::SampleDir()});
  Open(&w);
  BoxWatcher boxes;
  QString last;
  std::vector<std::string> looked, not_shown;
  c.while_sending = [&](const std::string&) {
    const QString text = w.lbProcess->text();
    if (!w.lbProcess->isVisible() || text.isEmpty() || text == last) return;
    last = text;
    looked.push_back(text.toStdString());
    if (app_testing::Shown(w.lbProcess) != app_testing::Rendered(w.lbProcess))
      not_shown.push_back(text.toStdString());
  };
  w.cbBackUp->click();
  w.btDoWork->click();
  c.while_sending = nullptr;

  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, QString::fromUtf8("所有处理已完成！"));
  EXPECT_NE(std::find(looked.begin(), looked.end(), "处理：lib_fakuan，请耐心等待..."),
            looked.end());
  EXPECT_TRUE(not_shown.empty()) << not_shown.size() << " of " << looked.size()
                                 << " texts, the first " << not_shown[0];
}

// The dialog: the focus starts on 取消; Tab and Enter reveal the parameters,
// Enter moves through the edit boxes to the save button, and Enter there
// saves and closes.
TEST(X11Window, DialogIsDrivenWithTabAndEnter) {
  app_testing::App();
  app_testing::ScratchRegistry reg;
  app::StartMess = "Lib";
  app::TDbPara d(reg.registry());
  Open(&d);
  EXPECT_EQ(QApplication::focusWidget(), d.btExit);
  Xdo({"key", "Tab"});
  ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == d.btMod; }));
  Xdo({"key", "Return"});
  ASSERT_TRUE(PumpUntil([&] { return d.grbBox->isVisible(); }));
  EXPECT_TRUE(d.isVisible());
  Xdo({"key", "Tab"});
  ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == d.edOdbc; }));
  Xdo({"type", "embedded:/srv/lib.db"});
  Xdo({"key", "Return", "Return"});
  Xdo({"type", "pw"});
  Xdo({"key", "Return"});
  ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == d.btOk; }));
  EXPECT_TRUE(d.isVisible()) << "Enter on the way to the save button saved";
  EXPECT_FALSE(reg.registry().KeyExists(db::kLibKey));
  Xdo({"key", "Return"});
  ASSERT_TRUE(PumpUntil([&] { return !d.isVisible(); }));
  EXPECT_EQ(reg.registry().ReadString(db::kLibKey, "ODBCNAME"), "embedded:/srv/lib.db");
  EXPECT_EQ(reg.registry().ReadString(db::kLibKey, "PASSWORD"), "37003737");
  EXPECT_EQ(reg.registry().ReadString(db::kLibKey, "USERNAME"), "");
}

// What a person sees of w: the X server's screen where w stands, read by
// another client (xwd -root: the root window's image, the screen's own
// pixels). QScreen::grabWindow cannot stand in for it: asked for the root
// window it answers with the contents of the program's own window there,
// which were painted whether or not they reached the screen.
QImage OnScreen(QWidget* w) {
  QProcess xwd;
  xwd.start("xwd", {"-root", "-silent"});
  if (!xwd.waitForFinished(30000) || xwd.exitCode() != 0) return {};
  const QByteArray d = xwd.readAllStandardOutput();
  // The XWD header: 25 big-endian 32-bit fields, then the colour map.
  const auto field = [&d](int i) {
    const auto* b = reinterpret_cast<const unsigned char*>(d.constData()) + 4 * i;
    return quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | b[3];
  };
  if (d.size() < 100 || field(2) != 2 /* ZPixmap */) return {};
  const int width = int(field(4)), height = int(field(5)), lsb_first = field(7) == 0;
  const int bytes = int(field(11)) / 8, line = int(field(12));
  const qsizetype offset = qsizetype(field(0)) + qsizetype(field(19)) * 12;
  if ((bytes != 3 && bytes != 4) || !lsb_first || d.size() < offset + qsizetype(line) * height)
    return {};
  const QRect r = w->geometry().intersected(QRect(0, 0, width, height));
  QImage image(r.size(), QImage::Format_RGB32);
  for (int y = 0; y < r.height(); ++y) {
    const auto* row = reinterpret_cast<const unsigned char*>(d.constData()) + offset +
                      qsizetype(line) * (r.y() + y) + qsizetype(bytes) * r.x();
    for (int x = 0; x < r.width(); ++x, row += bytes)
      image.setPixel(x, y, qRgb(row[2], row[1], row[0]));  // blue, green, red in memory
  }
  return image;
}

// The same picture, but for a few pixels (a focus frame or a button under
// the pointer drawn a moment apart).
bool SameImage(const QImage& a, const QImage& b) {
  if (a.size() != b.size() || a.isNull()) return false;
  qint64 differ = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) differ += a.pixel(x, y) != b.pixel(x, y);
  return differ * 50 < qint64(a.width()) * a.height();
}

// Answers each modal message box once the screen shows what the box paints
// (its text, icon and buttons), or after a wait, recording which.
struct DrawnBoxes {
  struct Seen {
    QString text;
    bool drawn;
  };
  std::vector<Seen> seen;
  QMessageBox::StandardButton answer = QMessageBox::Ok;
  QTimer timer;

  DrawnBoxes() {
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      timer.stop();
      // Painted at once, and still there once the window below has had
      // time to repaint whatever it does when the box comes up.
      const auto shows = [box] {
        return box->windowHandle() && box->windowHandle()->isExposed() &&
               SameImage(OnScreen(box), app_testing::Rendered(box));
      };
      bool drawn = PumpUntil(shows, 3000);
      if (drawn) {
        app_testing::Pump(700);
        drawn = shows();
      }
      seen.push_back({box->text(), drawn});
      QAbstractButton* button = box->button(answer);
      if (!button) button = box->button(QMessageBox::Ok);
      button->click();
      timer.start();
    });
    timer.start();
  }
};

// Every box the upgrade window shows is on the screen, text and buttons,
// wherever it stands over the window: the completion box of a first and of
// a second run, a refusal by the checks before a run, and the question when
// the window is closed during a run.
TEST(X11Window, EveryBoxOfTheUpgradeWindowIsOnTheScreen) {
  {
    Window t({"release_2015_03.sql"});
    Open(t.w.get());
    DrawnBoxes boxes;
    t.w->cbBackUp->click();
    t.w->btDoWork->click();
    t.w->btDoWork->click();
    ASSERT_EQ(boxes.seen.size(), 2u);
    for (const auto& s : boxes.seen) {
      EXPECT_EQ(s.text, QString::fromUtf8("所有处理已完成！"));
      EXPECT_TRUE(s.drawn) << "a completion box is not on the screen";
    }
  }
  {
    Window t;  // no library tables: the checks refuse the run
    Open(t.w.get());
    DrawnBoxes boxes;
    t.w->cbBackUp->click();
    t.w->btDoWork->click();
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_TRUE(boxes.seen[0].text.contains(QString::fromUtf8("数据库未做任何改动")))
        << boxes.seen[0].text.toStdString();
    EXPECT_TRUE(boxes.seen[0].drawn) << "the refusal is not on the screen";
  }
  {
    Window t({"release_2015_03.sql"});
    Open(t.w.get());
    DrawnBoxes boxes;
    boxes.answer = QMessageBox::No;
    bool closed = false;
    t.c->on_statement = [&](const db::StatementEvent&) {
      if (closed) return;
      closed = true;
      QTimer::singleShot(0, t.w.get(), [&] { t.w->close(); });
    };
    t.w->cbBackUp->click();
    t.w->btDoWork->click();
    t.c->on_statement = nullptr;
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_TRUE(boxes.seen[0].drawn) << "the close question is not on the screen";
    EXPECT_TRUE(boxes.seen[1].drawn) << "the completion box is not on the screen";
  }
}

}  // namespace
