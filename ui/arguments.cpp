#include "arguments.h"

#include <algorithm>
#include <array>

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

Arguments Refused(std::string why) { return {Arguments::Mode::kRefused, std::move(why)}; }

}  // namespace

Arguments JudgeArguments(int argc, const char* const* argv, bool qt) {
  bool help = false, version = false, list = false, json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h" || (!qt && arg == "/?")) {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg.empty()) {
      return Refused("an empty argument");
    } else if (arg.starts_with("--")) {
      return Refused("unknown option " + std::string(arg));
    } else if (qt && In(kQtWithValue, arg)) {
      if (++i == argc) return Refused("the option " + std::string(arg) + " needs a value");
    } else if (qt && (In(kQtAlone, arg) || std::any_of(kQtJoined.begin(), kQtJoined.end(),
                                                       [arg](std::string_view joined) {
                                                         return arg.starts_with(joined);
                                                       }))) {
      // Qt's, and Qt takes it.
    } else if (const std::string_view meant = Meant(arg); !meant.empty()) {
      return Refused("unknown argument " + std::string(arg) + " (did you mean " +
                     std::string(meant) + "?)");
    } else {
      return Refused("unknown argument " + std::string(arg));
    }
  }
  if (help) return {Arguments::Mode::kHelp, {}};
  if (version) return {Arguments::Mode::kVersion, {}};
  if (json && !list) return Refused("--json goes with --list");
  if (list) {
    if (argc > (json ? 3 : 2)) return Refused("--list takes no other argument but --json");
    return {Arguments::Mode::kList, {}, json};
  }
  return {};
}

bool ShowsAWindow(std::string_view platform) {
  return platform == "xcb" || platform.starts_with("wayland") || platform == "eglfs" ||
         platform == "linuxfb";
}

}  // namespace velkaro
