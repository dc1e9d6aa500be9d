#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "port_finding.h"

namespace velkaro {

// A serial port that was there at the start, came or went.
struct WatchEvent {
  enum class Kind { kPresent, kAdded, kRemoved };
  Kind kind = Kind::kPresent;
  std::chrono::system_clock::time_point time;
  // As the inventory told it; for a port that went, as it was last seen,
  // with its presence false and its words "absent: removed".
  OtherPort port;
};

// The serial ports known while the machine is watched: each told once as it
// comes, and forgotten as it goes, so that a machine whose ports come and
// go for ever is watched in the same memory.
class PortWatch {
 public:
  // The ports there at the start.
  std::vector<WatchEvent> Start(std::vector<OtherPort> ports,
                                std::chrono::system_clock::time_point now);
  // A port that came; nothing where it is known already.
  std::optional<WatchEvent> Added(OtherPort port, std::chrono::system_clock::time_point now);
  // The terminal named ("ttyUSB0") went: its port as last seen, or nothing
  // where none of that name is known.
  std::optional<WatchEvent> Removed(const std::string& name,
                                    std::chrono::system_clock::time_point now);
  // The ports as they are now, where the system tells only that something
  // changed: each new one added, each known one gone removed, by name.
  std::vector<WatchEvent> Update(std::vector<OtherPort> ports,
                                 std::chrono::system_clock::time_point now);
  std::size_t size() const { return known_.size(); }

 private:
  std::map<std::string, OtherPort> known_;  // by name
};

}  // namespace velkaro
