#pragma once

#include <cstdio>

#include "list_ports.h"
#include "serial_port.h"

namespace velkaro {

// `velkaro --list` on Linux: ListPorts waiting in poll for the worker's word
// or one of the signals that end the program (end_signals.h), and writing
// to `out`. A signal after the scan ends the program at once.
int ListPorts(SerialPort& comm, std::FILE* out, bool json = false, const OtherPortsOf& others = {});

}  // namespace velkaro
