#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "port_finding.h"
#include "tty_kind.h"

namespace velkaro {

// Where the PCI ID database may be installed (Debian's pci.ids package, or
// hwdata's), first found first used.
inline const std::vector<std::string> kPciIdsFiles = {"/usr/share/misc/pci.ids",
                                                      "/usr/share/hwdata/pci.ids"};

// Where the USB ID database may be installed (Debian's usb.ids package, an
// older usbutils' copy, or hwdata's), first found first used.
inline const std::vector<std::string> kUsbIdsFiles = {
    "/usr/share/misc/usb.ids", "/var/lib/usbutils/usb.ids", "/usr/share/hwdata/usb.ids"};

// The ID databases the names of PCI and USB devices are read from.
struct IdFiles {
  std::vector<std::string> pci = kPciIdsFiles;
  std::vector<std::string> usb = kUsbIdsFiles;
};

// The kernel's name for a serial port type number (16550A for 4), from its
// table of 8250 types; empty for a number the table does not have.
std::string UartTypeName(int type);

// The same as data, each part where it can be read, with the words as its
// description. For a USB serial port, the USB device's part.
std::optional<PortHardware> ReadUart(dev_t device, const std::string& sysfs_char_root,
                                     const IdFiles& id_files = {});
// The same, of a tty's own directory in sysfs (/sys/class/tty/ttyUSB0).
std::optional<PortHardware> ReadTty(const std::string& tty_dir, const IdFiles& id_files = {});

// What sysfs (/sys/dev/char/MAJOR:MINOR) tells every user of the UART behind
// a serial port, without opening it: "16550A UART at I/O 0x3f8, IRQ 4, on
// PCI 0000:03:00.0 (vendor device)". Each part that cannot be read is left
// out; empty where nothing can be, or where the node has no UART.
std::string DescribeUart(dev_t device, const std::string& sysfs_char_root,
                         const IdFiles& id_files = {});

// A serial port among the terminals in sysfs, as its directory tells.
struct SerialTty {
  std::string name;  // "ttyUSB0"
  dev_t device = 0;
  bool console = false;  // a kernel console, as its attribute or the console list tells
};

// The serial ports among the terminals in sysfs (/sys/class/tty): those
// with a device that the classifier calls a serial port of the machine;
// by kind, then number: ttyACM0, ttyS6, ttyUSB0, ttyUSB10.
std::vector<SerialTty> SerialTtys(const std::string& class_tty, const TtyClassifier& classifier);
// The one of them named, where it is one: "ttyUSB0".
std::optional<SerialTty> SerialTtyNamed(const std::string& class_tty, const std::string& name,
                                        const TtyClassifier& classifier);

// The links in the directories (/dev/serial/by-id, /dev/serial/by-path),
// by the node each leads to; each directory's in the order of their names.
using SerialLinkMap = std::map<std::string, std::vector<std::string>>;
SerialLinkMap SerialLinks(const std::vector<std::string>& link_dirs);
// Those that lead to the device's node.
std::vector<std::string> SerialLinks(const std::string& device_path, const SerialLinkMap& links);

}  // namespace velkaro
