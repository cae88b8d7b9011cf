// bench_window: runs the whole upgrade through the upgrade window, as a
// librarian would, and reports how long it took, so that the window's run can
// be set against libupgrade-cli's on the same database.
//
//   bench_window DATABASE_FILE DATA_DIR
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
// outcome is "done" or "error". Exit code 0 when the run completed, 1 when it
// ended in the error box, 2 on a usage error or when the database cannot be
// opened.
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "app/up_lib_main.h"
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
  if (argc != 3) {
    std::cerr << "usage: bench_window DATABASE_FILE DATA_DIR\n";
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  QApplication::setApplicationName("libupgrade");

  db::ConnectParams params;
  params.data_source = text::Gbk(std::string("embedded:") + argv[1]);
  std::unique_ptr<db::Connection> LibDB;
  try {
    LibDB = db::Connect(params);
  } catch (const std::exception& e) {
    std::cerr << "bench_window: cannot open " << argv[1] << ": " << text::Utf8(e.what()) << "\n";
    return 2;
  }

  app::TUpLibMain window(*LibDB, std::filesystem::path(argv[2]));
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
