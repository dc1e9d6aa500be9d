#pragma once

#include <sys/stat.h>
#include <termios.h>

namespace velkaro {

// Every system call the POSIX port makes on a device goes through here, so
// tests can make any of them fail the way a real device would.
class PosixSystem {
 public:
  virtual ~PosixSystem() = default;

  // The calls as the C library makes them.
  static PosixSystem& Real();

  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  virtual int Flock(int fd, int operation);
  virtual int Stat(const char* path, struct stat* st);
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  virtual int TcGetAttr(int fd, termios* settings);
  virtual int TcSetAttr(int fd, int when, const termios* settings);
};

}  // namespace velkaro
