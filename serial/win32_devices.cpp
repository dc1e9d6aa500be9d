// The ports class as Device Manager shows it, through SetupAPI.
#include <windows.h>

#include <setupapi.h>

#include <array>

#include "win32_port.h"

namespace velkaro {
namespace {

// GUID_DEVCLASS_PORTS: serial and parallel ports, COM and LPT.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A string property of a device, or empty; of a list of strings
// (REG_MULTI_SZ), the first.
std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  std::array<wchar_t, 256> text{};
  DWORD type = 0;
  // Two characters are kept free: a list ends in two zeros.
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, property, &type,
                                           reinterpret_cast<BYTE*>(text.data()),
                                           (text.size() - 2) * sizeof(wchar_t), nullptr) ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return {};
  }
  return text.data();
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

}  // namespace

std::vector<PortDevice> ListPortDevices() {
  std::vector<PortDevice> devices;
  const HDEVINFO set = ::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return devices;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    PortDevice device{PortName(set, info), Property(set, info, SPDRP_FRIENDLYNAME),
                      Property(set, info, SPDRP_DEVICEDESC), Property(set, info, SPDRP_HARDWAREID),
                      Property(set, info, SPDRP_LOCATION_INFORMATION)};
    if (!device.port_name.empty()) devices.push_back(std::move(device));
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return devices;
}

}  // namespace velkaro
