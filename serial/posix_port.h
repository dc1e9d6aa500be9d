#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "port_guards.h"
#include "posix_system.h"
#include "serial_port.h"
#include "sysfs_uart.h"

namespace velkaro {

// The signals that end the program with a word from the user or the
// session: kill, Ctrl+C, a closed terminal or a logout.
inline constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP};

// COMn is /dev/ttyS(n-1).
std::string DefaultDevicePath(std::int16_t port);

// Writes one line to standard error.
void ReportToStandardError(const std::string& line);

struct PosixPortOptions {
  std::function<std::string(std::int16_t)> device_path = DefaultDevicePath;
  // The ports whose device the user chose (COM1 first). Such a device is
  // opened only where it is a serial port: a terminal, but for /dev/tty,
  // /dev/console, /dev/ptmx and the virtual consoles.
  std::array<bool, 6> chosen{};
  std::vector<std::string> lock_dirs = {"/run/lock", "/var/lock"};
  // Where Velkaros, of any user, take turns at a port (see ProbeLock);
  // empty: they do not.
  std::string probe_lock_dir = "/run/lock";
  std::string console_active = "/sys/class/tty/console/active";
  std::string sysfs_char_root = "/sys/dev/char";
  // Every terminal of the machine, for the other ports.
  std::string sysfs_class_tty = "/sys/class/tty";
  std::string dev_root = "/dev";
  // The stable names udev gives serial ports.
  std::vector<std::string> serial_link_dirs = {"/dev/serial/by-id", "/dev/serial/by-path"};
  IdFiles id_files;
  ProcessWalk processes;
  // Told, in one line, of a port that could not be left as it was found.
  std::function<void(const std::string&)> report = ReportToStandardError;
};

// The error number for an errno left by open(2).
ErrorNumber OpenErrorNumber(int errnum);

// What a probe of a POSIX port can find, each with its one text.
enum class Seen {
  kFree,               // opened, set and put back
  kInUse,              // detail: who, "minicom (pid 42)"
  kLocked,             // detail: who and where, "minicom (pid 42) in /run/lock/LCK..ttyS0"
  kFlocked,            //
  kExclusive,          //
  kLineDiscipline,     // detail: the discipline's number
  kLoginTerminal,      // detail: "login, pid 42", or "pid 42"
  kConsole,            //
  kNotYours,           // detail: the group the user is not in, or empty
  kRefusedSettings,    //
  kUseCannotBeSeen,    // /proc cannot be read
  kNotSeenInUse,       // another port, not opened, and nobody seen using it
  kNoNode,             //
  kNoUart,             //
  kNotASerialPort,     // a chosen device of another kind
  kNodeChanged,        // the path led elsewhere once opened
  kNoAnswer,           // detail: the errno's name
  kSettingsNotPutBack  // detail: why; follows another finding
};
std::string FindingText(Seen seen, std::string_view detail = {});
// A finding's whole line, as a person reads it: its words, the hardware,
// and a failed restore with its reason.
std::string FindingLine(const PortFinding& found);

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, as
// daemons do, so that no port opened later becomes one of them and takes
// what is written there; 1 and 2 for reading alone, so that writing to them
// still fails with EBADF. False if one could not be opened.
bool OpenStandardDescriptors();

// A serial port on a POSIX tty. A port another program uses is never opened
// or changed. Opening never waits, never takes the port as a controlling
// terminal, never reads or writes a byte, and closing puts the line settings
// back exactly as they were found.
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
  // From sysfs, /dev/serial, the lock files and one walk through /proc.
  std::vector<OtherPort> OtherPorts() const override;
  // Blocks kEndSignals on the probes' thread.
  void OnProbeThread() override;

  bool is_open() const { return fd_ >= 0; }

 private:
  // Judges the port from what the system tells of it, without opening it.
  // Sets terminal_ and node_.
  ErrorNumber CheckBeforeOpening(const std::string& path);
  // Keeps what was found, beside the UART's description, and passes the
  // number on.
  ErrorNumber Judged(ErrorNumber number, std::string words,
                     std::optional<PortHolder> holder = std::nullopt);
  // A holder of the kind, with the program's name where its pid is known.
  PortHolder HeldBy(std::string kind, pid_t pid = 0, std::string lock = {}) const;
  // A live process other than ours that a lock file for the device names,
  // as a finding; false where there is none.
  bool JudgedByLockFile(const std::string& path, PortFinding& found) const;
  ErrorNumber OpenRefused(int errnum);  // an errno from stat(2) or open(2)
  // The walk through every other process, for a terminal.
  ErrorNumber CheckNoOtherHolder();
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
  std::int16_t port_ = 0;
  std::string path_;
  bool terminal_ = false;            // a character device: another program's use counts
  bool sysfs_knew_ = false;          // sysfs told it is a port, with a UART if it has a type
  std::optional<struct stat> node_;  // once it was found
  PortFinding found_;  // its hardware, what sysfs tells of the UART, is told with every finding
  int fd_ = -1;
  int probe_lock_ = -1;
  bool exclusive_ = false;  // we set TIOCEXCL and must clear it again
  bool saved_valid_ = false;
  LineSettings saved_{};
};

}  // namespace velkaro
