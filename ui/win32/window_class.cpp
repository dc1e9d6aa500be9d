#include "window_class.h"

#include <stdexcept>
#include <string>

namespace velkaro::win32 {

[[noreturn]] void Refused(const char* what) {
  throw std::runtime_error(std::string(what) + " failed with Windows error " +
                           std::to_string(::GetLastError()));
}

void Register(HINSTANCE instance, const wchar_t* name, UINT style, WNDPROC procedure, HICON icon,
              HICON small_icon, int background) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  if (::GetClassInfoExW(instance, name, &window_class)) return;
  window_class.style = style;
  window_class.lpfnWndProc = procedure;
  window_class.hInstance = instance;
  window_class.hIcon = icon;
  window_class.hIconSm = small_icon;
  window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(background));
  window_class.lpszClassName = name;
  if (!::RegisterClassExW(&window_class)) Refused("RegisterClassExW");
}

}  // namespace velkaro::win32
