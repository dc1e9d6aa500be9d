#include "posix_watch.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

#include "end_signals.h"
#include "port_json.h"
#include "port_watch.h"

namespace velkaro {
namespace {

// Writes one whole line and flushes it; false where it could not.
bool WriteLine(std::FILE* out, const std::string& line) {
  const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
  return std::fflush(out) == 0 && written && !std::ferror(out);
}

int CannotWrite() {
  std::fprintf(stderr, "velkaro: cannot write the watch: %s\n",
               std::strerror(errno != 0 ? errno : EIO));
  return 1;
}

}  // namespace

int WatchPorts(WatchSources& sources, std::FILE* out, bool json) {
  PortWatch watch;
  for (const WatchEvent& event :
       watch.Start(sources.inventory.EveryPort(sources.rows), sources.now())) {
    if (!WriteLine(out, WatchLine(event, json))) return CannotWrite();
  }
  // An output that takes nothing ends the watch now, though no port was
  // there to be written (a closed one is /dev/null for reading alone).
  if (::write(::fileno(out), "", 0) < 0) return CannotWrite();
  // The output is watched too, for nothing but its end: a pipe whose reader
  // has gone ends the watch at once, not at the next port that comes.
  pollfd fds[] = {
      {sources.events.fd(), POLLIN, 0}, {sources.stop_fd, POLLIN, 0}, {::fileno(out), 0, 0}};
  for (;;) {
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "velkaro: cannot watch the ports: %s\n", std::strerror(errno));
      return 1;
    }
    if (fds[1].revents != 0) return sources.stop();
    if ((fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      // As a write there would end it: a pipe or socket whose reader went by
      // SIGPIPE, unless that is ignored; a terminal that hung up (EIO), or no
      // output at all, by status 1.
      struct stat output {};
      const bool pipe = ::fstat(fds[2].fd, &output) == 0 &&
                        (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode));
      if (pipe && (fds[2].revents & POLLERR) != 0) ::raise(SIGPIPE);
      errno = (fds[2].revents & POLLNVAL) != 0 ? EBADF : pipe ? EPIPE : EIO;
      return CannotWrite();
    }
    if (fds[0].revents == 0) continue;
    for (const DeviceEvent& device : sources.events.Read()) {
      if (device.action == DeviceEvent::Action::kLost) {
        // Some comings and goings were lost: the ports are read again, and
        // what changed meanwhile is told.
        for (const WatchEvent& event :
             watch.Update(sources.inventory.EveryPort(sources.rows), sources.now())) {
          if (!WriteLine(out, WatchLine(event, json))) return CannotWrite();
        }
        continue;
      }
      if (device.subsystem != "tty") continue;
      std::optional<WatchEvent> event;
      if (device.action == DeviceEvent::Action::kAdd) {
        // Told as it is now: one that went again before it could be read,
        // or is no serial port, is none to tell.
        if (std::optional<OtherPort> port =
                sources.inventory.PortNamed(device.name, sources.rows)) {
          event = watch.Added(std::move(*port), sources.now());
        }
      } else if (device.action == DeviceEvent::Action::kRemove) {
        event = watch.Removed(device.name, sources.now());
      }
      if (event && !WriteLine(out, WatchLine(*event, json))) return CannotWrite();
    }
  }
}

int WatchPorts(const std::vector<std::string>& rows, std::FILE* out, bool json) {
  // Listening starts before the ports are told, so that none comes unseen.
  const std::unique_ptr<DeviceEvents> events = ListenForDevices();
  if (events == nullptr) {
    std::fprintf(stderr, "velkaro: cannot watch the ports: %s\n", std::strerror(errno));
    return 1;
  }
  const Inventory inventory;
  WatchSources sources{.events = *events,
                       .inventory = inventory,
                       .rows = rows,
                       .stop_fd = end_signals::ReadEnd(),
                       .stop = []() -> int { end_signals::EndAsSignalled(end_signals::Caught()); }};
  return WatchPorts(sources, out, json);
}

}  // namespace velkaro
