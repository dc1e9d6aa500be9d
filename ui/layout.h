#pragma once

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "lamp_state.h"
#include "pictures.h"

namespace velkaro::layout {

// The window is laid out in twips; 15 twips make one pixel at 96 dpi.
inline constexpr int kTwipsPerPixel = 15;

struct TwipRect {
  int left, top, width, height;
};

struct PixelRect {
  int left, top, width, height;
};

constexpr PixelRect ToPixels(const TwipRect& r) {
  return {r.left / kTwipsPerPixel, r.top / kTwipsPerPixel, r.width / kTwipsPerPixel,
          r.height / kTwipsPerPixel};
}

// Twips at any DPI, rounded to the nearest pixel as Windows's MulDiv does.
constexpr int TwipsToPixels(int twips, int dpi) { return (twips * dpi + 720) / 1440; }
constexpr PixelRect ToPixels(const TwipRect& r, int dpi) {
  return {TwipsToPixels(r.left, dpi), TwipsToPixels(r.top, dpi), TwipsToPixels(r.width, dpi),
          TwipsToPixels(r.height, dpi)};
}

enum class Font { kPlatformDefault, kPortLabel, kDescription };
inline constexpr std::string_view kFontFamily = "Arial";
inline constexpr double kFontPointSize = 9.75;

struct Control {
  std::string_view name;
  std::string_view text;
  TwipRect rect;
  Font font;
  std::optional<pictures::Rgb> text_colour;  // none: the platform's default
  int tab_index;
};

inline constexpr std::string_view kTitle = "Velkaro";
inline constexpr int kClientWidth = 3885;
inline constexpr int kClientHeight = 2535;

inline constexpr pictures::Rgb kPortLabelColour{64, 0, 64};

// The rows go by position, not by name: Label4 is the third row, Label3 the fourth.
inline constexpr std::array<Control, 8> kControls = {{
    {"Command1", "TEST PORTS", {315, 270, 1320, 510}, Font::kPlatformDefault, std::nullopt, 0},
    {"Label1", "COM: 1", {2385, 315, 735, 285}, Font::kPortLabel, kPortLabelColour, 1},
    {"Label2", "COM: 2", {2385, 675, 735, 285}, Font::kPortLabel, kPortLabelColour, 2},
    {"Label4", "COM: 3", {2385, 1035, 735, 285}, Font::kPortLabel, kPortLabelColour, 4},
    {"Label3", "COM: 4", {2385, 1395, 735, 285}, Font::kPortLabel, kPortLabelColour, 3},
    {"Label5", "COM: 5", {2385, 1755, 735, 285}, Font::kPortLabel, kPortLabelColour, 5},
    {"Label6", "COM: 6", {2385, 2115, 735, 285}, Font::kPortLabel, kPortLabelColour, 6},
    {"Label7",
     "This utility ascertains which serial ports exist on the computer.",
     {135, 1665, 2040, 690},
     Font::kDescription,
     std::nullopt,
     7},
}};

// The label of port n's row.
inline const Control& PortLabel(int port) { return kControls.at(static_cast<std::size_t>(port)); }

// Each port's four lamps lie on one spot. Port 5's sits 45 twips higher than
// the spacing of the others would put it.
inline constexpr int kLampLeft = 3285;
inline constexpr int kLampSize = 240;
inline constexpr std::array<int, kPortCount> kLampTops = {360, 720, 1080, 1440, 1755, 2160};

inline TwipRect LampRect(int port) {
  return {kLampLeft, kLampTops.at(static_cast<std::size_t>(port - 1)), kLampSize, kLampSize};
}

// Where a lamp's 16 by 16 picture goes in its spot of `spot_pixels` square
// on the screen: each picture pixel drawn as scale by scale screen pixels,
// the largest whole scale that fits, centred. A smoothly stretched lamp looks
// blurred, so it is never scaled by a fraction.
struct LampPlacement {
  int scale;
  int offset;  // from the spot's left and top edges
};
constexpr LampPlacement PlaceLamp(int spot_pixels) {
  const int scale = std::max(1, spot_pixels / pictures::kLampSize);
  return {scale, std::max(0, (spot_pixels - scale * pictures::kLampSize) / 2)};
}

// The port labels keep their colour where it can be read on the window's
// background: a contrast of at least 4.5:1, the usual minimum for text.
// Otherwise (a dark theme), and whenever the system asks for high contrast,
// they take the theme's own text colour.
inline constexpr double kMinimumTextContrast = 4.5;
double ContrastRatio(pictures::Rgb a, pictures::Rgb b);
pictures::Rgb PortLabelColour(pictures::Rgb background, pictures::Rgb theme_text,
                              bool high_contrast);

// The largest font size from `preferred` down to `smallest` at which
// `fits(size)` holds, or `smallest` if it never does. The button's caption
// keeps the desktop's font size unless that runs into the button's frame.
int LargestFittingSize(int preferred, int smallest, const std::function<bool(int size)>& fits);

// Off1, off2 ... off6, ok1 ... ok6, bad1 ..., test1 ...
std::string LampName(int port, LampKind kind);

// What a lamp tells assistive technology it shows.
std::string_view LampDescription(LampKind kind);

}  // namespace velkaro::layout
