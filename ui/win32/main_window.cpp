#include "main_window.h"

#include <commctrl.h>

#include <exception>
#include <stdexcept>

#include "layout.h"
#include "resources.h"

namespace velkaro::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"VelkaroForm1";
constexpr wchar_t kLampClass[] = L"VelkaroLamp";
// No sizing, no min or max; the window never paints over its lamps.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;  // a plain frame
constexpr int kFirstControlId = 1000;
constexpr int kFirstLampId = 2000;

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// What assistive technology reads of a port's lamp: the window's text, so the
// port's name and the lamp's state share it.
std::wstring LampText(int port, std::optional<LampKind> seen) {
  std::wstring text = L"COM: " + std::to_wstring(port);
  if (seen) text += L", " + Wide(layout::LampDescription(*seen));
  return text;
}

int LampIconId(LampKind kind) {
  switch (kind) {
    case LampKind::kOff:
      return VELKARO_IDI_LAMP_OFF;
    case LampKind::kOk:
      return VELKARO_IDI_LAMP_OK;
    case LampKind::kBad:
      return VELKARO_IDI_LAMP_BAD;
    case LampKind::kTest:
      return VELKARO_IDI_LAMP_TEST;
  }
  return 0;
}

[[noreturn]] void Refused(const char* what) {
  throw std::runtime_error(std::string(what) + " failed with Windows error " +
                           std::to_string(::GetLastError()));
}

}  // namespace

int ControlId(std::string_view name) {
  if (name == "Command1") return IDOK;
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    if (layout::kControls[i].name == name) return kFirstControlId + static_cast<int>(i);
  }
  return 0;
}

int LampId(int port) { return kFirstLampId + port; }

void TimerSwitch32::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;  // SetTimer again would restart the countdown
  if (enabled) {
    if (::SetTimer(window_, kTimerId, ScanSequencer::kTickMilliseconds, nullptr) == 0) {
      Refused("SetTimer");
    }
  } else {
    ::KillTimer(window_, kTimerId);
  }
  enabled_ = enabled;
}

