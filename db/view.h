// What the upgrade core shows and reads on the window: the progress label
// lbProcess, the progress bar pBar, the count label lbNum, the check boxes
// cbBefore and ckbDel, and the enabled states of btDoWork, btExit, cbBackUp.
// The window implements it with widgets, libupgrade-cli on the terminal, the
// tests by recording every call. All texts are GBK bytes; the view converts
// them for display.
#pragma once

#include <string>
#include <string_view>

namespace db {

class UpgradeView {
 public:
  virtual ~UpgradeView() = default;

  virtual void SetProcessText(std::string_view gbk) = 0;  // lbProcess caption
  virtual void SetProcessVisible(bool visible) = 0;
  virtual void SetBarVisible(bool visible) = 0;
  virtual void SetBarPosition(int position) = 0;  // 0..100
  virtual int BarPosition() const = 0;
  virtual void SetNumText(std::string_view gbk) = 0;  // lbNum caption
  virtual void SetNumVisible(bool visible) = 0;

  virtual bool BeforeChecked() const = 0;  // cbBefore
  virtual void SetBeforeChecked(bool checked) = 0;
  virtual bool DeleteOldChecked() const = 0;  // ckbDel
  virtual void SetDeleteOldChecked(bool checked) = 0;
  virtual bool BackUpChecked() const = 0;  // cbBackUp

  virtual void SetDoWorkEnabled(bool enabled) = 0;
  virtual void SetExitEnabled(bool enabled) = 0;
  virtual void SetBackUpEnabled(bool enabled) = 0;

  virtual void Repaint() = 0;          // repaint the window now
  virtual void ProcessMessages() = 0;  // one pass of the message queue
  // The "提示信息" information box; returns when it is dismissed.
  virtual void ShowInformation(std::string_view gbk) = 0;
};

// The progress tick: one step of pBar per processed row or line, back to
// wrap_to once it has reached 100 (each row walk has its own wrap value).
inline void ProgressTick(UpgradeView& view, int wrap_to) {
  const int position = view.BarPosition();
  view.SetBarPosition(position >= 100 ? wrap_to : position + 1);
}

}  // namespace db
