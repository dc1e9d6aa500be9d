// `velkaro --watch` through its seams: a made-up machine's sysfs and /dev, a
// scripted source of device events, and a clock that stands still.
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "device_events.h"
#include "posix_port.h"
#include "posix_watch.h"

namespace velkaro {
namespace {

namespace fs = std::filesystem;

// Gives each batch of events in turn, each once its `before` has changed
// the machine; after the last, the watch is told to stop.
class ScriptedEvents : public DeviceEvents {
 public:
  struct Batch {
    std::function<void()> before;
    std::vector<DeviceEvent> events;
  };
  explicit ScriptedEvents(std::deque<Batch> batches) : batches_(std::move(batches)) {
    if (::pipe(ready_) != 0 || ::pipe(stop_) != 0) std::abort();
    if (!batches_.empty()) [[maybe_unused]]
      const ssize_t written = ::write(ready_[1], "", 1);
  }
  ~ScriptedEvents() override {
    for (const int fd : {ready_[0], ready_[1], stop_[0], stop_[1]}) ::close(fd);
  }
  int fd() const override { return ready_[0]; }
  int stop_fd() const { return stop_[0]; }
  std::vector<DeviceEvent> Read() override {
    if (batches_.empty()) return {};
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    if (batch.before) batch.before();
    if (batches_.empty()) {
      char drained;
      [[maybe_unused]] const ssize_t read = ::read(ready_[0], &drained, 1);
      [[maybe_unused]] const ssize_t written = ::write(stop_[1], "", 1);
    }
    return batch.events;
  }
  const char* source() const override { return "script"; }

 private:
  std::deque<Batch> batches_;
  int ready_[2];
  int stop_[2];
};

class WatchTest : public testing::Test {
 protected:
  WatchTest() {
    char dir_template[] = "/tmp/velkaro-watch-XXXXXX";
    dir_ = ::mkdtemp(dir_template);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    options_.sysfs_class_tty = (dir_ / "class" / "tty").string();
    options_.sysfs_char_root = (dir_ / "char").string();
    options_.dev_root = (dir_ / "dev").string();
    options_.serial_link_dirs = {(dir_ / "dev" / "serial" / "by-id").string()};
    options_.console_active = (dir_ / "no-console").string();
    options_.lock_dirs = {(dir_ / "lock").string()};
    options_.id_files = {.pci = {}, .usb = {}};
    fs::create_directories(dir_ / "dev");
    // The kernel's list of drivers, and no process to hold a port: only our
    // own, through the real /proc's.
    fs::create_directories(dir_ / "proc" / "tty");
    std::ofstream(dir_ / "proc" / "tty" / "drivers")
        << "usbserial /dev/ttyUSB 188 0-511 serial\nacm /dev/ttyACM 166 0-255 serial\n"
           "serial /dev/ttyS 4 64-111 serial\n";
    fs::create_directory_symlink("/proc/self", dir_ / "proc" / "self");
    options_.processes.proc_root = (dir_ / "proc").string();
  }
  ~WatchTest() override { fs::remove_all(dir_); }

  // A serial port with a device behind it, and its node in /dev.
  void Plug(const std::string& name, int major_number, int minor_number, bool uart = false) {
    const fs::path entry = dir_ / "class" / "tty" / name;
    fs::create_directories(entry);
    std::ofstream(entry / "dev") << major_number << ":" << minor_number << "\n";
    if (uart) {
      std::ofstream(entry / "type") << "4\n";
      std::ofstream(entry / "port") << "0x2E8\n";
      std::ofstream(entry / "irq") << "3\n";
    }
    fs::create_directories(dir_ / "devices" / name);
    fs::create_directory_symlink(dir_ / "devices" / name, entry / "device");
    std::ofstream(dir_ / "dev" / name) << "";
  }
  void Unplug(const std::string& name) {
    fs::remove_all(dir_ / "class" / "tty" / name);
    fs::remove(dir_ / "dev" / name);
  }

  // The watch's lines, with the device folder written as "$".
  std::string Watch(ScriptedEvents& events, bool json) {
    const Inventory inventory(options_);
    WatchSources sources{.events = events,
                         .inventory = inventory,
                         .rows = {(dir_ / "dev" / "ttyS0").string(), "/dev/ttyS1", "/dev/ttyS2",
                                  "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"},
                         .now = [] { return std::chrono::system_clock::from_time_t(1765267200); },
                         .stop_fd = events.stop_fd(),
                         .stop = [] { return 0; }};
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(WatchPorts(sources, out, json), 0);
    std::rewind(out);
    std::string text;
    for (char chunk[4096]; std::size_t got = std::fread(chunk, 1, sizeof chunk, out);) {
      text.append(chunk, got);
    }
    std::fclose(out);
    for (std::size_t at; (at = text.find(dir_.string())) != std::string::npos;) {
      text.replace(at, dir_.string().size(), "$");
    }
    return text;
  }

