// velkaro.com: Velkaro in a console. cmd and PowerShell try .COM before .EXE,
// so `velkaro --list` typed there runs this, which prints to the console
// that ran it and sets the status; `velkaro` alone starts the window,
// velkaro.exe beside it, and returns at once.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "console_list.h"
#include "platform_port.h"
#include "velkaro_version.h"
#include "win32_devices.h"

namespace {

constexpr char kUsage[] =
    "Usage: velkaro [--list [--json] [--all] | --watch [--json] | --help | --version]\n"
    "Tells which of the serial ports COM1 to COM6 exist: with no option, it opens its window.\n"
    "  --list         try the ports once, with no window, and print one line for each:\n"
    "                 COM1 (\\\\.\\COM1): present, free; Communications Port\n"
    "  --json         with --list: print what was found as one JSON document\n"
    "  --all          with --list: also tell every other COM port Windows lists,\n"
    "                 with its name, hardware id and location, without opening it\n"
    "  --watch        tell every COM port Windows lists, then each one that comes or\n"
    "                 goes, as it happens, until Ctrl+C; with --json, one JSON object\n"
    "                 a line. Opens no port\n"
    "  -h, --help     show this and exit\n"
    "  --version      show the version and exit\n";

// Writes UTF-8 to standard output: to a console as its own characters, to
// a file or a pipe as its bytes, each line ended as Windows ends lines.
bool Out(const std::string& text) {
  const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, crlf.data(), static_cast<int>(crlf.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, crlf.data(), static_cast<int>(crlf.size()), wide.data(),
                          size);
    DWORD written = 0;
    return ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                           nullptr) != FALSE;
  }
  return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
}

// Writes what an option says; a write that fails is told.
int Say(const std::string& text, const char* what) {
  if (Out(text)) return 0;
  std::fprintf(stderr, "velkaro: cannot write the %s: %s\n", what, std::strerror(errno));
  return 1;
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "velkaro: %s\n%s", what.c_str(), kUsage);
  return 2;
}

// Starts the window, velkaro.exe in this program's own folder, and leaves
// it to run.
int StartWindow() {
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) {
    std::fprintf(stderr, "velkaro: cannot find its own folder\n");
    return 1;
  }
  std::wstring window(self, length);
  window = window.substr(0, window.find_last_of(L"\\/") + 1) + L"velkaro.exe";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(window.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
    std::fprintf(stderr, "velkaro: cannot start velkaro.exe: Windows error %lu\n",
                 ::GetLastError());
    return 1;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Velkaro's own options, as on Linux; the window takes none of Qt's.
  const velkaro::Arguments asked = velkaro::JudgeArguments(argc, argv, false);
  switch (asked.mode) {
    case velkaro::Arguments::Mode::kRefused:
      return UsageError(asked.refusal);
    case velkaro::Arguments::Mode::kHelp:
      return Say(kUsage, "help");
    case velkaro::Arguments::Mode::kVersion:
      return Say(std::string("velkaro ") + VELKARO_VERSION_STRING + "\n", "version");
    case velkaro::Arguments::Mode::kWindow:
      return StartWindow();
    case velkaro::Arguments::Mode::kList:
    case velkaro::Arguments::Mode::kWatch:
      break;
  }

  // The session's end and the console's control events (win32::OnConsoleEnd)
  // both set the stop event.
  const HANDLE stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE changed = asked.mode == velkaro::Arguments::Mode::kWatch
                             ? ::CreateEventW(nullptr, FALSE, FALSE, nullptr)
                             : nullptr;
  const HWND window =
      stop_event != nullptr ? velkaro::win32::WatchSessionEnd(stop_event, changed) : nullptr;
  if (stop_event == nullptr || !::SetConsoleCtrlHandler(velkaro::win32::OnConsoleEnd, TRUE)) {
    std::fprintf(stderr, "velkaro: cannot take Ctrl+C: Windows error %lu\n", ::GetLastError());
    return 1;
  }
  if (asked.mode == velkaro::Arguments::Mode::kWatch) {
    if (changed == nullptr || window == nullptr) {
      std::fprintf(stderr, "velkaro: cannot watch the ports: Windows error %lu\n",
                   ::GetLastError());
      return 1;
    }
    return velkaro::win32::WatchPorts(asked.json, stop_event, changed, velkaro::ListPortDevices,
                                      Out, std::chrono::system_clock::now, true);
  }
  velkaro::OtherPortsOf others;
  if (asked.all) {
    others = [](const std::vector<std::string>& rows) {
      return velkaro::Inventory().OtherPorts(rows);
    };
  }
  return velkaro::win32::ListPorts(velkaro::LastingPlatformSerialPort(), asked.json, stop_event,
                                   Out, others, true);
}
