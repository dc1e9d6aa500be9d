#include "sysfs_hardware.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "finding_words.h"
#include "showable.h"

namespace velkaro {
namespace {

namespace fs = std::filesystem;

// The first line of a small attribute file, or nothing if it cannot be read.
std::optional<std::string> Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

// A number as sysfs writes it: in `base`, or hexadecimal after "0x".
std::optional<unsigned long long> Number(const std::optional<std::string>& text, int base = 10) {
  if (!text) return std::nullopt;
  std::string_view digits = *text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    digits.remove_prefix(2);
    base = 16;
  }
  unsigned long long value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error != std::errc() || end == digits.data()) return std::nullopt;
  return value;
}

std::string Hex(unsigned long long value) {
  std::array<char, 20> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16).ptr;
  return "0x" + std::string(digits.data(), end);
}

// The kernel's ways of reaching a UART's registers (UPIO_*), for the ones
// in memory.
std::string MemoryAccess(unsigned long long io_type) {
  switch (io_type) {
    case 2:
      return "8-bit";
    case 3:
      return "32-bit";
    case 4:
      return "Au1x00";
    case 5:
      return "TSI";
    case 6:
      return "32-bit big-endian";
    case 7:
      return "16-bit";
    default:
      return {};
  }
}

// A PCI or USB device's vendor and device names from the ID database
// (pci.ids and usb.ids share the format): the vendor's
// line starts with its four hex digits, and its devices follow, each on a
// line of its own starting with one tab. The device's name is empty where
// the database knows the vendor alone.
std::optional<std::pair<std::string, std::string>> IdNames(
    std::string_view vendor, std::string_view device, const std::vector<std::string>& ids_files) {
  for (const std::string& file : ids_files) {
    std::ifstream ids(file);
    if (!ids) continue;
    std::string line, vendor_name;
    while (std::getline(ids, line)) {
      if (line.ends_with('\r')) line.pop_back();  // a file with CRLF line ends
      if (line.empty() || line[0] == '#') continue;
      if (line[0] != '\t') {
        if (!vendor_name.empty()) break;  // past the vendor's devices
        if (line.size() > 6 && line.compare(0, 4, vendor) == 0 && line.compare(4, 2, "  ") == 0) {
          vendor_name = line.substr(6);
        }
      } else if (!vendor_name.empty() && line.size() > 7 && line[1] != '\t' &&
                 line.compare(1, 4, device) == 0 && line.compare(5, 2, "  ") == 0) {
        return std::pair{vendor_name, line.substr(7)};
      }
    }
    if (vendor_name.empty()) return std::nullopt;
    return std::pair{vendor_name, std::string()};
  }
  return std::nullopt;
}

// Four lower-case hex digits of an ID attribute: "0x1415" as PCI writes
// it, "0403" as USB does (base 16).
std::string IdDigits(const std::optional<std::string>& text, int base = 10) {
  const std::optional<unsigned long long> id = Number(text, base);
  if (!id || *id > 0xffff) return {};
  std::string digits = Hex(*id).substr(2);
  return std::string(4 - digits.size(), '0') + digits;
}

// A USB interface's port: the device's ids and their names, what the
// device tells of itself, where it is plugged in, and its driver, into
// `hardware`; in words: "USB 0403:6001 (maker product) at 1-1.2:1.0,
// interface 0, driver ftdi_sio: FTDI FT232R USB UART, serial A50285BI".
std::string OnUsb(const fs::path& interface, const IdFiles& id_files, PortHardware& hardware) {
  const fs::path usb_device = interface.parent_path();
  hardware.bus = "usb";
  hardware.address = interface.filename().string();
  hardware.vendor_id = IdDigits(Attribute(usb_device / "idVendor"), 16);
  hardware.product_id = IdDigits(Attribute(usb_device / "idProduct"), 16);
  hardware.manufacturer = Attribute(usb_device / "manufacturer").value_or("");
  hardware.product = Attribute(usb_device / "product").value_or("");
  hardware.serial = Attribute(usb_device / "serial").value_or("");
  if (const std::optional<unsigned long long> number =
          Number(Attribute(interface / "bInterfaceNumber"), 16);
      number && *number <= 0xff) {
    hardware.interface = static_cast<int>(*number);
  }
  std::error_code error;
  const std::string driver = fs::read_symlink(interface / "driver", error).filename().string();
  if (!error) hardware.driver = driver;

  std::string words = "USB";
  if (!hardware.vendor_id.empty() && !hardware.product_id.empty()) {
    words += " " + hardware.vendor_id + ":" + hardware.product_id;
    if (const auto names = IdNames(hardware.vendor_id, hardware.product_id, id_files.usb)) {
      hardware.vendor_name = names->first;
      hardware.product_name = names->second;
      words += " (" + names->first + (names->second.empty() ? "" : " " + names->second) + ")";
    }
  }
  words += " at " + hardware.address;
  if (hardware.interface) words += ", interface " + std::to_string(*hardware.interface);
  if (!hardware.driver.empty()) words += ", driver " + hardware.driver;
  // Any device may say anything of itself: shown as names are.
  std::string own;
  for (const std::string* part : {&hardware.manufacturer, &hardware.product}) {
    if (!part->empty()) own += (own.empty() ? "" : " ") + ShowableName(*part);
  }
  if (!hardware.serial.empty()) {
    own += (own.empty() ? "serial " : ", serial ") + ShowableName(hardware.serial);
  }
  return own.empty() ? words : words + ": " + own;
}

