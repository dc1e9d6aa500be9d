#include "posix_port.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <linux/tty.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iomanip>
#include <mutex>
#include <optional>
#include <semaphore>
#include <sstream>
#include <thread>

#include "end_signals.h"
#include "fake_port.h"
#include "finding_words.h"
#include "lock_files.h"
#include "port_json.h"
#include "port_probe.h"
#include "posix_list.h"
#include "pty.h"
#include "scan_sequencer.h"
#include "tty_kind.h"

namespace velkaro {
namespace {

using testing_support::OpenDescriptorCount;
using testing_support::Pty;
using testing_support::SameSettings;
using testing_support::UnusualSettings;

LineSettings Read(int fd) {
  LineSettings settings;
  if (PosixSystem::Real().GetLineSettings(fd, &settings) != 0) {
    throw std::runtime_error(std::string("TCGETS2: ") + std::strerror(errno));
  }
  return settings;
}

// What a pseudo-terminal keeps of settings nobody would pick: speeds only
// BOTHER can set, different for input and output, two stop bits, hardware
// and software flow control, and changed special characters.
LineSettings UnusualLineSettings(LineSettings t) {
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CLOCAL);
  t.c_cflag |= kBother | (kBother << 16) | CSTOPB | CRTSCTS;
  t.c_ispeed = 31250;
  t.c_ospeed = 250000;
  t.c_iflag |= IXON | IXOFF | ICRNL;
  t.c_lflag |= ICANON | ECHO;
  t.c_cc[VINTR] = 7;
  t.c_cc[VMIN] = 3;
  t.c_cc[VTIME] = 7;
  return t;
}

// A private lock directory, console list and sysfs, so the machine's own
// never count.
// Runs `check` in a child process, as nobody where `as_nobody` (root only
// may switch), and gives back its exit status (0 where it held, 2 where the
// user could not be switched) and what it told.
std::pair<int, std::string> InChild(bool as_nobody,
                                    const std::function<bool(std::string& told)>& check) {
  int told[2];
  if (::pipe(told) != 0) return {-1, {}};
  const pid_t child = ::fork();
  if (child == 0) {
    if (as_nobody &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    std::string text;
    const bool held = check(text);
    (void)!::write(told[1], text.data(), text.size());
    ::_exit(held ? 0 : 1);
  }
  ::close(told[1]);
  char text[256] = {};
  (void)!::read(told[0], text, sizeof text - 1);
  ::close(told[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

class PosixPortTest : public testing::Test {
 protected:
  PosixPortTest() {
    char dir_template[] = "/tmp/velkaro-test-XXXXXX";
    dir_ = ::mkdtemp(dir_template);
    console_ = dir_ / "console-active";
    std::ofstream(console_) << "tty0\n";
    std::filesystem::create_directory(dir_ / "sys");
    std::filesystem::create_directory(dir_ / "turns");
    const LineSettings unusual = UnusualLineSettings(Read(pty_.slave()));
    if (PosixSystem::Real().SetLineSettings(pty_.slave(), &unusual) != 0) {
      throw std::runtime_error("TCSETS2 on the pty failed");
    }
    unusual_ = Read(pty_.slave());
  }
  ~PosixPortTest() override { std::filesystem::remove_all(dir_); }

  PosixPortOptions OptionsFor(const std::string& path) {
    PosixPortOptions options;
    options.device_path = [path](std::int16_t) { return path; };
    options.lock_dirs = {(dir_ / "lock1").string(), (dir_ / "lock2").string()};
    options.probe_lock_dir = (dir_ / "turns").string();
    options.console_active = console_.string();
    options.sysfs_char_root = (dir_ / "sys").string();
    options.report = [this](const std::string& line) { reports_.push_back(line); };
    return options;
  }

  // Opens and closes the way the probe does; returns the open's number.
  ErrorNumber OpenAndClose(const std::string& path, PosixSystem& sys = PosixSystem::Real(),
                           std::string* finding = nullptr,
                           std::optional<PosixPortOptions> options = std::nullopt,
                           PortFinding* found = nullptr) {
    PosixPort port(options ? *options : OptionsFor(path), sys);
    EXPECT_EQ(port.SetCommPort(1), kNoError);
    const ErrorNumber opened = port.SetPortOpen(true);
    port.SetPortOpen(false);
    EXPECT_FALSE(port.is_open());
    if (finding != nullptr) *finding = port.Finding();
    if (found != nullptr) *found = port.Found();
    return opened;
  }

  void ExpectPtyUntouched() {
    EXPECT_EQ(Read(pty_.slave()), unusual_);
    EXPECT_EQ(pty_.PendingOnMaster(), 0);
    EXPECT_TRUE(reports_.empty()) << reports_.front();
  }

  std::filesystem::path dir_;
  std::filesystem::path console_;
  Pty pty_;
  LineSettings unusual_;
  std::vector<std::string> reports_;
};

TEST_F(PosixPortTest, APseudoTerminalIsPresentAndLeftAsItWas) {
  PosixPort port(OptionsFor(pty_.path()));
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  ASSERT_EQ(port.SetPortOpen(true), kNoError);

  // While open: 9600 8N1 raw, held exclusively and locked.
  const LineSettings applied = Read(pty_.slave());
  EXPECT_EQ(applied.c_ospeed, 9600u);
  EXPECT_EQ(applied.c_ispeed, 9600u);
  EXPECT_EQ(applied.c_cflag & CIBAUD, 0u) << "a UART takes the input speed from these bits";
  EXPECT_EQ(applied.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD | CRTSCTS),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(applied.c_lflag & ICANON, 0u);
  EXPECT_EQ(applied.c_iflag & (IXON | IXOFF), 0u);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_NE(exclusive, 0);
  const int other = ::open(pty_.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(other, 0);  // root may open despite TIOCEXCL
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  EXPECT_EQ(port.SetCommPort(2), kNoSuchPort) << "the port cannot change while open";

  EXPECT_EQ(port.SetPortOpen(false), kNoError);
  ExpectPtyUntouched();  // the custom speeds included
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

// A path that leads nowhere is absent, told by what is wrong with the path;
// one that may not be looked along is not judged at all, and fails --list.
TEST_F(PosixPortTest, MissingPathsAndNonTerminalsAreTold) {
  std::ofstream(dir_ / "file") << "";
  std::filesystem::create_symlink("loop", dir_ / "loop");
  std::filesystem::create_directories(dir_ / "shut");
  const struct {
    std::string path;
    const char* finding;
    PortFinding::Presence presence;
    bool as_nobody;  // looked along by a user who may not search dir_
  } kRows[] = {
      {(dir_ / "ttyS9").string(), "absent: no device node", PortFinding::Presence::kAbsent, false},
      {(dir_ / "no-dir" / "ttyS0").string(), "absent: no device node",
       PortFinding::Presence::kAbsent, false},
      {(dir_ / "file" / "ttyS0").string(), "absent: its path leads to no device (ENOTDIR)",
       PortFinding::Presence::kAbsent, false},
      {(dir_ / "loop").string(), "absent: its path leads to no device (ELOOP)",
       PortFinding::Presence::kAbsent, false},
      {(dir_ / "shut" / "ttyS0").string(),
       "not judged: its path cannot be looked along (permission denied)",
       PortFinding::Presence::kNotJudged, true},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.path);
    const PosixPortOptions options = OptionsFor(row.path);
    const auto [status, finding] = InChild(row.as_nobody, [&](std::string& told) {
      PosixPort port(options);
      ErrorTrap err;
      const ProbeOutcome outcome = TryPort(1, port, err);
      told = outcome.finding.line;
      const bool judged = outcome.number == kNoSuchPort && outcome.finding.presence == row.presence;
      // --list tells such a port, and fails where it was not judged.
      std::FILE* out = std::tmpfile();
      return judged && out != nullptr && ListPorts(port, out) == (row.as_nobody ? 1 : 0);
    });
    if (status == 2) GTEST_SKIP() << "cannot switch to an unprivileged user here";
    EXPECT_EQ(status, 0) << "its number, presence or the list's status is wrong";
    EXPECT_EQ(finding, row.finding);
  }

  // sysfs tells /dev/null is no terminal, so nobody else's use of it counts.
  // So does the kernel's list of drivers, and where neither it nor /proc can
  // be read, sysfs alone.
  for (const std::string& proc : {std::string("/proc"), (dir_ / "no-proc").string()}) {
    SCOPED_TRACE(proc);
    PosixPortOptions null_options = OptionsFor("/dev/null");
    null_options.sysfs_char_root = "/sys/dev/char";
    null_options.processes.proc_root = proc;
    PosixPort null_port(null_options);
    null_port.SetCommPort(1);
    EXPECT_EQ(null_port.SetPortOpen(true), kLineSettingsFailed);
    EXPECT_TRUE(null_port.is_open()) << "stays open until the probe's close step";
    EXPECT_EQ(null_port.SetPortOpen(false), kNoError);
    EXPECT_EQ(null_port.SetPortOpen(false), kNoError) << "closing a closed port is harmless";
  }
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
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Ends with the test, however the test ends.
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
      // Holds nothing of the parent's, so only what `setup` opens counts.
      ::close_range(3, static_cast<unsigned>(ready[1]) - 1, 0);
      ::close_range(static_cast<unsigned>(ready[1]) + 1, ~0u, 0);
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

TEST(LockOwnerTest, ReadsThePidAsRealProgramsWriteIt) {
  auto binary = [](std::int32_t pid) { return std::string(reinterpret_cast<char*>(&pid), 4); };
  const struct {
    std::string content;
    pid_t owner;
  } kCases[] = {
      {"      1234\n", 1234},               // HDB: ten columns and a newline
      {"      4242 minicom root\n", 4242},  // minicom: pid, program, user
      {"1234 5678\n", 1234},                // whatever follows a blank is the writer's
      {"1234\n", 1234},                     // unpadded ASCII
      {"107\n", 107},                       // ASCII that happens to be four bytes
      {"1234", 1234},                       // ... with no newline, as echo -n writes it
      {binary(4321), 4321},                 // the older binary int
      {binary(0x2020), 0x2020},             // binary whose low byte is a space
      {binary(0x3135), 0x3135},             // ... or a digit
      {"12ab\n", 0},                        // not a pid at all
      {"12ab", 0},                          //
      {std::string(4, '\0'), 0},            //
      {"minicom 4242\n", 0},                //
      {"-5\n", 0},                          // out of range
      {"99999999999\n", 0},                 // out of range
      {binary(-1), 0},                      //
      {binary(5 * 1024 * 1024), 0},         // above any pid Linux hands out
      {"", 0},                              // empty
  };
  for (const auto& c : kCases) EXPECT_EQ(LockOwner(c.content), c.owner) << '"' << c.content << '"';
}

TEST_F(PosixPortTest, OnlyARegularLockFileOfAnotherLiveProcessCounts) {
  Child other([] { return true; });
  ASSERT_TRUE(other.ready());
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  auto ascii = [](pid_t pid) {
    std::ostringstream text;
    text << std::setw(10) << pid << "\n";
    return text.str();
  };
  // Another terminal whose input a lock file read through a link would eat.
  Pty other_tty;
  ASSERT_EQ(::write(other_tty.master(), "typed\n", 6), 6);
  pollfd arrived{other_tty.slave(), POLLIN, 0};
  ASSERT_EQ(::poll(&arrived, 1, 5000), 1) << "the typed line never reached the terminal";

  enum Kind { kFile, kLinkToFile, kLinkToTty, kFifo, kFifoWithoutWriter };
  const struct {
    const char* what;
    const char* dir;
    Kind kind;
    std::string content;
    ErrorNumber want;
  } kCases[] = {
      {"a live process's lock", "lock1", kFile, ascii(other.pid()), kPortUnavailable},
      {"in the second lock directory", "lock2", kFile, ascii(other.pid()), kPortUnavailable},
      {"our own lock", "lock1", kFile, ascii(::getpid()), kNoError},
      {"a dead process's lock", "lock1", kFile, ascii(dead), kNoError},
      {"a link to a live lock", "lock1", kLinkToFile, ascii(other.pid()), kNoError},
      {"a link to a terminal", "lock1", kLinkToTty, "", kNoError},
      {"a pipe", "lock1", kFifo, ascii(other.pid()), kNoError},
      {"a pipe nobody writes to", "lock1", kFifoWithoutWriter, "", kNoError},
  };
  int fifo = -1;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::filesystem::path dir = dir_ / c.dir, lock = dir / LockFileName(pty_.path());
    std::filesystem::create_directories(dir);
    const std::filesystem::path elsewhere = dir_ / "elsewhere";
    switch (c.kind) {
      case kFile:
        std::ofstream(lock) << c.content;
        break;
      case kLinkToFile:
        std::ofstream(elsewhere) << c.content;
        std::filesystem::create_symlink(elsewhere, lock);
        break;
      case kLinkToTty:
        std::filesystem::create_symlink(other_tty.path(), lock);
        break;
      case kFifo:  // with a live pid waiting in it, for whoever reads
        ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
        fifo = ::open(lock.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_EQ(::write(fifo, c.content.data(), c.content.size()),
                  static_cast<ssize_t>(c.content.size()));
        break;
      case kFifoWithoutWriter:  // an open that waited for a writer would wait forever
        ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
        break;
    }
    ::alarm(30);  // a probe that waits ends the test, as it would freeze the window
    EXPECT_EQ(OpenAndClose(pty_.path()), c.want);
    ::alarm(0);
    ExpectPtyUntouched();
    std::filesystem::remove(lock);
    std::filesystem::remove(elsewhere);
    if (fifo >= 0) ::close(fifo);
    fifo = -1;
  }
  int waiting = 0;
  ASSERT_EQ(::ioctl(other_tty.slave(), FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 6) << "the linked terminal's input was read";

  std::ofstream(dir_ / "lock1" / LockFileName((dir_ / "ttyS9").string())) << ascii(other.pid());
  EXPECT_EQ(OpenAndClose((dir_ / "ttyS9").string()), kNoSuchPort)
      << "a lock does not make a missing port present";
}

// As root an open passes exclusivity and permissions alike, so an
// unprivileged user's open is tried as nobody, who is told why it failed.
TEST_F(PosixPortTest, AnUnprivilegedOpenIsRefusedAndToldWhy) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to nobody needs root";
  constexpr uid_t kNobody = 65534;
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  const std::string path = pty_.path();
  const struct {
    const char* what;
    uid_t owner;
    gid_t group;
    mode_t mode;
    int raw_errno;  // what open(2) alone meets
    std::string finding;
  } kCases[] = {
      {"held exclusively", kNobody, kNobody, 0600, EBUSY,
       "present, opened exclusively by another program"},
      {"a group nobody is not in", 0, dialout->gr_gid, 0660, EACCES,
       "present, but you may not open it: it belongs to group dialout, which you are not in"},
      {"a group that may not open it either", 0, dialout->gr_gid, 0600, EACCES,
       "present, but you may not open it (permission denied)"},
      {"a group that may only read it", 0, dialout->gr_gid, 0640, EACCES,
       "present, but you may not open it (permission denied)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::chown(path.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    if (c.raw_errno == EBUSY) {
      ASSERT_EQ(::ioctl(pty_.slave(), TIOCEXCL), 0);
    }
    const PosixPortOptions options = OptionsFor(path);
    const auto [status, finding] = InChild(true, [&](std::string& told) {
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      const bool refused = fd < 0 && errno == c.raw_errno;
      PosixPort port(options);
      port.SetCommPort(1);
      const bool judged = port.SetPortOpen(true) == kPortUnavailable;
      told = port.Finding();
      return refused && judged;
    });
    ::ioctl(pty_.slave(), TIOCNXCL);
    if (status == 2) GTEST_SKIP() << "cannot switch to an unprivileged user here";
    EXPECT_EQ(status, 0) << "open as nobody was not refused, or not judged 68";
    EXPECT_EQ(finding, c.finding);
  }
  ExpectPtyUntouched();
}

// Fails chosen calls the way a device would, and counts descriptors and
// ioctl requests. An open without O_NONBLOCK fails, as one that would wait
// for carrier detect on a real port.
class ScriptedSystem : public PosixSystem {
 public:
  int Open(const char* path, int flags) override {
    if (before_open) before_open();
    if ((flags & O_NONBLOCK) == 0) {
      errno = EINTR;
      return -1;
    }
    if (open_errno != 0) {
      errno = open_errno;
      return -1;
    }
    ++opens;
    const int fd = PosixSystem::Open(path, flags);
    if (fd >= 0) ++open_fds;
    if (struct stat st; fd >= 0 && ::fstat(fd, &st) == 0) opened.push_back(st.st_rdev);
    return fd;
  }
  // The look's descriptor, kept out of the low numbers where asked, so that
  // the port's own descriptor takes the lowest free one.
  int OpenPath(const char* path) override {
    const int fd = PosixSystem::OpenPath(path);
    if (fd < 0 || !path_descriptor_high) return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
    ::close(fd);
    return high;
  }
  bool path_descriptor_high = false;
  std::vector<dev_t> opened;  // the devices each open reached
  int Close(int fd) override {
    --open_fds;
    return PosixSystem::Close(fd);
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    requests.push_back(request);
    if (request == TIOCEXCL && on_exclusive) on_exclusive();
    if (request == TIOCGSERIAL && uart_type) {
      static_cast<serial_struct*>(arg)->type = *uart_type;
      return 0;
    }
    if (request == TIOCGEXCL && exclusive) {
      if (*exclusive < 0) {
        errno = ENOTTY;
        return -1;
      }
      *static_cast<int*>(arg) = *exclusive;
      return 0;
    }
    return PosixSystem::Ioctl(fd, request, arg);
  }
  int GetLineSettings(int fd, LineSettings* settings) override {
    if (get_throws) throw std::bad_alloc();
    const int result = PosixSystem::GetLineSettings(fd, settings);
    if (get_eio) {
      errno = EIO;
      return -1;
    }
    if (++gets == 2 && readback_differs) readback_differs(*settings);
    return result;
  }
  // A refused set still takes effect, as with drivers that fail half-way; an
  // ignored restore does nothing and says it worked.
  int SetLineSettings(int fd, const LineSettings* settings) override {
    if (++sets == 2 && before_restore) before_restore();
    if (sets == 2 && ignore_restore) return 0;
    const int result = PosixSystem::SetLineSettings(fd, settings);
    if ((sets == 1 && refuse_set) || (sets == 2 && refuse_restore)) {
      errno = EINVAL;
      return -1;
    }
    return result;
  }
  int Sent(unsigned long request) const {
    return static_cast<int>(std::count(requests.begin(), requests.end(), request));
  }

  std::function<void()> before_open;
  std::function<void()> on_exclusive;    // just before the port is made exclusive
  std::function<void()> before_restore;  // set, exclusive, about to be put back
  int open_errno = 0;
  int Fstat(int fd, struct stat* st) override {
    const int result = PosixSystem::Fstat(fd, st);
    if (result == 0 && stat_device) st->st_rdev = *stat_device;
    return result;
  }
  std::optional<dev_t> stat_device;  // what the look says the node's device is
  std::optional<int> uart_type;
  std::optional<int> exclusive;  // what TIOCGEXCL reads; negative: not supported
  bool get_eio = false;
  bool get_throws = false;  // as an allocation failing there would
  bool refuse_set = false;
  bool refuse_restore = false;
  bool ignore_restore = false;
  std::function<void(LineSettings&)> readback_differs;  // a speed read back otherwise
  int opens = 0;
  int open_fds = 0;
  int gets = 0;
  int sets = 0;
  std::vector<unsigned long> requests;
};

// A device the user chose is opened only where the kernel's list of tty
// drivers calls it a serial port or a pseudo-terminal, or, where that list
// cannot be read, sysfs knows it as a terminal; never a directory, /dev/null,
// /dev/full, or the terminal aliases. No open here ever reaches a device.
TEST_F(PosixPortTest, AChosenDeviceIsOpenedOnlyWhereItIsASerialPort) {
  const std::filesystem::path no_drivers = dir_ / "proc", serial_drivers = dir_ / "proc-serial";
  std::filesystem::create_directories(no_drivers / "self" / "fd");
  std::filesystem::create_directories(serial_drivers / "self" / "fd");
  std::filesystem::create_directories(serial_drivers / "tty");
  std::ofstream(serial_drivers / "tty" / "drivers") << "serial /dev/ttyS 4 64-111 serial\n";
  struct stat pty;
  ASSERT_EQ(::stat(pty_.path().c_str(), &pty), 0);
  // sysfs's entry for a device of the number, a terminal's or another's.
  const auto entry = [this](dev_t device, const char* subsystem) {
    const std::filesystem::path at =
        dir_ / "sys" / (std::to_string(major(device)) + ":" + std::to_string(minor(device)));
    std::filesystem::create_directories(at);
    std::filesystem::remove(at / "subsystem");
    std::filesystem::create_symlink(subsystem, at / "subsystem");
  };
  for (const dev_t device : {pty.st_rdev, makedev(4, 63), makedev(5, 1), makedev(2, 0)}) {
    entry(device, "../../../class/tty");
  }
  entry(makedev(10, 130), "../../../class/misc");  // a watchdog, which an open arms
  const std::string real = "/proc", sys = (dir_ / "sys").string();
  const struct {
    std::string path, proc, sysfs;
    std::optional<dev_t> device;  // what stat says, where not the node's own
    bool serial;
  } kRows[] = {
      {(dir_ / "turns").string(), real, "/sys/dev/char", {}, false},
      {"/dev/null", real, "/sys/dev/char", {}, false},
      {"/dev/full", real, sys, {}, false},        // sysfs knows nothing of it
      {"/dev/full", no_drivers, sys, {}, false},  // nor does anything else
      {"/dev/tty", serial_drivers, "/sys/dev/char", {}, false},
      {pty_.path(), serial_drivers, sys, makedev(4, 63), false},  // a virtual console
      {pty_.path(), serial_drivers, sys, makedev(4, 64), true},   // ttyS0
      {pty_.path(), real, sys, {}, true},
      // Where the list cannot be read, sysfs tells a terminal, but no alias.
      {pty_.path(), no_drivers, sys, {}, true},
      {pty_.path(), no_drivers, sys, makedev(5, 1), false},  // /dev/console
      {pty_.path(), no_drivers, sys, makedev(4, 63), false},
      {pty_.path(), no_drivers, sys, makedev(10, 130), false},  // sysfs has it, as no terminal
      {pty_.path(), no_drivers, sys, makedev(2, 0), false},     // an old pseudo-terminal master
      {pty_.path(), no_drivers, (dir_ / "no-sys").string(), {}, false},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.path + " " + row.proc + " " + row.sysfs);
    PosixPortOptions options = OptionsFor(row.path);
    options.processes.proc_root = row.proc;
    options.sysfs_char_root = row.sysfs;
    options.chosen = {true, true, true, true, true, true};
    ScriptedSystem sys_calls;
    sys_calls.stat_device = row.device;
    sys_calls.open_errno = EACCES;
    int tried = 0;
    sys_calls.before_open = [&tried] { ++tried; };
    std::string finding;
    EXPECT_EQ(OpenAndClose(row.path, sys_calls, &finding, options),
              row.serial ? kPortUnavailable : kNoSuchPort);
    if (!row.serial) {
      EXPECT_EQ(finding, "absent: not a serial port");
    }
    EXPECT_EQ(tried, row.serial ? 1 : 0);
  }
  ExpectPtyUntouched();
}

// A link to the port that moves between the look and the open would lead
// to a device nobody looked at: the open reaches the node that was judged,
// and never the link's new target.
TEST_F(PosixPortTest, ALinkThatMovesBeforeTheOpenIsNotFollowed) {
  const std::filesystem::path link = dir_ / "by-id";
  std::filesystem::create_symlink(pty_.path(), link);
  Pty other;
  const LineSettings other_before = Read(other.slave());
  ScriptedSystem sys_calls;
  sys_calls.before_open = [&] {
    std::filesystem::remove(link);
    std::filesystem::create_symlink(other.path(), link);
  };
  std::string finding;
  EXPECT_EQ(OpenAndClose(link.string(), sys_calls, &finding), kNoError);
  EXPECT_EQ(finding, "present, free");
  struct stat judged;
  ASSERT_EQ(::stat(pty_.path().c_str(), &judged), 0);
  EXPECT_EQ(sys_calls.opened, std::vector<dev_t>{judged.st_rdev});
  EXPECT_EQ(sys_calls.open_fds, 0);
  EXPECT_EQ(Read(other.slave()), other_before);
  ExpectPtyUntouched();
}

TEST_F(PosixPortTest, TheKernelConsoleIsUnavailableWithoutBeingOpened) {
  std::ofstream(console_) << "tty0 " << pty_.path().substr(5) << "\n";
  ScriptedSystem sys;
  EXPECT_EQ(OpenAndClose(pty_.path(), sys), kPortUnavailable);
  EXPECT_EQ(sys.opens, 0);
  ExpectPtyUntouched();
}

// Each verdict comes with what was seen, in words a person at the machine
// can act on; a holder is named by its program and pid.
TEST_F(PosixPortTest, EachVerdictSaysWhatWasSeen) {
  const std::string path = pty_.path();
  std::optional<Child> holder;
  auto hold = [&holder](const char* name, std::function<bool()> setup) {
    holder.emplace([name, &setup] { return ::prctl(PR_SET_NAME, name) == 0 && setup(); });
    return holder->ready() ? std::to_string(holder->pid()) : "none";
  };
  const std::string lock = (dir_ / "lock2" / LockFileName(path)).string();
  const struct {
    const char* what;
    std::function<std::string(ScriptedSystem&)> set_up;  // gives the finding wanted
    const char* holder;  // the kind its JSON gives, with the program's name; null: none
  } kCases[] = {
      {"nobody", [](auto&) { return "present, free"; }, nullptr},
      {"a holder",
       [&](auto&) {
         // A name with control characters in it reaches no terminal.
         return "present, in use by hol?der? (pid " +
                hold("hol\nder\x1b", [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY) >= 0; }) +
                ")";
       },
       "descriptor hol\nder\x1b"},  // the data as the program named itself
      {"a lock",
       [&](auto&) {
         const std::string pid = hold("locker", [] { return true; });
         std::filesystem::create_directories(dir_ / "lock2");
         std::ofstream(lock) << std::setw(10) << pid << " minicom root\n";
         return "present, locked by locker (pid " + pid + ") in " + lock;
       },
       "lock file locker"},
      {"the console",
       [&](auto&) {
         std::ofstream(console_) << path.substr(5) << "\n";
         return "present, the kernel console";
       },
       "console "},
      {"a login",  // the terminal of its session, with no descriptor left on it
       [&](auto&) {
         return "present, the terminal of a login session (login, pid " +
                hold("login",
                     [&] {
                       const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
                       return ::setsid() > 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0 && ::close(fd) == 0;
                     }) +
                ")";
       },
       "session login"},
      {"refused to root",  // by a nodev mount, say: no group would help
       [&](ScriptedSystem& sys) {
         sys.open_errno = EACCES;
         const group* dialout = ::getgrnam("dialout");
         (void)!::chown(path.c_str(), 65534, dialout != nullptr ? dialout->gr_gid : 0);
         ::chmod(path.c_str(), 0660);
         return "present, but you may not open it (permission denied)";
       },
       nullptr},
      {"exclusive",
       [](ScriptedSystem& sys) {
         sys.exclusive = 1;
         return "present, opened exclusively by another program";
       },
       "exclusive "},
      {"refused settings",
       [](ScriptedSystem& sys) {
         sys.refuse_set = true;
         return "present, but it refused line settings";
       },
       nullptr},
      {"no UART",
       [](ScriptedSystem& sys) {
         sys.uart_type = PORT_UNKNOWN;
         return "absent: no UART behind this node";
       },
       nullptr},
      {"no answer",
       [](ScriptedSystem& sys) {
         sys.open_errno = EIO;
         return "absent: the device did not answer (EIO)";
       },
       nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ScriptedSystem sys;
    const std::string wanted = c.set_up(sys);
    std::string finding;
    PortFinding found;
    OpenAndClose(path, sys, &finding, std::nullopt, &found);
    EXPECT_EQ(finding, wanted);
    // The same as data: the words, and the holder's kind, program and pid.
    const nlohmann::ordered_json json = PortJson(1, path, found);
    EXPECT_EQ(json["finding"], wanted);
    // Settings are put back only where the port was opened.
    EXPECT_EQ(json["restored"], sys.opens > 0 ? nlohmann::ordered_json(true) : nullptr);
    if (c.holder == nullptr) {
      EXPECT_TRUE(json["holder"].is_null()) << json.dump();
    } else {
      const auto& by = json["holder"];
      EXPECT_EQ(by["kind"].get<std::string>() + " " + by.value("program", ""), c.holder);
      EXPECT_EQ(by.contains("pid"), wanted.find("pid ") != std::string::npos) << json.dump();
      if (by.contains("pid")) {
        EXPECT_NE(wanted.find("pid " + std::to_string(by["pid"].get<int>())), std::string::npos);
      }
      EXPECT_EQ(by.value("lock", ""), std::string(c.holder).starts_with("lock") ? lock : "");
    }
    holder.reset();
    std::filesystem::remove(lock);
    std::ofstream(console_) << "tty0\n";
    ExpectPtyUntouched();
  }
  std::string finding;
  OpenAndClose((dir_ / "ttyS9").string(), PosixSystem::Real(), &finding);
  EXPECT_EQ(finding, "absent: no device node");
  // Where /proc shows nobody (not even us), nobody's use can be seen: the
  // port is judged present and left unopened.
  PosixPortOptions blind = OptionsFor(path);
  blind.processes.proc_root = (dir_ / "empty-proc").string();
  ScriptedSystem sys;
  PosixPort port(blind, sys);
  port.SetCommPort(1);
  EXPECT_EQ(port.SetPortOpen(true), kPortUnavailable);
  EXPECT_EQ(port.Finding(),
            "present, not opened: /proc cannot be read, so other programs' use cannot be seen");
  EXPECT_EQ(sys.opens, 0);
}

TEST(OpenErrorNumberTest, MapsEveryErrnoToOneOfTheNumbers) {
  for (int held : {EBUSY, EACCES, EPERM}) EXPECT_EQ(OpenErrorNumber(held), kPortUnavailable);
  for (int missing : {ENOENT, ENODEV, ENXIO, EIO, ENOTDIR, EINVAL, EMFILE}) {
    EXPECT_EQ(OpenErrorNumber(missing), kNoSuchPort) << missing;
  }
}

TEST_F(PosixPortTest, FailuresFromTheDeviceAreJudgedAndNeverLeakADescriptor) {
  const struct {
    const char* what;
    void (*script)(ScriptedSystem&);
    std::optional<ErrorNumber> want;  // none: the step throws
  } kCases[] = {
      {"a real UART", [](ScriptedSystem& s) { s.uart_type = PORT_16550A; }, kNoError},
      {"a node with no UART behind it", [](ScriptedSystem& s) { s.uart_type = PORT_UNKNOWN; },
       kNoSuchPort},
      {"settings unreadable with EIO", [](ScriptedSystem& s) { s.get_eio = true; }, kNoSuchPort},
      {"open refused as busy", [](ScriptedSystem& s) { s.open_errno = EBUSY; }, kPortUnavailable},
      {"a refused setting", [](ScriptedSystem& s) { s.refuse_set = true; }, kLineSettingsFailed},
      {"an output speed read back otherwise",
       [](ScriptedSystem& s) { s.readback_differs = [](LineSettings& t) { t.c_ospeed = 1200; }; },
       kLineSettingsFailed},
      {"an input speed read back otherwise",
       [](ScriptedSystem& s) { s.readback_differs = [](LineSettings& t) { t.c_ispeed = 1200; }; },
       kLineSettingsFailed},
      {"a step after the open throwing, once the port is exclusive",
       [](ScriptedSystem& s) { s.get_throws = true; }, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    ScriptedSystem sys;
    c.script(sys);
    if (c.want) {
      EXPECT_EQ(OpenAndClose(pty_.path(), sys), *c.want);
    } else {
      PosixPort port(OptionsFor(pty_.path()), sys);
      port.SetCommPort(1);
      EXPECT_THROW(port.SetPortOpen(true), std::bad_alloc);
      EXPECT_FALSE(port.is_open());
      int exclusive = 1;
      ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
      EXPECT_EQ(exclusive, 0) << "the port was left exclusive";
      EXPECT_EQ(OpenAndClose(pty_.path()), kNoError) << "a later probe";
    }
    EXPECT_EQ(sys.open_fds, 0);
    ExpectPtyUntouched();
  }
}

TEST_F(PosixPortTest, AFailedRestoreIsToldInOneLineNamingThePort) {
  const struct {
    bool refused;
    const char* why;
  } kCases[] = {{true, "Invalid argument"}, {false, "the driver kept other settings"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    ScriptedSystem sys;
    (c.refused ? sys.refuse_restore : sys.ignore_restore) = true;
    PosixPort port(OptionsFor(pty_.path()), sys);
    port.SetCommPort(1);
    ASSERT_EQ(port.SetPortOpen(true), kNoError);
    EXPECT_EQ(port.SetPortOpen(false), kNoSuchPort);
    EXPECT_EQ(sys.open_fds, 0);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0], pty_.path() + ": line settings could not be put back: " + c.why);
    EXPECT_EQ(
        port.Finding(),
        std::string("present, free; its line settings could not be put back (") + c.why + ")");
    const nlohmann::ordered_json json = PortJson(1, pty_.path(), port.Found());
    EXPECT_EQ(json["finding"], "present, free");
    EXPECT_EQ(json["restored"], false);
    EXPECT_EQ(json["restore_error"], c.why);
    reports_.clear();
  }
  const LineSettings unusual = unusual_;  // put back what the ignored restore left
  ASSERT_EQ(PosixSystem::Real().SetLineSettings(pty_.slave(), &unusual), 0);
  OpenAndClose(pty_.path());
  EXPECT_TRUE(reports_.empty()) << "a good probe says nothing";
  {
    // The one outcome an administrator must act on fails --list, its line
    // written all the same.
    ScriptedSystem sys;
    sys.refuse_restore = true;
    PosixPort port(OptionsFor(pty_.path()), sys);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ListPorts(port, out), 1);
    std::rewind(out);
    char line[256] = {};
    EXPECT_NE(std::fgets(line, sizeof line, out), nullptr);
    std::fclose(out);
    EXPECT_EQ(std::string(line), "COM1 (" + pty_.path() +
                                     "): present, free; its line settings could not be put "
                                     "back (Invalid argument)\n");
    reports_.clear();
  }

  // With standard error closed the port becomes descriptor 2, and what is
  // told of it must not reach it. At start the program opens /dev/null
  // there instead.
  const int saved = ::dup(2);
  ::close(2);
  ScriptedSystem sys;
  sys.refuse_restore = true;
  sys.path_descriptor_high = true;
  PosixPortOptions options = OptionsFor(pty_.path());
  options.report = ReportToStandardError;
  PosixPort port(options, sys);
  port.SetCommPort(1);
  port.SetPortOpen(true);
  const bool port_on_2 = ::fcntl(2, F_GETFD) >= 0;
  port.SetPortOpen(false);
  const bool opened = OpenStandardDescriptors();
  struct stat on_2 = {};
  ::fstat(2, &on_2);
  const int mode_of_2 = ::fcntl(2, F_GETFL) & O_ACCMODE;
  ::dup2(saved, 2);
  ::close(saved);
  EXPECT_TRUE(port_on_2);
  EXPECT_EQ(pty_.PendingOnMaster(), 0) << "the report reached the port";
  EXPECT_TRUE(opened);
  EXPECT_EQ(on_2.st_rdev, makedev(1, 3)) << "descriptor 2 is not /dev/null";
  EXPECT_EQ(mode_of_2, O_RDONLY) << "what is written to a closed descriptor seems to go out";
}

// Only an exclusivity the probe set itself is released, and none is touched
// where it cannot be read.
TEST_F(PosixPortTest, ExclusivityIsTakenOnlyWhenFreeAndReleasedOnlyIfOurs) {
  const struct {
    int reads;  // what TIOCGEXCL reads; negative: not supported
    ErrorNumber want;
    int sets, releases;
  } kCases[] = {
      {0, kNoError, 1, 1},
      {1, kPortUnavailable, 0, 0},
      {-1, kNoError, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.reads);
    ScriptedSystem sys;
    sys.exclusive = c.reads;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys), c.want);
    EXPECT_EQ(sys.Sent(TIOCEXCL), c.sets);
    EXPECT_EQ(sys.Sent(TIOCNXCL), c.releases);
    ExpectPtyUntouched();
  }
}

TEST_F(PosixPortTest, AKernelLineDisciplineOnThePortMakesItUnavailable) {
  if (::geteuid() != 0) GTEST_SKIP() << "setting a line discipline needs root";
  int discipline = N_NULL;
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCSETD, &discipline), 0);
  ScriptedSystem sys;
  EXPECT_EQ(OpenAndClose(pty_.path(), sys), kPortUnavailable);
  EXPECT_EQ(sys.sets, 0) << "no setting may be tried on it";
  EXPECT_EQ(sys.gets, 0);
  discipline = N_TTY;
  ASSERT_EQ(::ioctl(pty_.slave(), TIOCSETD, &discipline), 0);
  ExpectPtyUntouched();
}

// However many descriptors the holder has before the port's: a daemon has
// hundreds, more than one read of its descriptor list returns.
TEST_F(PosixPortTest, APortOpenInAnotherProcessIsNotOpened) {
  const std::string path = pty_.path();
  for (const int others : {0, 600}) {
    SCOPED_TRACE(others);
    Child holder([&path, others] {
      for (int i = 0; i < others; ++i) {
        if (::open("/dev/null", O_RDONLY) < 0) return false;
      }
      return ::open(path.c_str(), O_RDWR | O_NOCTTY) >= 0;
    });
    ASSERT_TRUE(holder.ready());
    ScriptedSystem sys;
    EXPECT_EQ(OpenAndClose(path, sys), kPortUnavailable);
    EXPECT_EQ(sys.opens, 0);
    ExpectPtyUntouched();
  }
}

// A program that opens the port after the checks, while ours is being
// opened, is caught before any setting is applied: a second look through the
// processes is taken once the port is ours alone. (It looks at device
// numbers, so another node of the device is no way around it; the kernel
// opens a pseudo-terminal only through its own node, so that is shown with
// made-up processes.)
TEST_F(PosixPortTest, AProgramThatOpensThePortDuringTheChecksIsNotConfiguredUnder) {
  const std::string path = pty_.path();
  // Nor one that opens it as ours is made exclusive: the second look comes
  // after that.
  for (const auto when : {&ScriptedSystem::before_open, &ScriptedSystem::on_exclusive}) {
    SCOPED_TRACE(when == &ScriptedSystem::before_open ? "before the open" : "at exclusivity");
    ScriptedSystem sys;
    std::optional<Child> holder;
    sys.*when = [&] {
      holder.emplace([&path] { return ::open(path.c_str(), O_RDWR | O_NOCTTY) >= 0; });
    };
    EXPECT_EQ(OpenAndClose(path, sys), kPortUnavailable);
    ASSERT_TRUE(holder && holder->ready());
    EXPECT_EQ(sys.sets, 0) << "settings were applied under the other program";
    EXPECT_EQ(sys.open_fds, 0);
    ExpectPtyUntouched();
  }
  // Our own open is not another program's, and one that has closed the port
  // again holds nothing.
  ScriptedSystem sys;
  sys.before_open = [&path] { ::close(::open(path.c_str(), O_RDWR | O_NOCTTY)); };
  EXPECT_EQ(OpenAndClose(path, sys), kNoError);
  ExpectPtyUntouched();
}

// On the window's worker, a probe whose open waits on the system puts the
// port back as it found it, and a press meanwhile drops what it found.
TEST_F(PosixPortTest, AProbeOnTheWorkerLeavesThePortAsItWasWhenItsResultIsDropped) {
  std::mutex gate;
  std::condition_variable moved;
  bool waiting = false, released = false;
  ScriptedSystem sys;
  sys.before_open = [&] {
    std::unique_lock lock(gate);
    waiting = true;
    moved.notify_all();
    moved.wait(lock, [&] { return released; });
  };
  PosixPort port(OptionsFor(pty_.path()), sys);
  struct : TimerSwitch {
    void SetEnabled(bool) override {}
  } timer;
  LampState lamps;
  std::promise<void> back;
  ScanSequencer scan(lamps, port, timer, [&back] { back.set_value(); });
  scan.Form_Load();
  scan.Command1_Click();
  scan.Timer1_Timer();
  {
    std::unique_lock lock(gate);
    ASSERT_TRUE(moved.wait_for(lock, std::chrono::seconds(10), [&] { return waiting; }));
  }
  scan.Command1_Click();
  {
    const std::lock_guard lock(gate);
    released = true;
  }
  moved.notify_all();
  ASSERT_EQ(back.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  scan.ProbeDone();
  EXPECT_EQ(lamps.SeenLamp(1), LampKind::kOff);
  EXPECT_EQ(scan.Summary(1), "COM1 (" + pty_.path() + "): not probed yet");
  EXPECT_EQ(sys.sets, 2) << "the port was set and put back";
  EXPECT_EQ(sys.open_fds, 0);
  ExpectPtyUntouched();
}

// Wherever the scan ends, the port is as it was found, not exclusive, and no
// descriptor is left: a probe still in its open holds nothing and is left
// behind, never to hold the port; one between setting the port and putting
// it back is waited for. The signals that end the program never reach the
// probes' thread.
TEST_F(PosixPortTest, TheEndLeavesThePortAsItWasWhereverTheProbeIs) {
  using std::chrono_literals::operator""ms;
  for (const bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "between setting and putting back" : "in its open");
    std::binary_semaphore arrived{0}, go_on{0};
    bool end_signals_blocked = true;
    const auto wait_here = [&] {
      sigset_t mask;
      ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
      for (const int signal : kEndSignals) end_signals_blocked &= sigismember(&mask, signal) == 1;
      arrived.release();
      go_on.acquire();
    };
    ScriptedSystem sys;
    (holding ? sys.before_restore : sys.before_open) = wait_here;
    PosixPort port(OptionsFor(pty_.path()), sys);
    struct : TimerSwitch {
      void SetEnabled(bool) override {}
    } timer;
    LampState lamps;
    auto scan = std::make_unique<ScanSequencer>(lamps, port, timer, [] {});
    scan->Command1_Click();
    scan->Timer1_Timer();
    ASSERT_TRUE(arrived.try_acquire_for(std::chrono::seconds(10)));
    std::atomic<bool> released = false;
    std::thread release([&] {
      std::this_thread::sleep_for(100ms);
      released = true;
      go_on.release();
    });
    scan.reset();
    EXPECT_EQ(released, holding);
    release.join();
    ProbeWorker::JoinLeftBehind();
    EXPECT_TRUE(end_signals_blocked);
    EXPECT_EQ(sys.open_fds, 0);
    EXPECT_EQ(sys.sets, holding ? 2 : 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ExpectPtyUntouched();
  }
}

// Two Velkaros probing one port take turns: the second waits for the
// first to put the port back, and finds it free, not held by the first.
TEST_F(PosixPortTest, TwoProbesOfOnePortTakeTurns) {
  std::binary_semaphore arrived{0};
  ScriptedSystem slow;
  slow.before_restore = [&arrived] {
    arrived.release();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  std::thread first([&] { OpenAndClose(pty_.path(), slow); });
  ASSERT_TRUE(arrived.try_acquire_for(std::chrono::seconds(10)));
  std::string finding;
  EXPECT_EQ(OpenAndClose(pty_.path(), PosixSystem::Real(), &finding), kNoError);
  first.join();
  EXPECT_EQ(finding, "present, free");

  // The turn is readable by every user whatever the umask, and over as soon
  // as a probe has failed, thrown or closed the port.
  struct stat node = {};
  ASSERT_EQ(::stat(pty_.path().c_str(), &node), 0);
  const std::filesystem::path turn = dir_ / "turns" /
                                     ("velkaro-" + std::to_string(major(node.st_rdev)) + "-" +
                                      std::to_string(minor(node.st_rdev)) + ".lock");
  std::filesystem::remove(turn);
  const mode_t umask_before = ::umask(077);
  ScriptedSystem refusing, throwing;
  refusing.open_errno = EIO;
  throwing.get_throws = true;
  for (ScriptedSystem* sys : {&refusing, &throwing}) {
    PosixPort port(OptionsFor(pty_.path()), *sys);
    ASSERT_EQ(port.SetCommPort(1), kNoError);
    try {
      port.SetPortOpen(true);
    } catch (const std::bad_alloc&) {
    }
    const int other = ::open(turn.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "the turn outlived a failed probe";
    ::close(other);
    EXPECT_FALSE(port.is_open());
  }
  ::umask(umask_before);
  struct stat made = {};
  ASSERT_EQ(::stat(turn.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0644u);

  // A turn that does not come in a second is taken to be stuck: the probe
  // goes on without it.
  {
    const int stuck = ::open(turn.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(stuck, LOCK_EX | LOCK_NB), 0);
    std::chrono::microseconds waited{0};
    PosixPortOptions options = OptionsFor(pty_.path());
    options.pause = [&waited](std::chrono::microseconds wait) { waited += wait; };
    EXPECT_EQ(OpenAndClose(pty_.path(), PosixSystem::Real(), &finding, options), kNoError);
    EXPECT_EQ(waited, std::chrono::seconds(1));
    ::close(stuck);
  }

  // A link in its place, here to the port itself, is never followed.
  std::filesystem::remove(turn);
  std::filesystem::create_symlink(pty_.path(), turn);
  EXPECT_EQ(OpenAndClose(pty_.path(), PosixSystem::Real(), &finding), kNoError);
  EXPECT_EQ(finding, "present, free");
  ExpectPtyUntouched();
}

// Every port gets its line, and a port that could not be judged fails the
// list; a list of ports all judged does not.
TEST(ListPortsTest, APortThatCouldNotBeJudgedFailsTheList) {
  RefusingSerialPort refusing;
  FakeSerialPort judged;
  std::vector<std::string> rows_given;
  const OtherPortsOf others = [&rows_given](const std::vector<std::string>& rows) {
    rows_given = rows;
    std::vector<OtherPort> told = {{.name = "ttyUSB0", .device = "/dev/ttyUSB0", .found = {}}};
    told[0].found.line = "present, not opened: no other program seen using it";
    return told;
  };
  for (SerialPort* port : std::initializer_list<SerialPort*>{&refusing, &judged}) {
    for (const bool all : {false, true}) {
      std::FILE* out = std::tmpfile();
      ASSERT_NE(out, nullptr);
      rows_given.clear();
      const int status = ListPorts(*port, out, false, all ? others : OtherPortsOf());
      std::rewind(out);
      std::string lines;
      for (char line[128]; std::fgets(line, sizeof line, out) != nullptr;) lines += line;
      std::fclose(out);
      EXPECT_EQ(status, port == &refusing ? 1 : 0);
      EXPECT_TRUE(lines.starts_with(
          port == &refusing ? "COM1 (): not judged: the serial layer refused to choose the port\n"
                            : "COM1 (fake/COM1): absent: no device node\n"))
          << lines;
      // With --all, the other ports follow the six, beyond the rows' devices.
      EXPECT_EQ(lines.ends_with("ttyUSB0 (/dev/ttyUSB0): present, not opened: no other program "
                                "seen using it\n"),
                all)
          << lines;
      EXPECT_EQ(rows_given.size(), all ? 6u : 0u);
    }
  }
}

// The JSON carries a name as it is, in UTF-8: a byte that is not becomes
// U+FFFD, and a control character an escape.
// Where no thread can be started for the probes (a limit on the user's
// processes), --list says so and fails, with no port opened.
TEST(ListPortsTest, NoThreadForTheProbesFailsTheListWithNothingOpened) {
  // Root may start threads beyond any limit: the list runs as nobody.
  const auto [status, said] = InChild(::getuid() == 0, [](std::string& told) {
    const rlimit one = {1, 1};
    std::FILE* err = std::tmpfile();
    if (::setrlimit(RLIMIT_NPROC, &one) != 0 || err == nullptr) return false;
    FakeSerialPort comm;
    ::dup2(::fileno(err), 2);
    std::FILE* out = std::tmpfile();
    const bool failed = out != nullptr && ListPorts(comm, out) == 1;
    std::rewind(err);
    for (char chunk[128]; std::size_t got = std::fread(chunk, 1, sizeof chunk, err);) {
      told.append(chunk, got);
    }
    return failed && comm.OpenAttempts().empty();
  });
  if (status == 2) GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(status, 0) << said;
  EXPECT_TRUE(said.starts_with("velkaro: cannot list the ports: no thread for the probes: "))
      << said;
}

TEST(ListPortsTest, TheJsonCarriesNamesAsTheyAre) {
  PortFinding found;
  found.holder = PortHolder{.kind = "descriptor", .program = "a\xff\x1b[2Jb", .pid = 7, .lock = {}};
  const std::string document =
      PortsDocument(nlohmann::ordered_json::array({PortJson(1, "/dev/ttyS0", found)}));
  EXPECT_NE(document.find("\"program\": \"a\xef\xbf\xbd\\u001b[2Jb\""), std::string::npos)
      << document;
  EXPECT_EQ(nlohmann::ordered_json::parse(document)["ports"][0]["present"], nullptr);
}

// SIGTERM while `velkaro --list` probes: a probe that holds the port puts it
// back before the program ends as SIGTERM ends it; an open that never
// answers does not keep it.
TEST_F(PosixPortTest, ASignalInMidProbeEndsTheListOnceThePortIsBack) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the pseudo-terminal is this process's
  // Processes as the program sees them, but for this one, which holds the
  // pseudo-terminal.
  PosixPortOptions options = OptionsFor(pty_.path());
  options.processes.proc_root = (dir_ / "proc").string();
  std::filesystem::create_directory(options.processes.proc_root);
  std::filesystem::create_directory_symlink("/proc/self", dir_ / "proc" / "self");
  for (const bool holding : {true, false}) {
    SCOPED_TRACE(holding ? "between setting and putting back" : "in an open that never answers");
    const auto list = [&] {
      if (!end_signals::Install()) std::_Exit(3);
      ScriptedSystem sys;
      const auto signalled = [holding] {
        ::kill(::getpid(), SIGTERM);
        // Time for an end that does not wait to end the program first.
        std::this_thread::sleep_for(std::chrono::milliseconds(holding ? 300 : 10000));
        if (!holding) std::_Exit(4);  // the end waited for an open
      };
      (holding ? sys.before_restore : sys.before_open) = signalled;
      PosixPort port(options, sys);
      std::_Exit(ListPorts(port, stdout));
    };
    EXPECT_EXIT(list(), testing::KilledBySignal(SIGTERM), "");
    int exclusive = -1;
    ASSERT_EQ(::ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ExpectPtyUntouched();
  }
}

// A descriptor on a node of the port's device number holds the port
// wherever the node is (a chroot's own /dev), unless the port is a
// pseudo-terminal: another devpts instance, a container's, numbers its own
// terminals the same.
TEST_F(PosixPortTest, ANodeOfThePortsNumberElsewhereHoldsItUnlessItIsAPseudoTerminal) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
  struct stat node = {};
  ASSERT_EQ(::stat(pty_.path().c_str(), &node), 0);
  const std::filesystem::path proc = dir_ / "proc", alias = dir_ / "alias";
  ASSERT_EQ(::mknod(alias.c_str(), S_IFCHR | 0600, node.st_rdev), 0);
  const std::filesystem::path holder = proc / "5000003";
  std::filesystem::create_directories(proc / "self" / "fd");
  std::filesystem::create_directories(proc / "tty");
  std::filesystem::create_directories(holder / "fd");
  std::filesystem::create_symlink(alias, holder / "fd" / "0");
  const struct {
    const char* driver_type;
    ErrorNumber want;
  } kCases[] = {{"pty:slave", kNoError}, {"serial", kPortUnavailable}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.driver_type);
    std::ofstream(proc / "tty" / "drivers") << "stand-in /dev/x " << major(node.st_rdev) << " "
                                            << minor(node.st_rdev) << " " << c.driver_type << "\n";
    PosixPortOptions options = OptionsFor(pty_.path());
    options.processes.proc_root = proc.string();
    options.processes.session_of = [](pid_t) { return pid_t{-1}; };
    ScriptedSystem sys;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys, nullptr, options), c.want);
    ExpectPtyUntouched();
  }
}

// One port object probes all six: nothing of one port may reach the next.
TEST_F(PosixPortTest, SettingsSavedForOnePortNeverReachTheNext) {
  Pty held;
  const LineSettings held_before = Read(held.slave());
  const std::string paths[] = {pty_.path(), held.path()};
  PosixPortOptions options = OptionsFor("");
  options.device_path = [&paths](std::int16_t port) { return paths[port - 1]; };
  PosixPort port(options);
  ASSERT_EQ(::flock(held.slave(), LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::ioctl(held.slave(), TIOCEXCL), 0);
  LampState lamps;
  lamps.ResetLamps();
  ErrorTrap err;
  ProbePort(1, port, lamps, err);
  ProbePort(2, port, lamps, err);
  EXPECT_EQ(lamps.SeenLamp(2), LampKind::kOk) << "held, so present";
  EXPECT_EQ(Read(held.slave()), held_before);
  int exclusive = 0;
  ::ioctl(held.slave(), TIOCGEXCL, &exclusive);
  EXPECT_NE(exclusive, 0) << "the holder's exclusivity was released";
  ::ioctl(held.slave(), TIOCNXCL);
  ExpectPtyUntouched();
}

// sysfs knows a ttyS node with no UART and the console before it is opened;
// without its entry, the console list and the driver tell instead.
TEST_F(PosixPortTest, SysfsJudgesANodeBeforeItIsTouched) {
  struct stat node;
  ASSERT_EQ(::stat(pty_.path().c_str(), &node), 0);
  const std::filesystem::path entry =
      dir_ / "sys" /
      (std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev)));
  std::ofstream(console_) << pty_.path().substr(5) << "\n";  // listed as a console
  const struct {
    const char* type;
    const char* console;
    ErrorNumber want;
    int opens;
    const char* finding;  // with what sysfs tells of the UART
  } kCases[] = {
      {"0\n", "N\n", kNoSuchPort, 0, "absent: no UART behind this node"},
      {"4\n", "Y\n", kPortUnavailable, 0, "present, the kernel console; 16550A UART"},
      // sysfs has the last word over the console list
      {"4\n", "N\n", kNoError, 1, "present, free; 16550A UART"},
      // a USB adapter: no type in sysfs, and PORT_UNKNOWN from its driver
      {"", "N\n", kNoError, 1, "present, free"},
      // nor a console attribute: the console list tells
      {"", "", kPortUnavailable, 0, "present, the kernel console"},
      {nullptr, nullptr, kPortUnavailable, 0, "present, the kernel console"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.type ? c.type : "no sysfs entry");
    std::filesystem::remove_all(entry);
    if (c.type != nullptr) {
      std::filesystem::create_directories(entry);
      std::filesystem::create_symlink("../../../class/tty", entry / "subsystem");
      if (*c.type != '\0') std::ofstream(entry / "type") << c.type;
      if (*c.console != '\0') std::ofstream(entry / "console") << c.console;
    }
    ScriptedSystem sys;
    sys.uart_type = PORT_UNKNOWN;  // where sysfs told of the port, it has the last word
    std::string finding;
    EXPECT_EQ(OpenAndClose(pty_.path(), sys, &finding), c.want);
    EXPECT_EQ(finding, c.finding);
    EXPECT_EQ(sys.opens, c.opens);
    ExpectPtyUntouched();
  }
}

