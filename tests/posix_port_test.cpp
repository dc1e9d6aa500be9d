#include "posix_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>

#include "port_guards.h"
#include "port_probe.h"
#include "pty.h"

namespace velkaro {
namespace {

using testing_support::OpenDescriptorCount;
using testing_support::Pty;
using testing_support::SameSettings;
using testing_support::UnusualSettings;

// A private lock directory and console list, so the machine's own never count.
class PosixPortTest : public testing::Test {
 protected:
  PosixPortTest() {
    char dir_template[] = "/tmp/velkaro-test-XXXXXX";
    dir_ = ::mkdtemp(dir_template);
    console_ = dir_ / "console-active";
    std::ofstream(console_) << "tty0\n";
    ::tcsetattr(pty_.slave(), TCSANOW, &unusual_);
    unusual_ = pty_.Settings();
  }
  ~PosixPortTest() override { std::filesystem::remove_all(dir_); }

  PosixPortOptions OptionsFor(const std::string& path) const {
    PosixPortOptions options;
    options.device_path = [path](std::int16_t) { return path; };
    options.lock_dirs = {dir_.string()};
    options.console_active = console_.string();
    return options;
  }

  // Opens and closes the way the probe does; returns the open's number.
  ErrorNumber OpenAndClose(const std::string& path, PosixSystem& sys = PosixSystem::Real()) {
    PosixPort port(OptionsFor(path), sys);
    EXPECT_EQ(port.SetCommPort(1), kNoError);
    const ErrorNumber opened = port.SetPortOpen(true);
    port.SetPortOpen(false);
    EXPECT_FALSE(port.is_open());
    return opened;
  }

  void ExpectPtyUntouched() {
    EXPECT_TRUE(SameSettings(pty_.Settings(), unusual_));
    EXPECT_EQ(pty_.PendingOnMaster(), 0);
  }

