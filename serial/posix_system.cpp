#include "posix_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

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

int PosixSystem::TcGetAttr(int fd, termios* settings) { return ::tcgetattr(fd, settings); }

int PosixSystem::TcSetAttr(int fd, int when, const termios* settings) {
  return ::tcsetattr(fd, when, settings);
}

}  // namespace velkaro