  fs::path dir_;
  InventoryOptions options_;
};

using Action = DeviceEvent::Action;

// The ports at the start, then each that comes and goes, once: an event for
// a terminal that is no serial port, one of another subsystem, a port that
// went again before it could be read, and a second arrival of a known port
// tell nothing.
TEST_F(WatchTest, EachPortIsToldAtTheStartAndAsItComesAndGoes) {
  Plug("ttyS0", 4, 64);
  Plug("ttyS4", 4, 68, true);
  fs::create_directories(dir_ / "class" / "tty" / "tty7");  // a virtual console: no device
  std::ofstream(dir_ / "class" / "tty" / "tty7" / "dev") << "4:7\n";
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "JSON" : "lines");
    ScriptedEvents events({
        {[this] { Plug("ttyACM0", 166, 0); },
         {{Action::kAdd, "tty", "ttyACM0"},
          {Action::kAdd, "tty", "tty7"},
          {Action::kAdd, "usb", "1-1.2"},
          {Action::kAdd, "tty", "ttyUSB1"},  // gone before it is read
          {Action::kRemove, "tty", "ttyUSB1"}}},
        {[this] { Unplug("ttyS4"); },
         {{Action::kRemove, "tty", "ttyS4"},
          {Action::kOther, "tty", "ttyACM0"},
          {Action::kAdd, "tty", "ttyACM0"}}},
        {[this] { Unplug("ttyACM0"); }, {{Action::kRemove, "tty", "ttyACM0"}}},
        // Events were lost while ttyS0 went and ttyUSB1 came: the ports are
        // read again, and the changes told.
        {[this] {
           Unplug("ttyS0");
           Plug("ttyUSB1", 188, 1);
         },
         {{Action::kLost, "", ""}}},
    });
    const std::string at = "2025-12-09T08:00:00.000+00:00 ";
    const std::string free = "present, not opened: no other program seen using it";
    // What a port that went was last seen as is told of it.
    const std::string described = "16550A UART at I/O 0x2e8, IRQ 3";
    const std::string uart =
        R"({"description":")" + described + R"(","uart":"16550A","io":"0x2e8","irq":3})";
    EXPECT_EQ(
        Watch(events, json),
        json ? R"({"time":"2025-12-09T08:00:00.000+00:00","event":"present","port":"COM1",)"
               R"("device":"$/dev/ttyS0","present":true,"finding":")" +
                   free +
                   R"(","holder":null,"hardware":null,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"present","port":null,)"
                   R"("device":"$/dev/ttyS4","present":true,"finding":")" +
                   free + R"(","holder":null,"hardware":)" + uart +
                   R"(,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"added","port":null,)"
                   R"("device":"$/dev/ttyACM0","present":true,"finding":")" +
                   free +
                   R"(","holder":null,"hardware":null,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"removed","port":null,)"
                   R"("device":"$/dev/ttyS4","present":false,"finding":"absent: removed",)"
                   R"("holder":null,"hardware":)" +
                   uart +
                   R"(,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"removed","port":null,)"
                   R"("device":"$/dev/ttyACM0","present":false,"finding":"absent: removed",)"
                   R"("holder":null,"hardware":null,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"removed","port":"COM1",)"
                   R"("device":"$/dev/ttyS0","present":false,"finding":"absent: removed",)"
                   R"("holder":null,"hardware":null,"restored":null})"
                   "\n"
                   R"({"time":"2025-12-09T08:00:00.000+00:00","event":"added","port":null,)"
                   R"("device":"$/dev/ttyUSB1","present":true,"finding":")" +
                   free +
                   R"(","holder":null,"hardware":null,"restored":null})"
                   "\n"
             : at + "present COM1 ttyS0 ($/dev/ttyS0): " + free + "\n" + at +
                   "present ttyS4 ($/dev/ttyS4): " + free + "; " + described + "\n" + at +
                   "added ttyACM0 ($/dev/ttyACM0): " + free + "\n" + at +
                   "removed ttyS4 ($/dev/ttyS4): absent: removed; " + described + "\n" + at +
                   "removed ttyACM0 ($/dev/ttyACM0): absent: removed\n" + at +
                   "removed COM1 ttyS0 ($/dev/ttyS0): absent: removed\n" + at +
                   "added ttyUSB1 ($/dev/ttyUSB1): " + free + "\n");
    Plug("ttyS4", 4, 68, true);
    Plug("ttyS0", 4, 64);
    Unplug("ttyUSB1");
  }
}