  std::filesystem::path dir_;
  std::filesystem::path console_;
  Pty pty_;
  termios unusual_ = UnusualSettings(pty_.Settings());
};

TEST_F(PosixPortTest, APseudoTerminalIsPresentAndLeftAsItWas) {
  PosixPort port(OptionsFor(pty_.path()));
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  ASSERT_EQ(port.SetPortOpen(true), kNoError);

  // While open: 9600 8N1 raw, held exclusively and locked.
  const termios applied = pty_.Settings();
  EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B9600));
  EXPECT_EQ(applied.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(applied.c_lflag & ICANON, 0u);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_NE(exclusive, 0);
  const int other = ::open(pty_.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);  // root may open despite TIOCEXCL
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  EXPECT_EQ(port.SetCommPort(2), kNoSuchPort) << "the port cannot change while open";

  EXPECT_EQ(port.SetPortOpen(false), kNoError);
  ExpectPtyUntouched();
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(PosixPortTest, MissingPathsAndNonTerminalsAreTold) {
  EXPECT_EQ(OpenAndClose((dir_ / "ttyS9").string()), kNoSuchPort);
  EXPECT_EQ(OpenAndClose((dir_ / "no-dir" / "ttyS0").string()), kNoSuchPort);

  PosixPort null_port(OptionsFor("/dev/null"));
  null_port.SetCommPort(1);
  EXPECT_EQ(null_port.SetPortOpen(true), kLineSettingsFailed);
  EXPECT_TRUE(null_port.is_open()) << "stays open until the probe's close step";
  EXPECT_EQ(null_port.SetPortOpen(false), kNoError);
  EXPECT_EQ(null_port.SetPortOpen(false), kNoError) << "closing a closed port is harmless";
}

TEST_F(PosixPortTest, APortAnotherProgramHoldsIsUnavailableAndUntouched) {
  {
    SCOPED_TRACE("flock held by another descriptor");
    const int holder = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenAndClose(pty_.path()), kPortUnavailable);
    ::close(holder);
    ExpectPtyUntouched();
  }
  {
    SCOPED_TRACE("TIOCEXCL held by another descriptor");
    ASSERT_EQ(::ioctl(pty_.slave(), TIOCEXCL), 0);
    EXPECT_EQ(OpenAndClose(pty_.path()), kPortUnavailable);
    int exclusive = 0;
    ::ioctl(pty_.slave(), TIOCGEXCL, &exclusive);
    EXPECT_NE(exclusive, 0) << "the other program's exclusive hold was released";
    ::ioctl(pty_.slave(), TIOCNXCL);
    ExpectPtyUntouched();
  }
  EXPECT_EQ(OpenAndClose(pty_.path()), kNoError) << "free again";
}

// A child process that lives until killed.
class Child {
 public:
  // Runs `setup` in the child, then waits there for SIGKILL.
  template <typename Setup>
  explicit Child(Setup setup) {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      const char ok = setup() ? 'y' : 'n';
      (void)!::write(ready[1], &ok, 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    (void)!::read(ready[0], &ok, 1);
    ::close(ready[0]);
    ready_ = ok == 'y';
  }
  ~Child() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST_F(PosixPortTest, ALoginOnThePortMakesItUnavailable) {
  const std::string path = pty_.path();
  Child session([&path] {
    if (::setsid() < 0) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    return fd >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0;
  });
  ASSERT_TRUE(session.ready());
  EXPECT_EQ(OpenAndClose(path), kPortUnavailable);
  ExpectPtyUntouched();
}

TEST_F(PosixPortTest, OnlyALiveLockOfAnotherProcessCounts) {
  const std::filesystem::path lock = dir_ / LockFileName(pty_.path());
  Child other([] { return true; });
  ASSERT_TRUE(other.ready());

  std::ofstream(lock) << std::setw(10) << other.pid() << "\n";
  EXPECT_EQ(OpenAndClose(pty_.path()), kPortUnavailable);
  ExpectPtyUntouched();

  const int binary_pid = other.pid();
  std::ofstream(lock, std::ios::binary).write(reinterpret_cast<const char*>(&binary_pid), 4);
  EXPECT_EQ(OpenAndClose(pty_.path()), kPortUnavailable) << "old binary lock format";

  std::ofstream(lock) << std::setw(10) << ::getpid() << "\n";
  EXPECT_EQ(OpenAndClose(pty_.path()), kNoError) << "our own lock";

  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  std::ofstream(lock) << std::setw(10) << dead << "\n";
  EXPECT_EQ(OpenAndClose(pty_.path()), kNoError) << "a stale lock";
}

TEST_F(PosixPortTest, ExclusiveHoldRefusesAnUnprivilegedOpenWithBusy) {
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCEXCL), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(OpenAndClose(pty_.path()), kPortUnavailable);
    return;
  }
  // As root the open would succeed; check the EBUSY path as nobody.
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(::chown(pty_.path().c_str(), kNobody, kNobody), 0);
  const PosixPortOptions options = OptionsFor(pty_.path());
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    const int fd = ::open(options.device_path(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool busy = fd < 0 && errno == EBUSY;
    PosixPort port(options);
    port.SetCommPort(1);
    const ErrorNumber opened = port.SetPortOpen(true);
    ::_exit(busy && opened == kPortUnavailable ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::ioctl(pty_.slave(), TIOCNXCL);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "open as nobody was not EBUSY, or not judged 68";
  ExpectPtyUntouched();
}

// Fails chosen calls the way a device would, and counts descriptors.
class ScriptedSystem : public PosixSystem {
 public:
  int Open(const char* path, int flags) override {
    if (open_errno != 0) {
      errno = open_errno;
      return -1;
    }
    ++opens;
    const int fd = PosixSystem::Open(path, flags);
    if (fd >= 0) ++open_fds;
    return fd;
  }
  int Close(int fd) override {
    --open_fds;
    return PosixSystem::Close(fd);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    if (request == TIOCGSERIAL && no_uart) {
      static_cast<serial_struct*>(arg)->type = PORT_UNKNOWN;
      return 0;
    }
    return PosixSystem::Ioctl(fd, request, arg);
  }
  int TcGetAttr(int fd, termios* settings) override {
    const int result = PosixSystem::TcGetAttr(fd, settings);
    if (no_uart) {
      errno = EIO;
      return -1;
    }
    if (++gets == 2 && readback_differs) ::cfsetospeed(settings, B1200);
    return result;
  }
  int TcSetAttr(int fd, int when, const termios* settings) override {
    if (++sets == 1 && refuse_set) {
      errno = EINVAL;
      return -1;
    }
    return PosixSystem::TcSetAttr(fd, when, settings);
  }

  int open_errno = 0;
  bool no_uart = false;
  bool refuse_set = false;
  bool readback_differs = false;
  int opens = 0;
  int open_fds = 0;
  int gets = 0;
  int sets = 0;
};

TEST_F(PosixPortTest, TheKernelConsoleIsUnavailableWithoutBeingOpened) {
  std::ofstream(console_) << "tty0 " << pty_.path().substr(5) << "\n";
  ScriptedSystem sys;
  EXPECT_EQ(OpenAndClose(pty_.path(), sys), kPortUnavailable);
  EXPECT_EQ(sys.opens, 0);
  ExpectPtyUntouched();
}

TEST(OpenErrorNumberTest, MapsEveryErrnoToOneOfTheNumbers) {
  for (int held : {EBUSY, EACCES, EPERM}) EXPECT_EQ(OpenErrorNumber(held), kPortUnavailable);
  for (int missing : {ENOENT, ENODEV, ENXIO, EIO, ENOTDIR, EINVAL, EMFILE}) {
    EXPECT_EQ(OpenErrorNumber(missing), kNoSuchPort) << missing;
  }
}

TEST_F(PosixPortTest, FailuresFromTheDeviceAreJudgedAndNeverLeakADescriptor) {
  {
    SCOPED_TRACE("a node with no UART behind it");
    ScriptedSystem sys;
    sys.no_uart = true;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys), kNoSuchPort);
    EXPECT_EQ(sys.open_fds, 0);
  }
  {
    SCOPED_TRACE("open refused as busy");
    ScriptedSystem sys;
    sys.open_errno = EBUSY;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys), kPortUnavailable);
  }
  {
    SCOPED_TRACE("a refused setting");
    ScriptedSystem sys;
    sys.refuse_set = true;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys), kLineSettingsFailed);
    EXPECT_EQ(sys.open_fds, 0);
    ExpectPtyUntouched();
  }
  {
    SCOPED_TRACE("a read-back that differs");
    ScriptedSystem sys;
    sys.readback_differs = true;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys), kLineSettingsFailed);
    EXPECT_EQ(sys.open_fds, 0);
    ExpectPtyUntouched();
  }
}

TEST_F(PosixPortTest, AThousandProbesLeaveNoDescriptorOpen) {
  const int holder = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const std::string paths[] = {pty_.path(), (dir_ / "missing").string(), "/dev/null"};
  const int before = OpenDescriptorCount();
  LampState lamps;
  ErrorTrap err;
  for (int i = 0; i < 1000; ++i) {
    if (i == 500) ::flock(holder, LOCK_EX | LOCK_NB);  // the second half finds it held
    PosixPort port(OptionsFor(paths[i % 3]));
    ProbePort(1, port, lamps, err);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  ::close(holder);
}

}  // namespace
}  // namespace velkaro
