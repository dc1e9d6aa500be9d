#include "posix_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/tty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <grp.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform_port.h"

namespace velkaro {
namespace {

constexpr tcflag_t kSpeedBits = CBAUD | CIBAUD;

// 9600 baud, 8 data bits, no parity, 1 stop bit, raw, no flow control.
LineSettings WantedLineSettings(const LineSettings& saved) {
  LineSettings want = saved;
  want.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY);
  want.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  want.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  want.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | kSpeedBits);
  want.c_cflag |= CS8 | CLOCAL | CREAD | B9600;  // no input speed bits: as the output
  want.c_cc[VMIN] = 0;
  want.c_cc[VTIME] = 0;
  want.c_ispeed = 9600;
  want.c_ospeed = 9600;
  return want;
}

// Compares what we set; drivers may keep other bits as they like.
bool SameLineSettings(const LineSettings& want, const LineSettings& got) {
  constexpr tcflag_t kCflags =
      CSIZE | PARENB | PARODD | CSTOPB | CLOCAL | CREAD | CRTSCTS | kSpeedBits;
  constexpr tcflag_t kIflags =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
  constexpr tcflag_t kLflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
  return (want.c_cflag & kCflags) == (got.c_cflag & kCflags) &&
         (want.c_iflag & kIflags) == (got.c_iflag & kIflags) &&
         (want.c_oflag & OPOST) == (got.c_oflag & OPOST) &&
         (want.c_lflag & kLflags) == (got.c_lflag & kLflags) && want.c_ispeed == got.c_ispeed &&
         want.c_ospeed == got.c_ospeed && want.c_cc[VMIN] == got.c_cc[VMIN] &&
         want.c_cc[VTIME] == got.c_cc[VTIME];
}

// "pid 42", or "minicom (pid 42)" where the process's name can be read; a
// login's is "login, pid 42".
std::string Who(const PortHolder& holder, bool login = false) {
  const std::string name = ShowableName(holder.program);
  const std::string number = "pid " + std::to_string(holder.pid);
  if (name.empty()) return number;
  return login ? name + ", " + number : name + " (" + number + ")";
}

// The stable names that lead to a port, kept and told at the end of its
// hardware's words.
void AddNames(PortHardware& hardware, std::vector<std::string> names) {
  for (const std::string& name : names) {
    hardware.description += (hardware.description.empty() ? "known as "
                             : &name == &names.front()    ? ", known as "
                                                          : ", ") +
                            ShowableName(name);
  }
  hardware.names = std::move(names);
}

std::string ErrnoName(int errnum) {
  const char* name = ::strerrorname_np(errnum);
  return name != nullptr ? name : "error " + std::to_string(errnum);
}

// Why an open was refused: the node's group, where joining it is what the
// user lacks. Root is never refused for want of a group, and a group that
// may not read and write the node is not the reason either.
std::string PermissionFinding(const std::optional<struct stat>& node) {
  constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP;
  if (!node || ::geteuid() == 0 || (node->st_mode & kGroupRw) != kGroupRw) {
    return FindingText(Seen::kNotYours);
  }
  const gid_t gid = node->st_gid;
  std::vector<gid_t> ours(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  ours.resize(static_cast<std::size_t>(
      std::max(::getgroups(static_cast<int>(ours.size()), ours.data()), 0)));
  ours.push_back(::getegid());
  std::vector<char> buffer(16384);
  group entry;
  group* found = nullptr;
  if (std::find(ours.begin(), ours.end(), gid) != ours.end() ||
      ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return FindingText(Seen::kNotYours);
  }
  return FindingText(Seen::kNotYours, found->gr_name);
}

}  // namespace

