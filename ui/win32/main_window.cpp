#include "main_window.h"

#include <commctrl.h>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <tuple>
#include <type_traits>

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
// port's name, the lamp's state and what was found of the port share it.
std::wstring LampText(int port, std::optional<LampKind> seen, const std::wstring& summary) {
  std::wstring text = L"COM: " + std::to_wstring(port);
  if (seen) text += L", " + Wide(layout::LampDescription(*seen));
  return text + L"; " + summary;
}

// Sets or adds the tooltip of one control of the window.
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

pictures::Rgb ToRgb(COLORREF c) { return {GetRValue(c), GetGValue(c), GetBValue(c)}; }

bool HighContrast() {
  HIGHCONTRASTW high_contrast{};
  high_contrast.cbSize = sizeof high_contrast;
  return ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof high_contrast, &high_contrast, 0) &&
         (high_contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

// Windows 10's per-monitor DPI calls, looked up at run time so that the
// program still starts on Windows versions without them.
struct PerMonitorDpi {
  UINT(WINAPI* for_window)(HWND) = nullptr;
  BOOL(WINAPI* adjust_window_rect)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* system_parameters)(UINT, UINT, void*, UINT, UINT) = nullptr;
  int(WINAPI* system_metrics)(int, UINT) = nullptr;
};

const PerMonitorDpi& PerMonitor() {
  static const PerMonitorDpi calls = [] {
    PerMonitorDpi found;
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    auto look_up = [user32](auto& call, const char* name) {
      call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(
          reinterpret_cast<void*>(::GetProcAddress(user32, name)));
    };
    look_up(found.for_window, "GetDpiForWindow");
    look_up(found.adjust_window_rect, "AdjustWindowRectExForDpi");
    look_up(found.system_parameters, "SystemParametersInfoForDpi");
    look_up(found.system_metrics, "GetSystemMetricsForDpi");
    return found;
  }();
  return calls;
}

int SystemDpi() {
  const HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

// The desktop's message font, the one dialogs use, at the given DPI.
bool MessageFont(int dpi, LOGFONTW& font) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (PerMonitor().system_parameters != nullptr) {
    if (!PerMonitor().system_parameters(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                        static_cast<UINT>(dpi))) {
      return false;
    }
  } else {
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
      return false;
    }
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, dpi, SystemDpi());
  }
  font = metrics.lfMessageFont;
  return true;
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
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
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

  // Twips convert with the screen's DPI, as a forms runtime does; the window
  // is laid out again for its own monitor's once it exists.
  dpi_ = SystemDpi();
  window_ = ::CreateWindowExW(kExStyle, kWindowClass, Wide(layout::kTitle).c_str(), kStyle,
                              CW_USEDEFAULT, CW_USEDEFAULT, Pixels(layout::kClientWidth),
                              Pixels(layout::kClientHeight), nullptr, nullptr, instance_, this);
  if (window_ == nullptr) Refused("CreateWindowExW");
  // The system menu offers Close only.
  const HMENU menu = ::GetSystemMenu(window_, FALSE);
  for (UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    ::DeleteMenu(menu, command, MF_BYCOMMAND);
  }
  timer_switch_.Attach(window_);
  try {
    CreateControls();
    LayOut(PerMonitor().for_window != nullptr ? static_cast<int>(PerMonitor().for_window(window_))
                                              : dpi_,
           nullptr);
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
    ::DestroyWindow(window_);  // and the tooltip it owns
    window_ = nullptr;
    tooltip_ = nullptr;
  }
  for (HFONT* font : {&label_font_, &description_font_, &button_font_}) {
    if (*font != nullptr) ::DeleteObject(*font);
    *font = nullptr;
  }
  for (HICON& icon : lamp_icons_) {
    if (icon != nullptr) ::DestroyIcon(icon);
    icon = nullptr;
  }
  for (HICON* icon : {&small_icon_, &big_icon_}) {
    if (*icon != nullptr) ::DestroyIcon(*icon);
    *icon = nullptr;
  }
}

