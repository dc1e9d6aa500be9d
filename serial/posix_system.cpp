#include "posix_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace velkaro {

PosixSystem& PosixSystem::Real() {
  static PosixSystem real;
  return real;
}

int PosixSystem::Open(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Don't retry close on EINTR: the descriptor is gone either way on Linux.
int PosixSystem::Close(int fd) { return ::close(fd); }

int PosixSystem::Flock(int fd, int operation) { return ::flock(fd, operation); }

int PosixSystem::Stat(const char* path, struct stat* st) { return ::stat(path, st); }

int PosixSystem::Ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}

// The kernel's numbers for TCGETS2 and TCSETS2; its own header cannot be
// included beside <termios.h>.
static_assert(sizeof(LineSettings) == 44, "LineSettings must match the kernel's termios2");
constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, LineSettings);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, LineSettings);

int PosixSystem::GetLineSettings(int fd, LineSettings* settings) {
  return ::ioctl(fd, kTcGets2, settings);
}

int PosixSystem::SetLineSettings(int fd, const LineSettings* settings) {
  int result;
  do {
    result = ::ioctl(fd, kTcSets2, settings);
  } while (result < 0 && errno == EINTR);
  return result;
}

// Two watches: the node's own, and its directory's, which names the node in
// its events. inotify merges an event into an identical one still queued,
// so two opens in a row would count as one; the node's own events between
// the directory's keep every open apart.
int PosixSystem::WatchOpens(const char* path) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0) return -1;
  const std::string_view full(path);
  const std::string dir(full.substr(0, full.rfind('/') + 1));
  if (full.find('/') == full.npos || ::inotify_add_watch(watch, path, IN_OPEN) < 0 ||
      ::inotify_add_watch(watch, dir.c_str(), IN_OPEN | IN_ONLYDIR) < 0) {
    ::close(watch);
    return -1;
  }
  return watch;
}

int PosixSystem::OpensSeen(int watch, const char* path) {
  const std::string_view full(path);
  const std::string_view name = full.substr(full.rfind('/') + 1);
  int opens = 0;
  alignas(inotify_event) char events[4096];
  for (;;) {
    const ssize_t got = ::read(watch, events, sizeof events);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return opens;
    if (got <= 0) return -1;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->mask & IN_Q_OVERFLOW) return -1;  // some went unseen
      if ((event->mask & IN_OPEN) && event->len > 0 && name == event->name) ++opens;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace velkaro
