#pragma once

#include <string>
#include <string_view>

namespace velkaro {

// What the command line asks for, judged whole before anything starts.
struct Arguments {
  enum class Mode { kWindow, kList, kHelp, kVersion, kRefused };
  Mode mode = Mode::kWindow;
  std::string refusal;  // kRefused: what is wrong, for a person to read
  bool json = false;    // kList: as JSON
};

// Velkaro's own options take two dashes (and -h); with `qt`, Qt's
// documented ones, with their values, one. Anything else is refused, with a
// hint where it looks like one of ours.
Arguments JudgeArguments(int argc, const char* const* argv, bool qt = true);

// Whether a Qt platform shows a window on a screen: X11, Wayland in its
// variants, and the framebuffer ones. Any other leaves a process nobody can
// see or close.
bool ShowsAWindow(std::string_view platform);

}  // namespace velkaro
