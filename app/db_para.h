// TDbPara: the connection-parameter dialog. Start-up makes it the main window
// when the database cannot be reached. It says what to check, and lets a user
// with the right to write HKEY_LOCAL_MACHINE correct the data source name,
// login and password under SOFTWARE\Quorvant\<StartMess>. Saving or cancelling
// closes it, which ends the program; new values apply at the next start.
#pragma once

#include <QWidget>

#include "db/registry.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace app {

class TDbPara : public QWidget {
  Q_OBJECT

 public:
  // Fills the caption and the three edit boxes from the registry (FormCreate).
  // A stored value that does not decode is reported in the error box once the
  // event loop runs; the boxes filled before it keep their values.
  explicit TDbPara(const db::Registry& registry, QWidget* parent = nullptr);

  QLabel *Label4, *Label5, *Label6, *Label7, *Label8;
  QPushButton* btMod;
  QPushButton* btExit;
  QGroupBox* grbBox;
  QLabel *Label1, *Label2, *Label3, *Label9, *Label10;
  QLineEdit* edOdbc;
  QLineEdit* edUser;
  QLineEdit* edPass;
  QPushButton* btOk;

  void btModClick();
  // Saves the trimmed values (user name and password encoded), creating the
  // missing keys, then closes. A refused key shows the permission message and
  // still closes; an error creating a key or writing a value is shown in the
  // error box and the dialog stays open.
  void btOkClick();
  void btExitClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void Save();
  std::string Key() const;  // "SOFTWARE\Quorvant\" + StartMess

  db::Registry registry_;
};

}  // namespace app
