#include "arguments.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "end_signals.h"

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
      {{"--list", "-reverse"},
       Mode::kRefused,
       "--list takes no other argument but --json, --all and --port"},
      {{"--json", "--list"}, Mode::kList, ""},
      {{"--json"}, Mode::kRefused, "--json goes with --list or --watch"},
      {{"--watch", "--json"}, Mode::kWatch, ""},
      {{"--watch", "--list"}, Mode::kRefused, "--watch and --list go apart"},
      {{"--watch=yes"}, Mode::kRefused, "the option --watch takes no value"},
      {{"--watch", "--all"}, Mode::kRefused, "--all goes with --list"},
      {{"--watch", "-reverse"},
       Mode::kRefused,
       "--watch takes no other argument but --json and --port"},
      {{"--json", "--json", "--list"},
       Mode::kRefused,
       "--list takes no other argument but --json, --all and --port"},
      {{"-platform", "xcb", "-style=Fusion", "-reverse", "-display", ":1"}, Mode::kWindow, ""},
      {{"-title", "--all"}, Mode::kRefused, "the option -title needs a value, not --all"},
      {{"-platform", "--list"}, Mode::kRefused, "the option -platform needs a value, not --list"},
      {{"-platform", "", "--list"},
       Mode::kRefused,
       "the option -platform needs a value, not an empty one"},
      {{"-title", "-list"}, Mode::kWindow, ""},  // a value, where it is none of ours
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
    EXPECT_EQ(judged.json, (c.mode == Mode::kList || c.mode == Mode::kWatch) &&
                               line.find("--json") != std::string::npos);
  }
}

// Without Qt (velkaro.com on Windows), Qt's options are no one's.
TEST(ArgumentsTest, WithoutQtItsOptionsAreRefused) {
  const char* platform[] = {"velkaro", "-platform", "xcb"};
  EXPECT_EQ(JudgeArguments(3, platform, false).refusal, "unknown argument -platform");
  const char* asked[] = {"velkaro", "/?"};
  EXPECT_EQ(JudgeArguments(2, asked, false).mode, Mode::kHelp);
  const char* port[] = {"velkaro", "--list", "--port", "COM1=/dev/ttyS0"};
  EXPECT_EQ(JudgeArguments(4, port, false).refusal, "unknown option --port");
  EXPECT_EQ(JudgeArguments(2, asked).mode, Mode::kRefused);
}

TEST(ArgumentsTest, OnlyPlatformsThatShowAWindowAreTaken) {
  for (const char* shows : {"xcb", "wayland", "wayland-egl", "wayland-brcm", "eglfs", "linuxfb"}) {
    EXPECT_TRUE(ShowsAWindow(shows)) << shows;
  }
  for (const char* hidden : {"offscreen", "minimal", "vnc", "vkkhrdisplay", "xcbx", ""}) {
    EXPECT_FALSE(ShowsAWindow(hidden)) << hidden;
  }
}

// A signal taken while a port could be held ends the program once it is
// done, as the signal would have; one ignored before (nohup) stays ignored.
TEST(EndSignalsTest, ATakenSignalEndsTheProgramOnceDoneAndAnIgnoredOneStaysIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto taken = [](int signal, bool ignored) {
    if (ignored) std::signal(signal, SIG_IGN);
    if (!end_signals::Install()) std::_Exit(3);
    std::raise(signal);
    if (end_signals::Caught() != (ignored ? 0 : signal)) std::_Exit(4);
    end_signals::Done();
    std::_Exit(0);
  };
  EXPECT_EXIT(taken(SIGTERM, false), testing::KilledBySignal(SIGTERM), "");
  EXPECT_EXIT(taken(SIGHUP, false), testing::KilledBySignal(SIGHUP), "");
  EXPECT_EXIT(taken(SIGHUP, true), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velkaro
