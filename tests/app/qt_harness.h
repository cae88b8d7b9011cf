// What the window tests share: one QApplication on the offscreen platform, a
// watcher that answers the program's modal message boxes (recording caption,
// text and icon), a scratch registry, and a way to act as a user without the
// right to write it.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "db/registry.h"

namespace app_testing {

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

// The top-level widgets of class T that still exist.
template <class T>
std::vector<T*> TopLevels() {
  std::vector<T*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* t = qobject_cast<T*>(w)) out.push_back(t);
  return out;
}

}  // namespace app_testing
