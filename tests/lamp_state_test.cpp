#include "lamp_state.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velkaro {
namespace {

TEST(LampStateTest, ResetShowsOnlyTheUnlitLampOfEveryPort) {
  LampState lamps;  // every lamp visible, as laid out
  lamps.SetVisible(2, LampKind::kOff, false);
  lamps.ResetLamps();
  for (int port = 1; port <= kPortCount; ++port) {
    EXPECT_EQ(lamps.SeenLamp(port), LampKind::kOff) << "port " << port;
    EXPECT_TRUE(lamps.IsVisible(port, LampKind::kOff));
    EXPECT_FALSE(lamps.IsVisible(port, LampKind::kOk));
    EXPECT_FALSE(lamps.IsVisible(port, LampKind::kBad));
    EXPECT_FALSE(lamps.IsVisible(port, LampKind::kTest));
  }
}

TEST(LampStateTest, SeenLampIsTheTopmostVisibleOne) {
  LampState lamps;
  lamps.ResetLamps();
  lamps.SetVisible(1, LampKind::kOk, true);  // off stays visible underneath
  lamps.SetVisible(2, LampKind::kBad, true);
  lamps.SetVisible(3, LampKind::kTest, true);
  lamps.SetVisible(3, LampKind::kBad, true);
  lamps.SetVisible(4, LampKind::kBad, true);
  lamps.SetVisible(4, LampKind::kOk, true);
  lamps.SetVisible(5, LampKind::kOff, false);
  EXPECT_EQ(lamps.SeenLamp(1), LampKind::kOk);
  EXPECT_EQ(lamps.SeenLamp(2), LampKind::kBad);
  EXPECT_EQ(lamps.SeenLamp(3), LampKind::kTest);
  EXPECT_EQ(lamps.SeenLamp(4), LampKind::kBad);
  EXPECT_EQ(lamps.SeenLamp(5), std::nullopt);  // the bare background
  EXPECT_EQ(lamps.SeenLamp(6), LampKind::kOff);
}

TEST(LampStateTest, PortsOutsideOneToSixAreRejected) {
  LampState lamps;
  EXPECT_THROW(lamps.SetVisible(0, LampKind::kOk, true), std::out_of_range);
  EXPECT_THROW(lamps.SetVisible(7, LampKind::kOff, true), std::out_of_range);
  EXPECT_THROW((void)lamps.SeenLamp(-1), std::out_of_range);
}

}  // namespace
}  // namespace velkaro
