#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velkaro {

// Who holds a port, as far as the look could tell.
struct PortHolder {
  // "descriptor", "lock file", "flock", "exclusive", "line discipline",
  // "session" or "console".
  std::string kind;
  std::string program;   // as it named itself; empty where not known
  std::int64_t pid = 0;  // 0 where not known
  std::string lock;      // the lock file's path, for a lock file
};

// What the system tells of the hardware behind a port; each part empty
// where it is not known.
struct PortHardware {
  std::string description;  // all of it in words, as a port's line ends
  std::string uart;         // "16550A"
  std::string io;           // "0x3f8"
  std::optional<std::int64_t> irq;
  std::string memory;      // "0xfe215040"
  std::string bus;         // "pci", "pnp", "acpi", "platform", "amba", "usb"
  std::string address;     // the device on its bus: "0000:03:00.0", "00:0a", "1-1.2:1.0"
  std::string vendor_id;   // four hex digits
  std::string product_id;  // four hex digits
  std::string vendor_name;
  std::string product_name;
  std::string driver;
  std::string name;  // Windows: the device's friendly name
  // What a USB device tells of itself, in its own words.
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::optional<int> interface;  // the USB interface the port is
  // The stable names that lead to the port: /dev/serial/by-id/..., by-path/...
  std::vector<std::string> names;
  std::string hardware_id;  // Windows: "USB\VID_0403&PID_6001"
  std::string location;     // Windows: where the device sits, as Windows says
};

// What a probe found of a port, or the inventory of a port it did not
// open, as data, with the words each platform makes of it in one place.
struct PortFinding {
  enum class Presence { kPresent, kAbsent, kNotJudged };
  Presence presence = Presence::kNotJudged;
  // False where the look could not tell whether the port is there at all
  // (its path could not be looked along): the probe then leaves presence
  // unjudged, whatever its number says.
  bool judged = true;
  // The finding in words, without the hardware or a failed restore:
  // "present, in use by minicom (pid 42)".
  std::string words;
  // The system's name for the error that decided it, where one did:
  // "ENOENT", "EIO", "ERROR_FILE_NOT_FOUND".
  std::string error;
  std::optional<PortHolder> holder;
  std::optional<PortHardware> hardware;
  // Whether the line settings are as they were found; nothing for a port
  // that was never opened, whose settings nothing could have changed.
  std::optional<bool> restored;
  std::string restore_error;  // why not, where they are not
  // What a person reads: the words, then the hardware and a failed restore.
  std::string line;
};

// A finding's whole line, as a person reads it: its words, the hardware's
// description, and a failed restore with its reason.
std::string FindingLine(const PortFinding& found);

// A serial port of the machine told without opening it: beyond the six
// rows, or, where the whole machine is told, one of their devices.
struct OtherPort {
  std::string name;    // "ttyUSB0", "COM7"
  std::string device;  // "/dev/ttyUSB0", "\\.\COM7"
  PortFinding found;
  std::int16_t row = 0;  // n where it is COMn's device, else 0
};

}  // namespace velkaro
