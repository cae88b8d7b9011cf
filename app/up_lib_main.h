// TUpLibMain: the upgrade window. It shows the fixed warnings, enables the
// start button only while "已备份好数据库" is ticked, runs the whole upgrade
// through steps::Upgrader with itself as the view, and hides two maintenance
// buttons until Ctrl+Alt+F1 / Ctrl+Alt+F2 reveal them.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <filesystem>
#include <memory>

#include "db/connection.h"
#include "db/view.h"
#include "steps/upgrader.h"

class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

namespace app {

class TUpLibMain : public QWidget, public db::UpgradeView {
  Q_OBJECT

 public:
  // LibDB is the data module's open connection and must outlive the window;
  // data_dir is the folder of zzm.dat, other.dat and MarcRule.txt.
  TUpLibMain(db::Connection& LibDB, std::filesystem::path data_dir, QWidget* parent = nullptr);
  ~TUpLibMain() override;

  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8;
  QFrame* Bevel2;
  QLabel* lbProcess;
  QProgressBar* pBar;
  QLabel* lbNum;
  QCheckBox* cbBefore;
  QPushButton* btDoWork;
  QCheckBox* cbBackUp;
  QCheckBox* ckbDel;
  QPushButton* btExit;
  QPushButton* btCrtPrt;
  QPushButton* btExpZZM;

  // The upgrade core, holding qrTmp, qrTmp1 and qrTmp2 on LibDB.
  steps::Upgrader& Core() { return *core_; }

  // The run sequence. An error nobody below caught is shown in the error box
  // and leaves the window as the failing step left it.
  void btDoWorkClick();
  void cbBackUpClick();
  void btExitClick();
  // The maintenance buttons do nothing while a run is in progress (a click
  // can arrive while a step lets the message queue run): they would send
  // their statements through qrTmp in the middle of the step's own.
  void btCrtPrtClick();
  void btExpZZMClick();
  // Ctrl+Alt+F1 reveals ckbDel, Ctrl+Alt+F2 btCrtPrt; nothing else does.
  void FormKeyUp(int key, Qt::KeyboardModifiers shift);

  // db::UpgradeView
  void SetProcessText(std::string_view gbk) override;
  void SetProcessVisible(bool visible) override;
  void SetBarVisible(bool visible) override;
  void SetBarPosition(int position) override;
  int BarPosition() const override;
  void SetNumText(std::string_view gbk) override;
  void SetNumVisible(bool visible) override;
  bool BeforeChecked() const override;
  void SetBeforeChecked(bool checked) override;
  bool DeleteOldChecked() const override;
  void SetDeleteOldChecked(bool checked) override;
  bool BackUpChecked() const override;
  void SetDoWorkEnabled(bool enabled) override;
  void SetExitEnabled(bool enabled) override;
  void SetBackUpEnabled(bool enabled) override;
  void Repaint() override;
  void ProcessMessages() override;
  void ShowInformation(std::string_view gbk) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The steps ask for a repaint and a pass of the message queue after every
  // row they process; painting the window that often costs several times
  // the upgrade itself. What they show is painted at most once a frame: in
  // between, the widgets take their new state and a paint is only scheduled.
  bool FrameDue(QElapsedTimer& clock) const;

  std::unique_ptr<steps::Upgrader> core_;
  bool running_ = false;
  QElapsedTimer paint_clock_;
  QElapsedTimer pump_clock_;
  QElapsedTimer num_clock_;
  QElapsedTimer bar_clock_;
};

}  // namespace app
