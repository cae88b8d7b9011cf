// The stored layouts of the program's three windows: the splash window, the
// connection-parameter dialog and the upgrade window. Each control's kind,
// place, size, caption, colour, font and initial state is written once here;
// the Qt widgets and the native Windows controls are both built from these
// tables, so the two windows cannot drift apart.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace app::layout {

enum class Kind { kLabel, kButton, kCheckBox, kEdit, kProgressBar, kBevel, kGroup, kPicture };

// Text colours as 0xRRGGBB; kWindowText is the system's own.
inline constexpr std::uint32_t kWindowText = 0xFFFFFFFFu;
inline constexpr std::uint32_t kRed = 0xFF0000;
inline constexpr std::uint32_t kBlue = 0x0000FF;
inline constexpr std::uint32_t kNavy = 0x000080;
inline constexpr std::uint32_t kWhite = 0xFFFFFF;
inline constexpr std::uint32_t kFuchsia = 0xFF00FF;

struct Control {
  const char* name;
  Kind kind;
  int left, top;
  // A label with width 0 is as wide and as high as its caption.
  int width = 0, height = 0;
  const char* caption = "";  // UTF-8
  std::uint32_t colour = kWindowText;
  int font_px = 12;  // "宋体" at this many pixels
  bool bold = false;
  bool underline = false;
  bool visible = true;
  bool enabled = true;
  // A right-aligned label keeps the right edge its caption has in SimSun and
  // grows to the left in a wider font (SongTiWidth).
  bool right_aligned = false;
  bool masked = false;  // an edit box that shows each character as "*"
  // The group the control sits in (its position is relative to the group),
  // or nullptr for the window itself.
  const char* parent = nullptr;
};

struct Form {
  const char* name;
  const char* caption;  // UTF-8
  int client_width, client_height;
  std::span<const Control> controls;  // in creation order
  std::span<const char* const> tab_order;
};

// The splash window: borderless, centred.
extern const Form kFlash;
// The connection-parameter dialog: fixed dialog frame, centred.
extern const Form kDbPara;
// The upgrade window: fixed dialog frame, centred.
extern const Form kUpLibMain;

// The control of form named name; throws std::out_of_range for a name the
// form does not have.
const Control& Find(const Form& form, std::string_view name);

// The width of a caption in "宋体" at px pixels: half of px for each GBK byte
// (SimSun draws every character on that grid).
int SongTiWidth(const char* utf8, int px);

// The dialog's outer height (frame included) once its parameter group shows.
inline constexpr int kDbParaOuterHeightWithGroup = 261;
// Height of the title bar and frame of the system the layouts were drawn on,
// for a window system that reports no frame.
inline constexpr int kClassicFrameHeight = 27;
// The right edge of the upgrade window's count label, which is right-aligned
// and grows to the left.
inline constexpr int kNumRight = 324 + 18;

}  // namespace app::layout
