#include "node_system.h"

#include <fcntl.h>

#include <cerrno>

namespace velkaro {

NodeSystem& NodeSystem::Real() {
  static NodeSystem real;
  return real;
}

int NodeSystem::OpenPath(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_PATH | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int NodeSystem::Fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int NodeSystem::Stat(const char* path, struct stat* st) { return ::stat(path, st); }

}  // namespace velkaro
