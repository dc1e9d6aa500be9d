#include "inventory.h"
#include "lock_files.h"
#include "port_json.h"
#include "process_walk.h"
#include "showable.h"
#include "sysfs_hardware.h"
#include "tty_kind.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velkaro {
namespace {

TEST(PortGuardsTest, LockFilesAreNamedAfterTheDevice) {
  EXPECT_EQ(LockFileName("/dev/ttyS0"), "LCK..ttyS0");
  EXPECT_EQ(LockFileName("/dev/pts/12"), "LCK..pts_12");
  EXPECT_EQ(LockFileName("/tmp/x/ttyUSB1"), "LCK..ttyUSB1");
}

TEST(PortGuardsTest, TtyNumbersDecodeAsTheKernelEncodesThem) {
  EXPECT_EQ(DecodeTtyNr(0x440), makedev(4, 64));    // ttyS0
  EXPECT_EQ(DecodeTtyNr(0x8803), makedev(136, 3));  // pts/3
  // Minors above 255 keep their high bits above the major.
  const unsigned int pts_300 = (136u << 8) | (300u & 0xffu) | ((300u & ~0xffu) << 12);
  EXPECT_EQ(DecodeTtyNr(pts_300), makedev(136, 300));
}

TEST(PortGuardsTest, UnreadableSourcesHoldNothingAndNoProcIsBlind) {
  const dev_t device = makedev(4, 64);
  EXPECT_FALSE(HeldByLockFile("/dev/ttyS0", {"/nonexistent-lock-dir"}));
  EXPECT_TRUE(HeldByAnotherProcess(device, {.proc_root = "/nonexistent-proc"}).blind);
  EXPECT_FALSE(ConsoleList("/nonexistent-console", "/dev").Has(device, "ttyS0"));
  struct stat node = {};
  node.st_mode = S_IFCHR;
  node.st_rdev = device;
  EXPECT_EQ(TtyClassifier({.proc_root = "/nonexistent-proc", .sysfs_char_root = "/nonexistent-sys"})
                .OfNode(node)
                .kind,
            TtyKind::kUnknown);
}

// Any program may name itself; its name is shown with nothing that could
// act on a terminal, turn the text around or break UTF-8.
TEST(PortGuardsTest, NamesAreShownWithoutControlsOrInvalidBytes) {
  const struct {
    std::string_view name, shown;
  } kRows[] = {
      {"minicom", "minicom"},
      {"hol\nder\x1b[2J\x7f", "hol?der?[2J?"},
      {"csi\xc2\x9b"
       "2J",
       "csi?2J"},  // U+009B, a C1 control
      {"raw\x9b"
       "2J",
       "raw?2J"},  // a byte that is no UTF-8
      {"\xe2\x80\xae"
       "nomociim",
       "?nomociim"},                                               // U+202E, right-to-left override
      {"\xe2\x81\xa6x\xe2\x81\xa9\xd8\x9c\xe2\x80\x8f", "?x???"},  // U+2066, 2069, 061C, 200F
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x8c", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x8c"},
      {"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80", "?????????"},  // overlong, surrogate, too high
      // Overlong in three and four bytes, below each length's least and
      // above the one before it.
      {"\xe0\x80\xaf\xe0\x83\xa9", "??????"},
      {"\xf0\x80\x80\xaf\xf0\x8f\xbf\xbf", "????????"},
      {"cut\xe2\x82", "cut??"},
  };
  for (const auto& row : kRows) EXPECT_EQ(ShowableName(row.name), row.shown) << row.name;
}

