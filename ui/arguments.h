#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// What the command line asks for, judged whole before anything starts.
struct Arguments {
  enum class Mode { kWindow, kList, kWatch, kHelp, kVersion, kRefused };
  Mode mode = Mode::kWindow;
  std::string refusal;  // kRefused: what is wrong, for a person to read
  bool json = false;    // kList and kWatch: as JSON
  bool all = false;     // kList: every other serial port as well
  // kList, kWatch and kWindow: the device --port chose for each of COM1 to COM6;
  // empty where none was.
  std::array<std::string, 6> ports{};
  // kWindow: where Qt's options and their values are in argv, in order;
  // Qt is given these alone.
  std::vector<int> qt_args{};
};

// Velkaro's own options take two dashes (and -h); with `qt`, Qt's
// documented ones, with their values, one, and --port, which only POSIX
// systems take. Anything else is refused, with a hint where it looks like
// one of ours.
Arguments JudgeArguments(int argc, const char* const* argv, bool qt = true);

// n for "COMn", n from 1 to 6; else 0.
int PortOfKey(std::string_view key);
// Why a device named for a port cannot be used, or empty where it can: it
// must be an absolute path, with no control character.
std::string PathRefusal(std::string_view path);

// Whether a Qt platform shows a window on a screen: X11, Wayland in its
// variants, and the framebuffer ones. Any other leaves a process nobody can
// see or close.
bool ShowsAWindow(std::string_view platform);

}  // namespace velkaro
