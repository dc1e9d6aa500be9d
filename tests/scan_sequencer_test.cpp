#include "scan_sequencer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <new>
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

// A probe that fails on the worker fails when it comes back, as inside a tick,
// unless a press came since it was started.
TEST(ScanSequencerFailureTest, APortThatCannotBeChosenFailsTheTickOrItsReturn) {
  RefusingSerialPort comm;
  LampState lamps;
  FakeTimer timer;
  ScanSequencer inside(lamps, comm, timer);
  inside.Form_Load();
  inside.Command1_Click();
  EXPECT_THROW(inside.Timer1_Timer(), SerialError);
  EXPECT_EQ(inside.Summary(1), "COM1 (): not judged: the serial layer refused to choose the port");

  Mailbox posts;
  ScanSequencer threaded(lamps, comm, timer, [&posts] { posts.Post(); });
  threaded.Command1_Click();
  threaded.Timer1_Timer();
  ASSERT_TRUE(posts.Take());
  EXPECT_THROW(threaded.ProbeDone(), SerialError);
  EXPECT_FALSE(threaded.probe_out());

  threaded.Timer1_Timer();
  threaded.Command1_Click();  // while port 2's probe is out
  ASSERT_TRUE(posts.Take());
  EXPECT_NO_THROW(threaded.ProbeDone()) << "a failure from before the press stopped the new scan";
  EXPECT_EQ(threaded.Summary(2), "COM2 (): not probed yet");
}

// What a probe that gave no words, or failed for want of memory, is told as.
TEST(ScanSequencerFailureTest, FindingsOfProbesThatSaidNothingOrRanOutOfMemory) {
  LampState lamps;
  FakeTimer timer;
  struct Silent : FakeSerialPort {
    PortFinding Found() const override { return {}; }
  } silent;
  ScanSequencer quiet(lamps, silent, timer);
  quiet.Form_Load();
  quiet.Command1_Click();
  quiet.Timer1_Timer();
  EXPECT_EQ(quiet.Summary(1), "COM1 (fake/COM1): not judged");
  EXPECT_EQ(FailureInWords(std::make_exception_ptr(std::bad_alloc())), "out of memory");
  EXPECT_EQ(FailureInWords(std::make_exception_ptr(42)), "an unknown error");
}

// The worker takes one probe at a time, and its result must be taken first.
TEST(ProbeWorkerTest, StartsNoProbeBeforeTheLastResultIsTaken) {
  FakeSerialPort comm;
  Mailbox posts;
  ProbeWorker worker(comm, [&posts] { posts.Post(); });
  worker.Start(1);
  ASSERT_TRUE(posts.Take());
  EXPECT_THROW(worker.Start(2), std::logic_error);
  ASSERT_TRUE(worker.Take());
  EXPECT_FALSE(worker.Take()) << "a result was taken twice";
  worker.Start(2);
  ASSERT_TRUE(posts.Take());
  EXPECT_EQ(worker.Take()->outcome.port, 2);
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

// The scan's end waits for a probe that holds its port to put it back and
// close it; a probe still opening holds nothing, and is left behind, never
// to hold the port.
TEST(ProbeWorkerEndTest, WaitsOnlyForAProbeThatHoldsItsPort) {
  using Hold = FakeSerialPort::Hold;
  using std::chrono_literals::operator""ms;
  for (const Hold where : {Hold::kInOpen, Hold::kInOpenCancellable, Hold::kHoldingPort}) {
    SCOPED_TRACE(static_cast<int>(where));
    FakeSerialPort comm;
    comm.SetOpenOutcome(1, kNoError);
    comm.HoldOpen(1, where);
    LampState lamps;
    FakeTimer timer;
    bool told = false;
    auto scan = std::make_unique<ScanSequencer>(lamps, comm, timer, [&told] { told = true; });
    scan->Command1_Click();
    scan->Timer1_Timer();
    ASSERT_TRUE(comm.WaitUntilOpenHeld());
    std::atomic<bool> released = false;
    std::thread release([&] {
      std::this_thread::sleep_for(100ms);
      released = true;
      comm.ReleaseOpen();
    });
    scan.reset();  // a held open lets go by itself after 30 s
    const bool waited = released;
    release.join();
    ProbeWorker::JoinLeftBehind();
    EXPECT_EQ(waited, where == Hold::kHoldingPort);
    EXPECT_EQ(comm.open_given_up(), where != Hold::kHoldingPort);
    EXPECT_EQ(comm.open_cancelled(), where == Hold::kInOpenCancellable);
    EXPECT_FALSE(comm.is_open());
    EXPECT_EQ(comm.calls().back().op, FakeSerialPort::Op::kClose);
    EXPECT_FALSE(told) << "a probe the end left behind told the window it ended";
  }
}

// A return whose word was lost (a full message queue) is taken by the next
// tick, and the scan goes on.
TEST_P(ProbeOutTest, ATickTakesAResultWhoseWordWasLost) {
  scan.Command1_Click();
  scan.Timer1_Timer();
  ASSERT_TRUE(posts.Take());  // and never handed to ProbeDone
  scan.Timer1_Timer();
  EXPECT_EQ(Seen(), "gy....");
  ASSERT_TRUE(posts.Take());
  scan.ProbeDone();
  EXPECT_EQ(Seen(), "gry...");
}

}  // namespace
}  // namespace velkaro
