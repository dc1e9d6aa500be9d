#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "port_finding.h"

namespace velkaro {

// A COM port as Windows's device registry tells it: the port name its
// registry key gives ("COM4"), its friendly name, its description, its first
// hardware id ("USB\VID_0403&PID_6001&REV_0600") and where it sits
// ("Port_#0001.Hub_#0004"), each empty where not given.
struct PortDevice {
  std::wstring port_name;
  std::wstring friendly_name;
  std::wstring description;
  std::wstring hardware_id = {};
  std::wstring location = {};
};

// The present COM ports, each once: the devices of the Ports class and of
// the Modem class from SetupAPI, then those that only
// HARDWARE\DEVICEMAP\SERIALCOMM names (multiport cards and virtual port
// drivers register theirs there alone). LPT ports are left out.
std::vector<PortDevice> ListPortDevices();

// The friendly name of the device that is COMn (its description where it
// has none), as UTF-8 and without the " (COMn)" Windows ends it with; empty
// if no device is.
std::string FriendlyName(std::int16_t port, const std::vector<PortDevice>& devices);

// The COM ports beyond COM1 to COM6, told without being opened, by number.
std::vector<OtherPort> OtherComPorts(const std::vector<PortDevice>& devices);
// Every COM port, COM1 to COM6 among them with their rows, by number.
std::vector<OtherPort> EveryComPort(const std::vector<PortDevice>& devices);

// Every other COM port of the machine, from the device registry.
class Inventory {
 public:
  explicit Inventory(std::function<std::vector<PortDevice>()> devices = ListPortDevices)
      : devices_(std::move(devices)) {}
  // The rows are COM1 to COM6, whatever their paths.
  std::vector<OtherPort> OtherPorts(const std::vector<std::string>& row_paths) const;

 private:
  std::function<std::vector<PortDevice>()> devices_;
};

}  // namespace velkaro
