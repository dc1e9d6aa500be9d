#include "device_events.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libudev.h>

#include <cerrno>
#include <cstring>

#include "read_file.h"

namespace velkaro {
namespace {

DeviceEvent::Action ActionNamed(std::string_view action) {
  if (action == "add") return DeviceEvent::Action::kAdd;
  if (action == "remove") return DeviceEvent::Action::kRemove;
  return DeviceEvent::Action::kOther;
}

// The events of udev's monitor, for the tty subsystem alone.
class UdevEvents : public DeviceEvents {
 public:
  UdevEvents(udev* context, udev_monitor* monitor) : context_(context), monitor_(monitor) {}
  ~UdevEvents() override {
    udev_monitor_unref(monitor_);
    udev_unref(context_);
  }
  UdevEvents(const UdevEvents&) = delete;
  UdevEvents& operator=(const UdevEvents&) = delete;

  int fd() const override { return udev_monitor_get_fd(monitor_); }
  std::vector<DeviceEvent> Read() override {
    std::vector<DeviceEvent> events;
    // The monitor's socket does not block: each call takes one event, and
    // none once they are all taken.
    for (;;) {
      errno = 0;
      udev_device* device = udev_monitor_receive_device(monitor_);
      if (device == nullptr) {
        if (errno == ENOBUFS) {
          events.push_back({.action = DeviceEvent::Action::kLost, .subsystem = {}, .name = {}});
          continue;
        }
        break;
      }
      const char* action = udev_device_get_action(device);
      const char* subsystem = udev_device_get_subsystem(device);
      const char* name = udev_device_get_sysname(device);
      events.push_back({.action = ActionNamed(action != nullptr ? action : ""),
                        .subsystem = subsystem != nullptr ? subsystem : "",
                        .name = name != nullptr ? name : ""});
      udev_device_unref(device);
    }
    return events;
  }
  const char* source() const override { return "udev"; }

 private:
  udev* context_;
  udev_monitor* monitor_;
};

// The kernel's own uevents, on a netlink socket of its group 1.
class KernelEvents : public DeviceEvents {
 public:
  explicit KernelEvents(OwnedFd socket) : socket_(std::move(socket)) {}
  int fd() const override { return socket_.get(); }
  std::vector<DeviceEvent> Read() override {
    std::vector<DeviceEvent> events;
    char message[8192];
    for (;;) {
      sockaddr_nl from{};
      iovec part{message, sizeof message};
      char credentials[CMSG_SPACE(sizeof(ucred))];
      msghdr header{};
      header.msg_name = &from;
      header.msg_namelen = sizeof from;
      header.msg_iov = &part;
      header.msg_iovlen = 1;
      header.msg_control = credentials;
      header.msg_controllen = sizeof credentials;
      const ssize_t got = ::recvmsg(socket_.get(), &header, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == ENOBUFS) {  // some were lost: tell so, and read on
        events.push_back({.action = DeviceEvent::Action::kLost, .subsystem = {}, .name = {}});
        continue;
      }
      if (got <= 0) break;
      // Only the kernel's own (pid 0), never one another program sent.
      if (from.nl_pid != 0 || (header.msg_flags & MSG_TRUNC) != 0) continue;
      if (std::optional<DeviceEvent> event =
              ParseKernelEvent(std::string_view(message, static_cast<std::size_t>(got)))) {
        events.push_back(std::move(*event));
      }
    }
    return events;
  }
  const char* source() const override { return "kernel"; }

 private:
  OwnedFd socket_;
};

std::unique_ptr<DeviceEvents> ListenToUdev() {
  udev* context = udev_new();
  if (context == nullptr) return nullptr;
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  if (monitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    const int saved = errno;
    if (monitor != nullptr) udev_monitor_unref(monitor);
    udev_unref(context);
    errno = saved;
    return nullptr;
  }
  return std::make_unique<UdevEvents>(context, monitor);
}

std::unique_ptr<DeviceEvents> ListenToKernel() {
  OwnedFd socket(
      ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
  if (socket.get() < 0) return nullptr;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's events; udev's own go to group 2
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  return std::make_unique<KernelEvents>(std::move(socket));
}

}  // namespace

std::optional<DeviceEvent> ParseKernelEvent(std::string_view message) {
  // "ACTION@DEVPATH", then KEY=VALUE fields, each ending in a zero byte.
  const std::size_t first = message.find('\0');
  if (first == std::string_view::npos || message.substr(0, first).find('@') == 0 ||
      message.substr(0, first).find('@') == std::string_view::npos) {
    return std::nullopt;
  }
  DeviceEvent event;
  bool has_action = false;
  for (std::size_t at = first + 1; at < message.size();) {
    std::size_t end = message.find('\0', at);
    if (end == std::string_view::npos) end = message.size();
    const std::string_view field = message.substr(at, end - at);
    at = end + 1;
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = field.substr(0, equals), value = field.substr(equals + 1);
    if (key == "ACTION") {
      event.action = ActionNamed(value);
      has_action = true;
    } else if (key == "SUBSYSTEM") {
      event.subsystem = value;
    } else if (key == "DEVNAME") {
      // A name under /dev, "ttyUSB0", or "pts/3" for one in a folder.
      event.name = value;
    } else if (key == "DEVPATH" && event.name.empty()) {
      event.name = value.substr(value.rfind('/') + 1);
    }
  }
  if (!has_action || event.subsystem.empty()) return std::nullopt;
  return event;
}

std::unique_ptr<DeviceEvents> ListenForDevices(const std::string& udev_control) {
  if (::access(udev_control.c_str(), F_OK) == 0) {
    if (std::unique_ptr<DeviceEvents> udev = ListenToUdev()) return udev;
  }
  return ListenToKernel();
}

}  // namespace velkaro
