// TDbPara: the connection-parameter dialog in Qt widgets, a thin layer over
// the toolkit-free DbParaCore (app/core/db_para.h), which reads and saves the
// registry values and says what each button does. The widgets are built from
// the stored layout (app/core/layout.h).
#pragma once

#include <QWidget>
#include <memory>

#include "app/core/db_para.h"
#include "db/registry.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace app {

class TDbPara : public QWidget, public DbParaView {
  Q_OBJECT

 public:
  // Fills the caption and the three edit boxes from the registry (FormCreate).
  // A stored value that does not decode is reported in the error box once the
  // event loop runs; the boxes filled before it keep their values.
  explicit TDbPara(const db::Registry& registry, QWidget* parent = nullptr);
  ~TDbPara() override;

  QLabel *Label4, *Label5, *Label6, *Label7, *Label8;
  QPushButton* btMod;
  QPushButton* btExit;
  QGroupBox* grbBox;
  QLabel *Label1, *Label2, *Label3, *Label9, *Label10;
  QLineEdit* edOdbc;
  QLineEdit* edUser;
  QLineEdit* edPass;
  QPushButton* btOk;
  // The connection failure's own message below the warnings; null when
  // start-up had none.
  QLabel* lbCause = nullptr;

  void btModClick() { core_->btModClick(); }
  void btOkClick() { core_->btOkClick(); }
  void btExitClick() { core_->btExitClick(); }

  // DbParaView
  void SetCaption(std::string_view utf8) override;
  std::string EditText(ParamEdit edit) const override;
  void SetEditText(ParamEdit edit, std::string_view utf8) override;
  void ShowGroup() override;
  void ShowCause(std::string_view utf8) override;
  void ShowInformation(std::string_view utf8) override;
  void ShowError(std::string_view utf8) override;
  void CloseWindow() override;

 protected:
  // Enter on a button presses it; on any other control it moves the focus on.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* Edit(ParamEdit edit) const;

  std::unique_ptr<DbParaCore> core_;
  int cause_height_ = 0;  // what lbCause adds to the window's height
};

}  // namespace app
