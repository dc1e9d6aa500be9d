#include <QApplication>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "main_window.h"
#include "platform_port.h"

namespace {

constexpr char kUsage[] =
    "Usage: velkaro [--help | --version]\n"
    "Tells which of the serial ports COM1 to COM6 exist: press TEST PORTS in its window.\n"
    "It also takes Qt's own options, such as -platform xcb or -platform wayland.\n";

// Connects to a stream socket and closes it again; a server that takes no
// connection within two seconds counts as not there.
bool Reachable(const sockaddr* address, socklen_t length) {
  const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool connected = ::connect(fd, address, length) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = ::poll(&wait, 1, 2000) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  ::close(fd);
  return connected;
}

bool ReachableUnixSocket(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with a NUL
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  return Reachable(reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size()));
}

// An X display as DISPLAY names it: [host]:number[.screen].
bool XDisplayReachable(std::string_view display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos || colon + 1 >= display.size()) return false;
  const std::string host(display.substr(0, colon));
  const std::string number(display.substr(colon + 1, display.find('.', colon) - colon - 1));
  int display_number = -1;
  const auto [end, error] =
      std::from_chars(number.data(), number.data() + number.size(), display_number);
  // X servers listen on TCP ports 6000 and up.
  if (error != std::errc() || end != number.data() + number.size() || display_number < 0 ||
      display_number > 65535 - 6000) {
    return false;
  }
  if (host.empty() || host == "unix") {
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return ReachableUnixSocket(socket, true) || ReachableUnixSocket(socket, false);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + display_number);
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool reached = false;
  for (addrinfo* at = found; at != nullptr && !reached; at = at->ai_next) {
    reached = Reachable(at->ai_addr, at->ai_addrlen);
  }
  ::freeaddrinfo(found);
  return reached;
}

bool WaylandDisplayReachable(const std::string& name) {
  if (name.empty()) return false;
  if (name.front() == '/') return ReachableUnixSocket(name, false);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime != nullptr && ReachableUnixSocket(std::string(runtime) + "/" + name, false);
}

// Why no window could be shown, or empty if a display can be reached. Qt
// would abort with a message that blames the installation instead.
std::string DisplayProblem() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x == nullptr || *x == '\0') && (wayland == nullptr || *wayland == '\0')) {
    return "no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
           "start it from a desktop session";
  }
  if (wayland != nullptr && WaylandDisplayReachable(wayland)) return {};
  if (x != nullptr && XDisplayReachable(x)) return {};
  std::string why = "cannot reach the display:";
  if (wayland != nullptr && *wayland != '\0') {
    why += " no Wayland compositor answers at WAYLAND_DISPLAY=" + std::string(wayland);
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr && wayland[0] != '/') {
      why += " (XDG_RUNTIME_DIR is not set)";
    }
    if (x != nullptr) why += ";";
  }
  if (x != nullptr) why += " no X server answers at DISPLAY=" + std::string(x);
  return why;
}

// The value of one of Qt's own options (-platform, -display), or null.
const char* QtOption(int argc, char** argv, std::string_view name) {
  for (int i = 1; i + 1 < argc; ++i) {
    std::string_view arg = argv[i];
    if (!arg.starts_with('-')) continue;
    arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
    if (arg == name) return argv[i + 1];
  }
  return nullptr;
}

// The platform Qt is told to use, by -platform or QT_QPA_PLATFORM.
std::string RequestedPlatform(int argc, char** argv) {
  const char* platform = QtOption(argc, argv, "platform");
  if (platform == nullptr) platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr ? platform : "";
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "velkaro: %s (see velkaro --help)\n", what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("velkaro %s\n", VELKARO_VERSION);
      return 0;
    }
  }
  // A platform with nothing to show the window on would leave a process
  // nobody can see or close.
  const std::string platform = RequestedPlatform(argc, argv);
  if (platform.starts_with("offscreen") || platform.starts_with("minimal") ||
      platform.starts_with("vnc")) {
    return UsageError("the platform " + platform + " shows no window");
  }
  if (const char* display = QtOption(argc, argv, "display")) ::setenv("DISPLAY", display, 1);
  if (platform.empty() || platform.starts_with("xcb") || platform.starts_with("wayland")) {
    if (const std::string problem = DisplayProblem(); !problem.empty()) {
      std::fprintf(stderr, "velkaro: %s\n", problem.c_str());
      return 1;
    }
  }

  QApplication app(argc, argv);
  // Qt took the options that are its own; anything left is not ours either.
  if (argc > 1) return UsageError(std::string("unknown argument ") + argv[1]);
  QApplication::setApplicationName("Velkaro");
  QApplication::setDesktopFileName("org.velkaro.Velkaro");

  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  velkaro::Form1 form(*comm);
  form.show();
  const int status = QApplication::exec();
  // The window is closed, and no port is ever open between ticks, so there
  // is nothing left to tidy. Ending here skips ~QApplication, where Qt 6.4's
  // Wayland client may wait forever for its own event thread.
  std::fflush(nullptr);
  std::_Exit(status);
}