std::string FindingText(Seen seen, std::string_view detail) {
  const std::string d(detail);
  switch (seen) {
    case Seen::kFree:
      return "present, free";
    case Seen::kInUse:
      return "present, in use by " + d;
    case Seen::kLocked:
      return "present, locked by " + d;
    case Seen::kFlocked:
      return "present, locked by another program (flock)";
    case Seen::kExclusive:
      return "present, opened exclusively by another program";
    case Seen::kLineDiscipline:
      return "present, taken by the kernel's line discipline " + d;
    case Seen::kLoginTerminal:
      return "present, the terminal of a login session (" + d + ")";
    case Seen::kConsole:
      return "present, the kernel console";
    case Seen::kNotYours:
      return d.empty() ? "present, but you may not open it (permission denied)"
                       : "present, but you may not open it: it belongs to group " + d +
                             ", which you are not in";
    case Seen::kRefusedSettings:
      return "present, but it refused line settings";
    case Seen::kUseCannotBeSeen:
      return "present, not opened: /proc cannot be read, so other programs' use cannot be seen";
    case Seen::kNotSeenInUse:
      return "present, not opened: no other program seen using it";
    case Seen::kNoNode:
      return "absent: no device node";
    case Seen::kNoUart:
      return "absent: no UART behind this node";
    case Seen::kNotASerialPort:
      return "absent: not a serial port";
    case Seen::kNodeChanged:
      return "absent: its node changed while it was looked at";
    case Seen::kNoAnswer:
      return "absent: the device did not answer (" + d + ")";
    case Seen::kSettingsNotPutBack:
      return "; its line settings could not be put back (" + d + ")";
  }
  return {};
}

bool OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is the one just found closed. Output opened
    // for reading alone fails as a closed descriptor does (EBADF), so that
    // a list written to it is not taken for written.
    const int null = ::open("/dev/null", fd == 0 ? O_RDWR : O_RDONLY);
    if (null != fd) {
      if (null >= 0) ::close(null);
      return false;
    }
  }
  return true;
}

std::string DefaultDevicePath(std::int16_t port) { return "/dev/ttyS" + std::to_string(port - 1); }

void ReportToStandardError(const std::string& line) {
  std::fprintf(stderr, "velkaro: %s\n", line.c_str());
}

ErrorNumber OpenErrorNumber(int errnum) {
  switch (errnum) {
    case EBUSY:   // another descriptor holds TIOCEXCL
    case EACCES:  // not ours to open, e.g. without the dialout group
    case EPERM:
      return kPortUnavailable;
    default:  // ENOENT, ENODEV, ENXIO, EIO and everything else
      return kNoSuchPort;
  }
}

PosixPort::PosixPort(PosixPortOptions options, PosixSystem& sys)
    : options_(std::move(options)), sys_(sys) {}

PosixPort::~PosixPort() {
  Close();
  ReleaseProbeLock();
}

void PosixPort::OnProbeThread() {
  // The signals that end the program are the main thread's to take: a probe
  // is never cut short by them, and runs on to put its port back.
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : kEndSignals) sigaddset(&ending, signal);
  ::pthread_sigmask(SIG_BLOCK, &ending, nullptr);
}

ErrorNumber PosixPort::SetCommPort(std::int16_t port) {
  if (is_open() || port < kFirstPort || port > kLastPort) return kNoSuchPort;
  port_ = port;
  return kNoError;
}

ErrorNumber PosixPort::SetPortOpen(bool open) { return open ? Open() : Close(); }

std::string PosixPort::DevicePath(std::int16_t port) const { return options_.device_path(port); }

std::string FindingLine(const PortFinding& found) {
  std::string line = found.words;
  if (found.hardware && !found.hardware->description.empty()) {
    line += "; " + found.hardware->description;
  }
  if (!found.restored) line += FindingText(Seen::kSettingsNotPutBack, found.restore_error);
  return line;
}

ErrorNumber PosixPort::Judged(ErrorNumber number, std::string words,
                              std::optional<PortHolder> holder) {
  found_.words = std::move(words);
  found_.holder = std::move(holder);
  found_.line = FindingLine(found_);
  return number;
}

