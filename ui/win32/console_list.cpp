#include "console_list.h"

#include <dbt.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port_json.h"
#include "port_watch.h"

namespace velkaro::win32 {
namespace {

std::atomic<bool> scan_over{false};

// The worker's event beside the stop event.
class ConsoleEnds : public ListEnds {
 public:
  ConsoleEnds(HANDLE stop, bool end_process)
      : stop_(stop),
        done_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
        end_process_(end_process) {}
  ~ConsoleEnds() override {
    if (done_ != nullptr) ::CloseHandle(done_);
  }
  ConsoleEnds(const ConsoleEnds&) = delete;
  ConsoleEnds& operator=(const ConsoleEnds&) = delete;

  bool made() const { return done_ != nullptr; }
  void ProbeEnded() override { ::SetEvent(done_); }
  void Wait() override {
    const HANDLE woken[] = {stop_, done_};
    ::WaitForMultipleObjects(2, woken, FALSE, INFINITE);
  }
  int Stopped() override { return ::WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0 ? 1 : 0; }
  void ScanOver() override {
    scan_over = true;
    if (Stopped() != 0 && end_process_) EndAs(1);
  }
  int EndAs(int) override {
    // Ended as Ctrl+C ends a console program, with the status cmd shows for it.
    if (end_process_) ::ExitProcess(STATUS_CONTROL_C_EXIT);
    return kListStopped;
  }

 private:
  HANDLE stop_;
  HANDLE done_;
  bool end_process_;
};

HANDLE session_stop = nullptr;
HANDLE devices_changed = nullptr;

// GUID_DEVINTERFACE_COMPORT: the COM port interface that serial drivers,
// USB ones among them, register their ports under.
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

LRESULT CALLBACK OnSessionMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE && !scan_over) {
        ::SetEvent(session_stop);
        // Windows ends the program once this returns: it ends itself first,
        // once a probe that holds its port has put it back.
        ::Sleep(INFINITE);
      }
      return 0;
    case WM_DEVICECHANGE:
      // A port came or went (DBT_DEVTYP_PORT, or the COM port interface),
      // or devices changed at all: the watch lists the ports again.
      if ((wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE ||
           wparam == DBT_DEVNODES_CHANGED) &&
          devices_changed != nullptr) {
        ::SetEvent(devices_changed);
      }
      return TRUE;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

struct Watch {
  HANDLE made;
  HWND window = nullptr;
};

DWORD WINAPI RunSessionWindow(void* param) {
  auto* watch = static_cast<Watch*>(param);
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSW kind{};
  kind.lpfnWndProc = OnSessionMessage;
  kind.hInstance = instance;
  kind.lpszClassName = L"VelkaroSessionEnd";
  ::RegisterClassW(&kind);
  // Top-level, never shown: a message-only window hears no broadcast.
  const HWND window = ::CreateWindowExW(0, kind.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                        nullptr, nullptr, instance, nullptr);
  if (window != nullptr && devices_changed != nullptr) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kComPortInterface;
    ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }
  watch->window = window;
  ::SetEvent(watch->made);
  if (window == nullptr) return 1;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

}  // namespace

HWND WatchSessionEnd(HANDLE stop, HANDLE changed) {
  session_stop = stop;
  devices_changed = changed;
  scan_over = false;  // the scan is yet to come
  Watch watch{.made = ::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (watch.made == nullptr) return nullptr;
  const HANDLE thread = ::CreateThread(nullptr, 0, RunSessionWindow, &watch, 0, nullptr);
  if (thread != nullptr) {
    ::WaitForSingleObject(watch.made, INFINITE);
    ::CloseHandle(thread);
  }
  ::CloseHandle(watch.made);
  return watch.window;
}

bool ScanIsOver() { return scan_over; }

BOOL WINAPI OnConsoleEnd(DWORD event) {
  if (scan_over) return FALSE;
  ::SetEvent(session_stop);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  ::Sleep(INFINITE);
  return TRUE;
}

int WatchPorts(bool json, HANDLE stop, HANDLE changed,
               const std::function<std::vector<PortDevice>()>& devices,
               const std::function<bool(const std::string&)>& out,
               const std::function<std::chrono::system_clock::time_point()>& now,
               bool end_process) {
  const auto tell = [&](const std::vector<WatchEvent>& events) {
    for (const WatchEvent& event : events) {
      if (!out(WatchLine(event, json))) {
        std::fprintf(stderr, "velkaro: cannot write the watch: %s\n", std::strerror(errno));
        return false;
      }
    }
    return true;
  };
  PortWatch watch;
  if (!tell(watch.Start(EveryComPort(devices()), now()))) return 1;
  for (;;) {
    const HANDLE woken[] = {stop, changed};
    const DWORD which = ::WaitForMultipleObjects(2, woken, FALSE, INFINITE);
    if (which == WAIT_OBJECT_0) {
      // Ended between lines, as Ctrl+C ends a console program.
      if (end_process) ::ExitProcess(STATUS_CONTROL_C_EXIT);
      return kListStopped;
    }
    if (which != WAIT_OBJECT_0 + 1) {
      std::fprintf(stderr, "velkaro: cannot watch the ports: Windows error %lu\n",
                   ::GetLastError());
      return 1;
    }
    if (!tell(watch.Update(EveryComPort(devices()), now()))) return 1;
  }
}

int ListPorts(SerialPort& comm, bool json, HANDLE stop,
              const std::function<bool(const std::string&)>& out, const OtherPortsOf& others,
              bool end_process) {
  ConsoleEnds ends(stop, end_process);
  if (!ends.made()) {
    std::fprintf(stderr, "velkaro: cannot list the ports: Windows error %lu\n", ::GetLastError());
    return 1;
  }
  return velkaro::ListPorts(comm, ends, out, json, others);
}

}  // namespace velkaro::win32
