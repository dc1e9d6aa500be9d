#include "arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velkaro {
namespace {

using Mode = Arguments::Mode;

Arguments Judge(std::vector<const char*> args) {
  args.insert(args.begin(), "velkaro");
  return JudgeArguments(static_cast<int>(args.size()), args.data());
}

// Every argument is judged before Qt starts: ours, Qt's with their values,
// and nothing else.
TEST(ArgumentsTest, OursAndQtsAreTakenAndAnythingElseRefused) {
  const struct {
    std::vector<const char*> args;
    Mode mode;
    std::string refusal;
  } kCases[] = {
      {{}, Mode::kWindow, ""},
      {{"--list"}, Mode::kList, ""},
      {{"-h", "--list"}, Mode::kHelp, ""},
      {{"--list", "--version"}, Mode::kVersion, ""},
      {{"--list", "-reverse"}, Mode::kRefused, "--list takes no other argument"},
      {{"-platform", "xcb", "-style=Fusion", "-reverse", "-display", ":1"}, Mode::kWindow, ""},
      {{"-title", "--list"}, Mode::kWindow, ""},  // a value, whatever it looks like
      {{"-platform"}, Mode::kRefused, "the option -platform needs a value"},
      {{"-l"}, Mode::kRefused, "unknown argument -l (did you mean --list?)"},
      {{"-list"}, Mode::kRefused, "unknown argument -list (did you mean --list?)"},
      {{"-v"}, Mode::kRefused, "unknown argument -v (did you mean --version?)"},
      {{"-help"}, Mode::kRefused, "unknown argument -help (did you mean --help?)"},
      {{"--help", "foo"}, Mode::kRefused, "unknown argument foo"},
      {{"-stylesheet"}, Mode::kRefused, "the option -stylesheet needs a value"},
      {{"-style-sheet"}, Mode::kRefused, "unknown argument -style-sheet"},
      {{"--platform", "xcb"}, Mode::kRefused, "unknown option --platform"},
      {{"", "--help"}, Mode::kRefused, "an empty argument"},
  };
  for (const auto& c : kCases) {
    std::string line;
    for (const char* arg : c.args) line += std::string(arg) + " ";
    SCOPED_TRACE(line);
    const Arguments judged = Judge(c.args);
    EXPECT_EQ(judged.mode, c.mode);
    EXPECT_EQ(judged.refusal, c.refusal);
  }
}

TEST(ArgumentsTest, OnlyPlatformsThatShowAWindowAreTaken) {
  for (const char* shows : {"xcb", "wayland", "wayland-egl", "wayland-brcm", "eglfs", "linuxfb"}) {
    EXPECT_TRUE(ShowsAWindow(shows)) << shows;
  }
  for (const char* hidden : {"offscreen", "minimal", "vnc", "vkkhrdisplay", "xcbx", ""}) {
    EXPECT_FALSE(ShowsAWindow(hidden)) << hidden;
  }
}

}  // namespace
}  // namespace velkaro
