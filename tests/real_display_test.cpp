// Starts the built program on a real X display (Xvfb), presses its button
// with a synthesized click, and checks the lamps in a screenshot. The program
// runs where /dev holds no serial port, so every lamp must end red.
#include <QImage>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "label_ink.h"
#include "lamp_pixels.h"

namespace velkaro {
namespace {

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0;
}

TEST(RealDisplayTest, AClickScansAndEveryAbsentPortEndsRed) {
  for (const char* tool : {"Xvfb", "xdotool", "import", "unshare"}) {
    ASSERT_TRUE(Have(tool)) << tool << " is needed; tools/install-deps.sh test installs it";
  }
  // Xvfb takes a display number no other server holds, and writes it once
  // it takes connections. Without -noreset it starts afresh when its last
  // client leaves, as the program does on Ctrl+Q, and turns away whoever
  // connects meanwhile.
  const std::string dir = Shell("mktemp -d");
  Shell("Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp -noreset 3>" + dir + "/display >" +
        dir + "/xvfb.log 2>&1 & echo $! >" + dir + "/xvfb.pid");
  std::string number;
  for (int i = 0; i < 600 && (number = Shell("head -n 1 " + dir + "/display")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << Shell("cat " + dir + "/xvfb.log");
  const std::string env = "DISPLAY=:" + number + " ";
  Shell(env + VELKARO_SOURCE_DIR "/tests/without_serial_ports.sh " VELKARO_EXE " >" + dir +
        "/velkaro.log 2>&1 & echo $! >" + dir + "/velkaro.pid");

  const std::string window =
      Shell(env + VELKARO_SOURCE_DIR "/tests/wait_for_window.sh Velkaro 20 $(cat " + dir +
            "/velkaro.pid)");
  std::string geometry, by_class, ended, shot = dir + "/after-scan.png";
  if (!window.empty()) {
    geometry = Shell(env + "xdotool getwindowgeometry --shell " + window +
                     " | grep -E '^(WIDTH|HEIGHT)='");
    // The launcher finds its window by the class the desktop file names.
    const std::string wm_class = Shell("sed -n 's/^StartupWMClass=//p' " VELKARO_SOURCE_DIR
                                       "/packaging/org.velkaro.Velkaro.desktop");
    by_class = Shell(env + "xdotool search --class '^" + wm_class + "$' | grep -x " + window);
    // The button's middle, in the window's own pixels.
    Shell(env + "xdotool mousemove --window " + window + " 65 35 click 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // seven 300 ms ticks
    Shell(env + "import -window " + window + " " + shot);
    // Ctrl+Q closes it, and the program ends by itself.
    Shell(env + "xdotool windowfocus --sync " + window + " key ctrl+q");
    ended = Shell("for i in $(seq 100); do kill -0 $(cat " + dir +
                  "/velkaro.pid) 2>/dev/null || { echo ended; break; }; sleep 0.1; done");
  }
  // Arguments the program does not take are refused, with a display or without.
  const std::string refused = Shell(env + VELKARO_EXE " '' 2>&1; echo $?");
  const std::string no_server = Shell("DISPLAY=:" + number + "9 " VELKARO_EXE " 2>&1; echo $?");
  const std::string no_port = Shell("DISPLAY=localhost:99999999999 " VELKARO_EXE " 2>&1; echo $?");
  Shell("kill $(cat " + dir + "/velkaro.pid) $(cat " + dir + "/xvfb.pid) 2>/dev/null");
  ASSERT_FALSE(window.empty()) << "no window titled Velkaro: "
                               << Shell("cat " + dir + "/velkaro.log");
  EXPECT_EQ(geometry, "WIDTH=259\nHEIGHT=169");
  EXPECT_EQ(by_class, window) << "WM_CLASS does not match StartupWMClass";
  EXPECT_EQ(ended, "ended") << "Ctrl+Q did not end the program";
  EXPECT_TRUE(refused.ends_with("\n2") && refused.find("unknown argument") != std::string::npos)
      << refused;
  EXPECT_TRUE(no_server.ends_with("\n1") &&
              no_server.find("no X server answers at DISPLAY=:") != std::string::npos)
      << no_server;

  QImage image(QString::fromStdString(shot));
  ASSERT_FALSE(image.isNull()) << "no screenshot in " << shot;
  image = image.convertToFormat(QImage::Format_RGB32);
  const QRgb background = image.pixel(255, 2);  // a corner with nothing on it
  auto rgb = [](QRgb p) {
    return pictures::Rgb{static_cast<std::uint8_t>(qRed(p)), static_cast<std::uint8_t>(qGreen(p)),
                         static_cast<std::uint8_t>(qBlue(p))};
  };
  for (int port = 1; port <= kPortCount; ++port) {
    const int wrong =
        testing_support::WrongLampPixels([&](int x, int y) { return rgb(image.pixel(x, y)); }, port,
                                         LampKind::kBad, rgb(background));
    EXPECT_EQ(wrong, 0) << "port " << port << " is not red in " << shot;
  }
  for (const std::string& problem : testing_support::LabelInkProblems(image, background)) {
    ADD_FAILURE() << problem << " in " << shot;
  }
  if (!HasFailure()) Shell("rm -rf " + dir);
}

}  // namespace
}  // namespace velkaro
