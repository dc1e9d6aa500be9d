#pragma once

#include <cstdint>
#include <string>

#include "error_number.h"

namespace velkaro {

// The serial operations the probe needs: choose a port, open it, close it.
// Failures come back as error numbers, never as exceptions.
class SerialPort {
 public:
  static constexpr std::int16_t kFirstPort = 1;
  static constexpr std::int16_t kLastPort = 6;

  virtual ~SerialPort() = default;

  // Chooses port COMn. Accepted for 1 to 6 while the port is closed.
  virtual ErrorNumber SetCommPort(std::int16_t port) = 0;

  // Opens (true) or closes (false) the chosen port. An open that fails with
  // kLineSettingsFailed leaves the port open, for the close step to put back
  // what it changed and close it; after any other failed open the port is
  // closed. Closing a closed port is harmless.
  virtual ErrorNumber SetPortOpen(bool open) = 0;

  // The device COMn is, as the system names it: "/dev/ttyS0", "\\.\COM1".
  virtual std::string DevicePath(std::int16_t port) const = 0;

  // What the last open of the chosen port saw, in plain words: "present,
  // free", "absent: no device node". A close that could not put the port
  // back as it was adds to it.
  virtual std::string Finding() const = 0;
};

}  // namespace velkaro
