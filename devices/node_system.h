#pragma once

#include <sys/stat.h>

namespace velkaro {

// The calls that look at a device's node without opening the device, so
// tests can make any of them fail, or lie, the way a system would.
class NodeSystem {
 public:
  virtual ~NodeSystem() = default;

  // The calls as the C library makes them.
  static NodeSystem& Real();

  // A descriptor of the node itself (O_PATH): it reaches no driver, and
  // holds exactly the node that was looked up, however its path moves.
  virtual int OpenPath(const char* path);
  virtual int Fstat(int fd, struct stat* st);
  virtual int Stat(const char* path, struct stat* st);
};

}  // namespace velkaro
