#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "serial_port.h"

namespace velkaro::win32 {

// Says, once the scan has ended, that Ctrl+C, Ctrl+Break or the console's
// end came in mid-scan.
inline constexpr int kListStopped = -1;

// `velkaro --list` on Windows: the scan without a window, each probe on the
// worker while this thread waits for it or for `stop` (set by the console's
// control handler). `out` takes the list: lines, or with `json` the JSON
// document; it returns false where it could not be written. With `all`,
// every other COM port follows, never opened. Returns the
// exit status, 1 if a port could not be judged or the list not written, or
// kListStopped once a probe that held its port has put it back (one still
// opening holds nothing, and is left behind).
int ListPorts(SerialPort& comm, bool json, HANDLE stop,
              const std::function<bool(const std::string&)>& out, bool all = false);

}  // namespace velkaro::win32
