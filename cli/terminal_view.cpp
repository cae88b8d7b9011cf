#include "cli/terminal_view.h"

#include <algorithm>

#include "text/gbk.h"

namespace cli {

namespace {
// A live line is redrawn at most this often, a plain progress line printed at
// most this often: a step ticks once per row, and a terminal or a log file
// must not become the slowest part of the upgrade.
constexpr auto kLiveInterval = std::chrono::milliseconds(100);
constexpr auto kPlainInterval = std::chrono::seconds(2);
constexpr int kBarWidth = 30;
}  // namespace

TerminalView::TerminalView(std::FILE* out, bool live, bool before_checked)
    : out_(out), live_(live), before_(before_checked) {}

// A cleared label shows nothing, so it prints nothing either.
void TerminalView::SetProcessText(std::string_view gbk) {
  if (!gbk.empty()) PrintLine(text::Utf8(gbk));
}

void TerminalView::SetProcessVisible(bool visible) {
  process_visible_ = visible;
}

void TerminalView::SetBarVisible(bool visible) {
  bar_visible_ = visible;
  if (!visible && !num_visible_) ClearLive();
  DrawProgress(true);
}

void TerminalView::SetBarPosition(int position) {
  bar_ = position;
  DrawProgress(false);
}

void TerminalView::SetNumText(std::string_view gbk) {
  num_ = text::Utf8(gbk);
  DrawProgress(false);
}

void TerminalView::SetNumVisible(bool visible) {
  num_visible_ = visible;
  if (!visible && !bar_visible_) ClearLive();
  DrawProgress(true);
}

// The message box ends the run's output: no progress line is drawn after it.
void TerminalView::ShowInformation(std::string_view gbk) {
  completed_ = true;
  ClearLive();
  last_drawn_.clear();
  if (preview_) return;
  std::fprintf(out_, "%s\n", text::Utf8(gbk).c_str());
  std::fflush(out_);
}

void TerminalView::Finish() {
  if (live_ && live_shown_) {
    std::fputc('\n', out_);
    live_shown_ = false;
  }
  std::fflush(out_);
}

void TerminalView::PrintLine(const std::string& utf8) {
  ClearLive();
  std::fprintf(out_, "%s\n", utf8.c_str());
  std::fflush(out_);
  if (live_) {
    last_drawn_.clear();
    DrawProgress(true);
  }
}

void TerminalView::ClearLive() {
  if (live_ && live_shown_) {
    std::fputs("\r\033[K", out_);
    live_shown_ = false;
  }
}

std::string TerminalView::ProgressText() const {
  std::string s;
  if (bar_visible_) {
    const int filled = std::clamp(bar_, 0, 100) * kBarWidth / 100;
    s += '[';
    s.append(filled, '#');
    s.append(kBarWidth - filled, '-');
    s += "] ";
    const std::string pct = std::to_string(bar_);
    s.append(pct.size() < 3 ? 3 - pct.size() : 0, ' ');
    s += pct + "%";
  }
  if (num_visible_) {
    if (!s.empty()) s += "  ";
    s += num_;
  }
  return s;
}

// force: redraw the live line now (after a line was printed above it, or on
// a repaint). Plain output ignores it and only keeps to its interval.
void TerminalView::DrawProgress(bool force) {
  if (!bar_visible_ && !num_visible_) return;
  const std::string text = ProgressText();
  if (text == last_drawn_) return;
  const auto now = std::chrono::steady_clock::now();
  const bool due = now - last_draw_ >= (live_ ? kLiveInterval : kPlainInterval);
  if (!due && !(live_ && force)) return;
  last_draw_ = now;
  last_drawn_ = text;
  if (live_) {
    std::fprintf(out_, "\r\033[K%s", text.c_str());
    live_shown_ = true;
  } else {
    std::fprintf(out_, "%s\n", text.c_str());
  }
  std::fflush(out_);
}

}  // namespace cli
