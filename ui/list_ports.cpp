#include "list_ports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>

#include "port_json.h"

namespace velkaro {

void StepOrTell(ScanSequencer& scan, void (ScanSequencer::*step)()) {
  try {
    (scan.*step)();
  } catch (...) {
    std::fprintf(stderr, "velkaro: COM%d could not be judged: %s\n",
                 static_cast<int>(scan.ScanStep), FailureInWords(std::current_exception()).c_str());
  }
}

int ListPorts(SerialPort& comm, ListEnds& ends, const ListOutput& out, bool json,
              const OtherPortsOf& others) {
  struct Ticks : TimerSwitch {
    void SetEnabled(bool on) override { running = on; }
    bool running = false;
  } timer;
  LampState lamps;
  std::unique_ptr<ScanSequencer> scan;
  try {
    scan = std::make_unique<ScanSequencer>(lamps, comm, timer, [&ends] { ends.ProbeEnded(); });
  } catch (const std::system_error& error) {
    // Nothing has been opened: the probes' thread comes before any.
    std::fprintf(stderr, "velkaro: cannot list the ports: no thread for the probes: %s\n",
                 error.code().message().c_str());
    return 1;
  }
  const auto stop_if_asked = [&]() -> bool {
    if (ends.Stopped() == 0) return false;
    scan.reset();  // a probe that holds its port puts it back first
    return true;
  };
  scan->Form_Load();
  scan->Command1_Click();
  while (timer.running) {
    if (stop_if_asked()) return ends.EndAs(ends.Stopped());
    StepOrTell(*scan, &ScanSequencer::Timer1_Timer);
    while (scan->probe_out()) {
      ends.Wait();
      if (stop_if_asked()) return ends.EndAs(ends.Stopped());
      StepOrTell(*scan, &ScanSequencer::ProbeDone);
    }
  }
  // No port is held from here: a word to stop while the list is written
  // (to a pipe nobody reads, say) ends the program at once.
  ends.ScanOver();
  bool sound = true;
  std::vector<std::string> rows;
  for (std::int16_t port = 1; port <= kPortCount; ++port) {
    const PortFinding& found = scan->Found(port);
    // Not judged, or left changed: what an administrator must look at.
    sound = sound && found.presence != PortFinding::Presence::kNotJudged && found.restored != false;
    rows.push_back(scan->DevicePath(port));
  }
  // The other ports are only looked at, never opened: nothing to put back.
  const std::string text = ListText(*scan, json, others ? others(rows) : std::vector<OtherPort>());
  if (!out(text)) {
    std::fprintf(stderr, "velkaro: cannot write the list: %s\n",
                 std::strerror(errno != 0 ? errno : EIO));
    return 1;
  }
  return sound ? 0 : 1;
}

}  // namespace velkaro