// One classifier for the devices chosen for the rows and for --all: every
// kind of node, told from a made-up driver list and sysfs, with the list and
// without it. Each node is looked at through the inventory's seam, which
// says what the node is; nothing is opened.
TEST(TtyClassifierTest, EachKindIsTheSameForAChosenDeviceAndForAll) {
  namespace fs = std::filesystem;
  char dir_template[] = "/tmp/velkaro-kinds-XXXXXX";
  const fs::path root = ::mkdtemp(dir_template);
  const fs::path class_tty = root / "class" / "tty", char_root = root / "dev" / "char";
  fs::create_directories(root / "proc" / "tty");
  std::ofstream(root / "proc" / "tty" / "drivers")
      << "/dev/tty /dev/tty 5 0 system:/dev/tty\n/dev/console /dev/console 5 1 system:console\n"
         "pty_slave /dev/pts 136 0-1048575 pty:slave\nserial /dev/ttyS 4 64-111 serial\n"
         "usbserial /dev/ttyUSB 188 0-511 serial\nacm /dev/ttyACM 166 0-255 serial\n"
         "/dev/vc/0 /dev/vc/0 4 0 system:vtmaster\nunknown /dev/tty 4 1-63 console\n";
  const struct {
    const char* name;
    dev_t device;
    const char* type;    // sysfs's type attribute; null: none
    bool has_device;     // a device behind it, as hardware has
    const char* chosen;  // what a look at it as a chosen device says; empty: may be opened
    bool listed;         // by --all
  } kNodes[] = {
      {"ttyS0", makedev(4, 64), "4", true, "", true},  // a 16550A
      {"ttyS5", makedev(4, 69), "0", true, "absent: no UART behind this node", false},
      {"ttyUSB0", makedev(188, 0), nullptr, true, "", true},
      {"ttyACM0", makedev(166, 0), nullptr, true, "", true},
      {"console", makedev(5, 1), nullptr, false, "absent: not a serial port", false},
      {"tty", makedev(5, 0), nullptr, false, "absent: not a serial port", false},
      {"tty1", makedev(4, 1), nullptr, false, "absent: not a serial port", false},
      {"pts3", makedev(136, 3), nullptr, false, "", false},  // no sysfs entry, as the kernel
      {"watchdog", makedev(10, 130), nullptr, true, "absent: not a serial port", false},
      {"file", 0, nullptr, false, "absent: not a serial port", false},
  };
  // What each path is, as the seam's looks tell it.
  struct Nodes : NodeSystem {
    int OpenPath(const char* path) override {
      const int fd = NodeSystem::OpenPath("/dev/null");
      paths[fd] = path;
      return fd;
    }
    int Fstat(int fd, struct stat* st) override {
      NodeSystem::Fstat(fd, st);
      const dev_t device = devices.at(paths.at(fd));
      st->st_mode = device == 0 ? S_IFREG | 0644 : S_IFCHR | 0660;
      st->st_rdev = device;
      return 0;
    }
    std::map<int, std::string> paths;
    std::map<std::string, dev_t> devices;
  } nodes;
  for (const auto& node : kNodes) {
    nodes.devices[(root / node.name).string()] = node.device;
    if (node.device == 0 || node.device == makedev(136, 3)) continue;
    const fs::path entry = node.device == makedev(10, 130) ? root / "class" / "misc" / node.name
                                                           : class_tty / node.name;
    fs::create_directories(entry);
    std::ofstream(entry / "dev") << major(node.device) << ":" << minor(node.device) << "\n";
    if (node.type != nullptr) std::ofstream(entry / "type") << node.type << "\n";
    if (node.has_device) fs::create_directory_symlink(root, entry / "device");
    fs::create_directory_symlink(entry.parent_path(), entry / "subsystem");
    fs::create_directories(char_root);
    fs::create_directory_symlink(entry, char_root / (std::to_string(major(node.device)) + ":" +
                                                     std::to_string(minor(node.device))));
  }
  for (const bool drivers : {true, false}) {
    SCOPED_TRACE(drivers ? "with the driver list" : "with sysfs alone");
    InventoryOptions options;
    options.processes.proc_root = (root / (drivers ? "proc" : "no-proc")).string();
    options.sysfs_char_root = char_root.string();
    options.sysfs_class_tty = class_tty.string();
    options.console_active = (root / "no-console").string();
    options.dev_root = root.string();
    const Inventory inventory(options, nodes);
    const TtyClassifier classifier({.proc_root = options.processes.proc_root,
                                    .sysfs_char_root = options.sysfs_char_root,
                                    .console_active = options.console_active,
                                    .dev_root = options.dev_root});
    std::vector<std::string> listed;
    for (const SerialTty& tty : SerialTtys(class_tty.string(), classifier))
      listed.push_back(tty.name);
    for (const auto& node : kNodes) {
      SCOPED_TRACE(node.name);
      NodeLook look;
      inventory.Look((root / node.name).string(), true, look);
      // Without the driver list, only sysfs tells of a pseudo-terminal,
      // and it has no entry for one.
      const bool unknown = !drivers && node.device == makedev(136, 3);
      EXPECT_EQ(look.found.words, unknown ? "absent: not a serial port" : node.chosen);
      EXPECT_EQ(std::find(listed.begin(), listed.end(), node.name) != listed.end(), node.listed);
    }
  }
  fs::remove_all(root);
}

