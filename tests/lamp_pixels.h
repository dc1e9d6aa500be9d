#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "fake_port.h"
#include "layout.h"
#include "pictures.h"

namespace velkaro::testing_support {

// How many of a port's 16 by 16 lamp pixels in a rendering of the window
// differ from the lamp's picture over the given background. `pixel_at(x, y)`
// gives the rendering's colour at a point of the client area.
template <typename PixelAt>
int WrongLampPixels(PixelAt pixel_at, int port, std::optional<LampKind> kind,
                    pictures::Rgb background) {
  const layout::PixelRect spot = layout::ToPixels(layout::LampRect(port));
  int wrong = 0;
  for (int y = 0; y < spot.height; ++y) {
    for (int x = 0; x < spot.width; ++x) {
      const std::optional<pictures::Rgb> p =
          kind ? pictures::LampPicture(*kind).Pixel(x, y) : std::nullopt;
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
