// How long one probe takes, one whole scan without the timer's waits, and how
// long the window waits on the scan.
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "device_events.h"
#include "fake_port.h"
#include "inventory.h"
#include "lock_files.h"
#include "port_json.h"
#include "port_watch.h"
#include "posix_port.h"
#include "posix_watch.h"
#include "process_walk.h"
#include "scan_sequencer.h"

namespace velkaro {
namespace {

// Where the benchmark's probes take turns, removed when it ends.
std::string TurnsDir() {
  static const struct Dir {
    Dir() {
      char name[] = "/tmp/velkaro-turns-XXXXXX";
      path = ::mkdtemp(name) != nullptr ? name : "";
    }
    ~Dir() {
      if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
  } dir;
  return dir.path;
}

void ProbeOnce(benchmark::State& state, const std::string& path) {
  PosixPortOptions options;
  options.probe_lock_dir = TurnsDir();
  options.device_path = [path](std::int16_t) { return path; };
  PosixPort port(options);
  LampState lamps;
  ErrorTrap err;
  for (auto _ : state) ProbePort(1, port, lamps, err);
}

void BM_ProbeMissingPort(benchmark::State& state) { ProbeOnce(state, "/nonexistent/ttyS0"); }
BENCHMARK(BM_ProbeMissingPort)->Unit(benchmark::kMicrosecond);

// Idle child processes, so the walk through every process has more to look
// at. By default each is a session of its own with three descriptors, as
// daemons are, so that no look at a session serves another. They die with
// the benchmark, however it ends.
struct ProcessShape {
  int descriptors = 3;  // on /dev/null; or, mixed, files, pipes and sockets
  bool mixed = false;
  int per_session = 1;  // the leader and the members it starts
};

class IdleProcesses {
 public:
  explicit IdleProcesses(std::int64_t count, ProcessShape shape = {}) {
    // Members outlive their leader only briefly; they come back to us to be
    // reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t bench = ::getpid();
    for (std::int64_t i = 0; i < count; i += shape.per_session) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::setsid();
        pid_t parent = bench;
        for (int member = 1; member < shape.per_session && i + member < count; ++member) {
          if (::fork() == 0) {
            parent = ::getsid(0);
            break;
          }
        }
        Idle(parent, shape);
      }
      if (pid > 0) leaders_.push_back(pid);
    }
  }
  ~IdleProcesses() {
    for (pid_t leader : leaders_) ::kill(-leader, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
  }

 private:
  [[noreturn]] static void Idle(pid_t parent, const ProcessShape& shape) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);  // it died before the signal was asked for
    ::close_range(0, ~0u, 0);
    for (int fd = 0; fd < shape.descriptors;) {
      int pair[2];
      switch (shape.mixed ? fd % 3 : 0) {
        case 0:
          fd += ::open(shape.mixed ? "/proc/self/exe" : "/dev/null", O_RDONLY) >= 0;
          break;
        case 1:
          fd += ::pipe(pair) == 0 ? 2 : 0;
          break;
        default:
          fd += ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 ? 2 : 0;
          break;
      }
    }
    for (;;) ::pause();
  }

  std::vector<pid_t> leaders_;
};

