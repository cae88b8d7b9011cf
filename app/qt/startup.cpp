#include "app/qt/startup.h"

#include <QCoreApplication>

#include "app/qt/flash.h"

namespace app {

Startup::Startup(db::Registry registry, std::vector<std::filesystem::path> data_dirs,
                 ConnectFn connect)
    : registry_(std::move(registry)),
      data_dirs_(std::move(data_dirs)),
      connect_(std::move(connect)) {}

Startup::~Startup() {
  UpLibMain.reset();
  DbPara.reset();
  LibDM.reset();
}

void Startup::Run() {
  LibDM = RunStartup(registry_, connect_, *this);
  MainWindow()->show();
}

std::unique_ptr<Splash> Startup::ShowSplash() {
  auto flash = std::make_unique<TFlash>();
  flash->show();
  // Nothing runs the message loop while the connection blocks: let the window
  // system map the splash, then paint it at once.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  flash->repaint();
  return flash;
}

void Startup::CreateUpLibMain(db::Connection& LibDB) {
  UpLibMain = std::make_unique<TUpLibMain>(LibDB, data_dirs_);
}

void Startup::CreateDbPara() {
  DbPara = std::make_unique<TDbPara>(registry_);
}

QWidget* Startup::MainWindow() const {
  if (UpLibMain) return UpLibMain.get();
  return DbPara.get();
}

}  // namespace app
