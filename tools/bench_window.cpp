// bench_window: runs the whole upgrade through the upgrade window, as a
// librarian would, and reports how long it took, so that the window's run can
// be set against libupgrade-cli's on the same database.
//
//   bench_window [--frame-ms N] DATABASE_FILE DATA_DIR
//
// The window is built on whatever Qt platform is chosen (offscreen when
// QT_QPA_PLATFORM is not set), shown, "已备份好数据库" is ticked and the start
// button clicked once the event loop runs. The run ends when the program puts
// up its message box: "所有处理已完成！" or the error box. The box is answered
// at once and the time from the click to the box is printed on standard output
// as one line
//
//   {"run_s":12.345,"outcome":"done","box":"所有处理已完成！"}
//
// outcome is "done" or "error". --frame-ms N measures a window that repaints
// and pumps its message queue at most once every N milliseconds (a screen
// shows no more than its frame rate) instead of on every request of a step,
// and paints the bar and the count with the next frame instead of at once;
// the program itself does not do this. Exit code 0 when the run completed, 1 when it
// ended in the error box, 2 on a usage error or when the database cannot be
// opened.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/up_lib_main.h"
#include "db/connection.h"
#include "text/gbk.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes the moment a message box comes up and answers it, so that the modal
// loop the window is waiting in returns without a user.
class BoxAnswerer : public QObject {
 public:
  bool seen = false;
  Clock::time_point at;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* box = qobject_cast<QMessageBox*>(watched); box && !seen) {
        at = Clock::now();
        seen = true;
        text = box->text();
        icon = box->icon();
        QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
      }
    }
    return false;
  }
};

// The upgrade window with its repaints and message pumps limited to one per
// frame, and the bar and count label painted with the next frame rather than
// at once; everything else is the program's own window.
class FramedWindow : public app::TUpLibMain {
 public:
  FramedWindow(db::Connection& LibDB, std::filesystem::path data_dir, int frame_ms)
      : TUpLibMain(LibDB, {std::move(data_dir)}), frame_(std::chrono::milliseconds(frame_ms)) {}
  void Repaint() override {
    if (Due(last_paint_)) TUpLibMain::Repaint();
  }
  void ProcessMessages() override {
    if (Due(last_pump_)) TUpLibMain::ProcessMessages();
  }
  // QProgressBar::setValue and the count label paint at once on every change;
  // here they only mark themselves for the next frame.
  void SetBarPosition(int position) override {
    pBar->setUpdatesEnabled(false);
    TUpLibMain::SetBarPosition(position);
    pBar->setUpdatesEnabled(true);
  }
  void SetNumText(std::string_view gbk) override {
    lbNum->setUpdatesEnabled(false);
    TUpLibMain::SetNumText(gbk);
    lbNum->setUpdatesEnabled(true);
  }

 private:
  bool Due(Clock::time_point& last) {
    const auto now = Clock::now();
    if (now - last < frame_) return false;
    last = now;
    return true;
  }
  Clock::duration frame_;
  Clock::time_point last_paint_{}, last_pump_{};
};

std::string JsonText(const QString& s) {
  std::string out = "\"";
  for (const char c : s.toStdString()) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  int frame_ms = 0;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--frame-ms" && i + 1 < argc)
      frame_ms = std::atoi(argv[++i]);
    else
      files.emplace_back(argv[i]);
  }
  if (files.size() != 2 || frame_ms < 0) {
    std::cerr << "usage: bench_window [--frame-ms N] DATABASE_FILE DATA_DIR\n";
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  QApplication::setApplicationName("libupgrade");

  db::ConnectParams params;
  params.data_source = text::Gbk("embedded:" + files[0]);
  std::unique_ptr<db::Connection> LibDB;
  try {
    LibDB = db::Connect(params);
  } catch (const std::exception& e) {
    std::cerr << "bench_window: cannot open " << files[0] << ": " << text::Utf8(e.what()) << "\n";
    return 2;
  }

  std::unique_ptr<app::TUpLibMain> owned =
      frame_ms > 0
          ? std::make_unique<FramedWindow>(*LibDB, files[1], frame_ms)
          : std::make_unique<app::TUpLibMain>(*LibDB, std::vector<std::filesystem::path>{files[1]});
  app::TUpLibMain& window = *owned;
  BoxAnswerer answerer;
  application.installEventFilter(&answerer);
  window.show();

  Clock::time_point clicked;
  QTimer::singleShot(0, &window, [&] {
    window.cbBackUp->click();
    clicked = Clock::now();
    window.btDoWork->click();  // returns once the box has been answered
    QApplication::quit();
  });
  QApplication::exec();

  if (!answerer.seen) {
    std::cerr << "bench_window: the run ended without a message box\n";
    return 1;
  }
  const bool done = answerer.icon == QMessageBox::Information;
  const double run_s = std::chrono::duration<double>(answerer.at - clicked).count();
  std::printf("{\"run_s\":%.3f,\"outcome\":\"%s\",\"box\":%s}\n", run_s, done ? "done" : "error",
              JsonText(answerer.text).c_str());
  return done ? 0 : 1;
}
