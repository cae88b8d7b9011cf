#include "app/core/up_lib_main.h"

#include <exception>

#include "app/core/error_text.h"
#include "app/core/texts.h"

namespace app {

namespace {

// Thrown by the run's pass of the message queue once a close during the run
// has been confirmed. It leaves the step like any error, so the step's unit
// of work is rolled back, and btDoWorkClick then closes the window without
// the error box. It is no std::exception and no db::Error, so that no trap a
// step keeps for its own errors takes it for one.
struct RunAbandoned {};

bool ExactlyCtrlAlt(const ChordKeyEvent& k) {
  return k.ctrl && k.alt && !k.shift && !k.meta;
}

}  // namespace

// The view the steps see: the window's own, with the end of an abandoned run
// at each pass of the message queue.
class UpLibMainCore::RunView : public db::UpgradeView {
 public:
  RunView(UpLibMainView& w, const bool& abandon) : w_(w), abandon_(abandon) {}
  void SetProcessText(std::string_view gbk) override { w_.SetProcessText(gbk); }
  void SetProcessVisible(bool visible) override { w_.SetProcessVisible(visible); }
  void SetBarVisible(bool visible) override { w_.SetBarVisible(visible); }
  void SetBarPosition(int position) override { w_.SetBarPosition(position); }
  int BarPosition() const override { return w_.BarPosition(); }
  void SetNumText(std::string_view gbk) override { w_.SetNumText(gbk); }
  void SetNumVisible(bool visible) override { w_.SetNumVisible(visible); }
  bool BeforeChecked() const override { return w_.BeforeChecked(); }
  void SetBeforeChecked(bool checked) override { w_.SetBeforeChecked(checked); }
  bool DeleteOldChecked() const override { return w_.DeleteOldChecked(); }
  void SetDeleteOldChecked(bool checked) override { w_.SetDeleteOldChecked(checked); }
  bool BackUpChecked() const override { return w_.BackUpChecked(); }
  void SetDoWorkEnabled(bool enabled) override { w_.SetDoWorkEnabled(enabled); }
  void SetExitEnabled(bool enabled) override { w_.SetExitEnabled(enabled); }
  void SetBackUpEnabled(bool enabled) override { w_.SetBackUpEnabled(enabled); }
  void Repaint() override { w_.Repaint(); }
  void ProcessMessages() override {
    w_.ProcessMessages();
    if (abandon_) throw RunAbandoned{};
  }
  void ShowInformation(std::string_view gbk) override { w_.ShowInformation(gbk); }

 private:
  UpLibMainView& w_;
  const bool& abandon_;
};

UpLibMainCore::UpLibMainCore(db::Connection& LibDB, UpLibMainView& view,
                             std::vector<std::filesystem::path> data_dirs)
    : view_(view),
      run_view_(std::make_unique<RunView>(view, abandon_)),
      upgrader_(std::make_unique<steps::Upgrader>(LibDB, *run_view_, std::move(data_dirs))) {}

UpLibMainCore::~UpLibMainCore() = default;

void UpLibMainCore::btDoWorkClick() {
  running_ = true;
  abandon_ = false;
  try {
    upgrader_->RunSequence();
  } catch (const RunAbandoned&) {
    running_ = false;
    Leave();
    return;
  } catch (const std::exception& e) {
    running_ = false;
    view_.ShowError(ErrorTextUtf8(e.what()));
    return;
  }
  running_ = false;
  if (abandon_) Leave();  // confirmed after the last pump of the run
}

void UpLibMainCore::Leave() {
  leaving_ = true;
  view_.CloseWindow();  // the main window: the program ends
}

bool UpLibMainCore::CloseQuery() {
  if (!running_ || leaving_) return true;
  if (asking_ || abandon_) return false;
  asking_ = true;
  const bool leave = view_.AskYesNo(texts::kLeaveQuestion);
  asking_ = false;
  if (leave && running_) abandon_ = true;
  return false;
}

void UpLibMainCore::cbBackUpClick() {
  view_.SetDoWorkEnabled(view_.BackUpChecked());
}

void UpLibMainCore::btExitClick() {
  view_.CloseWindow();
}

void UpLibMainCore::btCrtPrtClick() {
  if (running_) return;
  try {
    upgrader_->btCrtPrtClick();
  } catch (const std::exception& e) {
    view_.ShowError(ErrorTextUtf8(e.what()));
  }
}

void UpLibMainCore::btExpZZMClick() {
  if (running_) return;
  try {
    upgrader_->btExpZZMClick();
  } catch (const std::exception& e) {
    view_.ShowError(ErrorTextUtf8(e.what()));
  }
}

void UpLibMainCore::FormKeyDown(const ChordKeyEvent& key) {
  const bool chord = ExactlyCtrlAlt(key);
  if (key.key == ChordKeyEvent::kModifier) {
    if (chord) chord_held_ = true;
    return;
  }
  chord_held_ = false;
  if (key.key == ChordKeyEvent::kOther) return;
  const int f = key.key == ChordKeyEvent::kF1 ? 0 : 1;
  chord_key_down_[f] = true;
  if (chord) Reveal(f);
}

void UpLibMainCore::FormKeyUp(const ChordKeyEvent& key) {
  const bool chord = ExactlyCtrlAlt(key);
  if (key.key == ChordKeyEvent::kModifier) {
    if (chord) chord_held_ = true;
    return;
  }
  if (key.key == ChordKeyEvent::kOther) return;
  const int f = key.key == ChordKeyEvent::kF1 ? 0 : 1;
  if (chord || (!chord_key_down_[f] && chord_held_)) Reveal(f);
  chord_key_down_[f] = false;
  chord_held_ = false;
}

void UpLibMainCore::Reveal(int chord_key) {
  view_.Reveal(chord_key == 0 ? HiddenControl::kCkbDel : HiddenControl::kBtCrtPrt);
}

}  // namespace app
