// The program's entry sequence: build the data module (which connects), then
// make the upgrade window the main window when the connection was reported
// open, or the connection-parameter dialog when it was not. Exactly one of the
// two windows is created.
#pragma once

#include <QWidget>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/db_para.h"
#include "app/lib_dm.h"
#include "app/up_lib_main.h"
#include "db/registry.h"

namespace app {

class Startup {
 public:
  // registry: where the connection parameters live (the machine's own store in
  // the program, a scratch folder in the tests). data_dirs: the folders
  // searched for the reference-data files (refdata::DefaultDataDirs in the
  // program).
  Startup(db::Registry registry, std::vector<std::filesystem::path> data_dirs,
          ConnectFn connect = db::Connect);
  Startup(const Startup&) = delete;
  Startup& operator=(const Startup&) = delete;
  ~Startup();

  // Runs the sequence and shows the main window. The application object must
  // exist. No error leaves it: a failed connection leads to the dialog.
  void Run();

  QWidget* MainWindow() const;

  // Destroyed in reverse order: the window before the connection it uses.
  std::unique_ptr<TLibDM> LibDM;
  std::unique_ptr<TUpLibMain> UpLibMain;
  std::unique_ptr<TDbPara> DbPara;

 private:
  void CreateDbPara();

  db::Registry registry_;
  std::vector<std::filesystem::path> data_dirs_;
  ConnectFn connect_;
};

}  // namespace app
