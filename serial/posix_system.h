#pragma once

#include <sys/stat.h>
#include <termios.h>

#include <cstdint>

#include "node_system.h"

namespace velkaro {

// A tty's line settings as the kernel keeps them (its struct termios2). Unlike
// the C library's termios, it carries any speed, such as 250000 or 31250 baud
// set through BOTHER, so settings saved this way come back exactly.
struct LineSettings {
  tcflag_t c_iflag = 0;
  tcflag_t c_oflag = 0;
  tcflag_t c_cflag = 0;
  tcflag_t c_lflag = 0;
  cc_t c_line = 0;
  cc_t c_cc[19] = {};  // the kernel's NCCS
  speed_t c_ispeed = 0;
  speed_t c_ospeed = 0;

  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// The speed field value that says "the speed is in c_ispeed and c_ospeed".
inline constexpr tcflag_t kBother = 0x1000;

// Every system call the POSIX port makes on a device goes through here, so
// tests can make any of them fail the way a real device would; the looks
// at its node before it is opened among them.
class PosixSystem : public NodeSystem {
 public:
  // The calls as the C library makes them.
  static PosixSystem& Real();

  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  virtual int Flock(int fd, int operation);
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  // TCGETS2 and TCSETS2: read the line settings, and apply them at once.
  virtual int GetLineSettings(int fd, LineSettings* settings);
  virtual int SetLineSettings(int fd, const LineSettings* settings);
};

}  // namespace velkaro
