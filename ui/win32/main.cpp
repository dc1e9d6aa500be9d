#include <windows.h>

#include <exception>
#include <memory>

#include "main_window.h"
#include "platform_port.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  // Nothing may leave through Windows's own frames: whatever fails is shown
  // and ends the program with status 1.
  try {
    const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
    velkaro::win32::Form1 form(instance, *comm);
    ::ShowWindow(form.hwnd(), show);
    ::UpdateWindow(form.hwnd());
    return velkaro::win32::RunMessageLoop(form.hwnd());
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, e.what(), "Velkaro", MB_OK | MB_ICONERROR);
  } catch (...) {
    ::MessageBoxA(nullptr, "An unknown error ended the program.", "Velkaro", MB_OK | MB_ICONERROR);
  }
  return 1;
}
