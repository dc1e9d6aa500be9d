#include "port_json.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "showable.h"

namespace velkaro {
namespace {

// Adds the field where it is known.
void Known(nlohmann::ordered_json& object, const char* name, const std::string& value) {
  if (!value.empty()) object[name] = value;
}

}  // namespace

nlohmann::ordered_json PortJson(std::int16_t port, const std::string& device,
                                const PortFinding& found) {
  nlohmann::ordered_json json;
  json["port"] =
      port > 0 ? nlohmann::ordered_json("COM" + std::to_string(port)) : nlohmann::ordered_json();
  json["device"] = device;
  switch (found.presence) {
    case PortFinding::Presence::kPresent:
      json["present"] = true;
      break;
    case PortFinding::Presence::kAbsent:
      json["present"] = false;
      break;
    case PortFinding::Presence::kNotJudged:
      json["present"] = nullptr;
      break;
  }
  json["finding"] = found.words;
  Known(json, "error", found.error);
  json["holder"] = nullptr;
  if (found.holder) {
    nlohmann::ordered_json holder = {{"kind", found.holder->kind}};
    Known(holder, "program", found.holder->program);
    if (found.holder->pid > 0) holder["pid"] = found.holder->pid;
    Known(holder, "lock", found.holder->lock);
    json["holder"] = holder;
  }
  json["hardware"] = nullptr;
  if (found.hardware) {
    const PortHardware& part = *found.hardware;
    nlohmann::ordered_json hardware = {{"description", part.description}};
    Known(hardware, "uart", part.uart);
    Known(hardware, "io", part.io);
    if (part.irq) hardware["irq"] = *part.irq;
    Known(hardware, "memory", part.memory);
    Known(hardware, "bus", part.bus);
    Known(hardware, "address", part.address);
    Known(hardware, "vendor_id", part.vendor_id);
    Known(hardware, "product_id", part.product_id);
    Known(hardware, "vendor_name", part.vendor_name);
    Known(hardware, "product_name", part.product_name);
    Known(hardware, "driver", part.driver);
    Known(hardware, "manufacturer", part.manufacturer);
    Known(hardware, "product", part.product);
    Known(hardware, "serial", part.serial);
    if (part.interface) hardware["interface"] = *part.interface;
    Known(hardware, "name", part.name);
    Known(hardware, "hardware_id", part.hardware_id);
    Known(hardware, "location", part.location);
    if (!part.names.empty()) hardware["names"] = part.names;
    json["hardware"] = hardware;
  }
  json["restored"] =
      found.restored ? nlohmann::ordered_json(*found.restored) : nlohmann::ordered_json();
  if (found.restored == false) json["restore_error"] = found.restore_error;
  return json;
}

namespace {

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

}  // namespace

std::string LocalTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  // The offset is what the local fields read as UTC are ahead of the moment.
  const long long as_utc =
      DaysFromCivil(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) *
          86400 +
      local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const long long offset_minutes = (as_utc - static_cast<long long>(seconds)) / 60;
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          time.time_since_epoch() - std::chrono::seconds(seconds))
                          .count();
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis < 0 ? 0 : millis),
                offset_minutes < 0 ? '-' : '+', static_cast<int>(std::llabs(offset_minutes) / 60),
                static_cast<int>(std::llabs(offset_minutes) % 60));
  return text;
}

std::string WatchLine(const WatchEvent& event, bool json) {
  const char* kind = event.kind == WatchEvent::Kind::kPresent ? "present"
                     : event.kind == WatchEvent::Kind::kAdded ? "added"
                                                              : "removed";
  const OtherPort& port = event.port;
  if (json) {
    nlohmann::ordered_json line = {{"time", LocalTime(event.time)}, {"event", kind}};
    const nlohmann::ordered_json fields = PortJson(port.row, port.device, port.found);
    for (const auto& [key, value] : fields.items()) line[key] = value;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  const std::string row = "COM" + std::to_string(port.row);
  const std::string name = port.row > 0 && port.name != row ? row + " " + port.name : port.name;
  // A terminal's name and node come from sysfs: shown as text from outside.
  return LocalTime(event.time) + " " + kind + " " + ShowableName(name) + " (" +
         ShowableName(port.device) + "): " + port.found.line + "\n";
}

std::string PortsDocument(const nlohmann::ordered_json& ports) {
  const nlohmann::ordered_json document = {{"ports", ports}};
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string ListText(const ScanSequencer& scan, bool json, const std::vector<OtherPort>& others) {
  if (!json) {
    std::string lines;
    for (std::int16_t port = 1; port <= kPortCount; ++port) lines += scan.Summary(port) + "\n";
    for (const OtherPort& other : others) {
      lines += ShowableName(other.name) + " (" + ShowableName(other.device) +
               "): " + other.found.line + "\n";
    }
    return lines;
  }
  nlohmann::ordered_json ports = nlohmann::ordered_json::array();
  for (std::int16_t port = 1; port <= kPortCount; ++port) {
    ports.push_back(PortJson(port, scan.DevicePath(port), scan.Found(port)));
  }
  for (const OtherPort& other : others) ports.push_back(PortJson(0, other.device, other.found));
  return PortsDocument(ports);
}

}  // namespace velkaro