int Form1::Pixels(int twips) const { return layout::TwipsToPixels(twips, dpi_); }

void Form1::CreateControls() {
  // Windows keeps child windows in one order for stacking and for Tab, so
  // they are made in tab order. Only the lamps of a port overlap, and each
  // port has one lamp window, so nothing else depends on the stacking.
  std::array<const layout::Control*, layout::kControls.size()> by_tab_index{};
  for (const layout::Control& control : layout::kControls) {
    by_tab_index.at(static_cast<std::size_t>(control.tab_index)) = &control;
  }
  for (const layout::Control* control : by_tab_index) {
    const bool button = control->font == layout::Font::kPlatformDefault;
    // A port label tells the mouse of itself, for its tooltip.
    const DWORD style = WS_CHILD | WS_VISIBLE |
                        (button ? WS_TABSTOP | BS_DEFPUSHBUTTON : SS_LEFT | SS_NOPREFIX) |
                        (control->font == layout::Font::kPortLabel ? SS_NOTIFY : 0);
    // Placed and given their fonts by LayOut.
    const HWND child = ::CreateWindowExW(
        0, button ? L"BUTTON" : L"STATIC", Wide(control->text).c_str(), style, 0, 0, 0, 0, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(control->name))), instance_,
        nullptr);
    if (child == nullptr) Refused("CreateWindowExW for a control");
  }

  for (LampKind kind : kStackingOrder) {
    lamp_icons_[static_cast<std::size_t>(kind)] =
        static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(LampIconId(kind)), IMAGE_ICON,
                                        pictures::kLampSize, pictures::kLampSize, LR_DEFAULTCOLOR));
    if (lamp_icons_[static_cast<std::size_t>(kind)] == nullptr) Refused("LoadImageW for a lamp");
  }
  for (int port = 1; port <= kPortCount; ++port) {
    lamp_windows_[static_cast<std::size_t>(port - 1)] = ::CreateWindowExW(
        0, kLampClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(LampId(port))), instance_, nullptr);
    if (lamp_windows_[static_cast<std::size_t>(port - 1)] == nullptr) {
      Refused("CreateWindowExW for a lamp");
    }
  }

  tooltip_ =
      ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
  if (tooltip_ == nullptr) Refused("CreateWindowExW for the tooltips");
  for (int port = 1; port <= kPortCount; ++port) {
    for (const HWND tool : {lamp_windows_[static_cast<std::size_t>(port - 1)],
                            ::GetDlgItem(window_, ControlId(layout::PortLabel(port).name))}) {
      SetTip(tooltip_, window_, tool, L"", true);
    }
  }
}

