#pragma once

#include <array>
#include <memory>
#include <string>

#include "serial_port.h"

namespace velkaro {

// The device each of COM1 to COM6 is, where the user chose one: an absolute
// path; empty for the platform's own name.
using PortPaths = std::array<std::string, SerialPort::kLastPort>;

// The serial ports of the platform the program was built for, COM1 to COM6
// under the platform's own names, or the devices chosen (POSIX only).
std::unique_ptr<SerialPort> MakePlatformSerialPort(const PortPaths& paths = {});

// The platform's ports for the program's whole life, never deleted: a probe
// whose open the end left behind may still use them until the process has
// ended. Made at the first call, with its paths.
inline SerialPort& LastingPlatformSerialPort(const PortPaths& paths = {}) {
  static SerialPort* const port = MakePlatformSerialPort(paths).release();
  return *port;
}

}  // namespace velkaro
