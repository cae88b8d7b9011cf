// What the window tests share: one QApplication on the offscreen platform, a
// watcher that answers the program's modal message boxes (recording caption,
// text, icon and buttons), a scratch registry, a way to act as a user without
// the right to write it, the window's pixels on the screen, and a connection
// to look at them from while a statement is sent.
#pragma once

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/up_lib_main.h"
#include "db/connection.h"
#include "db/registry.h"
#include "tests/support/support.h"

namespace app_testing {

// An upgrade window on a scratch database built from fixture scripts, with
// the sample data files; shown at once unless show is false.
struct UpgradeWindow {
  testing_support::ScratchDb scratch;
  std::unique_ptr<db::Connection> c;
  std::unique_ptr<app::TUpLibMain> w;

  explicit UpgradeWindow(const std::vector<std::string>& fixtures = {}, bool show = true);
  // The enabled states of btDoWork, btExit and cbBackUp are these.
  bool Enabled(bool dowork, bool exit, bool backup) const;
};

// The application object, made on first use with QT_QPA_PLATFORM=offscreen
// unless a platform was chosen already; like the program, it speaks Qt's
// Simplified Chinese.
QApplication& App();

// Runs the event loop for about ms milliseconds.
void Pump(int ms);

struct SeenBox {
  QString caption;
  QString text;
  QMessageBox::Icon icon;
  QStringList buttons;  // their captions, in the box's order
};

// While alive, every modal QMessageBox that comes up is recorded and closed
// with its answer button (OK unless told otherwise; a box without that button
// is closed with its OK button).
class BoxWatcher {
 public:
  BoxWatcher();
  std::vector<SeenBox> boxes;
  QMessageBox::StandardButton answer = QMessageBox::Ok;
  // Called with the box just before it is closed (to look at the window).
  std::function<void()> on_box;

 private:
  QTimer timer_;
};

// A registry root in a fresh temporary folder, removed with the object; the
// folder can be read by every user.
class ScratchRegistry {
 public:
  ScratchRegistry();
  ~ScratchRegistry();
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  db::Registry registry() const { return db::Registry(root_); }
  const std::filesystem::path& root() const { return root_; }
  // Writes the three connection values of SOFTWARE\Quorvant\Lib as given.
  void SetLib(const std::string& odbc, const std::string& user, const std::string& pass);

 private:
  std::filesystem::path root_;
};

// Runs work as a user who may not write below root (the store's folders are
// made read-only; a test running as root also gives up its rights meanwhile).
void AsUserWithoutRights(const std::filesystem::path& root, const std::function<void()>& work);

// What the window system shows of w now (on X11 the server's pixels, on the
// offscreen platform the window's backing store: what was last painted), not
// a fresh rendering.
QImage Shown(QWidget* w);
// w painted as it stands now.
QImage Rendered(QWidget* w);

// A connection that lets the test look at the window while a statement is
// being sent: the window cannot paint until the statement returns, as while
// a statement runs for minutes.
class BlockingConnection : public db::Connection {
 public:
  explicit BlockingConnection(std::unique_ptr<db::Connection> inner) : inner_(std::move(inner)) {}
  // Called with each statement before it goes to the database.
  std::function<void(const std::string&)> while_sending;

 protected:
  std::unique_ptr<db::Cursor> Send(const std::string& sql) override {
    if (while_sending) while_sending(sql);
    return inner_->Execute(sql);
  }

 private:
  std::unique_ptr<db::Connection> inner_;
};

// The top-level widgets of class T that still exist.
template <class T>
std::vector<T*> TopLevels() {
  std::vector<T*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* t = qobject_cast<T*>(w)) out.push_back(t);
  return out;
}

}  // namespace app_testing
