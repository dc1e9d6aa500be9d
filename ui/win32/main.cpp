#include <windows.h>

#include <exception>
#include <memory>

#include "main_window.h"
#include "platform_port.h"

namespace {

// Runs the window's messages until it is closed, with a dialog's keyboard
// handling (Tab, Enter, Space). Returns the program's exit status.
int RunMessageLoop(HWND window) {
  MSG message;
  BOOL got;
  while ((got = ::GetMessageW(&message, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    if (!::IsDialogMessageW(window, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  // Nothing may leave through Windows's own frames: whatever fails is shown
  // and ends the program with status 1.
  try {
    velkaro::win32::Form1 form(instance, velkaro::LastingPlatformSerialPort());
    ::ShowWindow(form.hwnd(), show);
    ::UpdateWindow(form.hwnd());
    return RunMessageLoop(form.hwnd());
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, e.what(), "Velkaro", MB_OK | MB_ICONERROR);
  } catch (...) {
    ::MessageBoxA(nullptr, "An unknown error ended the program.", "Velkaro", MB_OK | MB_ICONERROR);
  }
  return 1;
}
