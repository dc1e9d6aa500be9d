#include "posix_list.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "end_signals.h"

namespace velkaro {
namespace {

// A pipe the worker writes a byte to when a probe has ended, polled beside
// the signals' own.
class SignalEnds : public ListEnds {
 public:
  SignalEnds() {
    if (::pipe2(ends_, O_CLOEXEC | O_NONBLOCK) != 0) ends_[0] = ends_[1] = -1;
  }
  ~SignalEnds() override {
    for (const int end : ends_) {
      if (end >= 0) ::close(end);
    }
  }
  SignalEnds(const SignalEnds&) = delete;
  SignalEnds& operator=(const SignalEnds&) = delete;

  bool made() const { return ends_[0] >= 0; }
  void ProbeEnded() override { [[maybe_unused]] const ssize_t written = ::write(ends_[1], "", 1); }
  // Waits until the worker or a signal has written; drains the worker's.
  void Wait() override {
    pollfd fds[] = {{end_signals::ReadEnd(), POLLIN, 0}, {ends_[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    char drained[16];
    while (::read(ends_[0], drained, sizeof drained) > 0) {
    }
  }
  int Stopped() override { return end_signals::Caught(); }
  void ScanOver() override { end_signals::Done(); }
  int EndAs(int signal) override { end_signals::EndAsSignalled(signal); }

 private:
  int ends_[2];
};

}  // namespace

int ListPorts(SerialPort& comm, std::FILE* out, bool json, const OtherPortsOf& others) {
  SignalEnds ends;
  if (!ends.made()) {
    std::fprintf(stderr, "velkaro: cannot list the ports: %s\n", std::strerror(errno));
    return 1;
  }
  const auto write = [out](const std::string& text) {
    // Every byte, a zero among them, and on a terminal each line as it goes.
    int write_error = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) write_error = errno;
    if (std::fflush(out) != 0 && write_error == 0) write_error = errno;
    if (!std::ferror(out)) return true;
    errno = write_error != 0 ? write_error : EIO;
    return false;
  };
  return ListPorts(comm, ends, write, json, others);
}

}  // namespace velkaro
