// Starts the built program on a real X display (Xvfb), presses its button
// with a synthesized click, and checks the lamps in a screenshot. The program
// runs where /dev holds no serial port, so every lamp must end red.
#include <QImage>

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

// Starts an Xvfb with the given options and returns its display number, or
// empty. Without -noreset it starts afresh when its last client leaves, as
// the program does on Ctrl+Q, and turns away whoever connects meanwhile.
std::string StartXvfb(const std::string& at, const std::string& options) {
  Shell("Xvfb " + options + " -displayfd 3 -screen 0 640x480x24 -noreset 3>" + at + ".display >" +
        at + ".log 2>&1 & echo $! >" + at + ".pid");
  std::string number;
  for (int i = 0; i < 600 && (number = Shell("head -n 1 " + at + ".display")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return number;
}

// A display number whose socket no local X server has and whose TCP port is
// free: a server there on TCP alone is reached by DISPLAY=:N only through
// the client's fallback to TCP.
std::string FreeForTcpOnly() {
  return Shell(R"(bash -c 'for n in $(shuf -i 2000-9000 -n 50); do
    [ -e /tmp/.X11-unix/X$n ] || grep -q "@/tmp/.X11-unix/X$n\$" /proc/net/unix ||
      (echo >/dev/tcp/127.0.0.1/$((6000 + n))) 2>/dev/null || { echo $n; break; }
  done')");
}

TEST(RealDisplayTest, AClickScansAndEveryAbsentPortEndsRed) {
  for (const char* tool : {"Xvfb", "xdotool", "import", "unshare", "xauth"}) {
    ASSERT_TRUE(Have(tool)) << tool << " is needed; tools/install-deps.sh test installs it";
  }
  const std::string dir = Shell("mktemp -d");
  // The program is shown on an X server it reaches over TCP alone.
  const std::string number = StartXvfb(
      dir + "/xvfb", ":" + FreeForTcpOnly() + " -listen tcp -nolisten unix -nolisten local");
  ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << Shell("cat " + dir + "/xvfb.log");
  // And one that lets in only those who have its cookie.
  Shell("xauth -q -f " + dir + "/cookie add :0 . $(od -An -N16 -tx1 /dev/urandom | tr -d ' \\n')");
  const std::string locked = StartXvfb(dir + "/locked", "-auth " + dir + "/cookie -nolisten tcp");
  ASSERT_FALSE(locked.empty()) << "Xvfb did not start: " << Shell("cat " + dir + "/locked.log");
  const std::string env = "DISPLAY=:" + number + " ";
  // COM1 pointed at a device that is not there: --port is Velkaro's, not Qt's.
  Shell(env +
        VELKARO_SOURCE_DIR "/tests/without_serial_ports.sh " VELKARO_EXE
                           " --port COM1=/dev/velkaro-none -style Fusion >" +
        dir + "/velkaro.log 2>&1 & echo $! >" + dir + "/velkaro.pid");

  const std::string window =
      Shell(env + VELKARO_SOURCE_DIR "/tests/wait_for_window.sh Velkaro 20 $(cat " + dir +
            "/velkaro.pid)");
  std::string geometry, by_class, ended, terminated, shot = dir + "/after-scan.png";
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
    ended = Shell("for i in $(seq 300); do kill -0 $(cat " + dir +
                  "/velkaro.pid) 2>/dev/null || { echo ended; break; }; sleep 0.1; done");
    // SIGTERM ends the shown window as SIGTERM ends any program.
    terminated = Shell("export " + env +
                       "; " VELKARO_SOURCE_DIR "/tests/without_serial_ports.sh " VELKARO_EXE
                       " 2>/dev/null & " VELKARO_SOURCE_DIR
                       "/tests/wait_for_window.sh Velkaro 20 $! >/dev/null && kill -TERM $!; "
                       "for i in $(seq 100); do kill -0 $! 2>/dev/null || break; sleep 0.1; done; "
                       "kill -KILL $! 2>/dev/null; wait $!; echo $?");
  }
  // What Qt cannot show the window on ends the program with Qt's reason,
  // its own last word included, and what it may not show it on, or
  // arguments it does not take, with the usage; never with an abort, and
  // the same arguments the same way with a display or without.
  constexpr char kQtGaveUp[] = "; This application failed to start";
  const std::string unreachable = "DISPLAY=:" + number + "9";
  const std::string nowhere = "DISPLAY= WAYLAND_DISPLAY=";
  const struct {
    std::string env, args;
    const char* status;
    std::string says;
  } kRefusals[] = {
      {"XAUTHORITY=/nonexistent DISPLAY=:" + locked, "", "1", "cannot show the window: "},
      {unreachable, "", "1", "cannot show the window: could not connect to display"},
      {"QT_FATAL_WARNINGS=0 " + unreachable, "", "1", kQtGaveUp},
      {"QT_FATAL_WARNINGS= " + unreachable, "", "1", kQtGaveUp},
      {"QT_FATAL_CRITICALS=0 " + unreachable, "", "1", kQtGaveUp},
      {env + "WAYLAND_DISPLAY= XDG_RUNTIME_DIR=" + dir, "-platform wayland", "1", kQtGaveUp},
      {nowhere, "-platform linuxfb:fb=/dev/nonexistent", "1", "cannot show the window: no screen"},
      {env, "-platform OFFSCREEN", "2", "the platform offscreen shows no window"},
      {env, "-platform vkkhrdisplay", "2", "the platform vkkhrdisplay shows no window"},
      {env, "''", "2", "an empty argument"},
      {nowhere, "''", "2", "an empty argument"},
      {nowhere, "--bogus", "2", "unknown option --bogus"},
      {nowhere, "--version --bogus", "2", "unknown option --bogus"},
      {nowhere, "--bogus --version", "2", "unknown option --bogus"},
      {nowhere, "-l", "2", "unknown argument -l (did you mean --list?)"},
      {env, "-l", "2", "unknown argument -l (did you mean --list?)"},
      {nowhere, "-version", "2", "unknown argument -version (did you mean --version?)"},
      {nowhere, "foo", "2", "unknown argument foo"},
      {nowhere, "-platform", "2", "the option -platform needs a value"},
      // Qt takes -title only where X11 is its first choice.
      {env + "WAYLAND_DISPLAY=nonexistent XDG_RUNTIME_DIR=" + dir, "-title x", "2",
       "Qt did not take -title here"},
      // A variable that is no number asks Qt to end at the first warning.
      {"QT_FATAL_WARNINGS=yes " + unreachable, "", "134", "could not connect to display"},
  };
  std::vector<std::string> refused;
  for (const auto& c : kRefusals) {
    refused.push_back(Shell("ulimit -c 0; " + c.env + " timeout 10 " VELKARO_EXE " " + c.args +
                            " 2>&1; echo $?"));
  }
  const std::string help = Shell(VELKARO_EXE " --help");
  Shell("kill $(cat " + dir + "/velkaro.pid) $(cat " + dir + "/xvfb.pid) $(cat " + dir +
        "/locked.pid) 2>/dev/null");
  ASSERT_FALSE(window.empty()) << "no window titled Velkaro: "
                               << Shell("cat " + dir + "/velkaro.log");
  EXPECT_EQ(geometry, "WIDTH=259\nHEIGHT=169");
  EXPECT_EQ(by_class, window) << "WM_CLASS does not match StartupWMClass";
  EXPECT_EQ(ended, "ended") << "Ctrl+Q did not end the program";
  EXPECT_EQ(terminated, "143");
  for (std::size_t i = 0; i < refused.size(); ++i) {
    const auto& c = kRefusals[i];
    const bool qt_gave_up = c.says == kQtGaveUp;
    const bool qt_aborted = std::string_view(c.status) == "134";
    EXPECT_TRUE(refused[i].ends_with(std::string("\n") + c.status) &&
                refused[i].find((qt_gave_up || qt_aborted ? "" : "velkaro: ") + c.says) !=
                    std::string::npos &&
                (!qt_gave_up || refused[i].starts_with("velkaro: cannot show the window: ")) &&
                refused[i].find("Reinstalling") == std::string::npos)
        << c.env << " velkaro " << c.args << ":\n"
        << refused[i];
  }
  EXPECT_NE(help.find("-h, --help"), std::string::npos) << help;

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

// `velkaro --list` needs no display. Run over a pipe on pseudo-terminals
// that stand in for the six ports, one of them held, it names the holder on
// that port's line alone, and leaves every port's settings as it found them.
TEST(RealDisplayTest, TheListNamesAHolderWithNoDisplay) {
  // Only the masters stay open here: a slave open in this process would hold
  // the port. Line settings asked of a master are its slave's.
  std::array<int, kPortCount> masters{};
  std::vector<std::string> paths;
  std::string stand_ins;
  std::vector<termios> before(kPortCount);
  for (std::size_t i = 0; i < masters.size(); ++i) {
    char name[128];
    int slave = -1;
    ASSERT_EQ(::openpty(&masters[i], &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    paths.emplace_back(name);
    stand_ins += paths.back() + " ";
    ASSERT_EQ(::tcgetattr(masters[i], &before[i]), 0);
  }
  const auto list_with = [&stand_ins](const std::string& before, const std::string& redirect) {
    return "DISPLAY= WAYLAND_DISPLAY= VELKARO_PORT_STAND_INS='" + stand_ins +
           "' " VELKARO_SOURCE_DIR "/tests/without_serial_ports.sh " + before +
           VELKARO_EXE " --list " + redirect + "; echo $?";
  };
  const std::string list = list_with("", "2>&1");
  const std::string free = Shell(list);
  // The holder has the port open once it runs as sleep.
  const std::string holder = Shell("sleep 600 <>" + paths[2] +
                                   " >/dev/null 2>&1 & for i in $(seq 200); do"
                                   " [ \"$(cat /proc/$!/comm)\" = sleep ] && break; sleep 0.05;"
                                   " done; echo $!");
  const std::string held = Shell(list);
  Shell("kill " + holder);
  // A list that cannot be written is a failure, even line by line to a
  // terminal; and with standard error closed nothing reaches a port.
  // (stdbuf preloads a library of its own, which AddressSanitizer is told
  // to allow.)
  const std::string unwritten = Shell(list_with(
      "env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 stdbuf -oL ",
      "2>&1 >/dev/full"));
  const std::string closed_stderr = Shell(list_with("", "2>&-"));
  // Nor is one written to a standard output that was closed.
  const std::string closed_stdout = Shell(list_with("", "2>&1 >&-"));
  const std::string version_unwritten = Shell(VELKARO_EXE " --version 2>&1 >&-; echo $?");
  // Rows pointed at other devices by the user's settings file, and by the
  // command line over it; a key the file should not have is warned of.
  const std::string config = Shell("mktemp -d");
  Shell("mkdir " + config + "/Velkaro && printf '[ports]\\nCOM2=%s\\nCOM3=%s\\nCOM8=x\\n' " +
        paths[4] + " " + paths[5] + " >" + config + "/Velkaro/Velkaro.conf");
  const std::string chosen =
      Shell(list_with("env XDG_CONFIG_HOME=" + config + " ",
                      "--port COM3=" + paths[0] + " --port COM4=/dev/zero 2>&1"));
  Shell("rm -r " + config);

  std::string wanted;
  for (int port = 1; port <= kPortCount; ++port) {
    wanted += "COM" + std::to_string(port) + " (/dev/ttyS" + std::to_string(port - 1) +
              "): present, free\n";
  }
  EXPECT_EQ(free, wanted + "0");
  EXPECT_EQ(unwritten, "velkaro: cannot write the list: No space left on device\n1");
  EXPECT_EQ(closed_stderr, wanted + "0");
  EXPECT_EQ(closed_stdout, "velkaro: cannot write the list: Bad file descriptor\n1");
  EXPECT_EQ(version_unwritten, "velkaro: cannot write the version: Bad file descriptor\n1");
  std::string pointed = wanted;
  pointed.replace(pointed.find("/dev/ttyS1"), 10, paths[4]);
  pointed.replace(pointed.find("/dev/ttyS2"), 10, paths[0]);
  const std::string com4 = "COM4 (/dev/ttyS3): present, free";
  pointed.replace(pointed.find(com4), com4.size(), "COM4 (/dev/zero): absent: not a serial port");
  EXPECT_EQ(chosen, "velkaro: warning: " + config +
                        "/Velkaro/Velkaro.conf: [ports] COM8: no such key, left alone; the keys "
                        "are COM1 to COM6\n" +
                        pointed + "0");
  const std::string line = "COM3 (/dev/ttyS2): present, free";
  EXPECT_EQ(held,
            wanted.replace(wanted.find(line), line.size(),
                           "COM3 (/dev/ttyS2): present, in use by sleep (pid " + holder + ")") +
                "0");
  for (std::size_t i = 0; i < masters.size(); ++i) {
    termios after{};
    int written = -1;
    EXPECT_EQ(::tcgetattr(masters[i], &after), 0);
    EXPECT_EQ(std::memcmp(&after, &before[i], sizeof after), 0) << "COM" << i + 1;
    EXPECT_EQ(::ioctl(masters[i], FIONREAD, &written), 0);
    EXPECT_EQ(written, 0) << "COM" << i + 1;
    ::close(masters[i]);
  }
}

// `velkaro --list`, as the program itself runs it, takes the signals that
// end it: sent SIGTERM while its probe waits for another Velkaro's turn at
// the port, it has the signal caught, lets the probe run to its end, and
// then ends by that signal, with the port as it was.
TEST(RealDisplayTest, TheListTakesASignalInMidProbe) {
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  termios before{};
  ASSERT_EQ(::tcgetattr(master, &before), 0);
  struct stat node {};
  ASSERT_EQ(::stat(name, &node), 0);
  const std::string turn = "/run/lock/velkaro-" + std::to_string(major(node.st_rdev)) + "-" +
                           std::to_string(minor(node.st_rdev)) + ".lock";
  // Inside the namespace: the turn is held, the list started, and once its
  // probe waits for the turn, it is sent SIGTERM and the turn given up.
  const std::string told =
      Shell("DISPLAY= WAYLAND_DISPLAY= VELKARO_PORT_STAND_INS='" + std::string(name) +
            "' " VELKARO_SOURCE_DIR
            "/tests/without_serial_ports.sh bash -c '"
            "exec 9>" +
            turn +
            " && flock 9 && { " VELKARO_EXE
            " --list 9>&- & p=$!; "
            "for i in $(seq 1000); do ls -l /proc/$p/fd 2>/dev/null | grep -q " +
            turn +
            " && break; sleep 0.01; done; "
            "awk \"/^SigCgt/ {print \\$2}\" /proc/$p/status; kill -TERM $p; exec 9>&-; "
            "wait $p; echo $?; }' 2>&1");
  const std::size_t end = told.find('\n');
  ASSERT_NE(end, std::string::npos) << told;
  const unsigned long long caught = std::stoull(told.substr(0, end), nullptr, 16);
  EXPECT_EQ((caught >> (SIGTERM - 1)) & 1, 1u) << "SIGTERM is not caught: " << told;
  EXPECT_EQ(told.substr(end + 1), "143") << "not ended by the signal, or something written";
  termios after{};
  EXPECT_EQ(::tcgetattr(master, &after), 0);
  EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
  int written = -1;
  EXPECT_EQ(::ioctl(master, FIONREAD, &written), 0);
  EXPECT_EQ(written, 0);
  ::close(master);
}

// The findings as data serve the tools that already look after many
// machines, as README.md shows them: Ansible gathers `velkaro --list --json`
// from its hosts into a folder, jq reads what it gathered, and a jq filter
// writes node_exporter's textfile format; on six stand-ins, one held.
TEST(RealDisplayTest, TheJsonServesTheToolsThatLookAfterMachines) {
  for (const char* tool : {"ansible", "jq"}) {
    ASSERT_TRUE(Have(tool)) << tool << " is needed; tools/install-deps.sh test installs it";
  }
  std::array<int, kPortCount> masters{};
  std::string stand_ins;
  for (int& master : masters) {
    char name[128];
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    stand_ins += std::string(name) + " ";
  }
  const std::string holder =
      Shell("sleep 600 <>$(echo " + stand_ins + " | cut -d' ' -f3) >/dev/null 2>&1 & echo $!");
  const std::string dir = Shell("mktemp -d");
  const std::string in_namespace = "VELKARO_PORT_STAND_INS='" + stand_ins +
                                   "' ANSIBLE_HOME=" + dir + " ANSIBLE_LOCAL_TEMP=" + dir +
                                   "/tmp ANSIBLE_NOCOLOR=1 " VELKARO_SOURCE_DIR
                                   "/tests/without_serial_ports.sh ";
  const std::string gathered =
      Shell(in_namespace +
            "ansible all -i localhost, -c local -e ansible_python_interpreter=/usr/bin/python3 "
            "-m ansible.builtin.command -a '" VELKARO_EXE " --list --json' --tree " +
            dir + "/gathered >" + dir +
            "/ansible.log 2>&1 && jq -r '(input_filename | split(\"/\") | "
            "last) as $host | .stdout | fromjson | .ports[] | \"\\($host) \\(.port) "
            "\\(.device) \\(.present) \\(.holder.kind // \"-\")\"' " +
            dir + "/gathered/*");
  const std::string textfile = Shell(in_namespace + VELKARO_EXE " --list --json | jq -r -f " +
                                     VELKARO_SOURCE_DIR "/packaging/velkaro-textfile.jq");
  Shell("kill " + holder);
  for (const int master : masters) ::close(master);

  std::string rows, present, in_use;
  for (int port = 1; port <= kPortCount; ++port) {
    const std::string com = "COM" + std::to_string(port);
    const std::string device = "/dev/ttyS" + std::to_string(port - 1);
    rows += "localhost " + com + " " + device + " true " + (port == 3 ? "descriptor" : "-") + "\n";
    const std::string labels = "{port=\"" + com + "\",device=\"" + device + "\"}";
    present += "velkaro_port_present" + labels + " 1\n";
    in_use += "velkaro_port_in_use" + labels + (port == 3 ? " 1\n" : " 0\n");
  }
  EXPECT_EQ(gathered + "\n", rows) << Shell("cat " + dir + "/ansible.log");
  EXPECT_EQ(textfile + "\n",
            "# HELP velkaro_port_present Whether the serial port exists.\n"
            "# TYPE velkaro_port_present gauge\n" +
                present +
                "# HELP velkaro_port_in_use Whether another program holds the serial port.\n"
                "# TYPE velkaro_port_in_use gauge\n" +
                in_use);
  if (!HasFailure()) Shell("rm -rf " + dir);
}

}  // namespace
}  // namespace velkaro