// A sysfs of made-up ports: the node's entry with its attributes, and the
// devices its link leads to, as the kernel lays them out.
TEST(SysfsUartTest, TellsTheUartWhereItSitsAndWhatItBelongsTo) {
  namespace fs = std::filesystem;
  char dir_template[] = "/tmp/velkaro-sys-XXXXXX";
  const fs::path root = ::mkdtemp(dir_template);
  const fs::path entry = root / "dev" / "char" / "4:64";
  const auto device = [&](const fs::path& at, const std::string& bus) {
    fs::create_directories(root / "bus" / bus);
    fs::create_directories(at);
    fs::create_symlink(root / "bus" / bus, at / "subsystem");
    return at;
  };
  // The serial core's port and controller devices sit between the tty and
  // the hardware.
  const auto on = [&](const fs::path& hardware) {
    const fs::path port = device(device(hardware / "ctrl", "serial-base") / "port", "serial-base");
    fs::create_symlink(port, entry / "device");
  };
  const auto write = [](const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  };
  const fs::path ids = root / "pci.ids";
  write(ids,
        "# comment\n1414  Someone Else\n\tc158  Not This One\n"
        "1415  Oxford Semiconductor Ltd\n\tc101  OX16PCI952 Parallel\n"
        "\tc158  OXPCIe952 Dual Native 950 UART\n\t\t1415 c158  A subsystem");
  const struct {
    const char* what;
    std::vector<std::pair<const char*, const char*>> attributes;  // empty text: unreadable
    std::function<void()> links;
    std::vector<std::string> pci_ids;
    std::string told;
    std::string parts = "null";  // its JSON beside the description
  } kRows[] = {
      {"an ISA 16550A",
       {{"type", "4"}, {"port", "0x3F8"}, {"irq", "4"}, {"io_type", "0"}, {"iomem_base", "0x0"}},
       [&] {
         const fs::path pnp = device(root / "devices" / "pnp0" / "00:00", "pnp");
         write(pnp / "id", "PNP0501");
         on(pnp);
       },
       {},
       "16550A UART at I/O 0x3f8, IRQ 4, on PnP 00:00 (PNP0501)",
       R"({"uart":"16550A","io":"0x3f8","irq":4,"bus":"pnp","address":"00:00"})"},
      {"a PCI card, with pci.ids",
       {{"type", "10"}, {"port", "0xE000"}, {"irq", "17"}, {"io_type", "0"}},
       [&] {
         const fs::path card = device(root / "devices" / "pci0000:00" / "0000:03:00.0", "pci");
         write(card / "vendor", "0x1415");
         write(card / "device", "0xc158");
         on(card);
       },
       {(root / "missing.ids").string(), ids.string()},
       "16C950 UART at I/O 0xe000, IRQ 17, on PCI 0000:03:00.0 "
       "(Oxford Semiconductor Ltd OXPCIe952 Dual Native 950 UART)",
       R"({"uart":"16C950","io":"0xe000","irq":17,"bus":"pci","address":"0000:03:00.0",)"
       R"("vendor_id":"1415","product_id":"c158","vendor_name":"Oxford Semiconductor Ltd",)"
       R"("product_name":"OXPCIe952 Dual Native 950 UART"})"},
      {"a PCI card, without pci.ids",
       {{"type", "10"}, {"port", "0xE000"}, {"irq", "17"}},
       [&] {
         const fs::path card = device(root / "devices" / "pci0000:00" / "0000:03:00.0", "pci");
         write(card / "vendor", "0x1415");
         write(card / "device", "0xc158");
         on(card);
       },
       {(root / "missing.ids").string()},
       "16C950 UART at I/O 0xe000, IRQ 17, on PCI 0000:03:00.0 [1415:c158]",
       R"({"uart":"16C950","io":"0xe000","irq":17,"bus":"pci","address":"0000:03:00.0",)"
       R"("vendor_id":"1415","product_id":"c158"})"},
      {"a memory-mapped platform UART",
       {{"type", "4"},
        {"port", "0x0"},
        {"irq", "29"},
        {"io_type", "3"},
        {"iomem_base", "0xFE215040"}},
       [&] {
         const fs::path soc = device(root / "devices" / "platform" / "fe215040.serial", "platform");
         fs::create_directories(root / "bus" / "platform" / "drivers" / "dw-apb-uart");
         fs::create_symlink(root / "bus" / "platform" / "drivers" / "dw-apb-uart", soc / "driver");
         on(soc);
       },
       {},
       "16550A UART at memory 0xfe215040 (32-bit), IRQ 29, on platform dw-apb-uart",
       R"({"uart":"16550A","irq":29,"memory":"0xfe215040","bus":"platform",)"
       R"("address":"fe215040.serial","driver":"dw-apb-uart"})"},
      {"an ACPI UART",
       {{"type", "4"}, {"port", "0x2F8"}, {"irq", "3"}},
       [&] { on(device(root / "devices" / "LNXSYSTM:00" / "PNP0501:00", "acpi")); },
       {},
       "16550A UART at I/O 0x2f8, IRQ 3, on ACPI PNP0501:00",
       R"({"uart":"16550A","io":"0x2f8","irq":3,"bus":"acpi","address":"PNP0501:00"})"},
      {"a USB adapter, which has no UART of the kernel's own",
       {},
       [&] {
         const fs::path adapter = root / "devices" / "usb1" / "1-1.2";
         fs::create_directories(adapter);
         write(adapter / "idVendor", "0403");
         write(adapter / "idProduct", "6001");
         write(adapter / "product", "FT232R USB UART");
         const fs::path interface = device(adapter / "1-1.2:1.0", "usb");
         write(interface / "bInterfaceNumber", "01");
         fs::create_directories(root / "bus" / "usb" / "drivers" / "ftdi_sio");
         fs::create_symlink(root / "bus" / "usb" / "drivers" / "ftdi_sio", interface / "driver");
         fs::create_symlink(device(interface / "ttyUSB0", "usb-serial"), entry / "device");
       },
       {},
       "USB 0403:6001 at 1-1.2:1.0, interface 1, driver ftdi_sio: FT232R USB UART",
       R"({"bus":"usb","address":"1-1.2:1.0","vendor_id":"0403","product_id":"6001",)"
       R"("driver":"ftdi_sio","product":"FT232R USB UART","interface":1})"},
      {"an IRQ beyond 32 bits, told as it is",
       {{"type", "4"}, {"irq", "4294967296"}},
       [] {},
       {},
       "16550A UART on IRQ 4294967296",
       R"({"uart":"16550A","irq":4294967296})"},
      {"a type the table does not know",
       {{"type", "200"}, {"port", "0x2f8"}, {"irq", "3"}},
       [] {},
       {},
       "UART of type 200 at I/O 0x2f8, IRQ 3",
       R"({"uart":"200","io":"0x2f8","irq":3})"},
      {"unreadable attributes",
       {{"type", "4"}, {"port", ""}, {"irq", ""}},
       [] {},
       {},
       "16550A UART",
       R"({"uart":"16550A"})"},
      {"nothing readable", {{"type", ""}}, [] {}, {}, ""},
      {"no UART", {{"type", "0"}, {"port", "0x3e8"}}, [] {}, {}, ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(root / "dev");
    fs::remove_all(root / "devices");
    fs::remove_all(root / "bus");
    fs::create_directories(entry);
    for (const auto& [name, text] : row.attributes) {
      if (*text == '\0') {
        fs::create_directory(entry / name);  // a file that cannot be read
      } else {
        write(entry / name, text);
      }
    }
    row.links();
    EXPECT_EQ(DescribeUart(makedev(4, 64), (root / "dev" / "char").string(),
                           IdFiles{.pci = row.pci_ids, .usb = {}}),
              row.told);
    PortFinding found;
    found.hardware = ReadUart(makedev(4, 64), (root / "dev" / "char").string(),
                              IdFiles{.pci = row.pci_ids, .usb = {}});
    nlohmann::ordered_json parts = PortJson(1, "", found)["hardware"];
    if (!parts.is_null()) {
      EXPECT_EQ(parts["description"], row.told);
      parts.erase("description");
    }
    EXPECT_EQ(parts.dump(), row.parts);
  }
  fs::remove_all(root);
}

// A /proc of made-up processes, with pids no real process can have. The port
// is /dev/zero's device number, only ever compared, and the kernel's list of
// tty drivers says what kind of terminal it is: by default, no such list.
class FakeProcTest : public testing::Test {
 protected:
  static constexpr pid_t kLeader = 5000001, kMember = 5000002, kOther = 5000003;
  static constexpr const char* kPort = "/dev/zero";

  FakeProcTest() {
    char dir_template[] = "/tmp/velkaro-proc-XXXXXX";
    root_ = ::mkdtemp(dir_template);
    struct stat st;
    if (::stat(kPort, &st) != 0) throw std::runtime_error("stat /dev/zero");
    device_ = st.st_rdev;
    Restart();
  }
  ~FakeProcTest() override { std::filesystem::remove_all(root_); }

  // Empty but for our own entry, which a /proc the look can see has.
  void Restart() {
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "self" / "fd");
  }

  // The tty drivers list, naming the port's driver as of `type`.
  void Driver(const std::string& type) {
    std::filesystem::create_directories(root_ / "tty");
    std::ofstream(root_ / "tty" / "drivers")
        << "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
        << "stand-in             /dev/ttyX " << major(device_) << " " << minor(device_) << "-"
        << minor(device_) + 1 << " " << type << "\n";
  }

  // A process whose stat names `tty` (0: none), whose descriptors lead to
  // `open`, and which has `threads` threads.
  void Process(pid_t pid, dev_t tty, const std::vector<std::string>& open = {},
               const std::string& command = "sh", int threads = 1) {
    const std::filesystem::path dir = root_ / std::to_string(pid);
    std::filesystem::create_directories(dir / "fd");
    for (int tid = 0; tid < threads; ++tid) {
      std::filesystem::create_directories(dir / "task" / std::to_string(pid + tid));
    }
    const unsigned int tty_nr =
        tty == 0 ? 0 : (major(tty) << 8) | (minor(tty) & 0xffu) | ((minor(tty) & ~0xffu) << 12);
    std::ofstream(dir / "stat") << pid << " (" << command << ") S 1 " << pid << " " << pid << " "
                                << tty_nr << " -1 4194560 0 0 0 0\n";
    int fd = 0;
    for (const std::string& target : open) {
      std::filesystem::create_symlink(target, dir / "fd" / std::to_string(fd++));
    }
  }

  Holder Look() {
    ProcessWalk walk{.proc_root = root_.string(), .session_of = [this](pid_t pid) {
                       ++sessions_asked_;
                       const auto found = sessions_.find(pid);
                       return found == sessions_.end() ? pid_t{-1} : found->second;
                     }};
    return HeldByAnotherProcess(device_, walk, node_filesystem_);
  }
  bool Held() {
    const Holder holder = Look();
    EXPECT_FALSE(holder.blind);
    return static_cast<bool>(holder);
  }

  std::filesystem::path root_;
  dev_t device_ = 0;
  std::map<pid_t, pid_t> sessions_;
  int sessions_asked_ = 0;
  dev_t node_filesystem_ = 0;
};

