#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "port_finding.h"
#include "port_watch.h"
#include "scan_sequencer.h"

namespace velkaro {

// One port as `velkaro --list --json` gives it: "port" ("COM1", or null for
// 0), "device", "present" (true, false, or null where it was not judged),
// "finding" (the words, without the hardware), "error" where the system
// named the error that decided it, "holder" and "hardware"
// (null, or an object of what is known), "restored" (null for a port that
// was never opened), and "restore_error" where the settings could not be
// put back.
nlohmann::ordered_json PortJson(std::int16_t port, const std::string& device,
                                const PortFinding& found);

// The document: {"ports": [...]}, as UTF-8 in which every byte that is not
// becomes U+FFFD, ending in a newline.
std::string PortsDocument(const nlohmann::ordered_json& ports);

// What `velkaro --list` prints of a scan: a line for each port, then one for
// each other port of the machine (--all), "ttyUSB0 (/dev/ttyUSB0): …"; or
// with `json` the document of them all, the others with "port" null.
std::string ListText(const ScanSequencer& scan, bool json,
                     const std::vector<OtherPort>& others = {});

// A moment as the local time in ISO 8601, to the millisecond, with the
// offset from UTC: "2026-12-09T07:45:12.345+01:00".
std::string LocalTime(std::chrono::system_clock::time_point time);

// What `velkaro --watch` writes of an event: one line, "TIME EVENT NAME
// (DEVICE): FINDING", with "COMn " before the name of a row's device; or
// with `json` one compact JSON object on a line, "time" and "event" before
// the fields of --all's port object.
std::string WatchLine(const WatchEvent& event, bool json);

}  // namespace velkaro
