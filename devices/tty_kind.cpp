#include "tty_kind.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <utility>

#include "read_file.h"

namespace velkaro {
namespace {

std::string CharEntry(const std::string& sysfs_char_root, dev_t device) {
  return sysfs_char_root + "/" + std::to_string(major(device)) + ":" +
         std::to_string(minor(device));
}

// The terminal's name, as sysfs's entry for its number leads to it:
// "ttyUSB0" for /sys/dev/char/188:0 -> ../../devices/.../tty/ttyUSB0.
std::string TtyName(const std::string& entry) {
  char target[512];
  const ssize_t length = ::readlink(entry.c_str(), target, sizeof target - 1);
  if (length <= 0) return {};
  const std::string_view path(target, static_cast<std::size_t>(length));
  return std::string(path.substr(path.rfind('/') + 1));
}

bool IsPseudoTerminalMaster(dev_t device) {
  const unsigned int number = major(device);
  return number == 2 || (number >= 128 && number <= 135);
}

bool IsPseudoTerminalSlave(dev_t device) {
  const unsigned int number = major(device);
  return number == 3 || (number >= 136 && number <= 143);
}

}  // namespace

bool MayStandForAPort(TtyKind kind) {
  return kind == TtyKind::kSerialPort || kind == TtyKind::kNoUart ||
         kind == TtyKind::kPseudoTerminal;
}

bool IsListedPort(TtyKind kind) { return kind == TtyKind::kSerialPort; }

ConsoleList::ConsoleList(const std::string& console_active, std::string dev_root)
    : dev_root_(std::move(dev_root)) {
  std::istringstream names(ReadSmallFile(AT_FDCWD, console_active.c_str(), 4096));
  names_.assign(std::istream_iterator<std::string>(names), std::istream_iterator<std::string>());
}

bool ConsoleList::Has(dev_t device, std::string_view name) const {
  for (const std::string& console : names_) {
    // The list names terminals as the kernel does: a known name settles it.
    if (!name.empty()) {
      if (console == name) return true;
      continue;
    }
    struct stat st;
    if (::stat((dev_root_ + "/" + console).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == device) {
      return true;
    }
  }
  return false;
}

std::optional<TtyDriverList> TtyDriverList::Read(const std::string& proc_root) {
  const std::string list = ReadSmallFile(AT_FDCWD, (proc_root + "/tty/drivers").c_str(), 16384);
  if (list.empty()) return std::nullopt;
  return Parse(list);
}

TtyDriverList TtyDriverList::Parse(std::string_view text) {
  TtyDriverList read;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    // name, node, major, minor or first-last, type
    std::istringstream fields(line);
    std::string name, node, minors;
    Driver driver;
    char dash = 0;
    if (!(fields >> name >> node >> driver.major >> minors >> driver.type)) continue;
    std::istringstream range(minors);
    range >> driver.first;
    driver.last = (range >> dash >> driver.last) ? driver.last : driver.first;
    read.drivers_.push_back(std::move(driver));
  }
  return read;
}

std::string TtyDriverList::TypeOf(dev_t device) const {
  for (const Driver& driver : drivers_) {
    if (driver.major == major(device) && driver.first <= minor(device) &&
        minor(device) <= driver.last) {
      return driver.type;
    }
  }
  return {};
}

TtyClassifier::TtyClassifier(const TtySources& sources)
    : drivers_(TtyDriverList::Read(sources.proc_root)),
      consoles_(sources.console_active, sources.dev_root),
      sysfs_char_root_(sources.sysfs_char_root) {}

TtyFacts TtyClassifier::OfNode(const struct stat& node) const {
  if (!S_ISCHR(node.st_mode)) return {.kind = TtyKind::kNotATerminal};
  const std::string entry = CharEntry(sysfs_char_root_, node.st_rdev);
  return Classify(node.st_rdev, entry, false, TtyName(entry));
}

TtyFacts TtyClassifier::OfTty(dev_t device, const std::string& tty_dir,
                              const std::string& name) const {
  return Classify(device, tty_dir, true, name);
}

TtyFacts TtyClassifier::Classify(dev_t device, const std::string& sysfs_dir, bool known_tty,
                                 std::string_view name) const {
  TtyFacts facts;
  // sysfs tells of a terminal that has an entry, and of the UART behind a
  // serial port's.
  bool in_sysfs = known_tty;
  if (!known_tty) {
    char subsystem[256];
    const ssize_t length =
        ::readlink((sysfs_dir + "/subsystem").c_str(), subsystem, sizeof subsystem - 1);
    if (length >= 0) {
      in_sysfs = std::string_view(subsystem, static_cast<std::size_t>(length)).ends_with("/tty");
      if (!in_sysfs) return {.kind = TtyKind::kNotATerminal};
    }
  }
  const std::string type =
      in_sysfs ? ReadSmallFile(AT_FDCWD, (sysfs_dir + "/type").c_str(), 16) : std::string();
  const std::string console =
      in_sysfs ? ReadSmallFile(AT_FDCWD, (sysfs_dir + "/console").c_str(), 16) : std::string();
  // Where sysfs has the attribute, it has the last word; a USB console has
  // none, and the console list alone tells it.
  facts.console = console.empty() ? consoles_.Has(device, name) : console.starts_with("Y");
  facts.sysfs_knew = in_sysfs;
  if (IsTerminalAlias(device) || IsPseudoTerminalMaster(device)) {
    facts.kind = TtyKind::kAlias;
  } else if (drivers_) {
    const std::string driver = drivers_->TypeOf(device);
    facts.kind = driver.empty()          ? TtyKind::kNotATerminal
                 : driver == "pty:slave" ? TtyKind::kPseudoTerminal
                 : driver == "serial"    ? TtyKind::kSerialPort
                                         : TtyKind::kAlias;
  } else if (!in_sysfs) {
    facts.kind = TtyKind::kUnknown;
  } else {
    facts.kind = IsPseudoTerminalSlave(device) ? TtyKind::kPseudoTerminal : TtyKind::kSerialPort;
  }
  // Only a serial driver's port has a type, and PORT_UNKNOWN is no UART.
  if (MayStandForAPort(facts.kind) && (type == "0\n" || type == "0")) facts.kind = TtyKind::kNoUart;
  return facts;
}

std::optional<std::string> TtyDriverType(dev_t device, const std::string& proc_root) {
  const std::optional<TtyDriverList> drivers = TtyDriverList::Read(proc_root);
  if (!drivers) return std::nullopt;
  return drivers->TypeOf(device);
}

bool IsTerminalAlias(dev_t device) {
  return major(device) == 5 || (major(device) == 4 && minor(device) < 64);
}

}  // namespace velkaro
