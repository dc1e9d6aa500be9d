// Runs a Windows test program under Wine with COM1 to COM6 pointed at things
// that behave like real ports, none of them hardware:
//
//   COM1  a pseudo-terminal                                  opens
//   COM2  /dev/null, a device but no terminal                line settings fail
//   COM3  a link to a path that does not exist               no such port
//   COM4  a pseudo-terminal this harness holds exclusively   busy
//   COM5  a pseudo-terminal only root may open               access denied
//   COM6  no link at all                                     no such port
//
// The program runs as an unprivileged user, because root would open the held
// and the forbidden terminal anyway. It is told the layout is in place through
// VELKARO_WINE_COM_LINKS=1. Afterwards the harness checks, from the Linux side,
// that no terminal had a byte written to it and that each one's line settings
// are as they were before.
//
// Wine maps every /dev/ttyS*, ttyUSB* and ttyACM* it finds to a COM name of its
// own, over the links made here, so the harness refuses to run while any such
// node is visible: start it through tests/without_serial_ports.sh.
//
// Each run gets a Wine prefix of its own, made for it and removed afterwards,
// so runs side by side never share Wine's server or COM links. --prefix DIR
// keeps the prefix in DIR instead, for runs one after the other. On SIGTERM
// or SIGINT the harness ends the Wine of its prefix, and with it the program,
// and exits with 128 + the signal. --log-pixels N gives the session a system
// DPI of N (96 is 100 %, 144 is 150 %), as the display settings would.
// --also FILE puts FILE beside the program; PROGRAM may be `cmd`, Wine's
// own, run in the folder of the files given with --also, as a user types
// there.
//
//   wine_com_harness [--prefix DIR] [--log-pixels N] [--also FILE]... -- PROGRAM.exe [ARG...]
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "posix_system.h"
#include "pty.h"

namespace {

namespace fs = std::filesystem;
using velkaro::testing_support::Pty;
using velkaro::testing_support::UnusualSettings;

constexpr uid_t kUser = 65534;  // nobody
constexpr gid_t kGroup = 65534;

[[noreturn]] void Fail(const std::string& why) { throw std::runtime_error(why); }

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

volatile std::sig_atomic_t stop_signal = 0;

void OnStopSignal(int signal) { stop_signal = signal; }

// Without SA_RESTART, so that a wait for the program returns on the signal.
void CatchStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT}) {
    if (::sigaction(signal, &action, nullptr) != 0) Fail(Errno("sigaction"));
  }
}

