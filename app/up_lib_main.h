// TUpLibMain: the upgrade window. It shows the fixed warnings, enables the
// start button only while "已备份好数据库" is ticked, runs the whole upgrade
// through steps::Upgrader with itself as the view, and hides two maintenance
// controls until Ctrl+Alt+F1 / Ctrl+Alt+F2 reveal them. Closing it during a
// run asks first; a confirmed close undoes the step in progress and ends the
// program.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <vector>

#include "db/connection.h"
#include "db/view.h"
#include "steps/upgrader.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;

namespace app {

class TUpLibMain : public QWidget, public db::UpgradeView {
  Q_OBJECT

 public:
  // LibDB is the data module's open connection and must outlive the window;
  // data_dirs: the folders searched, in order, for zzm.dat, other.dat and
  // MarcRule.txt (refdata/data_files.h).
  TUpLibMain(db::Connection& LibDB, std::vector<std::filesystem::path> data_dirs,
             QWidget* parent = nullptr);
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
  // The chord is seen when F1 (F2) goes down or comes up while exactly Ctrl
  // and Alt are held. F1 is known by Qt's key or by the key the platform
  // sent: X11's standard keymap turns Ctrl+Alt+F1 into the keysym
  // XF86Switch_VT_1, which Qt delivers as key 0. A display server that keeps
  // that keysym for itself swallows the key's press; its release still comes,
  // without modifiers when Ctrl and Alt came up first. So a release of F1
  // whose press never came, after Ctrl and Alt were held together, is the
  // chord too.
  void FormKeyDown(const QKeyEvent& key);
  void FormKeyUp(const QKeyEvent& key);

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
  // During a run: asks whether to stop it. Yes lets the run's next pass of
  // the message queue end it (the step in progress is rolled back, then the
  // window closes); No carries on. Otherwise the window closes.
  void closeEvent(QCloseEvent* event) override;

 private:
  // The steps ask for a repaint and a pass of the message queue after every
  // row they process; painting the window that often costs several times
  // the upgrade itself. What changes on every row (the bar, the count) is
  // painted at most once a frame: in between, the widgets take their new
  // state and a paint is only scheduled. A new progress text, or a control
  // shown, hidden, enabled, disabled or (un)ticked, is painted at the next
  // Repaint or ProcessMessages whatever the frame: a step sets its label just
  // before a statement that may run for minutes.
  bool FrameDue(QElapsedTimer& clock) const;
  void PaintNow();
  void Changed(bool changed) { changed_ |= changed; }
  void PlaceNum();
  void Reveal(int chord_key);
  void Leave();

  std::unique_ptr<steps::Upgrader> core_;
  bool running_ = false;
  bool changed_ = false;  // shown state changed since the last paint
  // Closing during a run.
  bool asking_ = false;   // the question is up
  bool abandon_ = false;  // confirmed: the run is to stop at its next pump
  bool leaving_ = false;  // the window closes for good
  // The key chord.
  bool chord_held_ = false;      // Ctrl+Alt held since the last other key
  bool chord_key_down_[2] = {};  // F1, F2 seen going down
  QElapsedTimer paint_clock_;
  QElapsedTimer pump_clock_;
  QElapsedTimer num_clock_;
  QElapsedTimer bar_clock_;
};

}  // namespace app
