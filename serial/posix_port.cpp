#include "posix_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/tty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

#include "finding_words.h"
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

}  // namespace

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
    : options_(std::move(options)), sys_(sys), inventory_(options_, sys) {}

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

ErrorNumber PosixPort::Judged(ErrorNumber number, std::string words,
                              std::optional<PortHolder> holder) {
  found_.words = std::move(words);
  found_.holder = std::move(holder);
  found_.line = FindingLine(found_);
  return number;
}

ErrorNumber PosixPort::OpenRefused(int errnum) {
  const auto finding = [&]() -> std::string {
    switch (errnum) {
      case EBUSY:
        return FindingText(Seen::kExclusive);
      case EACCES:
      case EPERM:
        return PermissionFinding(look_.node);
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

ErrorNumber PosixPort::JudgedByLook() {
  const std::optional<bool> restored = found_.restored;
  found_ = look_.found;
  found_.restored = restored;
  switch (look_.verdict) {
    case NodeLook::Verdict::kMayOpen:
      return kNoError;
    case NodeLook::Verdict::kUnavailable:
      return Judged(kPortUnavailable, std::move(found_.words), std::move(found_.holder));
    case NodeLook::Verdict::kAbsent:
    case NodeLook::Verdict::kNotJudged:
      break;
  }
  return Judged(kNoSuchPort, std::move(found_.words), std::move(found_.holder));
}

ErrorNumber PosixPort::Open() {
  if (is_open() || port_ == 0) return kNoSuchPort;
  ErrorNumber opened;
  // Whatever fails, the port is never left open, exclusive or changed: it
  // is put back and closed before the failure goes on.
  try {
    opened = LookAndOpen();
  } catch (...) {
    look_.node_fd.reset();
    Close();
    ReleaseProbeLock();
    throw;
  }
  // The node's own descriptor serves one open alone.
  look_.node_fd.reset();
  // Our turn at the port lasts until the port is closed again.
  if (!is_open()) ReleaseProbeLock();
  return opened;
}

ErrorNumber PosixPort::LookAndOpen() {
  path_ = options_.device_path(port_);
  found_ = {};
  inventory_.Look(path_, options_.chosen.at(static_cast<std::size_t>(port_ - 1)), look_);
  if (const ErrorNumber judged = JudgedByLook(); judged.failed()) return judged;
  // From here the port may be opened: another Velkaro's probe of it ends
  // first, and none begins until ours has.
  if (look_.terminal) TakeProbeLock(look_.node->st_rdev);
  // A lock file, a login on the port, or any other program with it open:
  // opening it could already upset its modem lines, and setting it would
  // change theirs.
  if (inventory_.HeldByLockFile(path_, look_) || inventory_.HeldByProcess(look_)) {
    return JudgedByLook();
  }

  // Exactly the node that was judged is opened, through its descriptor,
  // never through the path again: udev remakes /dev/serial's links as
  // adapters come and go, and an open of another device raises its DTR.
  // O_NONBLOCK: never wait for carrier detect. O_NOCTTY: never become the
  // controlling terminal of this process.
  const std::string node = "/proc/self/fd/" + std::to_string(look_.node_fd.get());
  fd_ = sys_.Open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return OpenRefused(errno);
  found_.restored = true;  // until a restore fails
  // However the node was reached, what was opened must be what was judged,
  // or it is closed again untouched.
  if (struct stat opened; ::fstat(fd_, &opened) != 0 || opened.st_rdev != look_.node->st_rdev ||
                          (opened.st_mode & S_IFMT) != (look_.node->st_mode & S_IFMT)) {
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
  if (!held.failed() && inventory_.HeldByProcess(look_)) held = JudgedByLook();
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
  constexpr auto kBetween = std::chrono::milliseconds(5);
  constexpr int kTries = std::chrono::seconds(1) / kBetween;
  for (int tries = 0; tries < kTries; ++tries) {
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) {
      probe_lock_ = lock;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    options_.pause(kBetween);
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
  if (!look_.sysfs_knew && sys_.Ioctl(fd_, TIOCGSERIAL, &serial) == 0 &&
      serial.type == PORT_UNKNOWN) {
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
    // Told once the port is closed: standard error may be the port itself.
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
