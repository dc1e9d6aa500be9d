#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "posix_system.h"
#include "serial_port.h"

namespace velkaro {

// COMn is /dev/ttyS(n-1).
std::string DefaultDevicePath(std::int16_t port);

struct PosixPortOptions {
  std::function<std::string(std::int16_t)> device_path = DefaultDevicePath;
  std::vector<std::string> lock_dirs = {"/run/lock", "/var/lock"};
  std::string console_active = "/sys/class/tty/console/active";
  std::string proc_root = "/proc";
};

// The error number for an errno left by open(2).
ErrorNumber OpenErrorNumber(int errnum);

// A serial port on a POSIX tty. Opening never waits, never takes the port as
// a controlling terminal, never reads or writes a byte, and closing puts the
// line settings back as they were found.
class PosixPort : public SerialPort {
 public:
  explicit PosixPort(PosixPortOptions options = {}, PosixSystem& sys = PosixSystem::Real());
  ~PosixPort() override;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  ErrorNumber SetCommPort(std::int16_t port) override;
  ErrorNumber SetPortOpen(bool open) override;

  bool is_open() const { return fd_ >= 0; }

 private:
  ErrorNumber Open();
  // Checks that need the descriptor but change nothing on the port.
  ErrorNumber CheckNotHeld();
  ErrorNumber ApplyLineSettings();
  ErrorNumber Close();

  PosixPortOptions options_;
  PosixSystem& sys_;
  std::int16_t port_ = 0;
  int fd_ = -1;
  bool exclusive_ = false;
  bool saved_valid_ = false;
  termios saved_{};
};

}  // namespace velkaro