Form1::Form1(HINSTANCE instance, SerialPort& comm)
    : on_scan_failure([this](const std::string& what) {
        const std::wstring text = L"The scan failed: " + Wide(what);
        ::MessageBoxW(window_, text.c_str(), Wide(layout::kTitle).c_str(), MB_OK | MB_ICONERROR);
        ::PostQuitMessage(1);
      }),
      instance_(instance),
      scan_(lamps_, comm, timer_switch_) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  if (!::GetClassInfoExW(instance_, kWindowClass, &window_class)) {
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance_;
    window_class.hIcon = static_cast<HICON>(::LoadImageW(
        instance_, MAKEINTRESOURCEW(VELKARO_IDI_PROGRAM), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    window_class.hIconSm = static_cast<HICON>(::LoadImageW(
        instance_, MAKEINTRESOURCEW(VELKARO_IDI_PROGRAM), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    window_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kWindowClass;
    if (!::RegisterClassExW(&window_class)) Refused("RegisterClassExW");
  }
  // A lamp paints every pixel of itself, so it has no background to erase.
  WNDCLASSEXW lamp_class{};
  lamp_class.cbSize = sizeof lamp_class;
  if (!::GetClassInfoExW(instance_, kLampClass, &lamp_class)) {
    lamp_class.lpfnWndProc = LampProc;
    lamp_class.hInstance = instance_;
    lamp_class.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    lamp_class.lpszClassName = kLampClass;
    if (!::RegisterClassExW(&lamp_class)) Refused("RegisterClassExW for the lamps");
  }

  // Twips convert with the screen's DPI, as a forms runtime does.
  const HDC screen = ::GetDC(nullptr);
  dpi_ = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);

  RECT frame{0, 0, Pixels(layout::kClientWidth), Pixels(layout::kClientHeight)};
  ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  window_ = ::CreateWindowExW(kExStyle, kWindowClass, Wide(layout::kTitle).c_str(), kStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) Refused("CreateWindowExW");
  // The system menu offers Close only.
  const HMENU menu = ::GetSystemMenu(window_, FALSE);
  for (UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    ::DeleteMenu(menu, command, MF_BYCOMMAND);
  }
  timer_switch_.Attach(window_);
  try {
    CreateControls();
    Form_Load();
  } catch (...) {
    // No destructor runs for a form that was never made: the window must
    // not outlive it pointing at it, nor the fonts and icons leak.
    Release();
    throw;
  }
}

Form1::~Form1() { Release(); }

void Form1::Release() noexcept {
  if (window_ != nullptr) {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
    window_ = nullptr;
  }
  for (HFONT* font : {&label_font_, &description_font_, &button_font_}) {
    if (*font != nullptr) ::DeleteObject(*font);
    *font = nullptr;
  }
  for (HICON& icon : lamp_icons_) {
    if (icon != nullptr) ::DestroyIcon(icon);
    icon = nullptr;
  }
}

int Form1::Pixels(int twips) const { return ::MulDiv(twips, dpi_, 1440); }

void Form1::CreateControls() {
  // Arial 9.75 pt, as the character height in pixels.
  const int height = -::MulDiv(975, dpi_, 7200);
  auto arial = [height](int weight) {
    return ::CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_SWISS, L"Arial");
  };
  label_font_ = arial(FW_BOLD);
  description_font_ = arial(FW_NORMAL);
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  button_font_ = ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)
                     ? ::CreateFontIndirectW(&metrics.lfMessageFont)
                     : nullptr;

  // Windows keeps child windows in one order for stacking and for Tab, so
  // they are made in tab order. Only the lamps of a port overlap, and each
  // port has one lamp window, so nothing else depends on the stacking.
  std::array<const layout::Control*, layout::kControls.size()> by_tab_index{};
  for (const layout::Control& control : layout::kControls) {
    by_tab_index.at(static_cast<std::size_t>(control.tab_index)) = &control;
  }
  for (const layout::Control* control : by_tab_index) {
    const bool button = control->font == layout::Font::kPlatformDefault;
    const DWORD style =
        WS_CHILD | WS_VISIBLE | (button ? WS_TABSTOP | BS_DEFPUSHBUTTON : SS_LEFT | SS_NOPREFIX);
    const HWND child =
        ::CreateWindowExW(0, button ? L"BUTTON" : L"STATIC", Wide(control->text).c_str(), style,
                          Pixels(control->rect.left), Pixels(control->rect.top),
                          Pixels(control->rect.width), Pixels(control->rect.height), window_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(control->name))),
                          instance_, nullptr);
    if (child == nullptr) Refused("CreateWindowExW for a control");
    const HFONT font = control->font == layout::Font::kPortLabel     ? label_font_
                       : control->font == layout::Font::kDescription ? description_font_
                                                                     : button_font_;
    if (font != nullptr) ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }

  for (LampKind kind : kStackingOrder) {
    lamp_icons_[static_cast<std::size_t>(kind)] =
        static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(LampIconId(kind)), IMAGE_ICON,
                                        pictures::kLampSize, pictures::kLampSize, LR_DEFAULTCOLOR));
    if (lamp_icons_[static_cast<std::size_t>(kind)] == nullptr) Refused("LoadImageW for a lamp");
  }
  for (int port = 1; port <= kPortCount; ++port) {
    const layout::TwipRect spot = layout::LampRect(port);
    lamp_windows_[static_cast<std::size_t>(port - 1)] = ::CreateWindowExW(
        0, kLampClass, LampText(port, std::nullopt).c_str(), WS_CHILD | WS_VISIBLE,
        Pixels(spot.left), Pixels(spot.top), Pixels(spot.width), Pixels(spot.height), window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(LampId(port))), instance_, nullptr);
    if (lamp_windows_[static_cast<std::size_t>(port - 1)] == nullptr) {
      Refused("CreateWindowExW for a lamp");
    }
  }
}

void Form1::Form_Load() {
  scan_.Form_Load();
  ShowLamps();
  ::SetFocus(::GetDlgItem(window_, IDOK));
}

void Form1::Command1_Click() {
  scan_.Command1_Click();
  ShowLamps();
}

void Form1::Timer1_Timer() {
  scan_.Timer1_Timer();
  ShowLamps();
}

void Form1::Fail(const std::string& what) noexcept {
  try {
    timer_switch_.SetEnabled(false);
    on_scan_failure(what);
  } catch (...) {
    ::PostQuitMessage(1);  // nothing is left to tell it with
  }
}

