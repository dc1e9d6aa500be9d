#include "win32_port.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <utility>

#include "platform_port.h"

namespace velkaro {

std::wstring DefaultDeviceName(std::int16_t port) { return L"\\\\.\\COM" + std::to_wstring(port); }

ErrorNumber OpenErrorNumber(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:      // another program has the port open
    case ERROR_SHARING_VIOLATION:  // the same, as some drivers say it
    case ERROR_BUSY:
    case ERROR_LOCK_VIOLATION:  // Wine, for a tty another program holds exclusively
      return kPortUnavailable;
    case ERROR_SEM_TIMEOUT:
      // A Bluetooth serial port whose device is out of reach: the stack has
      // the port configured and waited for the link, which never came. The
      // port is there, like one held by another program, only not usable now.
      // Calling it absent would tell the user to look for a port that Device
      // Manager lists, so it counts as there but unavailable.
      return kPortUnavailable;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    default:
      return kNoSuchPort;
  }
}

std::string ErrorName(DWORD error) {
  static constexpr std::pair<DWORD, const char*> kNames[] = {
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
      {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
      {ERROR_BUSY, "ERROR_BUSY"},
      {ERROR_LOCK_VIOLATION, "ERROR_LOCK_VIOLATION"},
      {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
      {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
      {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_NOT_READY, "ERROR_NOT_READY"},
      {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
      {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
      {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
  };
  for (const auto& [code, name] : kNames) {
    if (code == error) return name;
  }
  return {};
}

std::string OpenFinding(DWORD error) {
  if (error == ERROR_SEM_TIMEOUT) {
    return "present, but its device did not answer (ERROR_SEM_TIMEOUT)";
  }
  if (OpenErrorNumber(error) == kPortUnavailable) {
    return "present, in use by another program or access denied";
  }
  const std::string name = ErrorName(error);
  return "absent: " + (name.empty() ? "Windows error " + std::to_string(error) : name);
}

DCB WantedLineSettings(const DCB& found) {
  DCB want = found;
  want.DCBlength = sizeof(DCB);
  want.BaudRate = CBR_9600;
  want.ByteSize = 8;
  want.Parity = NOPARITY;
  want.StopBits = ONESTOPBIT;
  want.fBinary = TRUE;
  // The replacement applies only while parity is checked, which no parity
  // never does; it is set so that the port carries the whole configuration.
  want.fParity = FALSE;
  want.fErrorChar = TRUE;
  want.ErrorChar = '?';
  // No flow control. DTR and RTS keep the state they were found in, so the
  // device at the other end sees no change on its modem lines.
  want.fOutxCtsFlow = FALSE;
  want.fOutxDsrFlow = FALSE;
  want.fDsrSensitivity = FALSE;
  want.fOutX = FALSE;
  want.fInX = FALSE;
  return want;
}

bool MendFoundState(DCB& found) {
  // A parity the driver did not name is out of range too.
  if (found.Parity > SPACEPARITY) {
    if (found.fParity) return false;  // parity is checked, but which is unknown
    found.Parity = NOPARITY;
  }
  return found.ByteSize >= 5 && found.ByteSize <= 8 && found.StopBits <= TWOSTOPBITS;
}

bool SameLineState(const DCB& a, const DCB& b) {
  return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
         a.fOutxDsrFlow == b.fOutxDsrFlow && a.fOutX == b.fOutX && a.fInX == b.fInX &&
         a.fDtrControl == b.fDtrControl && a.fRtsControl == b.fRtsControl &&
         a.XonChar == b.XonChar && a.XoffChar == b.XoffChar && a.EofChar == b.EofChar;
}

COMMTIMEOUTS NoWaitTimeouts() {
  COMMTIMEOUTS none{};
  // A read returns at once with whatever has arrived.
  none.ReadIntervalTimeout = MAXDWORD;
  none.ReadTotalTimeoutMultiplier = 0;
  none.ReadTotalTimeoutConstant = 0;
  // Zero here would mean "no limit"; one millisecond is the shortest a write
  // can be given. The port is never written to.
  none.WriteTotalTimeoutMultiplier = 0;
  none.WriteTotalTimeoutConstant = 1;
  return none;
}

Win32Port::Win32Port(Win32PortOptions options, Win32System& sys)
    : options_(std::move(options)), sys_(sys) {}

Win32Port::~Win32Port() { Close(); }

ErrorNumber Win32Port::SetCommPort(std::int16_t port) {
  if (is_open() || port < kFirstPort || port > kLastPort) return kNoSuchPort;
  port_ = port;
  return kNoError;
}

ErrorNumber Win32Port::SetPortOpen(bool open) { return open ? Open() : Close(); }

std::string Win32Port::DevicePath(std::int16_t port) const {
  const std::wstring name = options_.device_name(port);
  std::string narrow;
  for (wchar_t c : name) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

ErrorNumber Win32Port::Judged(ErrorNumber number, std::string words,
                              std::optional<PortHolder> holder) {
  found_.words = std::move(words);
  found_.holder = std::move(holder);
  if (!device_.empty()) {
    found_.hardware = PortHardware{};
    found_.hardware->description = found_.hardware->name = device_;
  }
  found_.line = FindingLine(found_);
  return number;
}

ErrorNumber Win32Port::Open() {
  if (is_open() || port_ == 0) return kNoSuchPort;
  const std::wstring name = options_.device_name(port_);
  device_ = FriendlyName(port_, options_.devices());
  found_ = {};
  {
    const std::lock_guard lock(opening_mutex_);
    if (cancelled_) {
      return Judged(OpenErrorNumber(ERROR_OPERATION_ABORTED), OpenFinding(ERROR_OPERATION_ABORTED));
    }
    opening_thread_ = ::GetCurrentThreadId();
  }
  // Share mode 0: while we hold the port nobody else can open it, and a port
  // someone else holds refuses us.
  handle_ = sys_.CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  DWORD error = handle_ == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  {
    // A cancel from here on finds no request to cut short; one that came
    // as the open succeeded, or an end that no longer waits for this probe,
    // leaves the port unchanged and closed.
    const std::lock_guard lock(opening_mutex_);
    opening_thread_ = 0;
    if (handle_ != INVALID_HANDLE_VALUE && (cancelled_ || !MayHold())) {
      sys_.CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE));
      error = ERROR_OPERATION_ABORTED;
    }
  }
  if (handle_ == INVALID_HANDLE_VALUE) {
    found_.error = ErrorName(error).empty() ? "error " + std::to_string(error) : ErrorName(error);
    // Windows tells of another program only that it has the port, alone.
    const bool held = OpenErrorNumber(error) == kPortUnavailable && error != ERROR_SEM_TIMEOUT;
    return Judged(
        OpenErrorNumber(error), OpenFinding(error),
        held ? std::optional(PortHolder{.kind = "exclusive", .program = {}, .pid = 0, .lock = {}})
             : std::nullopt);
  }
  // On failure the handle stays open: the probe's close step releases it.
  // Whatever throws instead, the port is put back and closed first.
  ErrorNumber applied;
  try {
    applied = ApplyLineSettings();
  } catch (...) {
    Close();
    throw;
  }
  return Judged(applied,
                applied.failed() ? "present, but it refused line settings" : "present, free");
}

void Win32Port::CancelOpen() {
  const std::lock_guard lock(opening_mutex_);
  cancelled_ = true;
  if (opening_thread_ != 0) sys_.CancelSynchronousIo(opening_thread_);
}

ErrorNumber Win32Port::ApplyLineSettings() {
  DCB found{};
  found.DCBlength = sizeof(DCB);
  COMMTIMEOUTS found_timeouts{};
  if (!sys_.GetCommState(handle_, &found)) return kLineSettingsFailed;
  if (!sys_.GetLineParity(handle_, &found.Parity)) return kLineSettingsFailed;
  // Never change what could not be put back.
  if (!MendFoundState(found)) return kLineSettingsFailed;
  if (!sys_.GetCommTimeouts(handle_, &found_timeouts)) return kLineSettingsFailed;
  saved_state_ = found;
  saved_timeouts_ = found_timeouts;

  if (!sys_.SetupComm(handle_, kInQueueBytes, kOutQueueBytes)) return kLineSettingsFailed;
  DCB want = WantedLineSettings(found);
  restore_state_ = true;
  if (!sys_.SetCommState(handle_, &want)) return kLineSettingsFailed;
  COMMTIMEOUTS no_wait = NoWaitTimeouts();
  restore_timeouts_ = true;
  if (!sys_.SetCommTimeouts(handle_, &no_wait)) return kLineSettingsFailed;
  return kNoError;
}

ErrorNumber Win32Port::Close() {
  if (!is_open()) return kNoError;
  // Why the settings are not as they were found, where they are not.
  std::string not_put_back;
  const auto why = [] {
    const DWORD error = ::GetLastError();
    const std::string name = ErrorName(error);
    return name.empty() ? "error " + std::to_string(error) : name;
  };
  if (restore_timeouts_ && !sys_.SetCommTimeouts(handle_, &saved_timeouts_)) not_put_back = why();
  if (restore_state_) {
    // A restore only counts once the driver reads back what was found.
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (!sys_.SetCommState(handle_, &saved_state_) || !sys_.GetCommState(handle_, &now)) {
      if (not_put_back.empty()) not_put_back = why();
    } else if (!SameLineState(now, saved_state_) && not_put_back.empty()) {
      not_put_back = "the driver kept other settings";
    }
  }
  ErrorNumber result = not_put_back.empty() ? kNoError : kNoSuchPort;
  // The queue sizes are only a request to the driver; it keeps or drops them
  // with the handle, so there is nothing of them to put back.
  if (!sys_.CloseHandle(handle_)) result = kNoSuchPort;
  handle_ = INVALID_HANDLE_VALUE;
  restore_state_ = false;
  restore_timeouts_ = false;
  found_.restored = not_put_back.empty();
  found_.restore_error = not_put_back;
  found_.line = FindingLine(found_);
  return result;
}

// Windows names its ports itself: a path chosen for one is for POSIX.
std::unique_ptr<SerialPort> MakePlatformSerialPort(const PortPaths&) {
  return std::make_unique<Win32Port>();
}

}  // namespace velkaro