TEST_F(FakeProcTest, AnotherProcessWithThePortOpenHoldsIt) {
  Driver("serial");
  Process(kOther, 0, {"/dev/null", kPort});
  EXPECT_TRUE(Held());
  EXPECT_EQ(sessions_asked_, 0);
  // A pseudo-terminal of the same number in another devpts instance, such as
  // a container's, is another terminal.
  Driver("pty:slave");
  struct stat elsewhere, port;
  ASSERT_EQ(::stat(root_.c_str(), &elsewhere), 0);
  ASSERT_EQ(::stat(kPort, &port), 0);
  node_filesystem_ = elsewhere.st_dev;
  EXPECT_FALSE(Held());
  node_filesystem_ = port.st_dev;
  EXPECT_TRUE(Held());
  // Looked for beside another device, one held by a descriptor is not taken
  // for its holder's session's terminal as well, whatever else it has open.
  Restart();
  Driver("serial");
  Process(kOther, device_, {"/dev/tty", kPort});
  const std::vector<Holder> held =
      HeldByOtherProcesses({device_, makedev(4, 127)}, {.proc_root = root_.string()});
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].pid, kOther);
  EXPECT_FALSE(held[0].by_session);
  EXPECT_FALSE(held[1]);
}

TEST_F(FakeProcTest, OurOwnDescriptorsAndOtherDevicesHoldNothing) {
  Process(::getpid(), 0, {kPort});
  Process(kOther, 0, {"/dev/null", "/nonexistent"});
  EXPECT_FALSE(Held());
  // A /proc without our own entry (a tmpfs over it) shows nobody: blind.
  std::filesystem::remove_all(root_ / "self");
  Process(kLeader, 0, {kPort});
  EXPECT_TRUE(Look().blind);
}

