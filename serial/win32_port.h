#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial_port.h"
#include "win32_devices.h"
#include "win32_system.h"

namespace velkaro {

// COMn is \\.\COMn, which also reaches COM10 and up and names no file.
std::wstring DefaultDeviceName(std::int16_t port);

struct Win32PortOptions {
  std::function<std::wstring(std::int16_t)> device_name = DefaultDeviceName;
  std::function<std::vector<PortDevice>()> devices = ListPortDevices;
};

// The name Windows's headers give an error an open may leave, or empty.
std::string ErrorName(DWORD error);

// The error number for a code left by CreateFileW.
ErrorNumber OpenErrorNumber(DWORD error);

// What a code left by CreateFileW tells of the port, in plain words.
std::string OpenFinding(DWORD error);

// The line settings the port is opened with, starting from what the device
// had: 9600 baud, 8 data bits, no parity, 1 stop bit, "?" for a byte with a
// parity error, and no flow control. The modem lines stay as they were.
DCB WantedLineSettings(const DCB& found);

// Makes the state a driver reported safe to hand back to it: a parity out of
// range, or not named at all, becomes none where no parity is checked. False if the state has a
// field out of range that cannot be mended, so that the port must not be
// changed, since it could not be put back.
bool MendFoundState(DCB& found);

// The fields of two states that a driver keeps for the line.
bool SameLineState(const DCB& a, const DCB& b);

// Timeouts under which no read or write waits for the line.
COMMTIMEOUTS NoWaitTimeouts();

// A serial port through the Win32 communications API. The port is taken for
// this program alone while open, never read or written, and closing puts its
// line settings and timeouts back as they were found.
class Win32Port : public SerialPort {
 public:
  static constexpr DWORD kInQueueBytes = 1024;
  static constexpr DWORD kOutQueueBytes = 512;

  explicit Win32Port(Win32PortOptions options = {}, Win32System& sys = Win32System::Real());
  ~Win32Port() override;
  Win32Port(const Win32Port&) = delete;
  Win32Port& operator=(const Win32Port&) = delete;

  ErrorNumber SetCommPort(std::int16_t port) override;
  ErrorNumber SetPortOpen(bool open) override;
  std::string DevicePath(std::int16_t port) const override;
  PortFinding Found() const override { return found_; }
  // Cuts short a CreateFileW still waiting on its device, as a Bluetooth
  // port out of range makes it wait, and refuses every later open. The
  // settings steps that follow an open are never cut short.
  void CancelOpen() override;

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  ErrorNumber Open();
  // Keeps what was found, with the device's own name, and passes the number on.
  ErrorNumber Judged(ErrorNumber number, std::string words,
                     std::optional<PortHolder> holder = std::nullopt);
  ErrorNumber ApplyLineSettings();
  ErrorNumber Close();

  Win32PortOptions options_;
  Win32System& sys_;
  std::int16_t port_ = 0;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  // Set once a change was attempted, so that close undoes exactly that.
  bool restore_state_ = false;
  bool restore_timeouts_ = false;
  PortFinding found_;
  std::string device_;  // the port's friendly name, told with every finding
  DCB saved_state_{};
  COMMTIMEOUTS saved_timeouts_{};
  // Shared with CancelOpen's thread.
  std::mutex opening_mutex_;
  DWORD opening_thread_ = 0;  // the thread waiting in CreateFileW, or none
  bool cancelled_ = false;
};

}  // namespace velkaro
