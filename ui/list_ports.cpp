#include "list_ports.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "end_signals.h"
#include "port_json.h"
#include "scan_sequencer.h"

namespace velkaro {
namespace {

// A pipe the worker writes a byte to when a probe has ended.
class Wakeup {
 public:
  Wakeup() {
    if (::pipe2(ends_, O_CLOEXEC | O_NONBLOCK) != 0) ends_[0] = ends_[1] = -1;
  }
  ~Wakeup() {
    for (const int end : ends_) {
      if (end >= 0) ::close(end);
    }
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool made() const { return ends_[0] >= 0; }
  void Post() const { [[maybe_unused]] const ssize_t written = ::write(ends_[1], "", 1); }
  // Waits until the worker or a signal has written; drains the worker's.
  void Wait() const {
    pollfd fds[] = {{end_signals::ReadEnd(), POLLIN, 0}, {ends_[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    char drained[16];
    while (::read(ends_[0], drained, sizeof drained) > 0) {
    }
  }

 private:
  int ends_[2];
};

}  // namespace

int ListPorts(SerialPort& comm, std::FILE* out, bool json, bool all) {
  struct Ticks : TimerSwitch {
    void SetEnabled(bool on) override { running = on; }
    bool running = false;
  } timer;
  const Wakeup wakeup;
  if (!wakeup.made()) {
    std::fprintf(stderr, "velkaro: cannot list the ports: %s\n", std::strerror(errno));
    return 1;
  }
  LampState lamps;
  auto scan = std::make_unique<ScanSequencer>(lamps, comm, timer, [&wakeup] { wakeup.Post(); });
  bool all_judged = true;
  const auto step = [&](void (ScanSequencer::*what)()) {
    all_judged = StepOrTell(*scan, what) && all_judged;
  };
  const auto end_if_signalled = [&scan] {
    if (const int signal = end_signals::Caught()) {
      scan.reset();  // a probe that holds its port puts it back first
      end_signals::EndAsSignalled(signal);
    }
  };
  scan->Form_Load();
  scan->Command1_Click();
  while (timer.running) {
    end_if_signalled();
    step(&ScanSequencer::Timer1_Timer);
    while (scan->probe_out()) {
      wakeup.Wait();
      end_if_signalled();
      step(&ScanSequencer::ProbeDone);
    }
  }
  // No port is held from here: a signal while the list is written (to a
  // pipe nobody reads, say) ends the program at once, as it ends others.
  end_signals::Done();
  // The other ports are only looked at, never opened: nothing to put back.
  const std::vector<OtherPort> others = all ? comm.OtherPorts() : std::vector<OtherPort>();
  int write_error = 0;
  if (std::fputs(ListText(*scan, json, others).c_str(), out) < 0) write_error = errno;
  // On a terminal each line went out as it was printed, so a failed write
  // shows in the stream's error flag, not in the last flush.
  if (std::fflush(out) != 0 && write_error == 0) write_error = errno;
  if (std::ferror(out)) {
    std::fprintf(stderr, "velkaro: cannot write the list: %s\n",
                 std::strerror(write_error != 0 ? write_error : EIO));
    return 1;
  }
  return all_judged ? 0 : 1;
}

}  // namespace velkaro
