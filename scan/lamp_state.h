#pragma once

#include <array>
#include <optional>

namespace velkaro {

inline constexpr int kPortCount = 6;

// The four lamps of a port, top of the stack first: the first visible one in
// this order is the one the user sees.
enum class LampKind { kTest, kBad, kOk, kOff };
inline constexpr std::array<LampKind, 4> kStackingOrder = {LampKind::kTest, LampKind::kBad,
                                                           LampKind::kOk, LampKind::kOff};

// The visibility flags of the 24 lamps. The scan only switches flags; the
// window draws what SeenLamp says.
class LampState {
 public:
  // As laid out, every lamp is visible.
  LampState();

  // Shows every port's unlit lamp and hides all others.
  void ResetLamps();

  // Ports are 1 to 6; anything else throws std::out_of_range.
  void SetVisible(int port, LampKind kind, bool visible);
  bool IsVisible(int port, LampKind kind) const;

  // The topmost visible lamp of the port, or none when all four are hidden.
  std::optional<LampKind> SeenLamp(int port) const;

 private:
  static std::size_t Index(int port, LampKind kind);

  std::array<bool, kPortCount * kStackingOrder.size()> visible_;
};

}  // namespace velkaro
