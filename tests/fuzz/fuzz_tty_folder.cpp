// A whole terminal's folder in sysfs, and the USB device behind it, made
// from one input: its parts between zero bytes are the files' contents in
// turn, the last of them the USB ID database. Its hardware is told, and its
// line is text that may be shown, whose JSON reads back to the same data.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "port_finding.h"
#include "port_json.h"
#include "sysfs_hardware.h"
#include "tty_kind.h"

namespace fs = std::filesystem;

namespace {

const fs::path& Root() {
  static const fs::path root = [] {
    char name[] = "/tmp/velkaro-fuzz-tty-XXXXXX";
    return fs::path(::mkdtemp(name));
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kFiles[] = {"tty/type", "tty/port", "tty/irq", "tty/io_type",
                                       "tty/iomem_base", "usb/idVendor", "usb/idProduct",
                                       "usb/manufacturer", "usb/product", "usb/serial",
                                       "usb/1-1:1.0/bInterfaceNumber", "usb.ids",
                                       // After the ID database, so that the
                                       // older seeds mean what they did.
                                       "tty/dev", "tty/console"};
  const fs::path& root = Root();
  fs::remove_all(root / "tty");
  fs::remove_all(root / "usb");
  fs::create_directories(root / "tty");
  fs::create_directories(root / "usb" / "1-1:1.0" / "ttyUSB0");
  fs::create_directories(root / "bus" / "usb");
  fs::create_directories(root / "bus" / "usb-serial" / "drivers" / "ftdi_sio");
  fs::create_directory_symlink(root / "bus" / "usb", root / "usb" / "1-1:1.0" / "subsystem");
  fs::create_directory_symlink(root / "bus" / "usb-serial",
                               root / "usb" / "1-1:1.0" / "ttyUSB0" / "subsystem");
  fs::create_directory_symlink(root / "bus" / "usb-serial" / "drivers" / "ftdi_sio",
                               root / "usb" / "1-1:1.0" / "ttyUSB0" / "driver");
  fs::create_directory_symlink(root / "usb" / "1-1:1.0" / "ttyUSB0", root / "tty" / "device");
  std::size_t at = 0;
  for (const char* file : kFiles) {
    std::size_t end = at;
    while (end < size && data[end] != 0) ++end;
    if (at < size) {
      std::ofstream(root / file, std::ios::binary)
          .write(reinterpret_cast<const char*>(data + at), static_cast<std::streamsize>(end - at));
    }
    at = end + 1;
  }
  const velkaro::IdFiles ids{.pci = {}, .usb = {(root / "usb.ids").string()}};
  // The folder as --all and --watch read it: its number, and what the
  // classifier makes of it.
  const velkaro::TtyClassifier classifier({.proc_root = (root / "proc").string(),
                                           .sysfs_char_root = (root / "char").string(),
                                           .console_active = (root / "console").string(),
                                           .dev_root = (root / "dev").string()});
  [[maybe_unused]] const auto tty = velkaro::SerialTtyNamed(root.string(), "tty", classifier);
  velkaro::OtherPort port{.name = "ttyUSB0", .device = "/dev/ttyUSB0", .found = {}};
  port.found.presence = velkaro::PortFinding::Presence::kPresent;
  port.found.words = "present, not opened: no other program seen using it";
  port.found.hardware = velkaro::ReadTty((root / "tty").string(), ids);
  port.found.line = velkaro::FindingLine(port.found);
  velkaro::fuzz::CheckShowable(port.found.line, "the line");
  velkaro::fuzz::CheckJsonReadsBack(velkaro::PortJson(0, port.device, port.found));
  return 0;
}
