// Velkaro's settings file, the whole input, as Qt reads it for the rows'
// devices: every warning is text that may be shown, and every device taken
// is one --port would take.
#include <unistd.h>

#include <QString>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "arguments.h"
#include "fuzz_checks.h"
#include "port_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = [] {
    char name[] = "/tmp/velkaro-fuzz-settings-XXXXXX";
    return std::string(::mkdtemp(name)) + "/Velkaro.conf";
  }();
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  const velkaro::PortPaths ports = velkaro::PortsFromSettings(
      QString::fromStdString(file),
      [](const std::string& warning) { velkaro::fuzz::CheckShowable(warning, "a warning"); });
  for (const std::string& path : ports) {
    velkaro::fuzz::Require(path.empty() || velkaro::PathRefusal(path).empty(),
                           "a device taken that --port would refuse");
  }
  return 0;
}
