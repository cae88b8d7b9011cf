// The rules of the upgrade window TUpLibMain, without any toolkit: the states
// of its controls around the backup box and the start button, the run, the
// key chords that reveal the maintenance controls, and closing during a run.
// The window (Qt or native Windows) draws the controls and hands clicks,
// keys and close requests to this core; the core shows everything through
// UpLibMainView.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/view.h"
#include "steps/upgrader.h"

namespace app {

// The controls that only a key chord shows.
enum class HiddenControl { kCkbDel, kBtCrtPrt };

// What the window does for the rules, beyond what the steps use. Texts are
// UTF-8 (the steps' own, in db::UpgradeView, are GBK).
class UpLibMainView : public db::UpgradeView {
 public:
  virtual void Reveal(HiddenControl control) = 0;
  // A modal "提示信息" question with Yes and No, No the default (Escape too);
  // true for Yes.
  virtual bool AskYesNo(std::string_view utf8) = 0;
  // The error box with the error's text.
  virtual void ShowError(std::string_view utf8) = 0;
  // Closes the window; the window asks CloseQuery first, as for its close box.
  virtual void CloseWindow() = 0;
};

// One key event as the chords see it.
struct ChordKeyEvent {
  enum Key { kF1, kF2, kModifier, kOther } key;
  // The modifiers held with the event; for the event of Ctrl, Alt or Shift
  // itself, those held after it (as Qt and Windows report them).
  bool ctrl = false, alt = false, shift = false, meta = false;
};

class UpLibMainCore {
 public:
  // LibDB is the data module's open connection and view the window; both must
  // outlive the core. data_dirs: the folders searched, in order, for zzm.dat,
  // other.dat and MarcRule.txt (refdata/data_files.h).
  UpLibMainCore(db::Connection& LibDB, UpLibMainView& view,
                std::vector<std::filesystem::path> data_dirs);
  ~UpLibMainCore();
  UpLibMainCore(const UpLibMainCore&) = delete;
  UpLibMainCore& operator=(const UpLibMainCore&) = delete;

  // The upgrade, holding qrTmp, qrTmp1 and qrTmp2 on LibDB.
  steps::Upgrader& Upgrader() { return *upgrader_; }
  bool Running() const { return running_; }

  // The run sequence. An error nobody below caught is shown in the error box
  // and leaves the window as the failing step left it. A close confirmed
  // during the run rolls the step in progress back and closes the window,
  // without the completion box.
  void btDoWorkClick();
  // btDoWork enabled exactly while cbBackUp is ticked.
  void cbBackUpClick();
  void btExitClick();
  // The maintenance buttons do nothing while a run is in progress (a click
  // can arrive while a step lets the message queue run): they would send
  // their statements through qrTmp in the middle of the step's own.
  void btCrtPrtClick();
  void btExpZZMClick();

  // Ctrl+Alt+F1 reveals ckbDel, Ctrl+Alt+F2 btCrtPrt; nothing else does. The
  // window passes every key press and release it previews (once or more per
  // key: seeing an event twice changes nothing). The chord is seen when F1
  // (F2) goes down or comes up while exactly Ctrl and Alt are held. A display
  // server that keeps Ctrl+Alt+Fn for itself (X11 switches consoles) swallows
  // the key's press; its release still comes, without modifiers when Ctrl and
  // Alt came up first. So a release of F1 whose press never came, after Ctrl
  // and Alt were held together, is the chord too.
  void FormKeyDown(const ChordKeyEvent& key);
  void FormKeyUp(const ChordKeyEvent& key);

  // The window is asked to close (close box, Alt+F4, btExit): true when it
  // may close now. During a run it asks whether to stop; Yes lets the run's
  // next pass of the message queue end it (the step in progress is rolled
  // back, then the window closes), No carries on; either way false now.
  bool CloseQuery();

 private:
  class RunView;
  void Reveal(int chord_key);
  void Leave();

  UpLibMainView& view_;
  std::unique_ptr<RunView> run_view_;
  std::unique_ptr<steps::Upgrader> upgrader_;
  bool running_ = false;
  // Closing during a run.
  bool asking_ = false;   // the question is up
  bool abandon_ = false;  // confirmed: the run is to stop at its next pump
  bool leaving_ = false;  // the window closes for good
  // The key chord.
  bool chord_held_ = false;      // Ctrl+Alt held since the last other key
  bool chord_key_down_[2] = {};  // F1, F2 seen going down
};

}  // namespace app