void Form1::ShowLamps() {
  for (int port = 1; port <= kPortCount; ++port) {
    const std::size_t i = static_cast<std::size_t>(port - 1);
    const std::optional<LampKind> seen = lamps_.SeenLamp(port);
    if (lamps_ever_shown_ && seen == lamps_shown_[i]) continue;
    lamps_shown_[i] = seen;
    ::SetWindowTextW(lamp_windows_[i], LampText(port, seen).c_str());
    ::InvalidateRect(lamp_windows_[i], nullptr, FALSE);
  }
  lamps_ever_shown_ = true;
}

void Form1::PaintLamp(HWND lamp, HDC dc) const {
  RECT rect;
  ::GetClientRect(lamp, &rect);
  const HDC memory = ::CreateCompatibleDC(dc);
  const HBITMAP bitmap = ::CreateCompatibleBitmap(dc, rect.right, rect.bottom);
  const HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::FillRect(memory, &rect, ::GetSysColorBrush(COLOR_BTNFACE));
  const int port = ::GetDlgCtrlID(lamp) - kFirstLampId;
  if (port >= 1 && port <= kPortCount) {
    if (const std::optional<LampKind> seen = lamps_shown_[static_cast<std::size_t>(port - 1)]) {
      // The 16 by 16 picture at its natural size, its mask letting the
      // background through.
      ::DrawIconEx(memory, 0, 0, lamp_icons_[static_cast<std::size_t>(*seen)], pictures::kLampSize,
                   pictures::kLampSize, 0, nullptr, DI_NORMAL);
    }
  }
  ::BitBlt(dc, 0, 0, rect.right, rect.bottom, memory, 0, 0, SRCCOPY);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
}

LRESULT CALLBACK Form1::LampProc(HWND lamp, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers it all
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      PAINTSTRUCT paint{};
      const HDC dc =
          message == WM_PAINT ? ::BeginPaint(lamp, &paint) : reinterpret_cast<HDC>(wparam);
      const auto* form =
          reinterpret_cast<const Form1*>(::GetWindowLongPtrW(::GetParent(lamp), GWLP_USERDATA));
      if (form != nullptr) form->PaintLamp(lamp, dc);
      if (message == WM_PAINT) ::EndPaint(lamp, &paint);
      return 0;
    }
    default:
      return ::DefWindowProcW(lamp, message, wparam, lparam);
  }
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr || form->window_ == nullptr) {
    return ::DefWindowProcW(window, message, wparam, lparam);
  }
  if (message == WM_NCDESTROY) {
    // Gone: the form must not destroy it again, nor hear of it any more.
    form->window_ = nullptr;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    return ::DefWindowProcW(window, message, wparam, lparam);
  }
  // Windows does not promise to carry a C++ exception back through its own
  // frames, so none leaves here.
  try {
    return form->Handle(message, wparam, lparam);
  } catch (const std::exception& e) {
    form->Fail(e.what());
  } catch (...) {
    form->Fail("an unknown error");
  }
  return 0;
}

LRESULT Form1::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      // Enter comes as IDOK from the dialog keyboard handling, a click or
      // Space as a click of the button, which is IDOK too.
      if (LOWORD(wparam) == IDOK) {
        Command1_Click();
        return 0;
      }
      break;
    case WM_TIMER:
      if (wparam == TimerSwitch32::kTimerId) Timer1_Timer();
      return 0;
    case WM_CTLCOLORSTATIC: {
      const HDC dc = reinterpret_cast<HDC>(wparam);
      const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lparam));
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      for (const layout::Control& control : layout::kControls) {
        if (ControlId(control.name) == id && control.text_colour) {
          const pictures::Rgb c = *control.text_colour;
          ::SetTextColor(dc, RGB(c.r, c.g, c.b));
        }
      }
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_ACTIVATE:
      // As a dialog does: the control that had the focus gets it back when
      // the window is switched to again, so Space still presses the button.
      if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = ::GetFocus();
        if (focus != nullptr && ::IsChild(window_, focus)) focus_ = focus;
      } else if (HIWORD(wparam) == 0) {  // not minimised
        ::SetFocus(focus_ != nullptr ? focus_ : ::GetDlgItem(window_, IDOK));
      }
      return 0;
    case WM_DESTROY:
      timer_switch_.SetEnabled(false);
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window_, message, wparam, lparam);
}

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

}  // namespace velkaro::win32