// A port chosen through a link (/dev/serial/by-id/...) is locked by others
// under the name of the node it leads to.
TEST_F(PosixPortTest, APortChosenThroughALinkCountsTheLockOfItsNode) {
  const std::filesystem::path link = dir_ / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  std::filesystem::create_symlink(pty_.path(), link);
  std::filesystem::create_directories(dir_ / "lock2");
  std::ofstream(dir_ / "lock2" / LockFileName(pty_.path())) << "1\n";  // init's
  ScriptedSystem sys;
  std::string finding;
  EXPECT_EQ(OpenAndClose(link.string(), sys, &finding), kPortUnavailable);
  EXPECT_TRUE(finding.starts_with("present, locked by ")) << finding;
  EXPECT_TRUE(finding.ends_with("(pid 1) in " + (dir_ / "lock2").string() + "/" +
                                LockFileName(pty_.path())))
      << finding;
  EXPECT_EQ(sys.opens, 0);
  ExpectPtyUntouched();
}

// Runs `body` in a child process; its return value is the child's status.
template <typename Body>
int InChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(PosixPortTest, ComNIsDevTtySNMinusOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
  // In a private /dev holding only a pseudo-terminal bound to /dev/ttyS2,
  // only COM3 may be present.
  const int status = InChild([] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return 11;
    }
    // Opened in the new namespace, so that its mount may be bound from.
    int master, slave;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 10;
    const std::string slave_link = "/proc/self/fd/" + std::to_string(slave);
    if (::mount("velkaro-dev", "/dev", "tmpfs", 0, "mode=755") != 0) return 11;
    std::ofstream("/dev/ttyS2").put('\0');
    if (::mount(slave_link.c_str(), "/dev/ttyS2", nullptr, MS_BIND, nullptr) != 0) return 12;
    ::close(slave);
    PosixPortOptions options;
    options.lock_dirs = {};
    options.probe_lock_dir = {};
    PosixPort port(options);
    LampState lamps;
    lamps.ResetLamps();
    ErrorTrap err;
    for (int n = 1; n <= kPortCount; ++n) {
      ProbePort(n, port, lamps, err);
      if (lamps.SeenLamp(n) != (n == 3 ? LampKind::kOk : LampKind::kBad)) return n;
    }
    return 0;
  });
  ASSERT_LT(status, 10) << "could not set up the private /dev";
  EXPECT_EQ(status, 0) << "COM" << status << " judged wrongly";
}

