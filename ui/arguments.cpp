#include "arguments.h"

#include <algorithm>
#include <array>

#include "showable.h"

namespace velkaro {
namespace {

// The options Qt takes from the command line that are followed by a value:
// QGuiApplication's, QApplication's and the X11 platform's.
constexpr std::array<std::string_view, 17> kQtWithValue = {"-platform",
                                                           "-platformpluginpath",
                                                           "-platformtheme",
                                                           "-plugin",
                                                           "-qwindowgeometry",
                                                           "-qwindowicon",
                                                           "-qwindowtitle",
                                                           "-session",
                                                           "-style",
                                                           "-stylesheet",
                                                           "-qmljsdebugger",
                                                           "-display",
                                                           "-geometry",
                                                           "-title",
                                                           "-icon",
                                                           "-name",
                                                           "-visual"};
// And those that are not.
constexpr std::array<std::string_view, 5> kQtAlone = {"-reverse", "-widgetcount", "-testability",
                                                      "-nograb", "-dograb"};
// Those Qt also takes as -option=value.
constexpr std::array<std::string_view, 3> kQtJoined = {
    "-style=", "-stylesheet=", "-qmljsdebugger="};

template <std::size_t N>
bool In(const std::array<std::string_view, N>& set, std::string_view arg) {
  return std::find(set.begin(), set.end(), arg) != set.end();
}

// One of ours, as people mistype it with one dash.
std::string_view Meant(std::string_view arg) {
  if (arg == "-l" || arg == "-list") return "--list";
  if (arg == "-v" || arg == "-V" || arg == "-version") return "--version";
  if (arg == "-help" || arg == "-?") return "--help";
  return {};
}

// One of Velkaro's own options.
bool IsOurs(std::string_view arg) {
  return arg == "--help" || arg == "-h" || arg == "--version" || arg == "--list" ||
         arg == "--watch" || arg == "--json" || arg == "--all" || arg == "--port" ||
         arg.starts_with("--port=");
}

// What is refused is told on standard error with the arguments it names,
// which may hold anything: as text from outside.
Arguments Refused(const std::string& why) { return {Arguments::Mode::kRefused, ShowableName(why)}; }

// Takes one --port choice, "COM5=/dev/ttyUSB0", into `ports`; returns why
// it cannot be taken, or empty.
std::string TakePortChoice(std::string_view choice, std::array<std::string, 6>& ports) {
  const std::string told = "--port " + std::string(choice) + ": ";
  const std::size_t equals = choice.find('=');
  if (equals == std::string_view::npos) {
    return told + "give the port and its device as COM5=/dev/ttyUSB0";
  }
  const int port = PortOfKey(choice.substr(0, equals));
  if (port == 0) return told + "the port must be one of COM1 to COM6";
  const std::string_view path = choice.substr(equals + 1);
  if (const std::string why = PathRefusal(path); !why.empty()) return told + why;
  std::string& chosen = ports[static_cast<std::size_t>(port - 1)];
  if (!chosen.empty()) return told + "COM" + std::to_string(port) + " is given twice";
  chosen = path;
  return {};
}

}  // namespace

int PortOfKey(std::string_view key) {
  if (key.size() != 4 || !key.starts_with("COM") || key[3] < '1' || key[3] > '6') return 0;
  return key[3] - '0';
}

std::string PathRefusal(std::string_view path) {
  if (path.empty()) return "the device must be named by its absolute path, such as /dev/ttyUSB0";
  if (!path.starts_with('/')) {
    return "the device must be named by its absolute path, such as /dev/" + ShowableName(path);
  }
  // A zero byte would end it early, at another device; a line break would
  // break the line of --list that names it; a C1 or bidirectional control
  // would act on the terminal, or turn the text around, where it is shown.
  if (HoldsControls(path)) return "the device's path holds a control character";
  return {};
}

Arguments JudgeArguments(int argc, const char* const* argv, bool qt) {
  bool help = false, version = false, others = false;
  int list = 0, json = 0, all = 0, watch = 0;  // how often each was given
  std::array<std::string, 6> ports{};
  std::vector<int> qt_args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h" || (!qt && arg == "/?")) {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--list") {
      ++list;
    } else if (arg == "--json") {
      ++json;
    } else if (arg == "--all") {
      ++all;
    } else if (arg == "--watch") {
      ++watch;
    } else if (arg.starts_with("--watch=")) {
      return Refused("the option --watch takes no value");
    } else if (qt && (arg == "--port" || arg.starts_with("--port="))) {
      if (arg == "--port" && ++i == argc) {
        return Refused("the option --port needs a value, such as --port COM5=/dev/ttyUSB0");
      }
      const std::string_view choice = arg == "--port" ? argv[i] : arg.substr(7);
      if (const std::string why = TakePortChoice(choice, ports); !why.empty()) {
        return Refused(why);
      }
    } else if (arg.empty()) {
      return Refused("an empty argument");
    } else if (arg.starts_with("--")) {
      return Refused("unknown option " + std::string(arg));
    } else if (qt && In(kQtWithValue, arg)) {
      others = true;
      qt_args.push_back(i);
      if (++i == argc) return Refused("the option " + std::string(arg) + " needs a value");
      // `-platform $P --list` with P unset: the value is ours, and the list
      // was meant, not a window.
      if (const std::string_view value = argv[i]; value.empty() || IsOurs(value)) {
        return Refused("the option " + std::string(arg) + " needs a value, not " +
                       (value.empty() ? std::string("an empty one") : std::string(value)));
      }
      qt_args.push_back(i);
    } else if (qt && (In(kQtAlone, arg) || std::any_of(kQtJoined.begin(), kQtJoined.end(),
                                                       [arg](std::string_view joined) {
                                                         return arg.starts_with(joined);
                                                       }))) {
      others = true;  // Qt's, and Qt takes it
      qt_args.push_back(i);
    } else if (const std::string_view meant = Meant(arg); !meant.empty()) {
      return Refused("unknown argument " + std::string(arg) + " (did you mean " +
                     std::string(meant) + "?)");
    } else {
      return Refused("unknown argument " + std::string(arg));
    }
  }
  if (help) return {Arguments::Mode::kHelp, {}};
  if (version) return {Arguments::Mode::kVersion, {}};
  if (watch && list) return Refused("--watch and --list go apart");
  if (json && !list && !watch) return Refused("--json goes with --list or --watch");
  if (all && !list) return Refused("--all goes with --list");
  Arguments asked{.mode = Arguments::Mode::kWindow,
                  .refusal = {},
                  .json = json > 0,
                  .all = all > 0,
                  .ports = ports,
                  .qt_args = qt_args};
  if (watch) {
    if (others || watch > 1 || json > 1) {
      return Refused(qt ? "--watch takes no other argument but --json and --port"
                        : "--watch takes no other argument but --json");
    }
    asked.mode = Arguments::Mode::kWatch;
  } else if (list) {
    // Each of ours once; the window's options are not the list's.
    if (others || list > 1 || json > 1 || all > 1) {
      return Refused(qt ? "--list takes no other argument but --json, --all and --port"
                        : "--list takes no other argument but --json and --all");
    }
    asked.mode = Arguments::Mode::kList;
  }
  return asked;
}

bool ShowsAWindow(std::string_view platform) {
  return platform == "xcb" || platform.starts_with("wayland") || platform == "eglfs" ||
         platform == "linuxfb";
}

}  // namespace velkaro
