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

}  // namespace velkaro
