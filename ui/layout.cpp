#include "layout.h"

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

}  // namespace velkaro::layout
