// Every finding a machine could make, its strings the input's parts between
// zero bytes: --list's lines and --watch's lines may be shown, one line a
// port, and their JSON reads back, with as many entries as there are lines.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_port.h"
#include "fuzz_checks.h"
#include "port_json.h"
#include "port_watch.h"
#include "scan_sequencer.h"

namespace {

struct Parts {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::string Next() {
    std::string part;
    while (at < size && data[at] != 0) part += static_cast<char>(data[at++]);
    ++at;
    return part;
  }
  bool done() const { return at >= size; }
};

struct NoTimer : velkaro::TimerSwitch {
  void SetEnabled(bool) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velkaro::FakeSerialPort comm;
  static velkaro::LampState lamps;
  static NoTimer timer;
  static const velkaro::ScanSequencer scan(lamps, comm, timer);
  Parts parts{data, size};
  std::vector<velkaro::OtherPort> others;
  while (!parts.done() && others.size() < 8) {
    velkaro::OtherPort port{.name = parts.Next(), .device = parts.Next(), .found = {}};
    velkaro::PortFinding& found = port.found;
    const std::string kind = parts.Next();
    found.presence = kind.empty()       ? velkaro::PortFinding::Presence::kNotJudged
                     : kind[0] % 2 == 0 ? velkaro::PortFinding::Presence::kPresent
                                        : velkaro::PortFinding::Presence::kAbsent;
    found.words = parts.Next();
    found.error = parts.Next();
    if (const std::string program = parts.Next(); !program.empty()) {
      found.holder = velkaro::PortHolder{
          .kind = "descriptor", .program = program, .pid = 42, .lock = parts.Next()};
    }
    if (const std::string description = parts.Next(); !description.empty()) {
      velkaro::PortHardware hardware;
      hardware.description = description;
      hardware.vendor_name = parts.Next();
      hardware.product_name = parts.Next();
      hardware.serial = parts.Next();
      hardware.driver = parts.Next();
      hardware.names = {parts.Next()};
      found.hardware = std::move(hardware);
    }
    if (const std::string restore = parts.Next(); !restore.empty()) {
      found.restored = restore[0] % 2 == 0;
      found.restore_error = restore.substr(1);
    }
    found.line = velkaro::FindingLine(found);
    port.row = static_cast<std::int16_t>(kind.empty() ? 0 : kind[0] % 7);
    others.push_back(std::move(port));
  }
  const std::string lines = velkaro::ListText(scan, false, others);
  velkaro::fuzz::CheckShowable(lines, "--list's lines");
  const auto json = nlohmann::ordered_json::parse(velkaro::ListText(scan, true, others));
  velkaro::fuzz::Require(json["ports"].size() ==
                             static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')),
                         "as many lines as JSON entries");
  velkaro::fuzz::CheckJsonReadsBack(json);
  for (const velkaro::OtherPort& port : others) {
    const velkaro::WatchEvent event{.kind = velkaro::WatchEvent::Kind::kAdded,
                                    .time = std::chrono::system_clock::time_point(),
                                    .port = port};
    const std::string line = velkaro::WatchLine(event, false);
    velkaro::fuzz::CheckShowable(line, "--watch's line");
    velkaro::fuzz::Require(std::count(line.begin(), line.end(), '\n') == 1, "one line a port");
    const std::string object = velkaro::WatchLine(event, true);
    velkaro::fuzz::Require(std::count(object.begin(), object.end(), '\n') == 1,
                           "one JSON object a line");
    velkaro::fuzz::CheckJsonReadsBack(nlohmann::ordered_json::parse(object));
  }
  return 0;
}
