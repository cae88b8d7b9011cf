// The program's entry sequence with Qt windows: the toolkit-free sequence of
// app/core/startup.h, with the splash, the upgrade window and the
// connection-parameter dialog made as Qt widgets. Exactly one of the two
// windows is created.
#pragma once

#include <QWidget>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/core/startup.h"
#include "app/qt/db_para.h"
#include "app/qt/up_lib_main.h"
#include "db/registry.h"

namespace app {

class Startup : private StartupFront {
 public:
  // registry: where the connection parameters live (the machine's own store in
  // the program, a scratch folder in the tests). data_dirs: the folders
  // searched for the reference-data files (refdata::DefaultDataDirs in the
  // program).
  Startup(db::Registry registry, std::vector<std::filesystem::path> data_dirs,
          ConnectFn connect = db::Connect);
  Startup(const Startup&) = delete;
  Startup& operator=(const Startup&) = delete;
  ~Startup() override;

  // Runs the sequence and shows the main window. The application object must
  // exist. No error leaves it: a failed connection leads to the dialog.
  void Run();

  QWidget* MainWindow() const;

  // Destroyed in reverse order: the window before the connection it uses.
  std::unique_ptr<TLibDM> LibDM;
  std::unique_ptr<TUpLibMain> UpLibMain;
  std::unique_ptr<TDbPara> DbPara;

 private:
  std::unique_ptr<Splash> ShowSplash() override;
  void CreateUpLibMain(db::Connection& LibDB) override;
  void CreateDbPara() override;

  db::Registry registry_;
  std::vector<std::filesystem::path> data_dirs_;
  ConnectFn connect_;
};

}  // namespace app
