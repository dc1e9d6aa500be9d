#include "layout.h"

#include <cmath>

namespace velkaro::layout {

std::string LampName(int port, LampKind kind) {
  std::string stem;
  switch (kind) {
    case LampKind::kOff:
      stem = port == 1 ? "Off" : "off";
      break;
    case LampKind::kOk:
      stem = "ok";
      break;
    case LampKind::kBad:
      stem = "bad";
      break;
    case LampKind::kTest:
      stem = "test";
      break;
  }
  return stem + std::to_string(port);
}

std::string_view LampDescription(LampKind kind) {
  switch (kind) {
    case LampKind::kOff:
      return "not tested";
    case LampKind::kTest:
      return "next";
    case LampKind::kOk:
      return "present";
    case LampKind::kBad:
      return "absent";
  }
  return {};
}

namespace {

// Relative luminance of an sRGB colour, as the usual contrast guidelines
// define it.
double Luminance(pictures::Rgb c) {
  auto linear = [](std::uint8_t v) {
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
}

}  // namespace

double ContrastRatio(pictures::Rgb a, pictures::Rgb b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

pictures::Rgb PortLabelColour(pictures::Rgb background, pictures::Rgb theme_text,
                              bool high_contrast) {
  if (!high_contrast && ContrastRatio(kPortLabelColour, background) >= kMinimumTextContrast) {
    return kPortLabelColour;
  }
  return theme_text;
}

int LargestFittingSize(int preferred, int smallest, const std::function<bool(int size)>& fits) {
  for (int size = preferred; size > smallest; --size) {
    if (fits(size)) return size;
  }
  return smallest;
}

}  // namespace velkaro::layout
