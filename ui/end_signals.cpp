#include "end_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "posix_port.h"

namespace velkaro::end_signals {
namespace {

int pipe_ends[2] = {-1, -1};
volatile std::sig_atomic_t caught = 0;

extern "C" void Take(int signal) {
  const int saved = errno;
  if (caught == 0) caught = signal;
  // Full only if the main thread has not read it yet, which it will.
  [[maybe_unused]] const ssize_t written = ::write(pipe_ends[1], "", 1);
  errno = saved;
}

}  // namespace

bool Install() {
  if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = Take;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : kEndSignals) {
    // A signal someone chose to ignore (nohup's SIGHUP) stays ignored.
    struct sigaction before = {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
  return true;
}

int ReadEnd() { return pipe_ends[0]; }

int Caught() { return caught; }

void Done() {
  for (const int signal : kEndSignals) {
    struct sigaction now = {};
    if (::sigaction(signal, nullptr, &now) == 0 && now.sa_handler == Take)
      std::signal(signal, SIG_DFL);
  }
  if (caught != 0) EndAsSignalled(caught);
}

void EndAsSignalled(int signal) {
  std::fflush(nullptr);
  std::signal(signal, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
  std::raise(signal);
  std::_Exit(128 + signal);  // only if the default action did not end it
}

}  // namespace velkaro::end_signals
