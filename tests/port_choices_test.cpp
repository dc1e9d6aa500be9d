#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "port_settings.h"

namespace velkaro {
namespace {

using namespace std::literals;

// The devices of COM1 to COM6 come from --port, then from the settings
// file, else they are the platform's own. Bad input on the command line is
// refused; in the file it is warned of, naming the file and the key, and
// that row keeps its own device.
TEST(PortChoicesTest, TheCommandLineWinsOverTheFileAndBadInputIsToldWhere) {
  char dir_template[] = "/tmp/velkaro-settings-XXXXXX";
  const std::filesystem::path dir = ::mkdtemp(dir_template);
  const std::string file = (dir / "Velkaro.conf").string();
  constexpr char kById[] = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  const std::string by_id = std::string("COM6=") + kById;
  const std::string absolute = "the device must be named by its absolute path, such as /dev/";
  const struct {
    std::vector<const char*> args;
    std::optional<std::string_view> settings;  // the file's text; none: no file
    std::string told;                          // the refusal, or the warnings with the file as $
    std::string chosen;
  } kRows[] = {
      {{"--port", "COM5=/dev/ttyUSB0"}, std::nullopt, "", "COM5=/dev/ttyUSB0"},
      {{"--list", "--port=COM6=/dev/ttyACM0", "--all", "--port", "COM1=/dev/ttyAMA0"},
       std::nullopt,
       "",
       "COM1=/dev/ttyAMA0 COM6=/dev/ttyACM0"},
      {{}, "[ports]\nCOM2=/dev/ttyAMA0\nCOM6=/dev/ttyS5", "", "COM2=/dev/ttyAMA0 COM6=/dev/ttyS5"},
      {{"--port", "COM2=/dev/ttyUSB1"},
       "[ports]\nCOM2=/dev/ttyAMA0\nCOM5=/dev/ttyACM0\n",
       "",
       "COM2=/dev/ttyUSB1 COM5=/dev/ttyACM0"},
      {{}, "[other]\nCOM1=/dev/ttyUSB0\n", "", ""},
      {{},
       "[ports]\nCOM7=/dev/ttyUSB0\ncom1=/dev/ttyUSB1\nCOM3=ttyUSB2\nCOM4=\nCOM5=/dev/ttyUSB3\n"
       "COM12=/dev/ttyUSB4",
       "$: [ports] COM12: no such key, left alone; the keys are COM1 to COM6\n"
       "$: [ports] COM3: " +
           absolute +
           "ttyUSB2; COM3 keeps its own device\n"
           "$: [ports] COM4: " +
           absolute +
           "ttyUSB0; COM4 keeps its own device\n"
           "$: [ports] COM7: no such key, left alone; the keys are COM1 to COM6\n"
           "$: [ports] com1: no such key, left alone; the keys are COM1 to COM6\n",
       "COM5=/dev/ttyUSB3"},
      {{"--port", "COM7=/dev/ttyUSB0"},
       std::nullopt,
       "--port COM7=/dev/ttyUSB0: the port must be one of COM1 to COM6",
       ""},
      {{"--port", "COM0=/dev/ttyUSB0"},
       std::nullopt,
       "--port COM0=/dev/ttyUSB0: the port must be one of COM1 to COM6",
       ""},
      {{"--port", "COM5"},
       std::nullopt,
       "--port COM5: give the port and its device as COM5=/dev/ttyUSB0",
       ""},
      {{"--port", "COM5="}, std::nullopt, "--port COM5=: " + absolute + "ttyUSB0", ""},
      {{"--port", "COM5=ttyUSB0"},
       std::nullopt,
       "--port COM5=ttyUSB0: " + absolute + "ttyUSB0",
       ""},
      // Controls are refused, C1 and bidirectional ones too, and what is
      // refused is told without them.
      {{"--port", "COM5=/dev/tty\nUSB0"},
       std::nullopt,
       "--port COM5=/dev/tty?USB0: the device's path holds a control character",
       ""},
      {{"--port",
        "COM5=/dev/tty\xc2\x9b"
        "2JUSB0"},
       std::nullopt,
       "--port COM5=/dev/tty?2JUSB0: the device's path holds a control character",
       ""},
      {{"--port",
        "COM5=/dev/serial/by-id/\xe2\x80\xae"
        "0BSU"},
       std::nullopt,
       "--port COM5=/dev/serial/by-id/?0BSU: the device's path holds a control character",
       ""},
      {{"--port", "COM5=/dev/serial/by-id/caf\xc3\xa9"},
       std::nullopt,
       "",
       "COM5=/dev/serial/by-id/caf\xc3\xa9"},
      {{"--port", "COM12=/dev/ttyUSB0"},
       std::nullopt,
       "--port COM12=/dev/ttyUSB0: the port must be one of COM1 to COM6",
       ""},
      {{"--port", "COM5=/dev/ttyUSB0", "--port", "COM5=/dev/ttyUSB1"},
       std::nullopt,
       "--port COM5=/dev/ttyUSB1: COM5 is given twice",
       ""},
      {{"--port"},
       std::nullopt,
       "the option --port needs a value, such as --port COM5=/dev/ttyUSB0",
       ""},
      {{"--all"}, std::nullopt, "--all goes with --list", ""},
      {{"--list", "--all", "--all"},
       std::nullopt,
       "--list takes no other argument but --json, --all and --port",
       ""},
      {{"--port", by_id.c_str()}, std::nullopt, "", by_id},
      // A key with an escape in it is told without it.
      {{},
       "[ports]\nCOM1\x1b[2J=/dev/ttyUSB0\n",
       "$: [ports] COM1?[2J: no such key, left alone; the keys are COM1 to COM6\n",
       ""},
      // A zero byte would end the path early, at another device.
      {{},
       "[ports]\nCOM1=/dev/ttyUSB0\0junk\nCOM2=/dev/ttyUSB1"sv,
       "$: [ports] COM1: the device's path holds a control character; COM1 keeps its own "
       "device\n",
       "COM2=/dev/ttyUSB1"},
  };
  for (const auto& row : kRows) {
    std::string line;
    for (const char* arg : row.args) line += std::string(arg) + " ";
    SCOPED_TRACE(line + std::string(row.settings.value_or("(no file)")));
    std::filesystem::remove(file);
    if (row.settings) std::ofstream(file) << *row.settings;
    std::vector<const char*> args = row.args;
    args.insert(args.begin(), "velkaro");
    const Arguments judged = JudgeArguments(static_cast<int>(args.size()), args.data());
    std::vector<std::string> warnings;
    const PortPaths settings =
        PortsFromSettings(QString::fromStdString(file), [&](const std::string& why) {
          warnings.push_back(why.starts_with(file) ? "$" + why.substr(file.size()) : why);
        });
    std::sort(warnings.begin(), warnings.end());
    std::string told = judged.mode == Arguments::Mode::kRefused ? judged.refusal : "";
    for (const std::string& warning : warnings) told += warning + "\n";
    EXPECT_EQ(told, row.told);
    if (judged.mode == Arguments::Mode::kRefused) continue;
    std::string chosen;
    const PortPaths ports = ChosenPorts(judged.ports, settings);
    for (std::size_t row_index = 0; row_index < ports.size(); ++row_index) {
      if (ports[row_index].empty()) continue;
      chosen += (chosen.empty() ? "COM" : " COM") + std::to_string(row_index + 1) + "=" +
                ports[row_index];
    }
    EXPECT_EQ(chosen, row.chosen);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velkaro
