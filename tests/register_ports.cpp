// Registers serial ports beyond COM6 as their drivers do, so that what
// Windows lists of them can be read back: COM12 and COM7 in the Ports class,
// as a USB adapter's and a Bluetooth link's drivers register them; COM8 in
// the Modem class, as a modem card's does, with a name longer than 254
// characters; and COM9 in the serial device map alone, as a virtual port
// driver does, beside COM12's own entry there. Prints why and exits 1 if one
// cannot be registered.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>
#include <string>
#include <utility>

namespace {

// GUID_DEVCLASS_PORTS and GUID_DEVCLASS_MODEM.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kModemClass = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct Port {
  const GUID* device_class;
  const wchar_t* instance;
  const wchar_t* port_name;
  std::wstring friendly_name;
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
  if (!::SetupDiCreateDeviceInfoW(set, port.instance, port.device_class, nullptr, nullptr, 0,
                                  &info) ||
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

// The serial device map, volatile as Windows keeps it (gone with the
// session: with `map`, only it is written again): COM9 is named there alone,
// COM12 there too.
int MapPorts() {
  HKEY map = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                        REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &map,
                        nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "register_ports: no serial device map\n");
    return 1;
  }
  int status = 0;
  for (const auto& [device, name] :
       {std::pair<std::wstring, std::wstring>{L"\\Device\\VCP0", L"COM9"},
        {L"\\Device\\Serial11", L"COM12"}}) {
    if (::RegSetValueExW(
            map, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
            static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
      std::fprintf(stderr, "register_ports: %ls could not be mapped\n", name.c_str());
      status = 1;
    }
  }
  ::RegCloseKey(map);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"map") return MapPorts();
  const HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "register_ports: no device list: error %lu\n", ::GetLastError());
    return 1;
  }
  const Port ports[] = {
      {&kPortsClass, L"USB\\VID_0403&PID_6001\\A50285BI", L"COM12", L"USB Serial Port (COM12)",
       std::wstring(L"USB\\VID_0403&PID_6001&REV_0600") + L'\0' + L"USB\\VID_0403&PID_6001" + L'\0',
       L"Port_#0001.Hub_#0004"},
      {&kPortsClass,
       L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}\\7&1A2B3C4D&0&000000000000_00000000",
       L"COM7", L"Standard Serial over Bluetooth link (COM7)",
       std::wstring(L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}") + L'\0', nullptr},
      {&kModemClass, L"PCI\\VEN_14F1&DEV_2F20\\4&1F7DBC9F&0&00E1", L"COM8",
       L"Data Fax Modem " + std::wstring(260, L'M') + L" (COM8)",
       std::wstring(L"PCI\\VEN_14F1&DEV_2F20") + L'\0', nullptr},
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
  return MapPorts() != 0 ? 1 : status;
}
