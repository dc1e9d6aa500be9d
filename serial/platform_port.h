#pragma once

#include <memory>

#include "serial_port.h"

namespace velkaro {

// The serial ports of the platform the program was built for, COM1 to COM6
// under the platform's own names.
std::unique_ptr<SerialPort> MakePlatformSerialPort();

}  // namespace velkaro
