#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "fake_port.h"
#include "layout.h"
#include "pictures.h"

namespace velkaro::testing_support {

// How many of a port's lamp pixels in a rendering of the window differ from
// the lamp's 16 by 16 picture over the given background. On a screen of
// `dpi`, the picture's every pixel must be a whole square of screen pixels,
// centred in the spot. `pixel_at(x, y)` gives the rendering's colour at a
// point of the client area, in screen pixels.
template <typename PixelAt>
int WrongLampPixels(PixelAt pixel_at, int port, std::optional<LampKind> kind,
                    pictures::Rgb background, int dpi = 96) {
  const layout::PixelRect spot = layout::ToPixels(layout::LampRect(port), dpi);
  const layout::LampPlacement place = layout::PlaceLamp(spot.width);
  int wrong = 0;
  for (int y = 0; y < spot.height; ++y) {
    for (int x = 0; x < spot.width; ++x) {
      const int px = (x - place.offset) / place.scale, py = (y - place.offset) / place.scale;
      const bool inside = x >= place.offset && y >= place.offset && px < pictures::kLampSize &&
                          py < pictures::kLampSize;
      const std::optional<pictures::Rgb> p =
          kind && inside ? pictures::LampPicture(*kind).Pixel(px, py) : std::nullopt;
      if (!(pixel_at(spot.left + x, spot.top + y) == p.value_or(background))) ++wrong;
    }
  }
  return wrong;
}

// A lamp as the tests write it: 'g' green, 'r' red, 'y' yellow, '.' unlit,
// ' ' none at all.
inline std::optional<LampKind> LampOf(char c) {
  switch (c) {
    case 'g':
      return LampKind::kOk;
    case 'r':
      return LampKind::kBad;
    case 'y':
      return LampKind::kTest;
    case '.':
      return LampKind::kOff;
    default:
      return std::nullopt;
  }
}

// The scan both windows are stepped through: port 2 opens, port 5 is there
// but refuses its settings, the others are missing.
inline void ScriptTheScan(FakeSerialPort& comm) {
  comm.SetOpenOutcome(2, kNoError);
  comm.SetOpenOutcome(5, kLineSettingsFailed);
}
// The lamps seen after each of the scan's seven ticks.
inline constexpr std::string_view kLampsAfterTick[] = {"ry....", "rgy...", "rgry..", "rgrry.",
                                                       "rgrrgy", "rgrrgr", "rgrrgr"};

}  // namespace velkaro::testing_support
