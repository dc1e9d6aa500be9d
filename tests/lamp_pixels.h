#pragma once

#include <QImage>

#include "layout.h"
#include "pictures.h"

namespace velkaro::testing_support {

// How many of a port's 16 by 16 lamp pixels in a rendering of the window
// differ from the lamp's picture over the given background.
inline int WrongLampPixels(const QImage& shot, int port, LampKind kind, QRgb background) {
  const layout::PixelRect spot = layout::ToPixels(layout::LampRect(port));
  int wrong = 0;
  for (int y = 0; y < spot.height; ++y) {
    for (int x = 0; x < spot.width; ++x) {
      const std::optional<pictures::Rgb> p = pictures::LampPicture(kind).Pixel(x, y);
      const QRgb want = p ? qRgb(p->r, p->g, p->b) : background;
      if (shot.pixel(spot.left + x, spot.top + y) != want) ++wrong;
    }
  }
  return wrong;
}

}  // namespace velkaro::testing_support