// What the port belongs to, from its device link, into `hardware`; returns
// it in words: ", on PCI 0000:03:00.0 (names)", ", on PnP 00:0a (PNP0501)",
// ", on ACPI PNP0501:00", ", on platform serial8250"; empty where it cannot
// be told.
std::string BelongsTo(const fs::path& tty, const IdFiles& id_files, PortHardware& hardware) {
  std::error_code error;
  fs::path device = fs::canonical(tty / "device", error);
  if (error) return {};
  // The serial core's own port and controller devices stand between the
  // tty and the hardware it serves, and USB serial's port between the tty
  // and its USB interface.
  std::string bus;
  for (int depth = 0; depth < 4; ++depth) {
    bus = fs::read_symlink(device / "subsystem", error).filename().string();
    if (error || (bus != "serial-base" && bus != "usb-serial")) break;
    device = device.parent_path();
  }
  if (error) return {};
  const std::string name = device.filename().string();
  if (bus == "pci") {
    hardware.bus = bus;
    hardware.address = name;
    const std::string vendor = IdDigits(Attribute(device / "vendor"));
    const std::string id = IdDigits(Attribute(device / "device"));
    if (vendor.empty() || id.empty()) return ", on PCI " + name;
    hardware.vendor_id = vendor;
    hardware.product_id = id;
    const auto names = IdNames(vendor, id, id_files.pci);
    if (!names) return ", on PCI " + name + " [" + vendor + ":" + id + "]";
    hardware.vendor_name = names->first;
    hardware.product_name = names->second;
    return ", on PCI " + name + " (" + names->first + " " +
           (names->second.empty() ? "device " + id : names->second) + ")";
  }
  if (bus == "pnp") {
    hardware.bus = bus;
    hardware.address = name;
    const std::optional<std::string> id = Attribute(device / "id");
    return ", on PnP " + name + (id && !id->empty() ? " (" + *id + ")" : "");
  }
  if (bus == "acpi") {
    hardware.bus = bus;
    hardware.address = name;
    return ", on ACPI " + name;
  }
  if (bus == "platform" || bus == "amba") {
    hardware.bus = bus;
    hardware.address = name;
    const std::string driver = fs::read_symlink(device / "driver", error).filename().string();
    if (!error) hardware.driver = driver;
    return ", on " + std::string(bus == "amba" ? "AMBA " : "platform ") +
           (error || driver.empty() ? name : driver);
  }
  if (bus == "usb") return ", on " + OnUsb(device, id_files, hardware);
  return {};
}

// A tty's name as its kind and number: ("ttyUSB", 10) for ttyUSB10, -1
// where it ends in no number.
std::pair<std::string, long> KindAndNumber(const std::string& name) {
  std::size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  long number = -1;
  if (digits < name.size()) {
    const auto [end, error] =
        std::from_chars(name.data() + digits, name.data() + name.size(), number);
    if (error != std::errc()) number = -1;
  }
  return {name.substr(0, digits), number};
}

}  // namespace

std::optional<SerialTty> SerialTtyNamed(const std::string& class_tty, const std::string& name,
                                        const TtyClassifier& classifier) {
  // A name from outside (a device event's) never leads out of the class.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    return std::nullopt;
  }
  const fs::path tty = fs::path(class_tty) / name;
  // Only hardware has a device; the virtual terminals have none.
  std::error_code error;
  if (!fs::exists(tty / "device", error)) return std::nullopt;
  unsigned int major_number = 0, minor_number = 0;
  const std::optional<std::string> dev = Attribute(tty / "dev");
  if (!dev || std::sscanf(dev->c_str(), "%u:%u", &major_number, &minor_number) != 2) {
    return std::nullopt;
  }
  const dev_t device = makedev(major_number, minor_number);
  const TtyFacts facts = classifier.OfTty(device, tty.string(), name);
  if (!IsListedPort(facts.kind)) return std::nullopt;
  return SerialTty{.name = name, .device = device, .console = facts.console};
}

std::vector<SerialTty> SerialTtys(const std::string& class_tty, const TtyClassifier& classifier) {
  std::vector<SerialTty> ttys;
  std::error_code error;
  for (fs::directory_iterator entry(class_tty, error), end; !error && entry != end;
       entry.increment(error)) {
    if (std::optional<SerialTty> tty =
            SerialTtyNamed(class_tty, entry->path().filename().string(), classifier)) {
      ttys.push_back(std::move(*tty));
    }
  }
  std::sort(ttys.begin(), ttys.end(), [](const SerialTty& a, const SerialTty& b) {
    const auto kind_a = KindAndNumber(a.name), kind_b = KindAndNumber(b.name);
    return std::tie(kind_a, a.name) < std::tie(kind_b, b.name);
  });
  return ttys;
}

