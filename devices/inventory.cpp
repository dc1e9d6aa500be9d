#include "inventory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <utility>

#include "finding_words.h"
#include "lock_files.h"

namespace velkaro {
namespace {

// Where the node that a descriptor holds is, as the kernel names it.
std::string NodePath(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// Where the kernel's list of tty drivers is.
const std::string& DriversRoot(const InventoryOptions& options) {
  return options.tty_drivers_root.empty() ? options.processes.proc_root : options.tty_drivers_root;
}

}  // namespace

Inventory::Inventory(InventoryOptions options, NodeSystem& sys)
    : options_(std::move(options)), sys_(sys) {}

void Inventory::Look(const std::string& path, bool chosen, NodeLook& look) const {
  look = NodeLook();
  PortFinding& found = look.found;
  const auto refused = [&](NodeLook::Verdict verdict, std::string words, int errnum) {
    look.verdict = verdict;
    found.words = std::move(words);
    if (errnum != 0) found.error = ErrnoName(errnum);
  };
  // A port that is not there is never looked for any further: a lock file
  // naming it, for one, says nothing about a port that does not exist.
  look.node_fd = OwnedFd(sys_.OpenPath(path.c_str()));
  struct stat node;
  if (look.node_fd.get() < 0 || sys_.Fstat(look.node_fd.get(), &node) != 0) {
    const int errnum = errno;
    look.node_fd.reset();
    switch (errnum) {
      case ENOENT:
        return refused(NodeLook::Verdict::kAbsent, FindingText(Seen::kNoNode), errnum);
      case ENOTDIR:
      case ELOOP:
      case ENAMETOOLONG:
        return refused(NodeLook::Verdict::kAbsent,
                       FindingText(Seen::kPathLeadsNowhere, ErrnoName(errnum)), errnum);
      case EACCES:
      case EPERM:
        // Nobody may look along the path as this user: whether a port is
        // behind it cannot be told.
        found.judged = false;
        return refused(NodeLook::Verdict::kNotJudged, FindingText(Seen::kPathNotLookedAt), errnum);
      default:
        return refused(NodeLook::Verdict::kAbsent, FindingText(Seen::kNoAnswer, ErrnoName(errnum)),
                       errnum);
    }
  }
  look.node = node;
  const TtyFacts facts = Classifier().OfNode(node);
  // A device the user named may be anything: a file, /dev/zero, a watchdog
  // that an open arms, or the terminal behind /dev/tty or /dev/console.
  if (chosen && !MayStandForAPort(facts.kind)) {
    return refused(NodeLook::Verdict::kAbsent, FindingText(Seen::kNotASerialPort), 0);
  }
  look.terminal = S_ISCHR(node.st_mode) && facts.kind != TtyKind::kNotATerminal;
  if (!look.terminal) return;
  look.sysfs_knew = facts.sysfs_knew && facts.kind != TtyKind::kNoUart;
  // sysfs knows a ttyS node with no UART behind it, and the console, so
  // neither needs the lock files or the processes looked through.
  if (facts.console || look.sysfs_knew) {
    found.hardware = ReadUart(node.st_rdev, options_.sysfs_char_root, options_.id_files);
    // A USB adapter is best known by its stable names.
    if (found.hardware && found.hardware->bus == "usb") {
      AddNames(*found.hardware, SerialLinks(path, SerialLinks(options_.serial_link_dirs)));
    }
  }
  if (facts.kind == TtyKind::kNoUart) {
    return refused(NodeLook::Verdict::kAbsent, FindingText(Seen::kNoUart), 0);
  }
  if (facts.console) {
    found.holder = HeldBy("console");
    return refused(NodeLook::Verdict::kUnavailable, FindingText(Seen::kConsole), 0);
  }
}

bool Inventory::HeldByLockFile(const std::string& path, NodeLook& look) const {
  // Programs lock a port under its node's name: a link to the node
  // (/dev/serial/by-id/...) is looked up under the name it leads to as well.
  std::vector<std::string> names = {path};
  if (const std::string node = look.node_fd.get() >= 0 ? NodePath(look.node_fd.get()) : "";
      !node.empty() && node != path) {
    names.push_back(node);
  }
  for (const std::string& name : names) {
    if (const LockHolder lock = velkaro::HeldByLockFile(name, options_.lock_dirs)) {
      PortHolder by = HeldBy("lock file", lock.pid, lock.path, options_.processes.proc_root);
      look.verdict = NodeLook::Verdict::kUnavailable;
      look.found.words = FindingText(Seen::kLocked, Who(by) + " in " + lock.path);
      look.found.holder = std::move(by);
      return true;
    }
  }
  return false;
}

bool Inventory::HeldByProcess(NodeLook& look) const {
  if (!look.terminal) return false;
  const Holder holder =
      HeldByAnotherProcess(look.node->st_rdev, options_.processes, look.node->st_dev);
  // Where nobody's use can be seen, the port is left as if someone used it.
  if (holder.blind) {
    look.verdict = NodeLook::Verdict::kUnavailable;
    look.found.words = FindingText(Seen::kUseCannotBeSeen);
    return true;
  }
  if (!holder) return false;
  // The name is read once, for the words and the data alike.
  PortHolder by = HeldBy(holder.by_session ? "session" : "descriptor", holder.pid, {},
                         options_.processes.proc_root);
  look.verdict = NodeLook::Verdict::kUnavailable;
  look.found.words = FindingText(holder.by_session ? Seen::kLoginTerminal : Seen::kInUse,
                                 Who(by, holder.by_session));
  look.found.holder = std::move(by);
  return true;
}

TtyClassifier Inventory::Classifier() const {
  return TtyClassifier({.proc_root = DriversRoot(options_),
                        .sysfs_char_root = options_.sysfs_char_root,
                        .console_active = options_.console_active,
                        .dev_root = options_.dev_root});
}

std::vector<OtherPort> Inventory::OtherPorts(const std::vector<std::string>& row_paths) const {
  return Describe(SerialTtys(options_.sysfs_class_tty, Classifier()), row_paths, false);
}

std::vector<OtherPort> Inventory::EveryPort(const std::vector<std::string>& row_paths) const {
  return Describe(SerialTtys(options_.sysfs_class_tty, Classifier()), row_paths, true);
}

std::optional<OtherPort> Inventory::PortNamed(const std::string& name,
                                              const std::vector<std::string>& row_paths) const {
  const std::optional<SerialTty> tty = SerialTtyNamed(options_.sysfs_class_tty, name, Classifier());
  if (!tty) return std::nullopt;
  std::vector<OtherPort> told = Describe({*tty}, row_paths, true);
  return std::move(told.front());
}

std::vector<OtherPort> Inventory::Describe(const std::vector<SerialTty>& ttys,
                                           const std::vector<std::string>& row_paths,
                                           bool with_rows) const {
  // The rows' devices are theirs, whatever their nodes are named, and so
  // are their paths, with a node or without.
  std::vector<dev_t> rows;
  for (const std::string& path : row_paths) {
    struct stat node;
    rows.push_back(sys_.Stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) ? node.st_rdev : 0);
  }
  const SerialLinkMap links = SerialLinks(options_.serial_link_dirs);
  std::vector<OtherPort> others;
  std::vector<dev_t> looked_for;       // the devices whose users the walk looks for
  std::vector<std::size_t> looked_at;  // and their ports
  for (const auto& [name, device, console] : ttys) {
    OtherPort other{.name = name, .device = options_.dev_root + "/" + name, .found = {}};
    for (std::size_t row = 0; row < row_paths.size() && other.row == 0; ++row) {
      if ((rows[row] != 0 && rows[row] == device) || row_paths[row] == other.device) {
        other.row = static_cast<std::int16_t>(row + 1);
      }
    }
    if (other.row != 0 && !with_rows) continue;
    PortFinding& found = other.found;
    found.hardware = ReadTty(options_.sysfs_class_tty + "/" + name, options_.id_files);
    if (std::vector<std::string> names = SerialLinks(other.device, links); !names.empty()) {
      if (!found.hardware) found.hardware.emplace();
      AddNames(*found.hardware, std::move(names));
    }
    struct stat node;
    if (sys_.Stat(other.device.c_str(), &node) != 0) {
      const int errnum = errno;
      found.presence = PortFinding::Presence::kAbsent;
      found.error = ErrnoName(errnum);
      found.words =
          errnum == ENOENT ? FindingText(Seen::kNoNode) : FindingText(Seen::kNoAnswer, found.error);
    } else if (console) {
      found.presence = PortFinding::Presence::kPresent;
      found.words = FindingText(Seen::kConsole);
      found.holder = HeldBy("console");
    } else {
      found.presence = PortFinding::Presence::kPresent;
      NodeLook locked;
      if (HeldByLockFile(other.device, locked)) {
        found.words = std::move(locked.found.words);
        found.holder = std::move(locked.found.holder);
      } else {
        looked_for.push_back(device);
        looked_at.push_back(others.size());
      }
    }
    others.push_back(std::move(other));
  }
  // One walk through the processes serves every port.
  const std::vector<Holder> holders = HeldByOtherProcesses(looked_for, options_.processes);
  for (std::size_t i = 0; i < holders.size(); ++i) {
    PortFinding& found = others[looked_at[i]].found;
    const Holder& holder = holders[i];
    if (holder.blind) {
      found.words = FindingText(Seen::kUseCannotBeSeen);
    } else if (!holder) {
      found.words = FindingText(Seen::kNotSeenInUse);
    } else {
      found.holder = HeldBy(holder.by_session ? "session" : "descriptor", holder.pid, {},
                            options_.processes.proc_root);
      found.words = FindingText(holder.by_session ? Seen::kLoginTerminal : Seen::kInUse,
                                Who(*found.holder, holder.by_session));
    }
  }
  for (OtherPort& other : others) other.found.line = FindingLine(other.found);
  return others;
}

}  // namespace velkaro
