#include "tests/app/qt_harness.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <stdexcept>

#include "app/qt/look.h"

namespace app_testing {

UpgradeWindow::UpgradeWindow(const std::vector<std::string>& fixtures, bool show)
    : scratch(fixtures) {
  App();
  c = scratch.Connect();
  w = std::make_unique<app::TUpLibMain>(*c, std::vector{testing_support::SampleDir()});
  if (show) w->show();
}

bool UpgradeWindow::Enabled(bool dowork, bool exit, bool backup) const {
  return w->btDoWork->isEnabled() == dowork && w->btExit->isEnabled() == exit &&
         w->cbBackUp->isEnabled() == backup;
}

QApplication& App() {
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    // Left alive until the process ends: windows of static tests may outlive main.
    auto* a = new QApplication(argc, argv);
    QApplication::setApplicationName("libupgrade");
    app::InstallQtChinese();
    // Windows closed by one test must not end the event loops of the next.
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *app;
}

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

BoxWatcher::BoxWatcher() {
  App();
  timer_.setInterval(5);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    QStringList captions;
    for (QAbstractButton* b : box->buttons()) captions << b->text();
    // The text as a person reads it: without the word joiners that keep
    // paths whole (app::Unbroken).
    QString text = box->text();
    text.remove(QChar(0x2060));
    boxes.push_back({box->windowTitle(), text, box->icon(), captions});
    if (on_box) on_box();
    QAbstractButton* button = box->button(answer);
    if (!button) button = box->button(QMessageBox::Ok);
    button->click();
  });
  timer_.start();
}

QImage Shown(QWidget* w) {
  const QPoint at = w->mapTo(w->window(), QPoint(0, 0));
  return w->screen()
      ->grabWindow(w->window()->winId(), at.x(), at.y(), w->width(), w->height())
      .toImage()
      .convertToFormat(QImage::Format_RGB32);
}

QImage Rendered(QWidget* w) {
  return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

ScratchRegistry::ScratchRegistry() {
  std::string templ = (std::filesystem::temp_directory_path() / "libupgrade-reg-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("cannot make a temporary folder");
  root_ = templ;
  ::chmod(root_.c_str(), 0755);
}

ScratchRegistry::~ScratchRegistry() {
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(root_, ec))
    ::chmod(e.path().c_str(), 0755);
  std::filesystem::remove_all(root_, ec);
}

void ScratchRegistry::SetLib(const std::string& odbc, const std::string& user,
                             const std::string& pass) {
  db::Registry r = registry();
  if (!r.OpenKeyForWrite(db::kLibKey, true)) throw std::runtime_error("cannot make the key");
  r.WriteString(db::kLibKey, "ODBCNAME", odbc);
  r.WriteString(db::kLibKey, "USERNAME", user);
  r.WriteString(db::kLibKey, "PASSWORD", pass);
}

void AsUserWithoutRights(const std::filesystem::path& root, const std::function<void()>& work) {
  std::error_code ec;
  std::vector<std::filesystem::path> dirs{root};
  for (auto& e : std::filesystem::recursive_directory_iterator(root, ec))
    if (e.is_directory()) dirs.push_back(e.path());
  for (const auto& d : dirs) ::chmod(d.c_str(), 0555);
  const bool root_user = ::geteuid() == 0;
  // Keep 0 as the saved id so that the rights can be taken back afterwards.
  if (root_user && ::setresuid(65534, 65534, 0) != 0) throw std::runtime_error("setresuid");
  try {
    work();
  } catch (...) {
    if (root_user && ::setresuid(0, 0, 0) != 0) std::abort();
    throw;
  }
  if (root_user && ::setresuid(0, 0, 0) != 0) std::abort();
  for (const auto& d : dirs) ::chmod(d.c_str(), 0755);
}

}  // namespace app_testing
