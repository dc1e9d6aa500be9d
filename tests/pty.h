#pragma once

#include <termios.h>

#include <string>

namespace velkaro::testing_support {

// A pseudo-terminal: a real tty with no hardware behind it.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }

  termios Settings() const;
  // Bytes waiting on the master side, i.e. written to the port.
  int PendingOnMaster() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Line settings nobody would pick, so a change by the probe shows.
termios UnusualSettings(termios base);
bool SameSettings(const termios& a, const termios& b);

// The number of descriptors this process has open.
int OpenDescriptorCount();

}  // namespace velkaro::testing_support
