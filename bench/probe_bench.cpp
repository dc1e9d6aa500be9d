// How long one probe takes, and one whole scan without the timer's waits.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "fake_port.h"
#include "posix_port.h"
#include "scan_sequencer.h"

namespace velkaro {
namespace {

void ProbeOnce(benchmark::State& state, const std::string& path) {
  PosixPortOptions options;
  options.device_path = [path](std::int16_t) { return path; };
  PosixPort port(options);
  LampState lamps;
  ErrorTrap err;
  for (auto _ : state) ProbePort(1, port, lamps, err);
}

void BM_ProbeMissingPort(benchmark::State& state) { ProbeOnce(state, "/nonexistent/ttyS0"); }
BENCHMARK(BM_ProbeMissingPort)->Unit(benchmark::kMicrosecond);

// Idle child processes, so the controlling-terminal check has more to read.
class IdleProcesses {
 public:
  explicit IdleProcesses(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        for (;;) ::pause();
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~IdleProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// Guards included: lock files, every process's controlling terminal, consoles.
// The argument is the number of extra processes running meanwhile.
void BM_ProbePseudoTerminal(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  int master, slave;
  char name[128];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("openpty failed");
    return;
  }
  ProbeOnce(state, name);
  ::close(slave);
  ::close(master);
}
BENCHMARK(BM_ProbePseudoTerminal)->Arg(0)->Arg(300)->Unit(benchmark::kMicrosecond);

void BM_SimulatedScan(benchmark::State& state) {
  struct NoTimer : TimerSwitch {
    void SetEnabled(bool on) override { enabled = on; }
    bool enabled = false;
  } timer;
  FakeSerialPort comm;
  comm.SetOpenOutcome(1, kNoError);
  comm.SetOpenOutcome(2, kPortUnavailable);
  LampState lamps;
  ScanSequencer scan(lamps, comm, timer);
  scan.Form_Load();
  for (auto _ : state) {
    scan.Command1_Click();
    while (timer.enabled) scan.Timer1_Timer();
    comm.ClearLog();
  }
}
BENCHMARK(BM_SimulatedScan)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkaro
