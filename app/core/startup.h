// The program's entry sequence and its data module, without any toolkit.
//
// The data module TLibDM holds the single database connection LibDB: building
// it reads the parameters under HKEY_LOCAL_MACHINE\SOFTWARE\Quorvant\Lib, puts
// up the splash window, attempts the (blocking) connection, removes the splash
// and sets StartMess to "OK". The entry sequence then makes the upgrade window
// the main window, or the connection-parameter dialog when the connection was
// not reported open. A front end (Qt, Windows) supplies the windows.
#pragma once

#include <functional>
#include <memory>

#include "db/connection.h"
#include "db/registry.h"

namespace app {

// Opens a connection: db::Connect in the program, something that watches the
// attempt in the tests.
using ConnectFn = std::function<std::unique_ptr<db::Connection>(const db::ConnectParams&)>;

// The splash window while it exists: destroying the object removes it.
class Splash {
 public:
  virtual ~Splash() = default;
};

// What a toolkit gives the entry sequence.
class StartupFront {
 public:
  virtual ~StartupFront() = default;
  // Creates the splash window showing StartMess, shows it and paints it at
  // once: nothing pumps the message queue while the connection blocks.
  virtual std::unique_ptr<Splash> ShowSplash() = 0;
  // Creates the upgrade window on the open connection (which outlives it).
  virtual void CreateUpLibMain(db::Connection& LibDB) = 0;
  // Creates the connection-parameter dialog (StartMess is "Lib").
  virtual void CreateDbPara() = 0;
};

class TLibDM {
 public:
  // Connects LibDB as above. Throws whatever the parameter decoding or the
  // connection throws; the splash is removed then as well, and a value that
  // does not decode stops before the splash exists.
  TLibDM(const db::Registry& registry, const ConnectFn& connect, StartupFront& front);
  TLibDM(const TLibDM&) = delete;
  TLibDM& operator=(const TLibDM&) = delete;

  db::Connection& LibDB() { return *LibDB_; }
  // The parameters the connection was attempted with.
  const db::ConnectParams& Params() const { return params_; }

 private:
  void LibDBBeforeConnect(const db::Registry& registry, StartupFront& front);
  void LibDBAfterConnect();

  db::ConnectParams params_;  // the stored defaults: "LibODBC", "sa", ""
  std::unique_ptr<Splash> Flash_;
  std::unique_ptr<db::Connection> LibDB_;
};

// The entry sequence: StartMess cleared, the data module built, then exactly
// one of front.CreateUpLibMain (StartMess is "OK") or front.CreateDbPara
// (StartMess set to "Lib"). No error leaves it: a failed connection is not
// shown, the dialog says what to check. Returns the data module when the
// upgrade window was created (it must outlive the window), else null.
std::unique_ptr<TLibDM> RunStartup(const db::Registry& registry, const ConnectFn& connect,
                                   StartupFront& front);

}  // namespace app
