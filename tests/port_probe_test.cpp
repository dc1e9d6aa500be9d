#include "port_probe.h"

#include <gtest/gtest.h>

#include "fake_port.h"

namespace velkaro {
namespace {

using Op = FakeSerialPort::Op;

// All 24 flags, to see exactly which ones a probe changed.
std::vector<bool> Flags(const LampState& lamps) {
  std::vector<bool> flags;
  for (int port = 1; port <= kPortCount; ++port) {
    for (LampKind kind : kStackingOrder) flags.push_back(lamps.IsVisible(port, kind));
  }
  return flags;
}

struct Verdict {
  std::int32_t open_outcome;
  LampKind lamp;
};

class ProbeVerdictTest : public testing::TestWithParam<Verdict> {};

TEST_P(ProbeVerdictTest, JudgesByTheOpenAndAlwaysClosesAndClears) {
  FakeSerialPort comm;
  comm.SetOpenOutcome(3, ErrorNumber(GetParam().open_outcome));
  LampState lamps;
  lamps.ResetLamps();
  lamps.SetVisible(3, LampKind::kTest, true);
  lamps.SetVisible(3, LampKind::kOff, false);
  ErrorTrap err;

  ProbePort(3, comm, lamps, err);

  EXPECT_EQ(lamps.SeenLamp(3), GetParam().lamp);
  EXPECT_FALSE(lamps.IsVisible(3, LampKind::kTest));
  EXPECT_EQ(lamps.SeenLamp(4), LampKind::kTest);
  EXPECT_FALSE(lamps.IsVisible(4, LampKind::kOff));
  EXPECT_EQ(comm.calls(), (std::vector<FakeSerialPort::Call>{
                              {Op::kSetCommPort, 3}, {Op::kOpen, 3}, {Op::kClose, 3}}));
  EXPECT_FALSE(comm.is_open());
  EXPECT_EQ(err.number(), kNoError);
}

INSTANTIATE_TEST_SUITE_P(ErrorNumbers, ProbeVerdictTest,
                         testing::Values(Verdict{0, LampKind::kOk}, Verdict{68, LampKind::kOk},
                                         Verdict{8015, LampKind::kOk},
                                         Verdict{8002, LampKind::kBad},
                                         Verdict{8005, LampKind::kBad}, Verdict{67, LampKind::kBad},
                                         Verdict{-1, LampKind::kBad}),
                         [](const testing::TestParamInfo<Verdict>& info) {
                           const std::int32_t n = info.param.open_outcome;
                           return n < 0 ? "minus" + std::to_string(-n) : std::to_string(n);
                         });

TEST(ProbePortTest, AFailedCloseNeitherChangesTheVerdictNorOutlivesTheProbe) {
  FakeSerialPort comm;
  comm.SetOpenOutcome(2, kNoError);
  comm.SetCloseOutcome(2, kNoSuchPort);
  LampState lamps;
  lamps.ResetLamps();
  ErrorTrap err;
  ProbePort(2, comm, lamps, err);
  EXPECT_EQ(lamps.SeenLamp(2), LampKind::kOk);
  EXPECT_EQ(err.number(), kNoError);
}

TEST(ProbePortTest, ATrappedNumberStaysUntilAnotherStepFails) {
  ErrorTrap err;
  err.Record(kPortUnavailable);
  err.Record(kNoError);
  EXPECT_EQ(err.number(), kPortUnavailable);
  err.Record(kNoSuchPort);
  EXPECT_EQ(err.number(), kNoSuchPort);
}

TEST(ProbePortTest, APresentPortIsGreenEveryTimeItIsProbed) {
  FakeSerialPort comm;
  comm.SetOpenOutcome(1, kNoError);
  LampState lamps;
  lamps.ResetLamps();
  ErrorTrap err;
  for (int round = 0; round < 2; ++round) {
    ProbePort(1, comm, lamps, err);
    EXPECT_EQ(lamps.SeenLamp(1), LampKind::kOk);
  }
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 1}));
}

TEST(ProbePortTest, TheLastPortChangesOnlyItsOwnLamps) {
  FakeSerialPort comm;
  LampState lamps;
  lamps.ResetLamps();
  lamps.SetVisible(6, LampKind::kTest, true);
  std::vector<bool> expected = Flags(lamps);
  ErrorTrap err;
  ProbePort(6, comm, lamps, err);
  const std::size_t port6 = 5 * kStackingOrder.size();
  expected[port6 + static_cast<std::size_t>(LampKind::kTest)] = false;
  expected[port6 + static_cast<std::size_t>(LampKind::kBad)] = true;
  EXPECT_EQ(Flags(lamps), expected);
}

TEST(ProbePortTest, APortThatCannotBeChosenIsNotOpenedAndFailsToTheCaller) {
  FakeSerialPort comm;
  LampState lamps;
  lamps.ResetLamps();
  const std::vector<bool> before = Flags(lamps);
  ErrorTrap err;
  for (std::int16_t port : {0, 7, -1}) {
    try {
      ProbePort(port, comm, lamps, err);
      ADD_FAILURE() << "port " << port << " was accepted";
    } catch (const SerialError& e) {
      EXPECT_EQ(e.number(), kNoSuchPort);
    }
  }
  EXPECT_TRUE(comm.OpenAttempts().empty());
  EXPECT_EQ(Flags(lamps), before);
}

}  // namespace
}  // namespace velkaro
