#include "console_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "port_json.h"
#include "scan_sequencer.h"

namespace velkaro::win32 {

int ListPorts(SerialPort& comm, bool json, HANDLE stop,
              const std::function<bool(const std::string&)>& out, bool all) {
  struct Ticks : TimerSwitch {
    void SetEnabled(bool on) override { running = on; }
    bool running = false;
  } timer;
  const HANDLE done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (done == nullptr) {
    std::fprintf(stderr, "velkaro: cannot list the ports: Windows error %lu\n", ::GetLastError());
    return 1;
  }
  LampState lamps;
  auto scan = std::make_unique<ScanSequencer>(lamps, comm, timer, [done] { ::SetEvent(done); });
  bool all_judged = true;
  const auto step = [&](void (ScanSequencer::*what)()) {
    all_judged = StepOrTell(*scan, what) && all_judged;
  };
  const auto stopped = [stop] { return ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; };
  scan->Form_Load();
  scan->Command1_Click();
  while (timer.running && !stopped()) {
    step(&ScanSequencer::Timer1_Timer);
    while (scan->probe_out() && !stopped()) {
      const HANDLE woken[] = {stop, done};
      ::WaitForMultipleObjects(2, woken, FALSE, INFINITE);
      if (!stopped()) step(&ScanSequencer::ProbeDone);
    }
  }
  if (stopped()) {
    scan.reset();  // a probe that holds its port puts it back first
    return kListStopped;
  }
  // The other ports are only looked at, never opened.
  const std::string text =
      ListText(*scan, json, all ? comm.OtherPorts() : std::vector<OtherPort>());
  scan.reset();
  ::CloseHandle(done);
  if (!out(text)) {
    std::fprintf(stderr, "velkaro: cannot write the list: %s\n", std::strerror(errno));
    return 1;
  }
  return all_judged ? 0 : 1;
}

}  // namespace velkaro::win32
