#include "console_list.h"

#include <atomic>
#include <cstdio>

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
  watch->window = window;
  ::SetEvent(watch->made);
  if (window == nullptr) return 1;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}

}  // namespace

HWND WatchSessionEnd(HANDLE stop) {
  session_stop = stop;
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
