#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "list_ports.h"
#include "serial_port.h"
#include "win32_devices.h"

namespace velkaro::win32 {

// What ListPorts returns, where the program's end is left to its caller,
// once Ctrl+C, Ctrl+Break or the session's end came in mid-scan and a probe
// that held its port has put it back.
inline constexpr int kListStopped = -1;

// Whether the scan of `velkaro --list` is over, so that no port is held:
// from then on Ctrl+C and Ctrl+Break end the program at once, as they end
// other console programs.
bool ScanIsOver();

// Watches for the end of the Windows session, which Windows tells a console
// program only through a top-level window once user32 is loaded (SetupAPI
// loads it): a hidden one, on a thread of its own. At the session's end
// `stop` is set and, while the scan holds a port, the window's thread waits
// for the program to end itself. The window, or null where none could be made.
// With `changed`, it is set as well whenever a COM port comes or goes.
HWND WatchSessionEnd(HANDLE stop, HANDLE changed = nullptr);

// `velkaro --watch` on Windows: every COM port the device registry lists,
// then, each time `changed` is set, each that came or went, as lines (or
// with `json` JSON objects) given to `out` one at a time. Never opens a
// port. At `stop` it ends the program as Ctrl+C does, between lines, or with
// `end_process` false returns kListStopped; 1 where a line could not be
// written.
int WatchPorts(bool json, HANDLE stop, HANDLE changed,
               const std::function<std::vector<PortDevice>()>& devices,
               const std::function<bool(const std::string&)>& out,
               const std::function<std::chrono::system_clock::time_point()>& now,
               bool end_process = false);

// The console's control handler: Ctrl+C, Ctrl+Break, the console's close,
// a logoff or a shutdown set the stop event WatchSessionEnd was given, and
// a probe that holds its port puts it back before the program ends.
// Windows ends the program once this returns from the last three, so for
// them it waits for the program to end itself. Once the scan is over, each
// ends the program at once, as Windows would.
BOOL WINAPI OnConsoleEnd(DWORD event);

// `velkaro --list` on Windows: ListPorts waiting for the worker's event or
// `stop` (set by the console's control handler, or the session's end).
// `out` takes the list. At a stop the program ends as Ctrl+C ends it
// (STATUS_CONTROL_C_EXIT), or with `end_process` false, ListPorts returns
// kListStopped.
int ListPorts(SerialPort& comm, bool json, HANDLE stop,
              const std::function<bool(const std::string&)>& out, const OtherPortsOf& others = {},
              bool end_process = false);

}  // namespace velkaro::win32