bool PosixPort::JudgedByLockFile(const std::string& path, PortFinding& found) const {
  // Programs lock a port under its node's name: a link to the node
  // (/dev/serial/by-id/...) is looked up under the name it leads to as well.
  std::vector<std::string> names = {path};
  std::error_code unresolved;
  if (const std::string node = std::filesystem::canonical(path, unresolved).string();
      !unresolved && node != path) {
    names.push_back(node);
  }
  for (const std::string& name : names) {
    if (const LockHolder lock = HeldByLockFile(name, options_.lock_dirs)) {
      PortHolder by = HeldBy("lock file", lock.pid, lock.path);
      found.words = FindingText(Seen::kLocked, Who(by) + " in " + lock.path);
      found.holder = std::move(by);
      return true;
    }
  }
  return false;
}

std::vector<OtherPort> PosixPort::OtherPorts() const {
  // The six ports' devices are theirs to tell, whatever their nodes are
  // named, and so are their paths, with a node or without.
  std::vector<dev_t> rows;
  std::vector<std::string> row_paths;
  for (std::int16_t port = kFirstPort; port <= kLastPort; ++port) {
    row_paths.push_back(options_.device_path(port));
    struct stat node;
    if (sys_.Stat(row_paths.back().c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
      rows.push_back(node.st_rdev);
    }
  }
  // The kernel's consoles, by name: a USB console has no attribute that says so.
  const std::vector<std::string> consoles = ActiveConsoles(options_.console_active);
  const SerialLinkMap links = SerialLinks(options_.serial_link_dirs);
  std::vector<OtherPort> others;
  std::vector<dev_t> looked_for;       // the devices whose users the walk looks for
  std::vector<std::size_t> looked_at;  // and their ports
  for (const auto& [name, device, console] : SerialTtys(options_.sysfs_class_tty)) {
    OtherPort other{.name = name, .device = options_.dev_root + "/" + name, .found = {}};
    if (std::find(rows.begin(), rows.end(), device) != rows.end() ||
        std::find(row_paths.begin(), row_paths.end(), other.device) != row_paths.end()) {
      continue;
    }
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
    } else if (console || std::find(consoles.begin(), consoles.end(), name) != consoles.end()) {
      found.presence = PortFinding::Presence::kPresent;
      found.words = FindingText(Seen::kConsole);
      found.holder = HeldBy("console");
    } else if (found.presence = PortFinding::Presence::kPresent;
               !JudgedByLockFile(other.device, found)) {
      looked_for.push_back(device);
      looked_at.push_back(others.size());
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
      found.holder = HeldBy(holder.by_session ? "session" : "descriptor", holder.pid);
      found.words = FindingText(holder.by_session ? Seen::kLoginTerminal : Seen::kInUse,
                                Who(*found.holder, holder.by_session));
    }
  }
  for (OtherPort& other : others) other.found.line = FindingLine(other.found);
  return others;
}

PortHolder PosixPort::HeldBy(std::string kind, pid_t pid, std::string lock) const {
  PortHolder holder{.kind = std::move(kind), .program = {}, .pid = pid, .lock = std::move(lock)};
  // As it named itself: JSON carries any name safely, where a terminal would not.
  if (pid > 0) holder.program = ProcessNameAsItIs(pid, options_.processes.proc_root);
  return holder;
}

ErrorNumber PosixPort::OpenRefused(int errnum) {
  const auto finding = [&]() -> std::string {
    switch (errnum) {
      case EBUSY:
        return FindingText(Seen::kExclusive);
      case EACCES:
      case EPERM:
        return PermissionFinding(node_);
      case ENOENT:
        return FindingText(Seen::kNoNode);
      default:
        return FindingText(Seen::kNoAnswer, ErrnoName(errnum));
    }
  };
  const ErrorNumber judged =
      Judged(OpenErrorNumber(errnum), finding(),
             errnum == EBUSY ? std::optional(HeldBy("exclusive")) : std::nullopt);
  found_.error = ErrnoName(errnum);
  return judged;
}

