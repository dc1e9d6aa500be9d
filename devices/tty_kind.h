#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// What a terminal device is, as the kernel tells it without its being
// opened: one classifier for the six rows, the devices chosen for them and
// every other port of the machine. What each use does with each kind is a
// table in HACKING.md.
enum class TtyKind {
  kSerialPort,      // a serial driver's port: a UART, a USB adapter, a CDC ACM board
  kNoUart,          // a serial port node with no UART behind it (a ttyS placeholder)
  kPseudoTerminal,  // a pseudo-terminal's slave, which stands in for a port
  kAlias,           // /dev/tty, /dev/console, /dev/ptmx, a virtual console, a pty master
  kNotATerminal,    // a device of another kind: /dev/null, a watchdog
  kUnknown,         // nothing tells: the driver list cannot be read, and sysfs has no entry
};

// What the classifier reads.
struct TtySources {
  std::string proc_root = "/proc";  // its tty/drivers, the kernel's list of tty drivers
  std::string sysfs_char_root = "/sys/dev/char";
  std::string console_active = "/sys/class/tty/console/active";
  std::string dev_root = "/dev";  // where the consoles' nodes are
};

// A terminal device as the classifier tells it.
struct TtyFacts {
  TtyKind kind = TtyKind::kUnknown;
  bool console = false;     // a kernel console, as sysfs or the console list tells
  bool sysfs_knew = false;  // sysfs has it as a terminal, with a UART where it has a type
};

// Whether a device chosen for a row may be looked at further, and opened:
// a serial port (a placeholder is then told absent) or a pseudo-terminal.
bool MayStandForAPort(TtyKind kind);
// Whether --all tells it: a serial port of the machine's own.
bool IsListedPort(TtyKind kind);

// The kernel's consoles, read once from its list (console/active in sysfs).
class ConsoleList {
 public:
  ConsoleList(const std::string& console_active, std::string dev_root);
  // Whether the list names the terminal: by its name in sysfs where known,
  // else by a node of a listed name under dev_root with the device's number.
  bool Has(dev_t device, std::string_view name = {}) const;
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::vector<std::string> names_;
  std::string dev_root_;
};

// The kernel's list of tty drivers (/proc/tty/drivers), read once.
class TtyDriverList {
 public:
  // Nothing where the list cannot be read.
  static std::optional<TtyDriverList> Read(const std::string& proc_root);
  // The list as the kernel writes it: name, node, major, minor or
  // first-last, type; a line of any other shape is passed over.
  static TtyDriverList Parse(std::string_view text);
  // The type of the device's driver: "serial", "pty:slave", "system:/dev/tty",
  // "console"...; empty where the list does not have the device.
  std::string TypeOf(dev_t device) const;

 private:
  struct Driver {
    unsigned int major = 0, first = 0, last = 0;
    std::string type;
  };
  std::vector<Driver> drivers_;
};

// Reads the driver list and the console list once, and tells each device.
class TtyClassifier {
 public:
  explicit TtyClassifier(const TtySources& sources);
  // A node, through sysfs's entry for its number (/sys/dev/char/MAJOR:MINOR).
  TtyFacts OfNode(const struct stat& node) const;
  // A terminal of sysfs's class (/sys/class/tty/NAME), which is one.
  TtyFacts OfTty(dev_t device, const std::string& tty_dir, const std::string& name) const;

 private:
  TtyFacts Classify(dev_t device, const std::string& sysfs_dir, bool known_tty,
                    std::string_view name) const;

  std::optional<TtyDriverList> drivers_;
  ConsoleList consoles_;
  std::string sysfs_char_root_;
};

// The type the kernel's list of tty drivers gives the device's driver, as
// TtyDriverList::TypeOf; nothing where the list cannot be read.
std::optional<std::string> TtyDriverType(dev_t device, const std::string& proc_root = "/proc");

// /dev/tty, /dev/console, /dev/ptmx and the virtual consoles: terminals
// that stand for another, and no serial port of their own.
bool IsTerminalAlias(dev_t device);

}  // namespace velkaro