// An output that takes nothing ends the watch with status 1, though no
// port is there to be written or none comes: a standard output that was
// closed, and a terminal that hung up (a write there fails, with EIO).
TEST_F(WatchTest, AnOutputThatTakesNothingEndsTheWatch) {
  const auto watch_in_child = [this](const std::function<std::FILE*()>& output) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(10);                    // a watch that went on would end by SIGALRM
      std::signal(SIGPIPE, SIG_DFL);  // as the program has it
      std::FILE* out = output();
      ScriptedEvents quiet({});
      const Inventory inventory(options_);
      WatchSources sources{.events = quiet,
                           .inventory = inventory,
                           .rows = std::vector<std::string>(6, "/dev/ttyS9"),
                           .stop_fd = quiet.stop_fd(),
                           .stop = [] { return 0; }};
      ::_exit(WatchPorts(sources, out, false));
    }
    return child;
  };
  const auto status_of = [](pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  };
  // No port at all, and standard output closed, as the program leaves it.
  EXPECT_EQ(status_of(watch_in_child([] {
              ::close(1);
              OpenStandardDescriptors();
              ::close(2);
              return stdout;
            })),
            1);
  // A terminal whose other end closes once the first line is out.
  Plug("ttyS4", 4, 68, true);
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const pid_t child = watch_in_child([master, slave] {
    ::close(master);  // the other end is the test's alone
    ::close(2);
    return ::fdopen(slave, "w");
  });
  ::close(slave);
  char first[512];
  EXPECT_GT(::read(master, first, sizeof first), 0);
  ::close(master);
  EXPECT_EQ(status_of(child), 1) << "not ended as a failed write ends it";
}

// A burst of arrivals and departures is told whole, one line each, and the
// ports that went are forgotten.
TEST_F(WatchTest, ABurstOfAThousandEventsIsToldWhole) {
  std::deque<ScriptedEvents::Batch> batches;
  for (int i = 0; i < 500; ++i) {
    const std::string name = "ttyUSB" + std::to_string(i);
    batches.push_back({[this, name, i] { Plug(name, 188, i); }, {{Action::kAdd, "tty", name}}});
    batches.push_back({[this, name] { Unplug(name); }, {{Action::kRemove, "tty", name}}});
  }
  ScriptedEvents events(std::move(batches));
  const std::string lines = Watch(events, false);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1000);
  EXPECT_NE(lines.find(" added ttyUSB499 "), std::string::npos);
  EXPECT_TRUE(lines.ends_with("removed ttyUSB499 ($/dev/ttyUSB499): absent: removed\n"));
}

// The kernel's own messages, as a uevent socket gives them; udev's, which
// start otherwise, and anything short of an action and a subsystem, are none.
TEST(DeviceEventsTest, KernelMessagesAreReadAsTheKernelWritesThem) {
  using namespace std::string_view_literals;
  EXPECT_EQ(ParseKernelEvent("add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/"
                             "ttyUSB0\0ACTION=add\0DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/"
                             "1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0SUBSYSTEM=tty\0MAJOR=188\0MINOR=0\0"
                             "DEVNAME=ttyUSB0\0SEQNUM=4242\0"sv),
            (DeviceEvent{Action::kAdd, "tty", "ttyUSB0"}));
  EXPECT_EQ(ParseKernelEvent("remove@/devices/virtual/tty/ttyS9\0ACTION=remove\0"
                             "DEVPATH=/devices/virtual/tty/ttyS9\0SUBSYSTEM=tty\0"sv),
            (DeviceEvent{Action::kRemove, "tty", "ttyS9"}));
  EXPECT_FALSE(ParseKernelEvent("libudev\0\xfe\xed\xca\xfe"sv));
  EXPECT_FALSE(ParseKernelEvent("add@/devices/x\0SUBSYSTEM=tty\0"sv));
  EXPECT_FALSE(ParseKernelEvent(""sv));
  // Where no udev daemon runs, the kernel's own events are listened to.
  if (const std::unique_ptr<DeviceEvents> events = ListenForDevices("/nonexistent-udev-control")) {
    EXPECT_STREQ(events->source(), "kernel");
  }
}

}  // namespace
}  // namespace velkaro
