#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <memory>
#include <string>

namespace velkaro {

// A descriptor of the look's own, closed on every way out.
class OwnedFd {
 public:
  explicit OwnedFd(int fd = -1) : fd_(fd) {}
  ~OwnedFd() { reset(); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A directory stream of the look's own, closed on every way out.
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using OwnedDir = std::unique_ptr<DIR, DirCloser>;

// Reads at most `limit` bytes of an open file.
std::string ReadAtMost(const OwnedFd& fd, std::size_t limit);

// Reads at most `limit` bytes of a small file; empty if it cannot be read.
std::string ReadSmallFile(int dir_fd, const char* path, std::size_t limit);

}  // namespace velkaro
