// The COM ports as Windows's device registry tells them: SetupAPI's Ports
// and Modem classes, and the serial device map.
#include "win32_devices.h"

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace velkaro {
namespace {

// GUID_DEVCLASS_PORTS: serial and parallel ports, COM and LPT.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// GUID_DEVCLASS_MODEM: a modem's driver registers its own COM port here.
constexpr GUID kModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A string property of a device, or empty; of a list of strings
// (REG_MULTI_SZ), the first. The size is asked first: a friendly name or a
// location may be of any length.
std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  DWORD type = 0;
  DWORD size = 0;
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type, nullptr, 0, &size) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  if (type != REG_SZ && type != REG_MULTI_SZ) return {};
  // Two characters more than asked for: a value need not end in the zeros
  // its type promises.
  std::wstring text(size / sizeof(wchar_t) + 2, L'\0');
  if (!::SetupDiGetDeviceRegistryPropertyW(
          set, &info, property, &type, reinterpret_cast<BYTE*>(text.data()),
          static_cast<DWORD>((text.size() - 2) * sizeof(wchar_t)), nullptr)) {
    return {};
  }
  return text.c_str();
}

// The "PortName" value of the device's own registry key: "COM4", "LPT1".
std::wstring PortName(HDEVINFO set, SP_DEVINFO_DATA& info) {
  const HKEY key =
      ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::array<wchar_t, 64> name{};
  DWORD type = 0;
  DWORD size = (name.size() - 1) * sizeof(wchar_t);
  const LSTATUS read = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                          reinterpret_cast<BYTE*>(name.data()), &size);
  ::RegCloseKey(key);
  return read == ERROR_SUCCESS && type == REG_SZ ? std::wstring(name.data()) : std::wstring();
}

// The present devices of a class that have a port name.
void AddClass(const GUID& device_class, std::vector<PortDevice>& devices) {
  const HDEVINFO set = ::SetupDiGetClassDevsW(&device_class, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    PortDevice device{PortName(set, info), Property(set, info, SPDRP_FRIENDLYNAME),
                      Property(set, info, SPDRP_DEVICEDESC), Property(set, info, SPDRP_HARDWAREID),
                      Property(set, info, SPDRP_LOCATION_INFORMATION)};
    if (!device.port_name.empty()) devices.push_back(std::move(device));
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

// The serial device map: each value a port's kernel device
// ("\Device\Serial0") and its name ("COM1").
void AddSerialComm(std::vector<PortDevice>& devices) {
  HKEY map = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &map) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    std::array<wchar_t, 256> device{};
    std::array<wchar_t, 64> name{};
    DWORD device_size = device.size() - 1;
    DWORD name_size = (name.size() - 1) * sizeof(wchar_t);
    DWORD type = 0;
    const LSTATUS read = ::RegEnumValueW(map, i, device.data(), &device_size, nullptr, &type,
                                         reinterpret_cast<BYTE*>(name.data()), &name_size);
    if (read == ERROR_NO_MORE_ITEMS) break;
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    devices.push_back(
        {.port_name = name.data(), .friendly_name = {}, .description = device.data()});
  }
  ::RegCloseKey(map);
}

std::string Utf8(const std::wstring& text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
  return utf8;
}

// The device's name as Device Manager shows it (its description where it
// has no friendly name), without the " (COMn)" Windows ends it with.
std::wstring ShownName(const PortDevice& device) {
  std::wstring name = device.friendly_name.empty() ? device.description : device.friendly_name;
  if (const std::wstring suffix = L" (" + device.port_name + L")"; name.ends_with(suffix)) {
    name.resize(name.size() - suffix.size());
  }
  return name;
}

// n for a port named COMn, else 0.
long ComNumber(const std::wstring& port_name) {
  if (!port_name.starts_with(L"COM") || port_name.size() == 3 || port_name.size() > 6) return 0;
  long number = 0;
  for (const wchar_t c : port_name.substr(3)) {
    if (c < L'0' || c > L'9') return 0;
    number = number * 10 + (c - L'0');
  }
  return number;
}

