// Registers two serial ports beyond COM6 in the ports class, as the drivers
// of a USB adapter and of a Bluetooth link do, so that what SetupAPI lists
// of them can be read back: COM12 and COM7. Prints why and exits 1 if one
// cannot be registered.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

// GUID_DEVCLASS_PORTS.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct Port {
  const wchar_t* instance;
  const wchar_t* port_name;
  const wchar_t* friendly_name;
  std::wstring hardware_ids;  // a list: each ends in a zero, and one more ends the list
  const wchar_t* location;    // or none
};

bool SetText(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property, const std::wstring& text) {
  return ::SetupDiSetDeviceRegistryPropertyW(
             set, &info, property, reinterpret_cast<const BYTE*>(text.c_str()),
             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != FALSE;
}

bool Register(HDEVINFO set, const Port& port) {
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  if (!::SetupDiCreateDeviceInfoW(set, port.instance, &kPortsClass, nullptr, nullptr, 0, &info) ||
      !SetText(set, info, SPDRP_FRIENDLYNAME, port.friendly_name) ||
      // The list's last zero is the string's own.
      !SetText(set, info, SPDRP_HARDWAREID, port.hardware_ids) ||
      (port.location != nullptr &&
       !SetText(set, info, SPDRP_LOCATION_INFORMATION, port.location)) ||
      !::SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr)) {
    return false;
  }
  const HKEY key =
      ::SetupDiCreateDevRegKeyW(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  if (key == INVALID_HANDLE_VALUE) return false;
  const std::wstring name = port.port_name;
  const LSTATUS written =
      ::RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
  return written == ERROR_SUCCESS;
}

}  // namespace

int wmain() {
  const HDEVINFO set = ::SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "register_ports: no device list: error %lu\n", ::GetLastError());
    return 1;
  }
  const Port ports[] = {
      {L"USB\\VID_0403&PID_6001\\A50285BI", L"COM12", L"USB Serial Port (COM12)",
       std::wstring(L"USB\\VID_0403&PID_6001&REV_0600") + L'\0' + L"USB\\VID_0403&PID_6001" + L'\0',
       L"Port_#0001.Hub_#0004"},
      {L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}\\7&1A2B3C4D&0&000000000000_00000000",
       L"COM7", L"Standard Serial over Bluetooth link (COM7)",
       std::wstring(L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}") + L'\0', nullptr},
  };
  int status = 0;
  for (const Port& port : ports) {
    if (!Register(set, port)) {
      std::fprintf(stderr, "register_ports: %ls could not be registered: error %lu\n",
                   port.port_name, ::GetLastError());
      status = 1;
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return status;
}
