// An ID database (usb.ids, as pci.ids shares its format), the whole input,
// as the names of a USB adapter are looked up in it; the line they make may
// be shown, and its JSON reads back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_checks.h"
#include "port_finding.h"
#include "port_json.h"
#include "sysfs_hardware.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path root = [] {
    char name[] = "/tmp/velkaro-fuzz-ids-XXXXXX";
    const fs::path made = ::mkdtemp(name);
    fs::create_directories(made / "tty");
    fs::create_directories(made / "usb" / "1-1:1.0");
    fs::create_directories(made / "bus" / "usb");
    fs::create_directory_symlink(made / "bus" / "usb", made / "usb" / "1-1:1.0" / "subsystem");
    fs::create_directory_symlink(made / "usb" / "1-1:1.0", made / "tty" / "device");
    std::ofstream(made / "usb" / "idVendor") << "0403\n";
    std::ofstream(made / "usb" / "idProduct") << "6001\n";
    return made;
  }();
  std::ofstream(root / "usb.ids", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  velkaro::PortFinding found;
  found.words = "present, not opened: no other program seen using it";
  found.hardware =
      velkaro::ReadTty((root / "tty").string(), {.pci = {}, .usb = {(root / "usb.ids").string()}});
  found.line = velkaro::FindingLine(found);
  velkaro::fuzz::CheckShowable(found.line, "the line");
  velkaro::fuzz::CheckJsonReadsBack(velkaro::PortJson(0, "/dev/ttyUSB0", found));
  return 0;
}