void Form1::LayOut(int dpi, const RECT* suggested) {
  dpi_ = dpi;
  auto place = [this](HWND child, const layout::TwipRect& r) {
    ::SetWindowPos(child, nullptr, Pixels(r.left), Pixels(r.top), Pixels(r.width), Pixels(r.height),
                   SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (const layout::Control& control : layout::kControls) {
    place(::GetDlgItem(window_, ControlId(control.name)), control.rect);
  }
  for (int port = 1; port <= kPortCount; ++port) {
    place(lamp_windows_[static_cast<std::size_t>(port - 1)], layout::LampRect(port));
  }
  // Findings are long lines; the tooltips wrap them at a readable width.
  ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Pixels(6000));
  SetIcons();

  // New fonts first: a control must never be left holding a deleted one.
  // Arial 9.75 pt, as the character height in pixels.
  const int height = -::MulDiv(975, dpi_, 7200);
  auto arial = [height](int weight) {
    return ::CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                         DEFAULT_PITCH | FF_SWISS, L"Arial");
  };
  const std::array<HFONT, 3> old = {label_font_, description_font_, button_font_};
  label_font_ = arial(FW_BOLD);
  description_font_ = arial(FW_NORMAL);
  button_font_ = FittingButtonFont();
  for (const layout::Control& control : layout::kControls) {
    const HFONT font = control.font == layout::Font::kPortLabel     ? label_font_
                       : control.font == layout::Font::kDescription ? description_font_
                                                                    : button_font_;
    ::SendMessageW(::GetDlgItem(window_, ControlId(control.name)), WM_SETFONT,
                   reinterpret_cast<WPARAM>(font), FALSE);
  }
  for (HFONT font : old) {
    if (font != nullptr) ::DeleteObject(font);
  }

  if (suggested != nullptr) {
    ::SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    RECT frame{0, 0, Pixels(layout::kClientWidth), Pixels(layout::kClientHeight)};
    if (PerMonitor().adjust_window_rect != nullptr) {
      PerMonitor().adjust_window_rect(&frame, kStyle, FALSE, kExStyle, static_cast<UINT>(dpi_));
    } else {
      ::AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
    }
    ::SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Form1::SetIcons() {
  // The title bar, taskbar and Alt+Tab want the program's icon at the sizes
  // of this DPI, drawn for them rather than stretched from 16 and 32 pixels.
  const auto size = [this](int metric) {
    return PerMonitor().system_metrics != nullptr
               ? PerMonitor().system_metrics(metric, static_cast<UINT>(dpi_))
               : ::GetSystemMetrics(metric);
  };
  for (const auto& [which, metric, icon] : {std::tuple{ICON_SMALL, SM_CXSMICON, &small_icon_},
                                            std::tuple{ICON_BIG, SM_CXICON, &big_icon_}}) {
    const HICON fresh =
        static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(VELKARO_IDI_PROGRAM),
                                        IMAGE_ICON, size(metric), size(metric), LR_DEFAULTCOLOR));
    if (fresh == nullptr) continue;  // the class icon stays
    ::SendMessageW(window_, WM_SETICON, static_cast<WPARAM>(which),
                   reinterpret_cast<LPARAM>(fresh));
    if (*icon != nullptr) ::DestroyIcon(*icon);
    *icon = fresh;
  }
}

