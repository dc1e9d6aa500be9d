#pragma once

#include <memory>

#include "serial_port.h"

namespace velkaro {

// The serial ports of the platform the program was built for, COM1 to COM6
// under the platform's own names.
std::unique_ptr<SerialPort> MakePlatformSerialPort();

// The platform's ports for the program's whole life, never deleted: a probe
// whose open the end left behind may still use them until the process has
// ended.
inline SerialPort& LastingPlatformSerialPort() {
  static SerialPort* const port = MakePlatformSerialPort().release();
  return *port;
}

}  // namespace velkaro