// A program in a chroot with /dev bind-mounted has the port open under a
// path outside /dev; its device number still tells.
TEST_F(FakeProcTest, ThePortOpenedThroughAnotherPathHoldsIt) {
  const std::filesystem::path alias = root_ / "chroot-dev-zero";
  std::filesystem::create_symlink(kPort, alias);
  Process(kOther, 0, {alias.string()});
  EXPECT_TRUE(Held());
}

// Every process here has the port as its session's terminal in its record,
// but no descriptor on it. The record counts only where the descriptors
// cannot tell.
TEST_F(FakeProcTest, ASessionIsAskedOnlyWhereTheDescriptorsCannotTell) {
  const struct {
    const char* what;
    const char* driver;  // the port's driver type; null: no driver list
    std::vector<std::string> open;
    int threads;
    bool asked;
  } kCases[] = {
      {"a process whose every descriptor was seen", "serial", {"/dev/null", "/tmp"}, 1, false},
      {"a process with no descriptors and no other thread", "serial", {}, 1, false},
      {"a descriptor that cannot be looked at", "serial", {"/dev/null", "/nonexistent"}, 1, true},
      {"a process holding /dev/tty", "serial", {"/dev/null", "/dev/tty"}, 1, true},
      {"no descriptors while other threads live", "serial", {}, 2, true},
      {"a pseudo-terminal", "pty:slave", {"/dev/null"}, 1, true},
      {"a driver the kernel does not list", nullptr, {"/dev/null"}, 1, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Restart();
    if (c.driver != nullptr) Driver(c.driver);
    sessions_ = {{kOther, kOther}};
    sessions_asked_ = 0;
    Process(kOther, device_, c.open, "sh", c.threads);
    EXPECT_EQ(Held(), c.asked);
    EXPECT_EQ(sessions_asked_, c.asked ? 1 : 0);
  }
  // A process whose descriptors cannot be listed, as another user's.
  Restart();
  Driver("serial");
  Process(kOther, device_);
  std::filesystem::remove(root_ / std::to_string(kOther) / "fd");
  EXPECT_TRUE(Held());
  // A holder whose first thread has exited: the threads left have its
  // descriptors.
  Restart();
  Driver("serial");
  Process(kOther, 0, {}, "sh", 2);
  const std::filesystem::path thread_fd =
      root_ / std::to_string(kOther) / "task" / std::to_string(kOther + 1) / "fd";
  std::filesystem::create_directories(thread_fd);
  std::filesystem::create_symlink(kPort, thread_fd / "0");
  EXPECT_TRUE(Held());
}

TEST_F(FakeProcTest, ASessionOnThePortIsFoundHoweverItsLeaderIsReached) {
  const struct {
    const char* what;
    pid_t member_session;  // what getsid tells of the member
    bool leader_listed;
    dev_t leader_tty, member_tty;
    const char* member_command;
  } kCases[] = {
      {"its leader", kLeader, true, device_, 0, "sh"},
      {"a leader that has exited", kLeader, false, 0, device_, "sh"},
      {"a leader outside our pid namespace", 0, false, 0, device_, "sh"},
      {"getsid failing", -1, true, 0, device_, "sh"},
      {"a command name with ') ' in it", -1, false, 0, device_, "a) S 1 2 3 0 ("},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Restart();
    Driver("pty:slave");
    sessions_ = {{kLeader, kLeader}, {kMember, c.member_session}};
    if (c.leader_listed) Process(kLeader, c.leader_tty);
    Process(kMember, c.member_tty, {}, c.member_command);
    EXPECT_TRUE(Held());
  }
}

// Every session gets its look, not only the first: the port is a login's in
// one of two sessions, once in each, so that whichever the walk meets first
// the other is the one that counts in one of the cases.
TEST_F(FakeProcTest, EverySessionIsLookedAt) {
  for (const pid_t on_port : {kLeader, kOther}) {
    Restart();
    sessions_ = {{kLeader, kLeader}, {kOther, kOther}};
    Process(kLeader, on_port == kLeader ? device_ : 0);
    Process(kOther, on_port == kOther ? device_ : 0);
    EXPECT_TRUE(Held()) << on_port;
  }
}

}  // namespace
}  // namespace velkaro
