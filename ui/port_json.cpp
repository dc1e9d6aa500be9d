#include "port_json.h"

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

std::string PortsDocument(const nlohmann::ordered_json& ports) {
  const nlohmann::ordered_json document = {{"ports", ports}};
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string ListText(const ScanSequencer& scan, bool json, const std::vector<OtherPort>& others) {
  if (!json) {
    std::string lines;
    for (std::int16_t port = 1; port <= kPortCount; ++port) lines += scan.Summary(port) + "\n";
    for (const OtherPort& other : others) {
      lines += other.name + " (" + other.device + "): " + other.found.line + "\n";
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
