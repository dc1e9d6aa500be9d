#pragma once

#include <windows.h>

#include <string>

#include "handles.h"

// Measuring at a DPI. Windows 10's per-monitor calls are looked up at run
// time, so that the program still starts on Windows versions without them;
// there the system's DPI stands in for the monitor's.
namespace velkaro::win32::dpi {

int OfSystem();
int OfWindow(HWND window);

// A system metric as Windows gives it for the DPI.
int Metric(int metric, int dpi);

// The size of a window of the style around a client area of `client`
// pixels. False if Windows would not say.
bool FrameAround(SIZE client, DWORD style, DWORD ex_style, int dpi, SIZE& frame);

// The desktop's message font, the one dialogs use, at the DPI.
bool MessageFont(int dpi, LOGFONTW& font);

// The message font for a button: its own size, smaller only where `caption`
// would not fit inside the button's frame with a dialog button's margins.
// None where the message font is not to be had.
Font FittingButtonFont(HWND button, const std::wstring& caption, int dpi);

// The sizes of the icons in the title bar and in Alt+Tab at the DPI.
inline int SmallIconSize(int dpi) { return Metric(SM_CXSMICON, dpi); }
inline int BigIconSize(int dpi) { return Metric(SM_CXICON, dpi); }

}  // namespace velkaro::win32::dpi