HFONT Form1::FittingButtonFont() const {
  LOGFONTW font{};
  if (!MessageFont(dpi_, font)) return nullptr;  // the button keeps the system font
  const HWND button = ::GetDlgItem(window_, IDOK);
  RECT client;
  ::GetClientRect(button, &client);
  // The room inside the button's edges, with the margin a dialog's button
  // leaves around its caption.
  const int edge = PerMonitor().system_metrics != nullptr
                       ? PerMonitor().system_metrics(SM_CXEDGE, static_cast<UINT>(dpi_))
                       : ::GetSystemMetrics(SM_CXEDGE);
  const int width = client.right - 2 * (edge + ::MulDiv(3, dpi_, 96));
  const int height = client.bottom - 2 * edge;
  const std::wstring caption = Wide(layout::kControls[0].text);
  const int sign = font.lfHeight < 0 ? -1 : 1;
  const HDC dc = ::GetDC(button);
  auto fits = [&](int size) {
    LOGFONTW trial = font;
    trial.lfHeight = sign * size;
    const HFONT measured = ::CreateFontIndirectW(&trial);
    const HGDIOBJ before = ::SelectObject(dc, measured);
    SIZE extent{};
    TEXTMETRICW metrics{};
    const bool fit =
        ::GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &extent) &&
        ::GetTextMetricsW(dc, &metrics) && extent.cx <= width && metrics.tmHeight <= height;
    ::SelectObject(dc, before);
    ::DeleteObject(measured);
    return fit;
  };
  if (font.lfHeight != 0) {
    font.lfHeight = sign * layout::LargestFittingSize(std::abs(font.lfHeight), 1, fits);
  }
  ::ReleaseDC(button, dc);
  return ::CreateFontIndirectW(&font);
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
    const std::wstring summary = Wide(scan_.Summary(static_cast<std::int16_t>(port)));
    const std::wstring text = LampText(port, seen, summary);
    if (text != texts_shown_[i]) {
      texts_shown_[i] = text;
      ::SetWindowTextW(lamp_windows_[i], text.c_str());
      SetTip(tooltip_, window_, lamp_windows_[i], summary, false);
      SetTip(tooltip_, window_, ::GetDlgItem(window_, ControlId(layout::PortLabel(port).name)),
             summary, false);
    }
    if (seen == lamps_shown_[i]) continue;
    lamps_shown_[i] = seen;
    ::InvalidateRect(lamp_windows_[i], nullptr, FALSE);
  }
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
      // The 16 by 16 picture, its mask letting the background through, then
      // each of its pixels repeated to a whole square of screen pixels.
      const layout::LampPlacement place = layout::PlaceLamp(rect.right);
      const int size = pictures::kLampSize;
      const HDC picture = ::CreateCompatibleDC(dc);
      const HBITMAP picture_bitmap = ::CreateCompatibleBitmap(dc, size, size);
      const HGDIOBJ picture_old = ::SelectObject(picture, picture_bitmap);
      const RECT square{0, 0, size, size};
      ::FillRect(picture, &square, ::GetSysColorBrush(COLOR_BTNFACE));
      ::DrawIconEx(picture, 0, 0, lamp_icons_[static_cast<std::size_t>(*seen)], size, size, 0,
                   nullptr, DI_NORMAL);
      ::SetStretchBltMode(memory, COLORONCOLOR);
      ::StretchBlt(memory, place.offset, place.offset, size * place.scale, size * place.scale,
                   picture, 0, 0, size, size, SRCCOPY);
      ::SelectObject(picture, picture_old);
      ::DeleteObject(picture_bitmap);
      ::DeleteDC(picture);
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
      const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
      const COLORREF text = ::GetSysColor(COLOR_BTNTEXT);
      ::SetBkColor(dc, face);
      ::SetTextColor(dc, text);
      for (const layout::Control& control : layout::kControls) {
        if (ControlId(control.name) == id && control.text_colour) {
          const pictures::Rgb c = layout::PortLabelColour(ToRgb(face), ToRgb(text), HighContrast());
          ::SetTextColor(dc, RGB(c.r, c.g, c.b));
        }
      }
      return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED:
      // Moved to a monitor of another scale: everything is laid out, and
      // every font made, for it, in the rectangle Windows suggests.
      LayOut(HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));
      return 0;
    case WM_GETDPISCALEDSIZE: {
      // The frame around the table's client area at the new DPI, so that no
      // rounding of the old size drifts the client area from the table.
      const int dpi = static_cast<int>(wparam);
      RECT frame{0, 0, layout::TwipsToPixels(layout::kClientWidth, dpi),
                 layout::TwipsToPixels(layout::kClientHeight, dpi)};
      if (PerMonitor().adjust_window_rect == nullptr ||
          !PerMonitor().adjust_window_rect(&frame, kStyle, FALSE, kExStyle,
                                           static_cast<UINT>(dpi))) {
        return FALSE;
      }
      auto* size = reinterpret_cast<SIZE*>(lparam);
      size->cx = frame.right - frame.left;
      size->cy = frame.bottom - frame.top;
      return TRUE;
    }
    case WM_SETTINGCHANGE:
      // Only the message font concerns the layout; high contrast comes as
      // WM_SYSCOLORCHANGE. The environment, locale, work area and wallpaper
      // leave the window as it is.
      if (wparam == SPI_SETNONCLIENTMETRICS) LayOut(dpi_, nullptr);
      return 0;
    case WM_SETFOCUS:
      // As a dialog does: the focus never stays on the frame itself.
      ::SetFocus(focus_ != nullptr && ::IsWindow(focus_) ? focus_ : ::GetDlgItem(window_, IDOK));
      return 0;
    case WM_SYSCOLORCHANGE:
      // The common controls follow the new colours only when told.
      for (HWND child = ::GetWindow(window_, GW_CHILD); child != nullptr;
           child = ::GetWindow(child, GW_HWNDNEXT)) {
        ::SendMessageW(child, WM_SYSCOLORCHANGE, wparam, lparam);
      }
      ::RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return 0;
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