ErrorNumber PosixPort::CheckNoOtherHolder() {
  if (!terminal_) return kNoError;
  const Holder holder = HeldByAnotherProcess(node_->st_rdev, options_.processes, node_->st_dev);
  // Where nobody's use can be seen, the port is left as if someone used it.
  if (holder.blind) return Judged(kPortUnavailable, FindingText(Seen::kUseCannotBeSeen));
  if (!holder) return kNoError;
  // The name is read once, for the words and the data alike.
  PortHolder by = HeldBy(holder.by_session ? "session" : "descriptor", holder.pid);
  const std::string who = Who(by, holder.by_session);
  return Judged(kPortUnavailable,
                FindingText(holder.by_session ? Seen::kLoginTerminal : Seen::kInUse, who),
                std::move(by));
}

ErrorNumber PosixPort::CheckBeforeOpening(const std::string& path) {
  // A port that is not there is never looked for any further: a lock file
  // naming it, for one, says nothing about a port that does not exist.
  struct stat node;
  if (sys_.Stat(path.c_str(), &node) != 0) return OpenRefused(errno);
  node_ = node;
  terminal_ = S_ISCHR(node.st_mode);
  // A device the user named may be anything: a file, /dev/zero, a watchdog
  // that an open arms, or the terminal behind /dev/tty or /dev/console.
  if (options_.chosen.at(static_cast<std::size_t>(port_ - 1)) &&
      !IsSerialPortNode(node, options_.processes.proc_root, options_.sysfs_char_root)) {
    return Judged(kNoSuchPort, FindingText(Seen::kNotASerialPort));
  }
  if (terminal_) {
    // sysfs knows a ttyS node with no UART behind it, and the console, so
    // neither needs the lock files or the processes looked through.
    const SysfsVerdict verdict = JudgeBySysfs(node.st_rdev, options_.sysfs_char_root);
    sysfs_knew_ = verdict == SysfsVerdict::kPort || verdict == SysfsVerdict::kTerminal;
    if (verdict == SysfsVerdict::kConsole || sysfs_knew_) {
      found_.hardware = ReadUart(node.st_rdev, options_.sysfs_char_root, options_.id_files);
      // A USB adapter is best known by its stable names.
      if (found_.hardware && found_.hardware->bus == "usb") {
        AddNames(*found_.hardware, SerialLinks(path, SerialLinks(options_.serial_link_dirs)));
      }
    }
    switch (verdict) {
      case SysfsVerdict::kNoUart:
        return Judged(kNoSuchPort, FindingText(Seen::kNoUart));
      case SysfsVerdict::kConsole:
        return Judged(kPortUnavailable, FindingText(Seen::kConsole), HeldBy("console"));
      case SysfsVerdict::kPort:
        break;
      case SysfsVerdict::kNotTty:
        terminal_ = false;
        break;
      case SysfsVerdict::kTerminal:  // a USB console is known by the console list alone
      case SysfsVerdict::kUnknown:
        if (IsActiveConsole(node.st_rdev, options_.console_active)) {
          return Judged(kPortUnavailable, FindingText(Seen::kConsole), HeldBy("console"));
        }
        break;
    }
  }
  // From here the port may be opened: another Velkaro's probe of it ends
  // first, and none begins until ours has.
  if (terminal_) TakeProbeLock(node.st_rdev);
  if (PortFinding locked; JudgedByLockFile(path, locked)) {
    return Judged(kPortUnavailable, std::move(locked.words), std::move(locked.holder));
  }
  // A login on the port, or any other program with it open: opening it
  // could already upset its modem lines, and setting it would change theirs.
  return CheckNoOtherHolder();
}

ErrorNumber PosixPort::Open() {
  if (is_open() || port_ == 0) return kNoSuchPort;
  ErrorNumber opened;
  // Whatever fails, the port is never left open, exclusive or changed: it
  // is put back and closed before the failure goes on.
  try {
    opened = LookAndOpen();
  } catch (...) {
    Close();
    ReleaseProbeLock();
    throw;
  }
  // Our turn at the port lasts until the port is closed again.
  if (!is_open()) ReleaseProbeLock();
  return opened;
}

