#pragma once

#include <cstdio>

#include "serial_port.h"

namespace velkaro {

// The scan the window runs, without the window or the timer's waits, each
// probe on the worker while the main thread waits for it or for one of the
// signals that end the program (see end_signals.h). Prints one line for
// every port to `out`, and returns the exit status: 1 if a port could not
// be judged or the list could not be written, else 0. At such a signal it
// starts no further probe, lets a probe that holds its port put it back
// (one still opening holds nothing and is left behind), and ends as the
// signal would have.
// With `json`, the list is one JSON document of the findings as data
// (port_json.h) in place of the lines. With `all`, every other serial port
// of the machine follows, told without being opened (SerialPort::OtherPorts).
int ListPorts(SerialPort& comm, std::FILE* out, bool json = false, bool all = false);

}  // namespace velkaro