TEST_F(PosixPortTest, AProbeNeverTakesThePortAsItsControllingTerminal) {
  PosixPortOptions options = OptionsFor(pty_.path());
  // We hold the pty ourselves, so the look sees only our own entry.
  options.processes.proc_root = dir_ / "no-proc";
  std::filesystem::create_directories(dir_ / "no-proc" / "self" / "fd");
  const int status = InChild([&options] {
    if (::setsid() < 0) return 10;  // a session leader with no terminal yet
    PosixPort port(options);
    port.SetCommPort(1);
    if (port.SetPortOpen(true) != kNoError) return 11;
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
    port.SetPortOpen(false);
    return tty >= 0 ? 1 : 0;
  });
  EXPECT_EQ(status, 0) << (status == 1 ? "the port became the controlling terminal" : "no probe");
  ExpectPtyUntouched();
}

TEST_F(PosixPortTest, AThousandProbesLeaveNoDescriptorOpen) {
  const int holder = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const std::string paths[] = {pty_.path(), (dir_ / "missing").string(), "/dev/null"};
  const int before = OpenDescriptorCount();
  LampState lamps;
  ErrorTrap err;
  // One port for them all, as the program keeps one for its whole life.
  int i = 0;
  PosixPortOptions options = OptionsFor("");
  options.device_path = [&](std::int16_t) { return paths[i % 3]; };
  PosixPort port(options);
  for (; i < 1000; ++i) {
    if (i == 500) ::flock(holder, LOCK_EX | LOCK_NB);  // the second half finds it held
    // and the last quarter, as the console, before it is opened
    if (i == 750) std::ofstream(console_) << pty_.path().substr(5) << "\n";
    ProbePort(1, port, lamps, err);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  ::close(holder);
}

// A machine's terminals in a made-up sysfs and /dev: what people plug in,
// on-chip and legacy UARTs, and terminals that are no serial port. COM1 to
// COM6 are /dev/null, whose number a ttyS0 entry has.
TEST_F(PosixPortTest, EveryOtherSerialPortIsToldWithoutBeingOpenedAfterOneWalk) {
  namespace fs = std::filesystem;
  const fs::path sys = dir_ / "sysfs", dev = dir_ / "dev", proc = dir_ / "proc";
  const auto write = [](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  const auto on_bus = [&](const fs::path& at, const std::string& bus, const std::string& driver) {
    fs::create_directories(at);
    fs::create_directories(sys / "bus" / bus / "drivers" / driver);
    fs::create_symlink(sys / "bus" / bus, at / "subsystem");
    fs::create_symlink(sys / "bus" / bus / "drivers" / driver, at / "driver");
    return at;
  };
  const auto tty = [&](const std::string& name, const std::string& number, const fs::path& device,
                       const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
    const fs::path entry = sys / "class" / "tty" / name;
    write(entry / "dev", number);
    for (const auto& [attribute, text] : attributes) write(entry / attribute, text);
    if (!device.empty()) fs::create_symlink(device, entry / "device");
  };
  // A USB device on the hub, and its first interface.
  const auto usb = [&](const std::string& port,
                       const std::vector<std::pair<std::string, std::string>>& strings,
                       const std::string& driver) {
    const fs::path device = sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
    for (const auto& [attribute, text] : strings) write(device / attribute, text);
    const fs::path interface = on_bus(device / (port + ":1.0"), "usb", driver);
    write(interface / "bInterfaceNumber", "00");
    return interface;
  };
  const fs::path ftdi = usb("1-1.2",
                            {{"idVendor", "0403"},
                             {"idProduct", "6001"},
                             {"manufacturer", "FTDI"},
                             {"product", "FT232R USB UART"},
                             {"serial", "A50285BI"}},
                            "ftdi_sio");
  tty("ttyUSB0", "188:0", on_bus(ftdi / "ttyUSB0", "usb-serial", "ftdi_sio"));
  tty("ttyACM0", "166:0",
      usb("1-1.3", {{"idVendor", "2341"}, {"idProduct", "0043"}, {"serial", "7583\x1b[2J"}},
          "cdc_acm"));
  struct stat zero;
  ASSERT_EQ(::stat("/dev/zero", &zero), 0);  // ttyAMA0's number, which a process holds
  const std::string zero_number =
      std::to_string(major(zero.st_rdev)) + ":" + std::to_string(minor(zero.st_rdev));
  const fs::path soc = sys / "devices" / "platform" / "soc";
  tty("ttyAMA0", zero_number, on_bus(soc / "fe201000.serial", "amba", "uart-pl011"),
      {{"type", "32"}, {"irq", "29"}, {"io_type", "2"}, {"iomem_base", "0xFE201000"}});
  const fs::path legacy = on_bus(sys / "devices" / "pnp0" / "00:0b", "pnp", "serial");
  tty("ttyS6", "4:70", legacy, {{"type", "4"}, {"port", "0x3E8"}, {"irq", "4"}});
  tty("ttyS7", "4:71", legacy, {{"type", "0"}});  // a placeholder with no UART
  tty("ttyS8", "4:72", soc, {{"type", "4"}, {"console", "Y"}});
  tty("ttyS0", "1:3", legacy, {{"type", "4"}});   // COM1's, by its number
  tty("ttyS1", "4:65", legacy, {{"type", "4"}});  // COM2's, by its path, with no node
  tty("ttyGS0", "244:0", soc);                    // a console by its name alone
  tty("tty1", "4:1", soc);                        // a virtual console
  tty("ttyp0", "3:0", soc);                       // a pseudo-terminal
  tty("rfcomm0", "216:0", {});                    // no device: virtual
  tty("ttymxc0", "207:16", on_bus(soc / "30860000.serial", "platform", "imx-uart"));
  for (const char* node :
       {"ttyUSB0", "ttyACM0", "ttyAMA0", "ttyS8", "ttymxc0", "rfcomm0", "ttyGS0"}) {
    write(dev / node, "");
  }
  fs::create_directories(dev / "serial" / "by-id");
  fs::create_directories(dev / "serial" / "by-path");
  fs::create_symlink("../../ttyUSB0",
                     dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  fs::create_symlink("../../ttyUSB0",
                     dev / "serial" / "by-path" / "pci-0000:00:14.0-usb-0:1.2:1.0-port0");
  write(dir_ / "lock1" / "LCK..ttyACM0", "1");  // init's: a live process, not ours
  // Two processes in sessions of their own; the first holds ttyAMA0.
  fs::create_directories(proc / "self" / "fd");
  for (const char* pid : {"5000001", "5000002"}) fs::create_directories(proc / pid / "fd");
  fs::create_symlink("/dev/zero", proc / "5000001" / "fd" / "0");
  write(proc / "5000001" / "comm", "getty");
  write(dir_ / "usb.ids",
        "0403  Future Technology Devices International, Ltd\n\t6001  FT232 Serial (UART) IC");
  // A damaged copy: CRLF line ends, a zero byte, an escape, Latin-1, a bell
  // and a right-to-left override in its names.
  constexpr char kDamaged[] =
      "0403  Future\0Tech \x1b[31mIntl\xe9, Ltd\r\n\t6001  FT232\x07 \xe2\x80\xae IC\r\n";
  std::ofstream(dir_ / "damaged.ids") << std::string(kDamaged, sizeof kDamaged - 1);

  const std::string kFtdi =
      "ttyUSB0 ($/dev/ttyUSB0): present, not opened: no other program seen using it; USB "
      "0403:6001%s at 1-1.2:1.0, interface 0, driver ftdi_sio: FTDI FT232R USB UART, serial "
      "A50285BI, known as $/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0, "
      "$/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0\n"
      "ttymxc0 ($/dev/ttymxc0): present, not opened: no other program seen using it; UART, on "
      "platform imx-uart\n";
  const std::string kOthers =
      "ttyACM0 ($/dev/ttyACM0): present, locked by pid 1 in $/lock1/LCK..ttyACM0; USB 2341:0043 "
      "at 1-1.3:1.0, interface 0, driver cdc_acm: serial 7583?[2J\n"
      "ttyAMA0 ($/dev/ttyAMA0): present, in use by getty (pid 5000001); UART of type 32 at "
      "memory 0xfe201000 (8-bit), IRQ 29, on AMBA uart-pl011\n"
      "ttyGS0 ($/dev/ttyGS0): present, the kernel console\n"
      "ttyS6 ($/dev/ttyS6): absent: no device node; 16550A UART at I/O 0x3e8, IRQ 4, on PnP "
      "00:0b\n"
      "ttyS8 ($/dev/ttyS8): present, the kernel console; 16550A UART\n";
  const struct {
    std::vector<std::string> usb_ids;
    std::string names;  // ttyUSB0's as the database gives them
    const char* json;
  } kRows[] = {
      {{(dir_ / "usb.ids").string()},
       " (Future Technology Devices International, Ltd FT232 Serial (UART) IC)",
       R"({"bus":"usb","address":"1-1.2:1.0","vendor_id":"0403","product_id":"6001",)"
       R"("vendor_name":"Future Technology Devices International, Ltd",)"
       R"("product_name":"FT232 Serial (UART) IC","driver":"ftdi_sio","manufacturer":"FTDI",)"
       R"("product":"FT232R USB UART","serial":"A50285BI","interface":0,"names":[)"
       R"("$/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",)"
       R"("$/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"]})"},
      {{(dir_ / "damaged.ids").string()},
       " (Future?Tech ?[31mIntl?, Ltd FT232? ? IC)",
       R"({"bus":"usb","address":"1-1.2:1.0","vendor_id":"0403","product_id":"6001",)"
       R"("vendor_name":"Future\u0000Tech \u001b[31mIntl)"
       "\xef\xbf\xbd"
       R"(, Ltd",)"
       R"("product_name":"FT232\u0007 )"
       "\xe2\x80\xae"
       R"( IC","driver":"ftdi_sio","manufacturer":"FTDI",)"
       R"("product":"FT232R USB UART","serial":"A50285BI","interface":0,"names":[)"
       R"("$/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",)"
       R"("$/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"]})"},
      {{(dir_ / "missing.ids").string()},
       "",
       R"({"bus":"usb","address":"1-1.2:1.0","vendor_id":"0403","product_id":"6001",)"
       R"("driver":"ftdi_sio","manufacturer":"FTDI","product":"FT232R USB UART",)"
       R"("serial":"A50285BI","interface":0,"names":[)"
       R"("$/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",)"
       R"("$/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"]})"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.usb_ids.front());
    PosixPortOptions options = OptionsFor("/dev/null");
    options.device_path = [&dev](std::int16_t port) {
      return port == 2 ? (dev / "ttyS1").string() : "/dev/null";
    };
    std::ofstream(console_) << "tty0 ttyGS0\n";
    options.sysfs_class_tty = (sys / "class" / "tty").string();
    options.dev_root = (dev).string();
    options.serial_link_dirs = {(dev / "serial" / "by-id").string(),
                                (dev / "serial" / "by-path").string()};
    options.id_files.usb = row.usb_ids;
    int sessions_asked = 0;
    options.processes = {.proc_root = proc.string(), .session_of = [&](pid_t) {
                           ++sessions_asked;
                           return pid_t{-1};
                         }};
    ScriptedSystem sys_calls;
    std::vector<std::string> rows;
    for (std::int16_t port = 1; port <= 6; ++port) rows.push_back(options.device_path(port));
    const std::vector<OtherPort> others = Inventory(options, sys_calls).OtherPorts(rows);
    std::string lines;
    for (const OtherPort& other : others) {
      lines += other.name + " (" + other.device + "): " + other.found.line + "\n";
    }
    const auto shown = [this](std::string text) {
      for (std::size_t at; (at = text.find(dir_.string())) != std::string::npos;) {
        text.replace(at, dir_.string().size(), "$");
      }
      return text;
    };
    std::string ftdi_line = kFtdi;
    ftdi_line.replace(ftdi_line.find("%s"), 2, row.names);
    EXPECT_EQ(shown(lines), kOthers + ftdi_line);
    ASSERT_EQ(others.size(), 7u);
    nlohmann::ordered_json data = PortJson(0, others[5].device, others[5].found);
    EXPECT_EQ(data["port"], nullptr);
    EXPECT_EQ(data["present"], true);
    data["hardware"].erase("description");
    EXPECT_EQ(shown(data["hardware"].dump(-1, ' ', false,
                                          nlohmann::ordered_json::error_handler_t::replace)),
              row.json);
    EXPECT_EQ(sys_calls.opens, 0);
    // Every process is looked at once for all three ports looked for: the
    // session of each, whose descriptors leave a port unheld, is asked once.
    EXPECT_EQ(sessions_asked, 2);
  }
}

}  // namespace
}  // namespace velkaro
