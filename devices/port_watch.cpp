#include "port_watch.h"

#include <algorithm>
#include <utility>

namespace velkaro {

std::vector<WatchEvent> PortWatch::Start(std::vector<OtherPort> ports,
                                         std::chrono::system_clock::time_point now) {
  known_.clear();
  std::vector<WatchEvent> events;
  for (OtherPort& port : ports) {
    known_[port.name] = port;
    events.push_back({.kind = WatchEvent::Kind::kPresent, .time = now, .port = std::move(port)});
  }
  return events;
}

std::optional<WatchEvent> PortWatch::Added(OtherPort port,
                                           std::chrono::system_clock::time_point now) {
  if (!known_.try_emplace(port.name, port).second) return std::nullopt;
  return WatchEvent{.kind = WatchEvent::Kind::kAdded, .time = now, .port = std::move(port)};
}

std::optional<WatchEvent> PortWatch::Removed(const std::string& name,
                                             std::chrono::system_clock::time_point now) {
  const auto known = known_.find(name);
  if (known == known_.end()) return std::nullopt;
  OtherPort gone = std::move(known->second);
  known_.erase(known);
  // Only the hardware as it was is still true of it.
  PortFinding& found = gone.found;
  found.presence = PortFinding::Presence::kAbsent;
  found.words = "absent: removed";
  found.error.clear();
  found.holder.reset();
  found.restored.reset();
  found.line = FindingLine(found);
  return WatchEvent{.kind = WatchEvent::Kind::kRemoved, .time = now, .port = std::move(gone)};
}

std::vector<WatchEvent> PortWatch::Update(std::vector<OtherPort> ports,
                                          std::chrono::system_clock::time_point now) {
  std::vector<WatchEvent> events;
  std::vector<std::string> gone;
  for (const auto& known : known_) {
    const std::string& name = known.first;
    if (std::none_of(ports.begin(), ports.end(),
                     [&name](const OtherPort& there) { return there.name == name; })) {
      gone.push_back(name);
    }
  }
  for (const std::string& name : gone) events.push_back(*Removed(name, now));
  for (OtherPort& port : ports) {
    if (std::optional<WatchEvent> added = Added(std::move(port), now)) {
      events.push_back(std::move(*added));
    }
  }
  return events;
}

}  // namespace velkaro
