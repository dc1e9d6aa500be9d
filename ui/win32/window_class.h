#pragma once

#include <windows.h>

namespace velkaro::win32 {

// Throws std::runtime_error naming the call that failed and its Windows error.
[[noreturn]] void Refused(const char* what);

// Registers a window class of the program's, unless it already is.
void Register(HINSTANCE instance, const wchar_t* name, UINT style, WNDPROC procedure, HICON icon,
              HICON small_icon, int background);

}  // namespace velkaro::win32
