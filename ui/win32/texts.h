#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "lamp_state.h"

// The window's words, in the UTF-16 that Windows takes.
namespace velkaro::win32 {

std::wstring Wide(std::string_view text);

// What assistive technology reads of a port's lamp: the window's text, so the
// port's name, the lamp's state and what was found of the port share it.
std::wstring LampText(int port, std::optional<LampKind> seen, const std::wstring& summary);

// Sets, or adds, the tooltip of one control of the window.
void SetTip(HWND tooltip, HWND window, HWND control, const std::wstring& text, bool add);

}  // namespace velkaro::win32
