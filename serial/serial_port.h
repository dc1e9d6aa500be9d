#pragma once

#include <cstdint>

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
};

}  // namespace velkaro
