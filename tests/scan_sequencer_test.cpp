#include "scan_sequencer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <thread>

#include "fake_port.h"

namespace velkaro {
namespace {

struct FakeTimer : TimerSwitch {
  void SetEnabled(bool on) override { enabled = on; }
  bool enabled = false;
};

// The window's thread as a test sees it: what a worker posts waits here
// until the test takes it.
struct Mailbox {
  void Post() { posted.release(); }
  bool Take() { return posted.try_acquire_for(std::chrono::seconds(10)); }
  std::counting_semaphore<> posted{0};
};

// Every case runs with each probe inside its tick, and again with each on
// the worker thread, brought back as a window would.
class ScanSequencerTest : public testing::TestWithParam<bool> {
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

  // A tick, and the probe it started brought back.
  void Tick() {
    scan.Timer1_Timer();
    if (!scan.probe_out()) return;
    ASSERT_TRUE(posts.Take()) << "the probe never came back";
    scan.ProbeDone();
  }

  LampState lamps;
  FakeSerialPort comm;
  FakeTimer timer;
  Mailbox posts;
  std::unique_ptr<ScanSequencer> made =
      GetParam() ? std::make_unique<ScanSequencer>(lamps, comm, timer, [this] { posts.Post(); })
                 : std::make_unique<ScanSequencer>(lamps, comm, timer);
  ScanSequencer& scan = *made;
};

TEST_P(ScanSequencerTest, NothingHappensBeforeThePress) {
  scan.ProbeDone();  // a stray return
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 0);
  EXPECT_EQ(Seen(), "......");
  EXPECT_TRUE(comm.calls().empty());
}

TEST_P(ScanSequencerTest, AScanProbesOnePortPerTickAndStopsOnTheSeventh) {
  scan.Command1_Click();
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(Seen(), "......");
  const char* const after_tick[] = {"gy....", "gry...", "grgy..", "grggy.", "grggry", "grggrr"};
  for (int tick = 1; tick <= 6; ++tick) {
    Tick();
    EXPECT_EQ(Seen(), after_tick[tick - 1]) << "after tick " << tick;
    EXPECT_EQ(scan.ScanStep, tick);
    EXPECT_TRUE(timer.enabled);
  }
  Tick();
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 0);
  EXPECT_EQ(Seen(), "grggrr");
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(scan.err().number(), kNoError);
  // Port 1 never shows yellow: its unlit lamp stays beneath the result.
  EXPECT_TRUE(lamps.IsVisible(1, LampKind::kOff));
}

TEST_P(ScanSequencerTest, ASecondPressStartsAgainFromPortOne) {
  scan.Command1_Click();
  for (int tick = 0; tick < 7; ++tick) Tick();
  comm.ClearLog();
  scan.Command1_Click();
  EXPECT_EQ(Seen(), "......");
  Tick();
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1}));
}

TEST_P(ScanSequencerTest, APressMidScanResetsTheLampsAndTheScanCarriesOn) {
  scan.Command1_Click();
  for (int tick = 0; tick < 3; ++tick) Tick();
  ASSERT_EQ(Seen(), "grgy..");
  scan.Command1_Click();  // right after port 4 turned yellow
  EXPECT_EQ(Seen(), "......");
  EXPECT_TRUE(timer.enabled);
  EXPECT_EQ(scan.ScanStep, 3);

  Tick();  // still probes port 4
  EXPECT_EQ(Seen(), "...gy.");
  EXPECT_TRUE(lamps.IsVisible(4, LampKind::kOff));  // shown again by the press
  Tick();
  Tick();
  EXPECT_EQ(Seen(), "...grr");
  Tick();  // the seventh tick since the scan began
  EXPECT_FALSE(timer.enabled);
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6}));
}

TEST_P(ScanSequencerTest, NoPortOutsideOneToSixIsEverProbed) {
  // Presses at every point of many scans, and a step count left anywhere.
  for (int round = 0; round < 50; ++round) {
    if (round % 3 == 0) scan.Command1_Click();
    if (round == 20) scan.ScanStep = -4;
    if (round == 30) scan.ScanStep = 9;
    Tick();
  }
  for (const FakeSerialPort::Call& call : comm.calls()) {
    EXPECT_GE(call.port, 1);
    EXPECT_LE(call.port, 6);
  }
}

