// TUpLibMain: the upgrade window in Qt widgets, a thin layer over the
// toolkit-free UpLibMainCore (app/core/up_lib_main.h), which holds its states,
// its run, its chords and closing during a run. The widgets are built from
// the stored layout (app/core/layout.h); this class draws what the core sets
// and hands clicks, keys and close requests back to it.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/core/up_lib_main.h"
#include "db/connection.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QKeyEvent;
class QLabel;
class QProgressBar;
class QPushButton;

namespace app {

class TUpLibMain : public QWidget, public UpLibMainView {
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

  // The upgrade, holding qrTmp, qrTmp1 and qrTmp2 on LibDB.
  steps::Upgrader& Core() { return core_->Upgrader(); }

  // Clicks, handed to the core.
  void btDoWorkClick() { core_->btDoWorkClick(); }
  void cbBackUpClick() { core_->cbBackUpClick(); }
  void btExitClick() { core_->btExitClick(); }
  void btCrtPrtClick() { core_->btCrtPrtClick(); }
  void btExpZZMClick() { core_->btExpZZMClick(); }
  // Keys, as the core's chords see them. F1 is known by Qt's key or by the
  // key the platform sent: X11's standard keymap turns Ctrl+Alt+F1 into the
  // keysym XF86Switch_VT_1, which Qt delivers as key 0.
  static ChordKeyEvent ChordKey(const QKeyEvent& key);

  // UpLibMainView
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
  void Reveal(HiddenControl control) override;
  bool AskYesNo(std::string_view utf8) override;
  void ShowError(std::string_view utf8) override;
  void CloseWindow() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Asks the core (UpLibMainCore::CloseQuery).
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

  std::unique_ptr<UpLibMainCore> core_;
  bool changed_ = false;  // shown state changed since the last paint
  QElapsedTimer paint_clock_;
  QElapsedTimer pump_clock_;
  QElapsedTimer num_clock_;
  QElapsedTimer bar_clock_;
};

}  // namespace app