// A pseudo-terminal for the length of one benchmark.
class Pty {
 public:
  Pty() {
    char name[128];
    ok_ = ::openpty(&master_, &slave_, name, nullptr, nullptr) == 0;
    if (ok_) path_ = name;
    struct stat st = {};
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

// The least any walk through every process's descriptors must do: list each
// /proc/<pid>/fd, with getdents64 into the stack, and statx each descriptor
// once.
bool ListAndStatEveryDescriptor() {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  long character_devices = 0;
  alignas(dirent64) char entries[4096];
  while (const dirent* entry = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    char path[sizeof entry->d_name + 4];
    std::snprintf(path, sizeof path, "%s/fd", entry->d_name);
    const int fd_dir = ::openat(::dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) continue;
    long got;
    while ((got = ::syscall(SYS_getdents64, fd_dir, entries, sizeof entries)) > 0) {
      for (long at = 0; at < got;) {
        const auto* fd = reinterpret_cast<const dirent64*>(entries + at);
        at += fd->d_reclen;
        struct statx st;
        character_devices += fd->d_name[0] != '.' &&
                             ::statx(fd_dir, fd->d_name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
                                     STATX_TYPE, &st) == 0 &&
                             S_ISCHR(st.stx_mode);
      }
    }
    ::close(fd_dir);
  }
  ::closedir(proc);
  return character_devices > 0;
}

// A serial port's device number (4:64 to 4:69, /dev/ttyS0 to ttyS5) that
// nobody holds, or 0.
dev_t UnheldSerialPort() {
  for (unsigned int minor_number = 64; minor_number < 70; ++minor_number) {
    if (!HeldByAnotherProcess(makedev(4, minor_number), ProcessWalk{})) {
      return makedev(4, minor_number);
    }
  }
  return 0;
}

void WalkFor(benchmark::State& state, const ProcessShape& shape) {
  const IdleProcesses extra(state.range(0), shape);
  const dev_t port = UnheldSerialPort();
  if (port == 0) {
    state.SkipWithError("every serial port number is held here");
    return;
  }
  const ProcessWalk walk;
  for (auto _ : state) benchmark::DoNotOptimize(HeldByAnotherProcess(port, walk));
}

void FloorFor(benchmark::State& state, const ProcessShape& shape) {
  const IdleProcesses extra(state.range(0), shape);
  for (auto _ : state) benchmark::DoNotOptimize(ListAndStatEveryDescriptor());
}

// The argument of each is the number of extra processes running meanwhile.
void BM_FloorListAndStat(benchmark::State& state) { FloorFor(state, {}); }
BENCHMARK(BM_FloorListAndStat)->Arg(0)->Arg(300)->Arg(3000)->Unit(benchmark::kMicrosecond);

// The guard walk for a serial port nobody holds.
void BM_GuardWalk(benchmark::State& state) { WalkFor(state, {}); }
BENCHMARK(BM_GuardWalk)->Arg(0)->Arg(300)->Arg(3000)->Unit(benchmark::kMicrosecond);

// A desktop: 400 processes with 30 descriptors each (files, pipes and
// sockets), four to a session.
constexpr ProcessShape kDesktop = {.descriptors = 30, .mixed = true, .per_session = 4};
void BM_FloorListAndStatDesktop(benchmark::State& state) { FloorFor(state, kDesktop); }
BENCHMARK(BM_FloorListAndStatDesktop)->Arg(400)->Unit(benchmark::kMicrosecond);
void BM_GuardWalkDesktop(benchmark::State& state) { WalkFor(state, kDesktop); }
BENCHMARK(BM_GuardWalkDesktop)->Arg(400)->Unit(benchmark::kMicrosecond);

// A machine with 32 USB serial adapters beyond COM6, in a made-up sysfs and
// /dev (ttyUSB0 to ttyUSB31, each with its /dev/serial/by-id link), removed
// when the benchmark ends; COM1 to COM6 are missing.
class UsbAdapters {
 public:
  static constexpr int kCount = 32;
  UsbAdapters() {
    char name[] = "/tmp/velkaro-bench-usb-XXXXXX";
    root_ = ::mkdtemp(name);
    namespace fs = std::filesystem;
    const auto write = [](const fs::path& file, const std::string& text) {
      fs::create_directories(file.parent_path());
      std::ofstream(file) << text << "\n";
    };
    fs::create_directories(root_ / "bus" / "usb");
    fs::create_directories(root_ / "bus" / "usb-serial");
    fs::create_directories(root_ / "dev" / "serial" / "by-id");
    for (int i = 0; i < kCount; ++i) {
      const std::string tty = "ttyUSB" + std::to_string(i);
      const std::string port = "1-" + std::to_string(i + 1);
      const fs::path device = root_ / "devices" / "usb1" / port;
      write(device / "idVendor", "0403");
      write(device / "idProduct", "6001");
      write(device / "manufacturer", "FTDI");
      write(device / "product", "FT232R USB UART");
      write(device / "serial", "A" + std::to_string(50285 + i));
      const fs::path interface = device / (port + ":1.0");
      write(interface / "bInterfaceNumber", "00");
      fs::create_symlink(root_ / "bus" / "usb", interface / "subsystem");
      fs::create_directories(interface / tty);
      fs::create_symlink(root_ / "bus" / "usb-serial", interface / tty / "subsystem");
      write(root_ / "class" / "tty" / tty / "dev", "188:" + std::to_string(i));
      fs::create_symlink(interface / tty, root_ / "class" / "tty" / tty / "device");
      write(root_ / "dev" / tty, "");
      fs::create_symlink("../../" + tty, root_ / "dev" / "serial" / "by-id" /
                                             ("usb-FTDI_FT232R_USB_UART_A" + std::to_string(i)));
    }
    fs::create_directories(root_ / "lock");
    // The driver list of a machine with usbserial loaded.
    write(root_ / "proc" / "tty" / "drivers", "usbserial /dev/ttyUSB 188 0-511 serial");
  }
  ~UsbAdapters() { std::filesystem::remove_all(root_); }

  PosixPortOptions Options() const {
    PosixPortOptions options;
    options.device_path = [this](std::int16_t) { return (root_ / "missing").string(); };
    options.lock_dirs = {(root_ / "lock").string()};
    options.sysfs_class_tty = (root_ / "class" / "tty").string();
    options.dev_root = (root_ / "dev").string();
    options.serial_link_dirs = {(root_ / "dev" / "serial" / "by-id").string()};
    options.tty_drivers_root = (root_ / "proc").string();
    return options;
  }
  std::filesystem::path root() const { return root_; }

 private:
  std::filesystem::path root_;
};

// `velkaro --list --all`'s part beyond COM6: 32 adapters told, with one walk
// through every process. The argument is the number of extra processes,
// each in a session of its own.
void BM_OtherPorts(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const UsbAdapters adapters;
  const Inventory inventory(adapters.Options());
  const std::vector<std::string> rows = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                         "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};
  for (auto _ : state) benchmark::DoNotOptimize(inventory.OtherPorts(rows));
}
BENCHMARK(BM_OtherPorts)->Arg(0)->Arg(3000)->Unit(benchmark::kMicrosecond);

// What it cannot do without: one walk for one of the adapters...
void BM_GuardWalkUsb(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const ProcessWalk walk;
  for (auto _ : state) benchmark::DoNotOptimize(HeldByAnotherProcess(makedev(188, 0), walk));
}
BENCHMARK(BM_GuardWalkUsb)->Arg(0)->Arg(3000)->Unit(benchmark::kMicrosecond);

// ...and the reads of sysfs and /dev/serial for them all.
void BM_SysfsReadsUsb(benchmark::State& state) {
  const UsbAdapters adapters;
  const PosixPortOptions options = adapters.Options();
  for (auto _ : state) {
    const SerialLinkMap links = SerialLinks(options.serial_link_dirs);
    const TtyClassifier classifier({.proc_root = options.tty_drivers_root,
                                    .sysfs_char_root = options.sysfs_char_root,
                                    .console_active = options.console_active,
                                    .dev_root = options.dev_root});
    for (const SerialTty& tty : SerialTtys(options.sysfs_class_tty, classifier)) {
      benchmark::DoNotOptimize(ReadTty(options.sysfs_class_tty + "/" + tty.name, options.id_files));
      benchmark::DoNotOptimize(SerialLinks(options.dev_root + "/" + tty.name, links));
    }
  }
}
BENCHMARK(BM_SysfsReadsUsb)->Unit(benchmark::kMicrosecond);

// `velkaro --watch`: the time from a port's arrival being heard to its line,
// the port told from sysfs, /dev/serial and one walk through every process
// for its holder, and its departure after. The argument is the number of
// extra processes, each in a session of its own.
void BM_WatchArrival(benchmark::State& state) {
  const IdleProcesses extra(state.range(0));
  const UsbAdapters adapters;
  const Inventory inventory(adapters.Options());
  const std::vector<std::string> rows(6, "/dev/ttyS0");
  PortWatch watch;
  watch.Start({}, std::chrono::system_clock::now());
  std::int64_t arrivals = 0;
  for (auto _ : state) {
    const std::string name = "ttyUSB" + std::to_string(arrivals++ % UsbAdapters::kCount);
    if (std::optional<WatchEvent> added =
            watch.Added(*inventory.PortNamed(name, rows), std::chrono::system_clock::now())) {
      benchmark::DoNotOptimize(WatchLine(*added, true));
    }
    state.PauseTiming();
    benchmark::DoNotOptimize(
        WatchLine(*watch.Removed(name, std::chrono::system_clock::now()), true));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(arrivals);
}
BENCHMARK(BM_WatchArrival)->Arg(0)->Arg(3000)->Unit(benchmark::kMicrosecond);

// The watch's resident memory once 10 arrivals and departures have been
// told, and once 10,000 have: the ports that went are forgotten. The whole
// watch runs, through a device event source of the benchmark's own.
std::int64_t ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stoll(line.substr(6));
  }
  return -1;
}

class BurstEvents : public DeviceEvents {
 public:
  explicit BurstEvents(int count) : left_(count) {
    if (::pipe(ready_) != 0 || ::pipe(stop_) != 0) std::abort();
    [[maybe_unused]] const ssize_t written = ::write(ready_[1], "", 1);
  }
  ~BurstEvents() override {
    for (const int fd : {ready_[0], ready_[1], stop_[0], stop_[1]}) ::close(fd);
  }
  int fd() const override { return ready_[0]; }
  int stop_fd() const { return stop_[0]; }
  std::vector<DeviceEvent> Read() override {
    // Each adapter in turn comes and goes.
    const std::string name = "ttyUSB" + std::to_string(left_ / 2 % UsbAdapters::kCount);
    const bool add = left_ % 2 == 0;
    if (--left_ == 0) {
      char drained;
      [[maybe_unused]] const ssize_t read = ::read(ready_[0], &drained, 1);
      [[maybe_unused]] const ssize_t written = ::write(stop_[1], "", 1);
    }
    return {{add ? DeviceEvent::Action::kAdd : DeviceEvent::Action::kRemove, "tty", name}};
  }
  const char* source() const override { return "burst"; }

