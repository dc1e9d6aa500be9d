// Checks a screenshot of the window's client area.
//   shot_check SHOT.png [--labels] [--lamps PATTERN] [--dpi N]
// --labels: every label's text lies whole inside its box.
// --lamps:  each port shows the lamp PATTERN gives it, one letter a port:
//           g green, r red, y yellow, . unlit.
// --dpi:    the lamps are where a window at N DPI has them (96 unless told).
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "label_ink.h"
#include "lamp_pixels.h"

namespace {

velkaro::pictures::Rgb Rgb(QRgb p) {
  return {static_cast<std::uint8_t>(qRed(p)), static_cast<std::uint8_t>(qGreen(p)),
          static_cast<std::uint8_t>(qBlue(p))};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velkaro;
  bool labels = false;
  std::string lamps;
  int dpi = 96;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--labels") == 0) {
      labels = true;
    } else if (std::strcmp(argv[i], "--lamps") == 0 && i + 1 < argc &&
               std::strlen(argv[i + 1]) == kPortCount) {
      lamps = argv[++i];
    } else if (std::strcmp(argv[i], "--dpi") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      dpi = std::atoi(argv[++i]);
    } else {
      argc = 0;
    }
  }
  if (argc < 2 || (!labels && lamps.empty())) {
    std::fprintf(stderr, "usage: shot_check SHOT.png [--labels] [--lamps PATTERN] [--dpi N]\n");
    return 2;
  }
  QImage shot(QString::fromLocal8Bit(argv[1]));
  if (shot.isNull()) {
    std::fprintf(stderr, "shot_check: cannot read %s as a picture\n", argv[1]);
    return 2;
  }
  shot = shot.convertToFormat(QImage::Format_RGB32);
  const QRgb background = shot.pixel(255, 2);  // a corner with nothing on it
  int problems = 0;
  if (labels) {
    for (const std::string& problem : testing_support::LabelInkProblems(shot, background)) {
      std::fprintf(stderr, "shot_check: %s\n", problem.c_str());
      ++problems;
    }
  }
  for (int port = 1; port <= static_cast<int>(lamps.size()); ++port) {
    const char c = lamps[static_cast<std::size_t>(port - 1)];
    const int wrong =
        testing_support::WrongLampPixels([&shot](int x, int y) { return Rgb(shot.pixel(x, y)); },
                                         port, testing_support::LampOf(c), Rgb(background), dpi);
    if (wrong != 0) {
      std::fprintf(stderr, "shot_check: COM%d does not show lamp '%c': %d pixels differ\n", port, c,
                   wrong);
      ++problems;
    }
  }
  return problems == 0 ? 0 : 1;
}