SerialLinkMap SerialLinks(const std::vector<std::string>& link_dirs) {
  SerialLinkMap links;
  std::error_code error;
  for (const std::string& dir : link_dirs) {
    std::vector<fs::path> here;
    for (fs::directory_iterator entry(dir, error), end; !error && entry != end;
         entry.increment(error)) {
      here.push_back(entry->path());
    }
    error.clear();
    std::sort(here.begin(), here.end());
    for (const fs::path& link : here) {
      std::error_code unresolved;
      if (!fs::is_symlink(link, unresolved)) continue;
      const fs::path node = fs::canonical(link, unresolved);
      if (!unresolved) links[node.string()].push_back(link.string());
    }
  }
  return links;
}

std::vector<std::string> SerialLinks(const std::string& device_path, const SerialLinkMap& links) {
  std::error_code error;
  const fs::path node = fs::canonical(device_path, error);
  if (error) return {};
  const auto found = links.find(node.string());
  return found == links.end() ? std::vector<std::string>() : found->second;
}

std::string UartTypeName(int type) {
  // include/uapi/linux/serial_core.h, PORT_8250 to PORT_16550A_FSL64.
  static constexpr std::array<std::string_view, 31> kNames = {"",
                                                              "8250",
                                                              "16450",
                                                              "16550",
                                                              "16550A",
                                                              "CIRRUS",
                                                              "16650",
                                                              "16650V2",
                                                              "16750",
                                                              "STARTECH",
                                                              "16C950",
                                                              "16654",
                                                              "16850",
                                                              "RSA",
                                                              "NS16550A",
                                                              "XSCALE",
                                                              "RM9000",
                                                              "OCTEON",
                                                              "AR7",
                                                              "U6_16550A",
                                                              "TEGRA",
                                                              "XR17D15X",
                                                              "LPC3220",
                                                              "8250_CIR",
                                                              "XR17V35X",
                                                              "BRCM_TRUMANAGE",
                                                              "ALTR_16550_F32",
                                                              "ALTR_16550_F64",
                                                              "ALTR_16550_F128",
                                                              "RT2880",
                                                              "16550A_FSL64"};
  if (type < 0 || static_cast<std::size_t>(type) >= kNames.size()) return {};
  return std::string(kNames[static_cast<std::size_t>(type)]);
}

std::optional<PortHardware> ReadTty(const std::string& tty_dir, const IdFiles& id_files) {
  const fs::path tty = tty_dir;
  const std::optional<unsigned long long> type = Number(Attribute(tty / "type"));
  if (type && *type == 0) return std::nullopt;  // no UART behind the node
  PortHardware hardware;
  std::string uart = "UART";
  if (type) {
    const std::string name = *type <= 0xffff ? UartTypeName(static_cast<int>(*type)) : "";
    hardware.uart = name.empty() ? std::to_string(*type) : name;
    uart = name.empty() ? "UART of type " + std::to_string(*type) : name + " UART";
  }

  std::string where;
  const std::optional<unsigned long long> io_type = Number(Attribute(tty / "io_type"));
  const std::optional<unsigned long long> memory = Number(Attribute(tty / "iomem_base"));
  const std::optional<unsigned long long> port = Number(Attribute(tty / "port"));
  if (io_type && !MemoryAccess(*io_type).empty() && memory && *memory != 0) {
    hardware.memory = Hex(*memory);
    where = " at memory " + hardware.memory + " (" + MemoryAccess(*io_type) + ")";
  } else if (port && *port != 0 && (!io_type || *io_type <= 1)) {
    hardware.io = Hex(*port);
    where = " at I/O " + hardware.io;
  }
  if (const std::optional<unsigned long long> irq = Number(Attribute(tty / "irq"));
      irq && *irq != 0) {
    if (*irq <= 0x7fffffffffffffff) hardware.irq = static_cast<std::int64_t>(*irq);
    where += (where.empty() ? " on IRQ " : ", IRQ ") + std::to_string(*irq);
  }
  const std::string belongs = BelongsTo(tty, id_files, hardware);
  if (!type && where.empty() && belongs.empty()) return std::nullopt;
  // A USB serial port has no UART of the kernel's own to tell of: the USB
  // device is the whole of it.
  constexpr std::string_view kOn = ", on ";
  hardware.description = !type && where.empty() && hardware.bus == "usb"
                             ? belongs.substr(kOn.size())
                             : uart + where + belongs;
  return hardware;
}

std::optional<PortHardware> ReadUart(dev_t device, const std::string& sysfs_char_root,
                                     const IdFiles& id_files) {
  return ReadTty(
      sysfs_char_root + "/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)),
      id_files);
}

std::string DescribeUart(dev_t device, const std::string& sysfs_char_root,
                         const IdFiles& id_files) {
  const std::optional<PortHardware> hardware = ReadUart(device, sysfs_char_root, id_files);
  return hardware ? hardware->description : std::string();
}

}  // namespace velkaro
