#include <windows.h>

#include <memory>
#include <stdexcept>

#include "main_window.h"
#include "platform_port.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  try {
    velkaro::win32::Form1 form(instance, *comm);
    ::ShowWindow(form.hwnd(), show);
    ::UpdateWindow(form.hwnd());
    return velkaro::win32::RunMessageLoop(form.hwnd());
  } catch (const std::runtime_error& e) {
    ::MessageBoxA(nullptr, e.what(), "Velkaro", MB_OK | MB_ICONERROR);
    return 1;
  }
}
