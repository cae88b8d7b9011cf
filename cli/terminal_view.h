// The upgrade view on a terminal: each progress-label text as a line, the bar
// and the count as one live line on a terminal, or as occasional plain lines
// when the output is a file or a pipe. Output is UTF-8.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "db/view.h"

namespace cli {

class TerminalView : public db::UpgradeView {
 public:
  // out must outlive the view. live: draw the bar in place (a terminal).
  TerminalView(std::FILE* out, bool live, bool before_checked);

  void SetProcessText(std::string_view gbk) override;
  void SetProcessVisible(bool visible) override;
  void SetBarVisible(bool visible) override;
  void SetBarPosition(int position) override;
  int BarPosition() const override { return bar_; }
  void SetNumText(std::string_view gbk) override;
  void SetNumVisible(bool visible) override;
  bool BeforeChecked() const override { return before_; }
  void SetBeforeChecked(bool checked) override { before_ = checked; }
  bool DeleteOldChecked() const override { return del_; }
  void SetDeleteOldChecked(bool checked) override { del_ = checked; }
  bool BackUpChecked() const override { return true; }
  void SetDoWorkEnabled(bool) override {}
  void SetExitEnabled(bool) override {}
  void SetBackUpEnabled(bool) override {}
  void Repaint() override { DrawProgress(true); }
  void ProcessMessages() override { DrawProgress(false); }
  void ShowInformation(std::string_view gbk) override;

  // Ends the live line so that what follows (an error) starts on its own line.
  void Finish();

  // A preview's run ends in a roll-back: its completion message would claim
  // a done upgrade, so it is not printed; the program says what happened
  // once the roll-back is over.
  void SetPreview(bool preview) { preview_ = preview; }
  // The run reached its completion message.
  bool Completed() const { return completed_; }

 private:
  void PrintLine(const std::string& utf8);
  void DrawProgress(bool force);
  void ClearLive();
  std::string ProgressText() const;

  std::FILE* out_;
  bool live_;
  bool before_;
  bool del_ = false;
  bool preview_ = false;
  bool completed_ = false;
  bool process_visible_ = true;
  bool bar_visible_ = false;
  bool num_visible_ = false;
  int bar_ = 0;
  std::string num_;  // UTF-8
  bool live_shown_ = false;
  std::string last_drawn_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace cli