void RefuseIfSerialNodesVisible() {
  for (const char* pattern : {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t found{};
    const int rc = ::glob(pattern, 0, nullptr, &found);
    const std::string first = rc == 0 ? found.gl_pathv[0] : "";
    ::globfree(&found);
    if (rc == 0) {
      Fail(first + " is visible and Wine would map it to a COM port; run through " +
           "tests/without_serial_ports.sh");
    }
  }
}

void MakeUserDirectory(const fs::path& dir) {
  fs::create_directories(dir);
  if (::chown(dir.c_str(), kUser, kGroup) != 0) Fail(Errno("chown " + dir.string()));
}

int RunAsUser(const fs::path& prefix, const std::vector<std::string>& command);

// Ends every Windows program of the prefix, and its Wine server, once.
void EndWine(const fs::path& prefix) {
  static bool ended = false;
  if (ended) return;
  ended = true;
  RunAsUser(prefix, {"wineserver", "-k"});
}

// Runs a command as the unprivileged user with the Wine environment; returns
// its exit status, or 128 + the signal that ended it. A stop signal while it
// runs ends the prefix's Wine, and so the command, first.
int RunAsUser(const fs::path& prefix, const std::vector<std::string>& command) {
  // Once told to stop, start nothing but what ends Wine.
  if (stop_signal != 0 && command.front() != "wineserver") return 128 + stop_signal;
  const pid_t child = ::fork();
  if (child < 0) Fail(Errno("fork"));
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kGroup) != 0 || ::setuid(kUser) != 0) {
      std::perror("wine_com_harness: dropping to the test user");
      ::_exit(127);
    }
    ::setenv("WINEPREFIX", (prefix / "wine").c_str(), 1);
    ::setenv("HOME", (prefix / "home").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    // No prompts to install .NET or a browser engine into the prefix.
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    ::setenv("VELKARO_WINE_COM_LINKS", "1", 1);
    // Windows are shown only on an X server set up for the tests.
    const char* display = std::getenv("VELKARO_WINE_DISPLAY");
    if (display != nullptr) {
      ::setenv("DISPLAY", display, 1);
    } else {
      ::unsetenv("DISPLAY");
    }
    ::unsetenv("XAUTHORITY");
    ::unsetenv("WAYLAND_DISPLAY");
    // In the folder of the programs, as someone who typed their name there.
    if (::chdir((prefix / "bin").c_str()) != 0) {
      std::perror("wine_com_harness: chdir to the programs' folder");
      ::_exit(127);
    }
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "wine_com_harness: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) Fail(Errno("waitpid"));
    if (stop_signal != 0) EndWine(prefix);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Link(const fs::path& dosdevices, int port, const std::optional<fs::path>& target) {
  const fs::path link = dosdevices / ("com" + std::to_string(port));
  std::error_code ignored;
  fs::remove(link, ignored);
  if (target) fs::create_symlink(*target, link);
}

// What a port's settings say about the line, which is what a DCB can carry
// back and forth. Wine keeps a port raw while open, so local modes such as
// echo are not expected to survive, and odd parity means nothing while parity
// is off (a pseudo-terminal never has it on).
// Compares every part of the line settings a Windows DCB carries: speeds,
// byte size, parity, stop bits, flow control, parity checking and the special
// characters. Parity's odd and mark bits mean nothing while parity is off.
// Speeds are compared as the kernel has them: Wine 10 writes every speed
// through BOTHER, so the same 38400 baud comes back with another code.
bool SameLine(const velkaro::LineSettings& a, const velkaro::LineSettings& b) {
  const auto parity = [](const velkaro::LineSettings& t) {
    return (t.c_cflag & PARENB) == 0 ? 0 : t.c_cflag & (PARENB | PARODD | CMSPAR);
  };
  constexpr tcflag_t kCflags = CSIZE | CSTOPB | CRTSCTS;
  constexpr tcflag_t kIflags = IXON | IXOFF | INPCK | IGNPAR | PARMRK;
  return (a.c_cflag & kCflags) == (b.c_cflag & kCflags) && parity(a) == parity(b) &&
         (a.c_iflag & kIflags) == (b.c_iflag & kIflags) && a.c_ispeed == b.c_ispeed &&
         a.c_ospeed == b.c_ospeed && a.c_cc[VSTART] == b.c_cc[VSTART] &&
         a.c_cc[VSTOP] == b.c_cc[VSTOP] && a.c_cc[VEOF] == b.c_cc[VEOF];
}

// Who may open a terminal besides the harness.
enum class Access { kTestUser, kHeldExclusively, kRootOnly };

struct Terminal {
  int port;
  Access access;
  Pty pty;
  velkaro::LineSettings before{};
};

int Run(int argc, char** argv) {
  std::optional<fs::path> prefix;
  std::string log_pixels;
  std::vector<fs::path> also;
  int first = 1;
  for (; first < argc; ++first) {
    const std::string arg = argv[first];
    if (arg == "--prefix" && first + 1 < argc) {
      prefix = fs::absolute(argv[++first]);
    } else if (arg == "--log-pixels" && first + 1 < argc) {
      log_pixels = argv[++first];
      if (log_pixels.find_first_not_of("0123456789") != std::string::npos || log_pixels.empty()) {
        Fail("--log-pixels takes a number of dots per inch, not " + log_pixels);
      }
    } else if (arg == "--also" && first + 1 < argc) {
      also.emplace_back(argv[++first]);
    } else if (arg == "--") {
      ++first;
      break;
    } else {
      Fail("unknown argument " + arg);
    }
  }
  if (first >= argc) {
    Fail(
        "usage: wine_com_harness [--prefix DIR] [--log-pixels N] [--also FILE]... -- PROGRAM "
        "[ARG...]");
  }
  if (::geteuid() != 0) Fail("needs root, to hand the terminals to an unprivileged user");
  RefuseIfSerialNodesVisible();
  CatchStopSignals();

  // A prefix of this run's own, in /tmp so that the test user can reach it,
  // gone with its Wine when the run ends, however it ends.
  struct OwnPrefix {
    fs::path path;
    ~OwnPrefix() {
      if (path.empty()) return;
      EndWine(path);
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } own;
  if (!prefix) {
    char name[] = "/tmp/velkaro-wine.XXXXXX";
    if (::mkdtemp(name) == nullptr) Fail(Errno("mkdtemp"));
    prefix = own.path = name;
  }

  {
    MakeUserDirectory(*prefix);
    MakeUserDirectory(*prefix / "home");
    MakeUserDirectory(*prefix / "bin");

    // A new prefix takes a while to set up; a kept one is reused. On a busy
    // machine wineboot now and then gives up half-way: it gets a second go.
    int booted = 0;
    for (int attempt = 1; !fs::exists(*prefix / "wine" / "system.reg"); ++attempt) {
      if (attempt > 2)
        Fail("wineboot could not set up Wine: exit status " + std::to_string(booted));
      booted = RunAsUser(*prefix, {"wineboot", "--init"});
      RunAsUser(*prefix, {"wineserver", "--wait"});
      if (stop_signal != 0) return 128 + stop_signal;
    }

    if (!log_pixels.empty()) {
      const int set =
          RunAsUser(*prefix, {"wine", "reg", "add", R"(HKCU\Control Panel\Desktop)", "/v",
                              "LogPixels", "/t", "REG_DWORD", "/d", log_pixels, "/f"});
      RunAsUser(*prefix, {"wineserver", "--wait"});
      if (set != 0) Fail("wine reg could not set LogPixels: exit status " + std::to_string(set));
    }

    // The programs may sit where the test user cannot reach; run copies.
    const bool in_cmd = std::string_view(argv[first]) == "cmd";
    if (!in_cmd) also.emplace_back(argv[first]);
    for (const fs::path& file : also) {
      const fs::path copy = *prefix / "bin" / file.filename();
      fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
      if (::chown(copy.c_str(), kUser, kGroup) != 0) Fail(Errno("chown " + copy.string()));
    }
    const fs::path program = in_cmd ? fs::path("cmd") : *prefix / "bin" / also.back().filename();

    std::array<Terminal, 3> terminals{Terminal{1, Access::kTestUser, {}},
                                      Terminal{4, Access::kHeldExclusively, {}},
                                      Terminal{5, Access::kRootOnly, {}}};
    const fs::path dosdevices = *prefix / "wine" / "dosdevices";
    for (Terminal& t : terminals) {
      const termios unusual = UnusualSettings(t.pty.Settings());
      if (::tcsetattr(t.pty.slave(), TCSANOW, &unusual) != 0) Fail(Errno("tcsetattr"));
      if (velkaro::PosixSystem::Real().GetLineSettings(t.pty.slave(), &t.before) != 0) {
        Fail(Errno("TCGETS2"));
      }
      if (t.access == Access::kRootOnly) {
        if (::chmod(t.pty.path().c_str(), 0600) != 0) Fail(Errno("chmod " + t.pty.path()));
      } else if (::chown(t.pty.path().c_str(), kUser, kGroup) != 0) {
        Fail(Errno("chown " + t.pty.path()));
      }
      // The second handle: another program holding the port for itself.
      if (t.access == Access::kHeldExclusively && ::ioctl(t.pty.slave(), TIOCEXCL) != 0) {
        Fail(Errno("TIOCEXCL"));
      }
      Link(dosdevices, t.port, t.pty.path());
    }
    Link(dosdevices, 2, "/dev/null");
    Link(dosdevices, 3, *prefix / "no-such-device");
    Link(dosdevices, 6, std::nullopt);

    std::vector<std::string> command = {"wine", program.string()};
    for (int i = first + 1; i < argc; ++i) command.emplace_back(argv[i]);
    int status = RunAsUser(*prefix, command);
    // Let Wine's server finish, so nothing of it still holds a terminal.
    RunAsUser(*prefix, {"wineserver", "--wait"});

    for (const Terminal& t : terminals) {
      const std::string com = "COM" + std::to_string(t.port);
      if (t.pty.PendingOnMaster() != 0) {
        std::fprintf(stderr, "wine_com_harness: %s had bytes written to it\n", com.c_str());
        status = status == 0 ? 1 : status;
      }
      velkaro::LineSettings after{};
      velkaro::PosixSystem::Real().GetLineSettings(t.pty.slave(), &after);
      if (!SameLine(t.before, after)) {
        std::fprintf(stderr,
                     "wine_com_harness: %s line settings were not restored: cflag %o iflag %o "
                     "speed %u before, cflag %o iflag %o speed %u after\n",
                     com.c_str(), t.before.c_cflag, t.before.c_iflag, t.before.c_ospeed,
                     after.c_cflag, after.c_iflag, after.c_ospeed);
        status = status == 0 ? 1 : status;
      }
    }
    return stop_signal != 0 ? 128 + stop_signal : status;
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wine_com_harness: %s\n", e.what());
    return 1;
  }
}
