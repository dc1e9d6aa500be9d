#include "read_file.h"

#include <fcntl.h>

#include <cerrno>

namespace velkaro {

std::string ReadAtMost(const OwnedFd& fd, std::size_t limit) {
  std::string text(limit, '\0');
  std::size_t used = 0;
  while (used < limit) {
    const ssize_t got = ::read(fd.get(), text.data() + used, limit - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return text;
}

std::string ReadSmallFile(int dir_fd, const char* path, std::size_t limit) {
  const OwnedFd fd(::openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return {};
  return ReadAtMost(fd, limit);
}

}  // namespace velkaro
