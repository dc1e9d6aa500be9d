#include "texts.h"

#include <commctrl.h>

#include "layout.h"

namespace velkaro::win32 {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::wstring LampText(int port, std::optional<LampKind> seen, const std::wstring& summary) {
  std::wstring text = L"COM: " + std::to_wstring(port);
  if (seen) text += L", " + Wide(layout::LampDescription(*seen));
  return text + L"; " + summary;
}

void SetTip(HWND tooltip, HWND window, HWND control, const std::wstring& text, bool add) {
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  // The tooltip watches the control's own mouse messages.
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window;
  tool.uId = reinterpret_cast<UINT_PTR>(control);
  tool.lpszText = const_cast<wchar_t*>(text.c_str());
  ::SendMessageW(tooltip, add ? TTM_ADDTOOLW : TTM_UPDATETIPTEXTW, 0,
                 reinterpret_cast<LPARAM>(&tool));
}

}  // namespace velkaro::win32
