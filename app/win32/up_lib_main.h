// TUpLibMain: the upgrade window as a native window, a thin layer over the
// toolkit-free UpLibMainCore (app/core/up_lib_main.h), which holds its states,
// its run, its chords and closing during a run. This class draws what the
// core sets and hands clicks, keys and close requests back to it.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "app/core/up_lib_main.h"
#include "app/win32/form.h"
#include "db/connection.h"

namespace app::win {

class TUpLibMain : public Form, public UpLibMainView {
 public:
  // LibDB is the data module's open connection and must outlive the window.
  TUpLibMain(db::Connection& LibDB, std::vector<std::filesystem::path> data_dirs);
  ~TUpLibMain() override;

  // The upgrade, holding qrTmp, qrTmp1 and qrTmp2 on LibDB.
  steps::Upgrader& Core() { return core_->Upgrader(); }

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

  // Enter presses the focused button; every key goes to the core's chords
  // and on to the control.
  bool PreviewKey(const MSG& msg) override;

 protected:
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp) override;
  void Clicked(const std::string& name) override;

 private:
  // The steps ask for a repaint and a pass of the message queue after every
  // row; the bar and the count are painted at most once a frame, a changed
  // label or control at the next Repaint or ProcessMessages whatever the
  // frame (a step sets its label just before a statement that may run for
  // minutes).
  bool FrameDue(ULONGLONG& last) const;
  void PaintNow();
  void Changed(bool changed) { changed_ |= changed; }
  bool ShowAs(const char* name, bool visible);
  bool EnableAs(const char* name, bool enabled);
  bool TickAs(const char* name, bool checked);
  bool Ticked(const char* name) const;

  std::unique_ptr<UpLibMainCore> core_;
  bool changed_ = false;
  ULONGLONG paint_clock_ = 0, pump_clock_ = 0;
};

}  // namespace app::win
