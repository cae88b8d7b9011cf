// TLibDM: the data module holding the program's single database connection,
// LibDB. The connection is opened while the module is being built and stays
// open until the program ends; every query of the upgrade window uses it.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "db/connection.h"
#include "db/registry.h"

namespace app {

class TFlash;

// Opens a connection; db::Connect in the program, something that watches the
// attempt in the tests.
using ConnectFn = std::function<std::unique_ptr<db::Connection>(const db::ConnectParams&)>;

class TLibDM : public QObject {
  Q_OBJECT

 public:
  // Connects LibDB: the before-connect handler reads the parameters under
  // SOFTWARE\Quorvant\Lib of registry and puts up the splash, the connection
  // is attempted (blocking), and on success the after-connect handler removes
  // the splash and sets StartMess to "OK". Throws whatever the parameter
  // decoding or the connection throws; the splash is removed then as well.
  explicit TLibDM(const db::Registry& registry, ConnectFn connect = db::Connect,
                  QObject* owner = nullptr);
  ~TLibDM() override;

  db::Connection& LibDB() { return *LibDB_; }
  // The parameters the connection was attempted with.
  const db::ConnectParams& Params() const { return params_; }
  // The splash window while it exists (only during the connection attempt).
  TFlash* Flash() const { return Flash_.get(); }

 private:
  void LibDBBeforeConnect();
  void LibDBAfterConnect();

  db::Registry registry_;
  db::ConnectParams params_;  // the stored defaults: "LibODBC", "sa", ""
  std::unique_ptr<TFlash> Flash_;
  std::unique_ptr<db::Connection> LibDB_;
};

}  // namespace app