ErrorNumber PosixPort::LookAndOpen() {
  path_ = options_.device_path(port_);
  found_ = {};
  node_.reset();
  sysfs_knew_ = false;
  if (const ErrorNumber judged = CheckBeforeOpening(path_); judged.failed()) return judged;

  // O_NONBLOCK: never wait for carrier detect. O_NOCTTY: never become the
  // controlling terminal of this process.
  fd_ = sys_.Open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return OpenRefused(errno);
  // The path may be a link that has moved since it was looked at (udev
  // remakes /dev/serial's as adapters come and go): what was opened must be
  // what was judged, or it is closed again untouched.
  if (struct stat opened; ::fstat(fd_, &opened) != 0 || opened.st_rdev != node_->st_rdev ||
                          (opened.st_mode & S_IFMT) != (node_->st_mode & S_IFMT)) {
    sys_.Close(std::exchange(fd_, -1));
    return Judged(kNoSuchPort, FindingText(Seen::kNodeChanged));
  }
  if (!MayHold()) {
    // The program ends without waiting for this probe: nothing has changed.
    sys_.Close(std::exchange(fd_, -1));
    return OpenRefused(ECANCELED);
  }
  return TakeAndSet();
}

ErrorNumber PosixPort::TakeAndSet() {
  ErrorNumber held = CheckNotHeld();
  if (!held.failed()) held = TakeExclusive();
  // The checks take a while on a busy machine, the walk through every
  // process above all. Now that nobody else can open the port, make sure
  // nobody did meanwhile, through whatever node, before it is configured.
  if (!held.failed()) held = CheckNoOtherHolder();
  if (held.failed()) {
    Close();
    return held;
  }

  saved_valid_ = sys_.GetLineSettings(fd_, &saved_) == 0;
  // EIO: a node with no UART behind it. ENOTTY: a device, but no terminal.
  if (!saved_valid_ && errno == EIO) {
    Close();
    return OpenRefused(EIO);
  }
  if (!saved_valid_ || ApplyLineSettings().failed()) {
    return Judged(kLineSettingsFailed, FindingText(Seen::kRefusedSettings));
  }
  return Judged(kNoError, FindingText(Seen::kFree));
}

void PosixPort::TakeProbeLock(dev_t device) {
  ReleaseProbeLock();
  if (options_.probe_lock_dir.empty()) return;
  const std::string path = options_.probe_lock_dir + "/velkaro-" + std::to_string(major(device)) +
                           "-" + std::to_string(minor(device)) + ".lock";
  // Never through a link, and never waiting on a pipe: anybody may have made
  // it. One that exists is opened as it is: the kernel refuses to create
  // over another user's file in a sticky directory (fs.protected_regular).
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int lock = ::open(path.c_str(), kFlags);
  if (lock < 0 && errno == ENOENT) {
    lock = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
    if (lock >= 0) {
      // Readable by every user, whatever the umask, so that they take turns too.
      ::fchmod(lock, 0644);
    } else if (errno == EEXIST) {
      lock = ::open(path.c_str(), kFlags);  // another Velkaro made it meanwhile
    }
  }
  if (lock < 0) return;
  // A probe holds a port for well under a millisecond; one that holds it
  // for a second is stuck, and no reason to wait any longer.
  for (int tries = 0; tries < 200; ++tries) {
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) {
      probe_lock_ = lock;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    ::usleep(5000);
  }
  ::close(lock);
}

void PosixPort::ReleaseProbeLock() {
  if (probe_lock_ >= 0) ::close(std::exchange(probe_lock_, -1));  // the flock goes with it
}

