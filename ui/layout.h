#pragma once

#include <array>
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

// Each port's four lamps lie on one spot. Port 5's sits 45 twips higher than
// the spacing of the others would put it.
inline constexpr int kLampLeft = 3285;
inline constexpr int kLampSize = 240;
inline constexpr std::array<int, kPortCount> kLampTops = {360, 720, 1080, 1440, 1755, 2160};

inline TwipRect LampRect(int port) {
  return {kLampLeft, kLampTops.at(static_cast<std::size_t>(port - 1)), kLampSize, kLampSize};
}

// Off1, off2 ... off6, ok1 ... ok6, bad1 ..., test1 ...
std::string LampName(int port, LampKind kind);

// What a lamp tells assistive technology it shows.
std::string_view LampDescription(LampKind kind);

}  // namespace velkaro::layout
