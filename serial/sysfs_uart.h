#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "port_finding.h"

namespace velkaro {

// Where the PCI ID database may be installed (Debian's pci.ids package, or
// hwdata's), first found first used.
inline const std::vector<std::string> kPciIdsFiles = {"/usr/share/misc/pci.ids",
                                                      "/usr/share/hwdata/pci.ids"};

// The kernel's name for a serial port type number (16550A for 4), from its
// table of 8250 types; empty for a number the table does not have.
std::string UartTypeName(int type);

// The same as data, each part where it can be read, with the words as its
// description.
std::optional<PortHardware> ReadUart(dev_t device, const std::string& sysfs_char_root,
                                     const std::vector<std::string>& pci_ids_files = kPciIdsFiles);

// What sysfs (/sys/dev/char/MAJOR:MINOR) tells every user of the UART behind
// a serial port, without opening it: "16550A UART at I/O 0x3f8, IRQ 4, on
// PCI 0000:03:00.0 (vendor device)". Each part that cannot be read is left
// out; empty where nothing can be, or where the node has no UART.
std::string DescribeUart(dev_t device, const std::string& sysfs_char_root,
                         const std::vector<std::string>& pci_ids_files = kPciIdsFiles);

}  // namespace velkaro
