#pragma once

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "inventory.h"
#include "posix_system.h"
#include "serial_port.h"

namespace velkaro {

// The signals that end the program with a word from the user or the
// session: kill, Ctrl+C, a closed terminal or a logout.
inline constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

// COMn is /dev/ttyS(n-1).
std::string DefaultDevicePath(std::int16_t port);

// Writes one line to standard error.
void ReportToStandardError(const std::string& line);

// Where the inventory looks before each open, and the probe's own choices.
struct PosixPortOptions : InventoryOptions {
  std::function<std::string(std::int16_t)> device_path = DefaultDevicePath;
  // The ports whose device the user chose (COM1 first). Such a device is
  // opened only where it stands for a serial port (MayStandForAPort).
  std::array<bool, 6> chosen{};
  // Where Velkaros, of any user, take turns at a port (see TakeProbeLock);
  // empty: they do not.
  std::string probe_lock_dir = "/run/lock";
  // Told, in one line, of a port that could not be left as it was found.
  std::function<void(const std::string&)> report = ReportToStandardError;
  // Waits between two asks for another Velkaro's turn at a port.
  std::function<void(std::chrono::microseconds)> pause = [](std::chrono::microseconds wait) {
    std::this_thread::sleep_for(wait);
  };
};

// The error number for an errno left by open(2).
ErrorNumber OpenErrorNumber(int errnum);

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, as
// daemons do, so that no port opened later becomes one of them and takes
// what is written there; 1 and 2 for reading alone, so that writing to them
// still fails with EBADF. False if one could not be opened.
bool OpenStandardDescriptors();

// A serial port on a POSIX tty: the probe opens it, takes it, sets it, puts
// it back and closes it, once the inventory has looked at it and seen no
// reason not to. A port another program uses is never opened or changed.
// Opening never waits, never takes the port as a controlling terminal,
// never reads or writes a byte, opens exactly the node that was looked at,
// and closing puts the line settings back exactly as they were found.
class PosixPort : public SerialPort {
 public:
  explicit PosixPort(PosixPortOptions options = {}, PosixSystem& sys = PosixSystem::Real());
  ~PosixPort() override;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  ErrorNumber SetCommPort(std::int16_t port) override;
  ErrorNumber SetPortOpen(bool open) override;
  std::string DevicePath(std::int16_t port) const override;
  PortFinding Found() const override { return found_; }
  // Blocks kEndSignals on the probes' thread.
  void OnProbeThread() override;

  bool is_open() const { return fd_ >= 0; }

 private:
  // Keeps what was found, beside the UART's description, and passes the
  // number on.
  ErrorNumber Judged(ErrorNumber number, std::string words,
                     std::optional<PortHolder> holder = std::nullopt);
  // The inventory's verdict on the port, where it speaks against an open.
  ErrorNumber JudgedByLook();
  ErrorNumber OpenRefused(int errnum);  // an errno from open(2)
  ErrorNumber Open();
  // The looks and the open; Open puts everything back if it throws.
  ErrorNumber LookAndOpen();
  // What follows the open; the port is closed again if it throws.
  ErrorNumber TakeAndSet();
  // Checks that need the descriptor but change nothing on the port.
  ErrorNumber CheckNotHeld();
  ErrorNumber TakeExclusive();
  ErrorNumber ApplyLineSettings();
  ErrorNumber Close();
  // 0 if the saved settings are back in place, else the errno that stopped
  // them, or -1 where the driver kept other settings.
  int RestoreLineSettings();
  // Waits for another Velkaro's probe of the same device to end, and keeps
  // it from starting until ours has: an flock on a file of Velkaro's own
  // named after the device's number, which any user may open to read.
  // Without the file, or after a second, the probe goes on without it.
  void TakeProbeLock(dev_t device);
  void ReleaseProbeLock();

  PosixPortOptions options_;
  PosixSystem& sys_;
  Inventory inventory_;
  std::int16_t port_ = 0;
  std::string path_;
  NodeLook look_;      // what the inventory saw of the port before the open
  PortFinding found_;  // its hardware, what sysfs tells of the UART, is told with every finding
  int fd_ = -1;
  int probe_lock_ = -1;
  bool exclusive_ = false;  // we set TIOCEXCL and must clear it again
  bool saved_valid_ = false;
  LineSettings saved_{};
};

}  // namespace velkaro
