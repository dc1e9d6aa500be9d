#include "scan_sequencer.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <stdexcept>

#include "fake_port.h"

namespace velkaro {
namespace {

struct FakeTimer : TimerSwitch {
  void SetEnabled(bool on) override { enabled = on; }
  bool enabled = false;
};

class ScanSequencerTest : public testing::Test {
 protected:
  ScanSequencerTest() {
    // COM1, COM3 and COM4 exist (COM3 held by another program), the rest not.
    comm.SetOpenOutcome(1, kNoError);
    comm.SetOpenOutcome(3, kPortUnavailable);
    comm.SetOpenOutcome(4, kLineSettingsFailed);
    scan.Form_Load();
  }

  // What the user sees, one letter per port: . unlit, y yellow, g green,
  // r red, blank for the bare background.
  std::string Seen() const {
    std::string seen;
    for (int port = 1; port <= kPortCount; ++port) {
      const std::optional<LampKind> lamp = lamps.SeenLamp(port);
      if (!lamp) {
        seen += ' ';
        continue;
      }
      switch (*lamp) {
        case LampKind::kOff:
          seen += '.';
          break;
        case LampKind::kTest:
          seen += 'y';
          break;
        case LampKind::kOk:
          seen += 'g';
          break;
        case LampKind::kBad:
          seen += 'r';
          break;
      }
    }
    return seen;
  }

  LampState lamps;
  FakeSerialPort comm;
  FakeTimer timer;
  ScanSequencer scan{lamps, comm, timer};
};

TEST_F(ScanSequencerTest, NothingHappensBeforeThePress) {
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 0);
  EXPECT_EQ(Seen(), "......");
  EXPECT_TRUE(comm.calls().empty());
}

TEST_F(ScanSequencerTest, AScanProbesOnePortPerTickAndStopsOnTheSeventh) {
  scan.Command1_Click();
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(Seen(), "......");
  const char* const after_tick[] = {"gy....", "gry...", "grgy..", "grggy.", "grggry", "grggrr"};
  for (int tick = 1; tick <= 6; ++tick) {
    scan.Timer1_Timer();
    EXPECT_EQ(Seen(), after_tick[tick - 1]) << "after tick " << tick;
    EXPECT_EQ(scan.ScanStep, tick);
    EXPECT_TRUE(timer.enabled);
  }
  scan.Timer1_Timer();
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 0);
  EXPECT_EQ(Seen(), "grggrr");
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(scan.err().number(), kNoError);
  // Port 1 never shows yellow: its unlit lamp stays beneath the result.
  EXPECT_TRUE(lamps.IsVisible(1, LampKind::kOff));
}

TEST_F(ScanSequencerTest, ASecondPressStartsAgainFromPortOne) {
  scan.Command1_Click();
  for (int tick = 0; tick < 7; ++tick) scan.Timer1_Timer();
  comm.ClearLog();
  scan.Command1_Click();
  EXPECT_EQ(Seen(), "......");
  scan.Timer1_Timer();
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1}));
}

TEST_F(ScanSequencerTest, APressMidScanResetsTheLampsAndTheScanCarriesOn) {
  scan.Command1_Click();
  for (int tick = 0; tick < 3; ++tick) scan.Timer1_Timer();
  ASSERT_EQ(Seen(), "grgy..");
  scan.Command1_Click();  // right after port 4 turned yellow
  EXPECT_EQ(Seen(), "......");
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 3);

  scan.Timer1_Timer();  // still probes port 4
  EXPECT_EQ(Seen(), "...gy.");
  EXPECT_TRUE(lamps.IsVisible(4, LampKind::kOff));  // shown again by the press
  scan.Timer1_Timer();
  scan.Timer1_Timer();
  EXPECT_EQ(Seen(), "...grr");
  scan.Timer1_Timer();  // the seventh tick since the scan began
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(ScanSequencerTest, NoPortOutsideOneToSixIsEverProbed) {
  // Presses at every point of many scans, and a step count left anywhere.
  for (int round = 0; round < 50; ++round) {
    if (round % 3 == 0) scan.Command1_Click();
    if (round == 20) scan.ScanStep = -4;
    if (round == 30) scan.ScanStep = 9;
    scan.Timer1_Timer();
  }
  for (const FakeSerialPort::Call& call : comm.calls()) {
    EXPECT_GE(call.port, 1);
    EXPECT_LE(call.port, 6);
  }
}

TEST_F(ScanSequencerTest, AStepCountThatCannotGrowRaisesOverflowInsteadOfWrapping) {
  scan.ScanStep = std::numeric_limits<std::int32_t>::max();
  EXPECT_THROW(scan.Timer1_Timer(), std::overflow_error);
  EXPECT_EQ(scan.ScanStep, std::numeric_limits<std::int32_t>::max());
  EXPECT_TRUE(comm.calls().empty());
}

TEST(ScanSequencerFailureTest, APortThatCannotBeChosenFailsTheTick) {
  RefusingSerialPort comm;
  LampState lamps;
  FakeTimer timer;
  ScanSequencer scan(lamps, comm, timer);
  scan.Form_Load();
  scan.Command1_Click();
  EXPECT_THROW(scan.Timer1_Timer(), SerialError);
}

}  // namespace
}  // namespace velkaro