 private:
  int left_;
  int ready_[2];
  int stop_[2];
};

void BM_WatchMemory(benchmark::State& state) {
  const UsbAdapters adapters;
  const Inventory inventory(adapters.Options());
  std::FILE* out = std::fopen("/dev/null", "w");
  const auto watch = [&](int events) {
    BurstEvents burst(events);
    WatchSources sources{.events = burst,
                         .inventory = inventory,
                         .rows = std::vector<std::string>(6, "/dev/ttyS0"),
                         .stop_fd = burst.stop_fd(),
                         .stop = [] { return 0; }};
    WatchPorts(sources, out, true);
    return ResidentKib();
  };
  for (auto _ : state) {
    state.counters["rss_kib_after_10"] = static_cast<double>(watch(10));
    state.counters["rss_kib_after_10000"] = static_cast<double>(watch(10000));
  }
  std::fclose(out);
}
BENCHMARK(BM_WatchMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// A whole probe with every guard: lock files, sysfs, the console, the walk
// through every process before the open and again after it, and the
// settings. A pseudo-terminal asks every session on each walk.
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
  options.probe_lock_dir = TurnsDir();
  PosixPort port(options);
  LampState lamps;
  ErrorTrap err;
  for (auto _ : state) ProbePort(1, port, lamps, err);
  std::filesystem::remove_all(sys);
}
BENCHMARK(BM_ProbeSysfsPlaceholder)->Arg(0)->Arg(300)->Unit(benchmark::kMicrosecond);

// The window's thread through a whole scan of six free pseudo-terminals,
// with its 300 ms ticks: how long an event posted to it waits to be
// handled, as a window manager's ping does. A loop of the standard
// library's stands in for the toolkit's; a ping is posted every
// millisecond. Arguments: the process shape (0: 3,000 daemons, each a
// session of its own; 1: a desktop of 400 processes with 30 descriptors,
// four to a session), and where each probe runs (0: inside its tick, 1: on
// the worker).
class WindowThread {
 public:
  void Post(bool ping) {
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back({ping, Clock::now()});
    }
    wake_.notify_one();
  }

