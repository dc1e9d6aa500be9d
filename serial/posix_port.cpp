#include "posix_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform_port.h"
#include "port_guards.h"

namespace velkaro {
namespace {

termios WantedLineSettings(const termios& saved) {
  termios want = saved;
  ::cfmakeraw(&want);
  want.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  want.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  want.c_cflag |= CS8 | CLOCAL | CREAD;
  want.c_cc[VMIN] = 0;
  want.c_cc[VTIME] = 0;
  ::cfsetispeed(&want, B9600);
  ::cfsetospeed(&want, B9600);
  return want;
}

// Compares what we asked for; drivers may keep other bits as they like.
bool SameLineSettings(const termios& want, const termios& got) {
  constexpr tcflag_t kCflags = CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS;
  constexpr tcflag_t kIflags =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
  constexpr tcflag_t kLflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
  return (want.c_cflag & kCflags) == (got.c_cflag & kCflags) &&
         (want.c_iflag & kIflags) == (got.c_iflag & kIflags) &&
         (want.c_oflag & OPOST) == (got.c_oflag & OPOST) &&
         (want.c_lflag & kLflags) == (got.c_lflag & kLflags) &&
         ::cfgetispeed(&want) == ::cfgetispeed(&got) &&
         ::cfgetospeed(&want) == ::cfgetospeed(&got) && want.c_cc[VMIN] == got.c_cc[VMIN] &&
         want.c_cc[VTIME] == got.c_cc[VTIME];
}

}  // namespace

std::string DefaultDevicePath(std::int16_t port) { return "/dev/ttyS" + std::to_string(port - 1); }

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

PosixPort::~PosixPort() { Close(); }

ErrorNumber PosixPort::SetCommPort(std::int16_t port) {
  if (is_open() || port < kFirstPort || port > kLastPort) return kNoSuchPort;
  port_ = port;
  return kNoError;
}

ErrorNumber PosixPort::SetPortOpen(bool open) { return open ? Open() : Close(); }

ErrorNumber PosixPort::Open() {
  if (is_open() || port_ == 0) return kNoSuchPort;
  const std::string path = options_.device_path(port_);
  if (HeldByLockFile(path, options_.lock_dirs)) return kPortUnavailable;
  // A login or the kernel console on the port shows without opening it, and
  // opening such a port could already upset its modem lines.
  struct stat node;
  if (sys_.Stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) &&
      (IsControllingTerminal(node.st_rdev, options_.proc_root) ||
       IsActiveConsole(node.st_rdev, options_.console_active))) {
    return kPortUnavailable;
  }

  // O_NONBLOCK: never wait for carrier detect. O_NOCTTY: never become the
  // controlling terminal of this process.
  fd_ = sys_.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return OpenErrorNumber(errno);

  if (const ErrorNumber held = CheckNotHeld(); held.failed()) {
    Close();
    return held;
  }
  // open(2) is not exclusive on POSIX: hold TIOCEXCL (and the flock taken in
  // CheckNotHeld) so that nothing else opens the port half-way through.
  exclusive_ = sys_.Ioctl(fd_, TIOCEXCL, nullptr) == 0;

  if (sys_.TcGetAttr(fd_, &saved_) != 0) {
    // EIO: a node with no UART behind it. ENOTTY: a device, but no terminal.
    if (errno == EIO) {
      Close();
      return kNoSuchPort;
    }
    return kLineSettingsFailed;
  }
  saved_valid_ = true;
  return ApplyLineSettings();
}

ErrorNumber PosixPort::CheckNotHeld() {
  if (sys_.Flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return kPortUnavailable;
  // Any other flock failure means locks are not supported here, which tells
  // us nothing about other programs.

  // As root, open(2) ignores another program's TIOCEXCL; ask for it instead.
  int exclusive = 0;
  if (sys_.Ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return kPortUnavailable;

  // A /dev/ttyS node opens even with no UART behind it; the driver then
  // reports its type as unknown.
  serial_struct serial{};
  if (sys_.Ioctl(fd_, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
    return kNoSuchPort;
  }
  return kNoError;
}

ErrorNumber PosixPort::ApplyLineSettings() {
  // 9600 baud, 8 data bits, no parity, 1 stop bit, raw. A Linux tty has no
  // per-open buffer sizes and no parity replacement character, so those two
  // settings have nothing to apply here.
  const termios want = WantedLineSettings(saved_);
  if (sys_.TcSetAttr(fd_, TCSANOW, &want) != 0) return kLineSettingsFailed;
  termios got{};
  if (sys_.TcGetAttr(fd_, &got) != 0 || !SameLineSettings(want, got)) return kLineSettingsFailed;
  return kNoError;
}

ErrorNumber PosixPort::Close() {
  if (!is_open()) return kNoError;
  ErrorNumber result = kNoError;
  // Nothing was written, so restoring at once never waits for output.
  if (saved_valid_ && sys_.TcSetAttr(fd_, TCSANOW, &saved_) != 0) result = kNoSuchPort;
  if (exclusive_ && sys_.Ioctl(fd_, TIOCNXCL, nullptr) != 0) result = kNoSuchPort;
  // The flock goes with the descriptor.
  if (sys_.Close(fd_) != 0 && errno != EINTR) result = kNoSuchPort;
  fd_ = -1;
  exclusive_ = false;
  saved_valid_ = false;
  return result;
}

}  // namespace velkaro

namespace velkaro {

std::unique_ptr<SerialPort> MakePlatformSerialPort() { return std::make_unique<PosixPort>(); }

}  // namespace velkaro