TEST_P(ScanSequencerTest, AStepCountThatCannotGrowRaisesOverflowInsteadOfWrapping) {
  scan.ScanStep = std::numeric_limits<std::int32_t>::max();
  EXPECT_THROW(scan.Timer1_Timer(), std::overflow_error);
  EXPECT_EQ(scan.ScanStep, std::numeric_limits<std::int32_t>::max());
  EXPECT_TRUE(comm.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Probes, ScanSequencerTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "OnTheWorker" : "InsideTheTick";
                         });

// A probe that fails on the worker fails when it comes back, as inside a tick.
TEST(ScanSequencerFailureTest, APortThatCannotBeChosenFailsTheTickOrItsReturn) {
  RefusingSerialPort comm;
  LampState lamps;
  FakeTimer timer;
  ScanSequencer inside(lamps, comm, timer);
  inside.Form_Load();
  inside.Command1_Click();
  EXPECT_THROW(inside.Timer1_Timer(), SerialError);

  Mailbox posts;
  ScanSequencer threaded(lamps, comm, timer, [&posts] { posts.Post(); });
  threaded.Command1_Click();
  threaded.Timer1_Timer();
  ASSERT_TRUE(posts.Take());
  EXPECT_THROW(threaded.ProbeDone(), SerialError);
  EXPECT_FALSE(threaded.probe_out());
}

class ProbeOutTest : public ScanSequencerTest {};
INSTANTIATE_TEST_SUITE_P(OnTheWorker, ProbeOutTest, testing::Values(true));

TEST_P(ProbeOutTest, TicksWaitForItAndAPressDropsItsResult) {
  comm.HoldOpen(2);
  scan.Command1_Click();
  Tick();
  scan.Timer1_Timer();
  ASSERT_TRUE(comm.WaitUntilOpenHeld());
  for (int tick = 0; tick < 3; ++tick) scan.Timer1_Timer();
  EXPECT_EQ(scan.ScanStep, 2) << "a tick went on while port 2 was out";
  EXPECT_EQ(Seen(), "gy....");

  scan.Command1_Click();
  EXPECT_EQ(Seen(), "......");
  EXPECT_TRUE(timer.enabled);
  comm.ReleaseOpen();
  ASSERT_TRUE(posts.Take());
  scan.ProbeDone();
  EXPECT_EQ(Seen(), "......") << "the result from before the press was shown";
  EXPECT_EQ(scan.Summary(2), "COM2 (fake/COM2): not probed yet");
  EXPECT_FALSE(comm.is_open());

  Tick();  // the scan carries on from the next port
  EXPECT_EQ(Seen(), "..gy..");
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3}));
}

// The scan's end waits for a probe under way to close its port, but gives up
// an open that is still waiting and could be given up.
TEST(ProbeWorkerEndTest, WaitsForTheProbeUnlessItsOpenCanBeGivenUp) {
  using std::chrono_literals::operator""ms;
  // A late open starts to wait only after the first cancel has missed it.
  for (const auto& [cancellable, late] : {std::pair{false, false}, {true, false}, {true, true}}) {
    SCOPED_TRACE(cancellable ? (late ? "cancellable, late" : "cancellable") : "not cancellable");
    FakeSerialPort comm;
    comm.SetOpenOutcome(1, kNoError);
    comm.HoldOpen(1, cancellable, late);
    LampState lamps;
    FakeTimer timer;
    auto scan = std::make_unique<ScanSequencer>(lamps, comm, timer, [] {});
    scan->Command1_Click();
    scan->Timer1_Timer();
    ASSERT_TRUE(comm.WaitUntilOpenHeld());
    std::atomic<bool> released = false;
    std::thread release;
    if (!cancellable) {
      release = std::thread([&] {
        std::this_thread::sleep_for(100ms);
        released = true;
        comm.ReleaseOpen();
      });
    }
    scan.reset();  // a held open that is never given up lets go after 30 s
    if (release.joinable()) release.join();
    EXPECT_EQ(released, !cancellable);
    EXPECT_EQ(comm.open_given_up(), cancellable);
    EXPECT_FALSE(comm.is_open());
    EXPECT_EQ(comm.calls().back().op, FakeSerialPort::Op::kClose);
  }
}

}  // namespace
}  // namespace velkaro
