#include "lamp_state.h"

#include <stdexcept>

namespace velkaro {

LampState::LampState() { visible_.fill(true); }

std::size_t LampState::Index(int port, LampKind kind) {
  if (port < 1 || port > kPortCount) throw std::out_of_range("port number out of range");
  return static_cast<std::size_t>(port - 1) * kStackingOrder.size() +
         static_cast<std::size_t>(kind);
}

void LampState::ResetLamps() {
  for (int port = 1; port <= kPortCount; ++port) SetVisible(port, LampKind::kOff, true);
  for (int port = 1; port <= kPortCount; ++port) SetVisible(port, LampKind::kOk, false);
  for (int port = 1; port <= kPortCount; ++port) SetVisible(port, LampKind::kBad, false);
  for (int port = 1; port <= kPortCount; ++port) SetVisible(port, LampKind::kTest, false);
}

void LampState::SetVisible(int port, LampKind kind, bool visible) {
  visible_[Index(port, kind)] = visible;
}

bool LampState::IsVisible(int port, LampKind kind) const { return visible_[Index(port, kind)]; }

std::optional<LampKind> LampState::SeenLamp(int port) const {
  for (LampKind kind : kStackingOrder) {
    if (IsVisible(port, kind)) return kind;
  }
  return std::nullopt;
}

}  // namespace velkaro
