#include "app/startup.h"

#include "app/start_mess.h"

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
  StartMess.clear();
  try {
    LibDM = std::make_unique<TLibDM>(registry_, connect_);
    if (StartMess == "OK") {
      UpLibMain = std::make_unique<TUpLibMain>(LibDM->LibDB(), data_dirs_);
    } else {
      CreateDbPara();
    }
  } catch (...) {
    // The connection error is not shown: the dialog says what to check.
    LibDM.reset();
    CreateDbPara();
  }
  MainWindow()->show();
}

void Startup::CreateDbPara() {
  StartMess = "Lib";
  DbPara = std::make_unique<TDbPara>(registry_);
}

QWidget* Startup::MainWindow() const {
  if (UpLibMain) return UpLibMain.get();
  return DbPara.get();
}

}  // namespace app
