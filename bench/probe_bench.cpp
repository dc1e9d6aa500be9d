// How long one probe takes, and one whole scan without the timer's waits.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "fake_port.h"
#include "port_guards.h"
#include "posix_port.h"
#include "scan_sequencer.h"

namespace velkaro {
namespace {

void ProbeOnce(benchmark::State& state, const std::string& path) {
  PosixPortOptions options;
  options.device_path = [path](std::int16_t) { return path; };
  PosixPort port(options);
  LampState lamps;
  ErrorTrap err;
  for (auto _ : state) ProbePort(1, port, lamps, err);
}

void BM_ProbeMissingPort(benchmark::State& state) { ProbeOnce(state, "/nonexistent/ttyS0"); }
BENCHMARK(BM_ProbeMissingPort)->Unit(benchmark::kMicrosecond);

// Idle child processes, so the walk through every process has more to look
// at. Each is a session of its own with a few descriptors, as daemons are,
// so that no look at a session serves another.
class IdleProcesses {
 public:
  static constexpr int kDescriptors = 3;

  explicit IdleProcesses(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::setsid();
        ::close_range(0, ~0u, 0);
        for (int fd = 0; fd < kDescriptors; ++fd) ::open("/dev/null", O_RDWR);
        for (;;) ::pause();
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~IdleProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

// A pseudo-terminal for the length of one benchmark.
class Pty {
 public:
  Pty() {
    char name[128];
    ok_ = ::openpty(&master_, &slave_, name, nullptr, nullptr) == 0;
    if (ok_) path_ = name;
    struct stat st {};
    ok_ = ok_ && ::stat(name, &st) == 0;
    device_ = st.st_rdev;
  }
  ~Pty() {
    if (ok_) ::close(slave_), ::close(master_);
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  dev_t device() const { return device_; }

 private:
  bool ok_ = false;
  int master_ = -1, slave_ = -1;
  std::string path_;
  dev_t device_ = 0;
};

// The baseline: the controlling-terminal check as it was before sessions,
// reading the stat of every process, kept here as it stood.
std::string ReadSmallFile(int dir_fd, const char* path, std::size_t limit) {
  const int fd = ::openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string text(limit, '\0');
  std::size_t used = 0;
  while (used < limit) {
    const ssize_t got = ::read(fd, text.data() + used, limit - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(used);
  return text;
}

bool EveryStatWalk(dev_t device, const std::string& proc_root = "/proc") {
  DIR* proc = ::opendir(proc_root.c_str());
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    const std::string path = std::string(entry->d_name) + "/stat";
    const std::string stat = ReadSmallFile(::dirfd(proc), path.c_str(), 512);
    const std::size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    int tty_nr = 0;
    if (std::sscanf(stat.c_str() + close_paren + 1, " %*c %*d %*d %*d %d", &tty_nr) != 1) continue;
    found = tty_nr != 0 && DecodeTtyNr(static_cast<unsigned int>(tty_nr)) == device;
  }
  ::closedir(proc);
  return found;
}

// The floor of any walk that looks at every process's descriptors: only
// lists each /proc/<pid>/fd, with getdents64 into the stack.
bool ListEveryDescriptorDirectory() {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  long entries_seen = 0;
  alignas(dirent64) char entries[4096];
  while (const dirent* entry = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    char path[sizeof entry->d_name + 4];
    std::snprintf(path, sizeof path, "%s/fd", entry->d_name);
    const int fd_dir = ::openat(::dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) continue;
    long got;
    while ((got = ::syscall(SYS_getdents64, fd_dir, entries, sizeof entries)) > 0) {
      entries_seen += got;
    }
    ::close(fd_dir);
  }
  ::closedir(proc);
  return entries_seen > 0;
}

// The argument of each is the number of extra processes running meanwhile.
void BM_FloorListDescriptors(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(ListEveryDescriptorDirectory());
}
BENCHMARK(BM_FloorListDescriptors)->Arg(0)->Arg(300)->Arg(3000)->Unit(benchmark::kMicrosecond);

void BM_BaselineEveryStatWalk(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const Pty pty;
  for (auto _ : state) benchmark::DoNotOptimize(EveryStatWalk(pty.device()));
}
BENCHMARK(BM_BaselineEveryStatWalk)->Arg(0)->Arg(300)->Unit(benchmark::kMicrosecond);

// Controlling terminals only, one look per session.
void BM_SessionCheck(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const Pty pty;
  const ProcessWalk walk;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        HeldByAnotherProcess(pty.device(), walk, ProcessLook::kControllingTerminals));
  }
}
BENCHMARK(BM_SessionCheck)->Arg(0)->Arg(300)->Arg(3000)->Unit(benchmark::kMicrosecond);

// A whole probe with every guard: lock files, sysfs, the walk through every
// process's sessions and descriptors, the console, and the settings.
void BM_ProbePseudoTerminal(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const Pty pty;
  if (!pty.ok()) {
    state.SkipWithError("openpty failed");
    return;
  }
  ProbeOnce(state, pty.path());
}
BENCHMARK(BM_ProbePseudoTerminal)->Arg(0)->Arg(300)->Arg(3000)->Unit(benchmark::kMicrosecond);

// A ttyS node with no UART behind it, as sysfs tells: judged absent before
// anything else is looked at.
void BM_ProbeSysfsPlaceholder(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const Pty pty;
  const std::filesystem::path sys = std::filesystem::temp_directory_path() / "velkaro-bench-sys";
  const std::filesystem::path entry =
      sys / (std::to_string(major(pty.device())) + ":" + std::to_string(minor(pty.device())));
  std::filesystem::create_directories(entry);
  std::filesystem::remove(entry / "subsystem");
  std::filesystem::create_symlink("../../../class/tty", entry / "subsystem");
  std::ofstream(entry / "type") << "0\n";
  PosixPortOptions options;
  options.device_path = [&pty](std::int16_t) { return pty.path(); };
  options.sysfs_char_root = sys.string();
  PosixPort port(options);
  LampState lamps;
  ErrorTrap err;
  for (auto _ : state) ProbePort(1, port, lamps, err);
  std::filesystem::remove_all(sys);
}
BENCHMARK(BM_ProbeSysfsPlaceholder)->Arg(0)->Arg(300)->Unit(benchmark::kMicrosecond);

void BM_SimulatedScan(benchmark::State& state) {
  struct NoTimer : TimerSwitch {
    void SetEnabled(bool on) override { enabled = on; }
    bool enabled = false;
  } timer;
  FakeSerialPort comm;
  comm.SetOpenOutcome(1, kNoError);
  comm.SetOpenOutcome(2, kPortUnavailable);
  LampState lamps;
  ScanSequencer scan(lamps, comm, timer);
  scan.Form_Load();
  for (auto _ : state) {
    scan.Command1_Click();
    while (timer.enabled) scan.Timer1_Timer();
    comm.ClearLog();
  }
}
BENCHMARK(BM_SimulatedScan)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velkaro