// The four hex digits after `key` in a hardware id ("VID_" in
// "USB\VID_0403&PID_6001"), in lower case; empty where not there.
std::string IdAfter(const std::string& hardware_id, const std::string& key) {
  const std::size_t at = hardware_id.find(key);
  if (at == std::string::npos || at + key.size() + 4 > hardware_id.size()) return {};
  std::string digits = hardware_id.substr(at + key.size(), 4);
  for (char& c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digits;
}

}  // namespace

std::vector<PortDevice> ListPortDevices() {
  std::vector<PortDevice> devices;
  AddClass(kPortsClass, devices);
  AddClass(kModemClass, devices);
  AddSerialComm(devices);
  // Each port once, as its first source tells it: a port of the Ports
  // class is in the device map too.
  std::vector<PortDevice> once;
  for (PortDevice& device : devices) {
    if (ComNumber(device.port_name) == 0) continue;
    if (std::none_of(once.begin(), once.end(), [&device](const PortDevice& kept) {
          return ::_wcsicmp(kept.port_name.c_str(), device.port_name.c_str()) == 0;
        })) {
      once.push_back(std::move(device));
    }
  }
  return once;
}

std::string FriendlyName(std::int16_t port, const std::vector<PortDevice>& devices) {
  const std::wstring com = L"COM" + std::to_wstring(port);
  for (const PortDevice& device : devices) {
    if (device.port_name != com) continue;
    if (const std::wstring name = ShownName(device); !name.empty()) return Utf8(name);
  }
  return {};
}

std::vector<OtherPort> OtherComPorts(const std::vector<PortDevice>& devices) {
  std::vector<OtherPort> others = EveryComPort(devices);
  std::erase_if(others, [](const OtherPort& other) { return other.row != 0; });
  return others;
}

std::vector<OtherPort> EveryComPort(const std::vector<PortDevice>& devices) {
  std::vector<std::pair<long, OtherPort>> numbered;
  for (const PortDevice& device : devices) {
    const long number = ComNumber(device.port_name);
    if (number == 0) continue;
    PortHardware hardware;
    hardware.name = Utf8(ShownName(device));
    hardware.hardware_id = Utf8(device.hardware_id);
    hardware.location = Utf8(device.location);
    if (hardware.hardware_id.starts_with("USB\\")) {
      hardware.bus = "usb";
      hardware.vendor_id = IdAfter(hardware.hardware_id, "VID_");
      hardware.product_id = IdAfter(hardware.hardware_id, "PID_");
    }
    for (const std::string* part : {&hardware.name, &hardware.hardware_id}) {
      if (!part->empty())
        hardware.description += (hardware.description.empty() ? "" : ", ") + *part;
    }
    if (!hardware.location.empty()) {
      hardware.description += (hardware.description.empty() ? "at " : ", at ") + hardware.location;
    }
    // Windows tells who holds a port only to an open, and these are never opened.
    OtherPort other{
        .name = Utf8(device.port_name), .device = "\\\\.\\" + Utf8(device.port_name), .found = {}};
    other.found.presence = PortFinding::Presence::kPresent;
    other.found.words = "present, not opened";
    other.found.hardware = std::move(hardware);
    other.found.line = FindingLine(other.found);
    if (number >= 1 && number <= 6) other.row = static_cast<std::int16_t>(number);
    numbered.emplace_back(number, std::move(other));
  }
  std::stable_sort(numbered.begin(), numbered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<OtherPort> others;
  for (auto& [number, other] : numbered) others.push_back(std::move(other));
  return others;
}

std::vector<OtherPort> Inventory::OtherPorts(const std::vector<std::string>&) const {
  return OtherComPorts(devices_());
}

}  // namespace velkaro
