#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// A device that came or went, as the system tells it.
struct DeviceEvent {
  // kLost: events were lost (the socket's buffer overflowed); what the
  // machine has must be read again.
  enum class Action { kAdd, kRemove, kOther, kLost };
  Action action = Action::kOther;
  std::string subsystem;  // "tty"
  std::string name;       // the kernel's name for it: "ttyUSB0"
  friend bool operator==(const DeviceEvent&, const DeviceEvent&) = default;
};

// Where device events come from: a descriptor to wait on, and the events
// waiting there. Only the tty subsystem's are wanted, but a source may give
// others, which the watch passes over.
class DeviceEvents {
 public:
  virtual ~DeviceEvents() = default;
  // Readable while events wait.
  virtual int fd() const = 0;
  // Every event waiting now; never blocks.
  virtual std::vector<DeviceEvent> Read() = 0;
  // "udev" or "kernel".
  virtual const char* source() const = 0;
};

// udev's events, once it has handled each (its /dev/serial links made),
// where a udev daemon runs (its control socket is there); else the kernel's
// own, which come before any link. Null, with errno set, where neither can
// be listened to.
std::unique_ptr<DeviceEvents> ListenForDevices(
    const std::string& udev_control = "/run/udev/control");

// One message of the kernel's uevent socket ("add@/devices/...\0ACTION=add\0
// SUBSYSTEM=tty\0DEVNAME=ttyUSB0\0..."), or nothing where it is none.
std::optional<DeviceEvent> ParseKernelEvent(std::string_view message);

}  // namespace velkaro