ErrorNumber PosixPort::CheckNotHeld() {
  // A kernel driver on the line (pppd, ldattach, a Bluetooth UART) owns it.
  int discipline = N_TTY;
  if (sys_.Ioctl(fd_, TIOCGETD, &discipline) == 0 && discipline != N_TTY) {
    return Judged(kPortUnavailable, FindingText(Seen::kLineDiscipline, std::to_string(discipline)),
                  HeldBy("line discipline"));
  }

  if (sys_.Flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return Judged(kPortUnavailable, FindingText(Seen::kFlocked), HeldBy("flock"));
  }
  // Any other flock failure means locks are not supported here, which tells
  // us nothing about other programs.

  // A /dev/ttyS node opens even with no UART behind it; the driver then
  // reports its type as unknown. Where sysfs told of the port, it has told
  // this already: USB serial and CDC ACM drivers report no type at all.
  serial_struct serial{};
  if (!sysfs_knew_ && sys_.Ioctl(fd_, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
    return Judged(kNoSuchPort, FindingText(Seen::kNoUart));
  }
  return kNoError;
}

ErrorNumber PosixPort::TakeExclusive() {
  // open(2) is not exclusive on POSIX: hold TIOCEXCL (and the flock) so that
  // nothing else opens the port half-way through. As root, open(2) ignores
  // another program's TIOCEXCL, so ask first; and only an exclusivity we set
  // ourselves is ever released. Where it cannot be asked, leave it alone.
  int exclusive = 0;
  if (sys_.Ioctl(fd_, TIOCGEXCL, &exclusive) != 0) return kNoError;
  if (exclusive != 0) {
    return Judged(kPortUnavailable, FindingText(Seen::kExclusive), HeldBy("exclusive"));
  }
  exclusive_ = sys_.Ioctl(fd_, TIOCEXCL, nullptr) == 0;
  return kNoError;
}

ErrorNumber PosixPort::ApplyLineSettings() {
  // A Linux tty has no per-open buffer sizes and no parity replacement
  // character, so those two settings have nothing to apply here.
  const LineSettings want = WantedLineSettings(saved_);
  if (sys_.SetLineSettings(fd_, &want) != 0) return kLineSettingsFailed;
  LineSettings got{};
  if (sys_.GetLineSettings(fd_, &got) != 0 || !SameLineSettings(want, got)) {
    return kLineSettingsFailed;
  }
  return kNoError;
}

int PosixPort::RestoreLineSettings() {
  // Nothing was written, so restoring at once never waits for output.
  if (sys_.SetLineSettings(fd_, &saved_) != 0) return errno;
  LineSettings got{};
  if (sys_.GetLineSettings(fd_, &got) != 0) return errno;
  return SameLineSettings(saved_, got) ? 0 : -1;
}

ErrorNumber PosixPort::Close() {
  if (!is_open()) return kNoError;
  ErrorNumber result = kNoError;
  // The port is closed before anything is said of it, so that nothing said
  // can reach it, not even through a standard descriptor it became.
  const int not_put_back = saved_valid_ ? RestoreLineSettings() : 0;
  if (exclusive_ && sys_.Ioctl(fd_, TIOCNXCL, nullptr) != 0) result = kNoSuchPort;
  // The flock goes with the descriptor.
  if (sys_.Close(fd_) != 0 && errno != EINTR) result = kNoSuchPort;
  // Nothing of this port may carry over to the next one opened.
  fd_ = -1;
  ReleaseProbeLock();
  exclusive_ = false;
  saved_valid_ = false;
  if (not_put_back != 0) {
    result = kNoSuchPort;
    const std::string why =
        not_put_back > 0 ? std::strerror(not_put_back) : "the driver kept other settings";
    found_.restored = false;
    found_.restore_error = why;
    found_.line = FindingLine(found_);
    options_.report(path_ + ": line settings could not be put back: " + why);
  }
  return result;
}

}  // namespace velkaro

namespace velkaro {

std::unique_ptr<SerialPort> MakePlatformSerialPort(const PortPaths& paths) {
  PosixPortOptions options;
  for (std::size_t row = 0; row < paths.size(); ++row) options.chosen.at(row) = !paths[row].empty();
  options.device_path = [paths](std::int16_t port) {
    const std::string& chosen = paths.at(static_cast<std::size_t>(port - 1));
    return chosen.empty() ? DefaultDevicePath(port) : chosen;
  };
  return std::make_unique<PosixPort>(std::move(options));
}

}  // namespace velkaro