  // Runs one press's scan to its end; returns how long each ping waited.
  std::vector<double> Scan(ScanSequencer& scan, const bool& timer_on) {
    std::vector<double> waits_ms;
    scan.Command1_Click();
    auto next_tick = Clock::now() + std::chrono::milliseconds(ScanSequencer::kTickMilliseconds);
    while (timer_on || scan.probe_out()) {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, next_tick, [this] { return !queue_.empty(); });
      std::deque<Event> events;
      events.swap(queue_);
      lock.unlock();
      for (const Event& event : events) {
        if (event.ping) {
          waits_ms.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - event.posted).count());
        } else {
          scan.ProbeDone();
        }
      }
      if (Clock::now() >= next_tick) {
        scan.Timer1_Timer();
        next_tick += std::chrono::milliseconds(ScanSequencer::kTickMilliseconds);
      }
    }
    return waits_ms;
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Event {
    bool ping;
    Clock::time_point posted;
  };
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Event> queue_;
};

void BM_WindowWaitDuringScan(benchmark::State& state) {
  const bool desktop = state.range(0) == 1;
  const IdleProcesses extra(desktop ? 400 : 3000, desktop ? kDesktop : ProcessShape{});
  std::array<Pty, kPortCount> ptys;
  for (const Pty& pty : ptys) {
    if (!pty.ok()) {
      state.SkipWithError("openpty failed");
      return;
    }
  }
  PosixPortOptions options;
  options.probe_lock_dir = TurnsDir();
  options.device_path = [&ptys](std::int16_t port) {
    return ptys[static_cast<std::size_t>(port - 1)].path();
  };
  PosixPort port(options);
  struct Timer : TimerSwitch {
    void SetEnabled(bool on) override { enabled = on; }
    bool enabled = false;
  } timer;
  LampState lamps;
  WindowThread window;
  auto scan = state.range(1) == 1 ? std::make_unique<ScanSequencer>(
                                        lamps, port, timer, [&window] { window.Post(false); })
                                  : std::make_unique<ScanSequencer>(lamps, port, timer);
  scan->Form_Load();
  std::atomic<bool> pinging = true;
  std::thread pinger([&] {
    while (pinging) {
      window.Post(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<double> waits;
  for (auto _ : state) {
    const std::vector<double> scan_waits = window.Scan(*scan, timer.enabled);
    waits.insert(waits.end(), scan_waits.begin(), scan_waits.end());
  }
  pinging = false;
  pinger.join();
  if (waits.empty()) return;
  std::sort(waits.begin(), waits.end());
  state.counters["p99_ms"] = waits[waits.size() * 99 / 100];
  state.counters["longest_ms"] = waits.back();
}
BENCHMARK(BM_WindowWaitDuringScan)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"desktop", "worker"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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
