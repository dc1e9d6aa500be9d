#include "main_window.h"

#include <commctrl.h>

#include <exception>
#include <stdexcept>
#include <tuple>

#include "dpi.h"
#include "paint.h"
#include "resources.h"
#include "texts.h"
#include "window_class.h"

namespace velkaro::win32 {
namespace {

constexpr wchar_t kWindowClass[] = L"VelkaroForm1";
constexpr wchar_t kLampClass[] = L"VelkaroLamp";
// No sizing, no min or max; the window never paints over its lamps.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;  // a plain frame
constexpr int kFirstControlId = 1000;
constexpr int kFirstLampId = 2000;

// A control's place in the layout table, or the table's size for none.
constexpr std::size_t IndexOf(std::string_view name) {
  std::size_t i = 0;
  while (i < layout::kControls.size() && layout::kControls[i].name != name) ++i;
  return i;
}
constexpr std::size_t kButton = IndexOf("Command1");
static_assert(kButton < layout::kControls.size());

}  // namespace

int ControlId(std::string_view name) {
  const std::size_t i = IndexOf(name);
  if (i == kButton) return IDOK;
  return i < layout::kControls.size() ? kFirstControlId + static_cast<int>(i) : 0;
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
        ::MessageBoxW(hwnd(), text.c_str(), Wide(layout::kTitle).c_str(), MB_OK | MB_ICONERROR);
        ::PostQuitMessage(1);
      }),
      instance_(instance),
      scan_(lamps_, comm, timer_switch_, [this] {
        // A form that ends waits for this call first. With no window, there
        // is nobody to tell (and a null window would post to this thread).
        // A post that fails leaves the result to the next tick.
        const std::lock_guard lock(post_mutex_);
        if (post_to_ != nullptr) post_message(post_to_, kProbeDoneMessage, 0, 0);
      }) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);

  // The window's icons are shared, kept by the class for as long as the
  // program runs; each window sets its own at the sizes of its DPI. A lamp
  // paints every pixel of itself, so it has no background to erase.
  auto icon = [instance](int size) {
    return static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(VELKARO_IDI_PROGRAM),
                                           IMAGE_ICON, size, size, LR_DEFAULTCOLOR | LR_SHARED));
  };
  Register(instance_, kWindowClass, CS_HREDRAW | CS_VREDRAW, WindowProc, icon(32), icon(16),
           COLOR_BTNFACE + 1);
  Register(instance_, kLampClass, 0, LampProc, nullptr, nullptr, 0);
  lamp_dc_.reset(::CreateCompatibleDC(nullptr));
  if (lamp_dc_ == nullptr) Refused("CreateCompatibleDC");

  // Twips convert with the screen's DPI, as a forms runtime does; the window
  // is laid out again for its own monitor's once it exists. It is this
  // form's from its first message on (see WindowProc).
  dpi_ = dpi::OfSystem();
  if (::CreateWindowExW(kExStyle, kWindowClass, Wide(layout::kTitle).c_str(), kStyle, CW_USEDEFAULT,
                        CW_USEDEFAULT, Pixels(layout::kClientWidth), Pixels(layout::kClientHeight),
                        nullptr, nullptr, instance_, this) == nullptr) {
    Refused("CreateWindowExW");
  }
  // The system menu offers Close only.
  const HMENU menu = ::GetSystemMenu(hwnd(), FALSE);
  for (UINT command : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    ::DeleteMenu(menu, command, MF_BYCOMMAND);
  }
  timer_switch_.Attach(hwnd());
  {
    const std::lock_guard lock(post_mutex_);
    post_to_ = hwnd();
  }
  CreateControls();
  LayOut(dpi::OfWindow(hwnd()), nullptr);
  Form_Load();
}

Form1::~Form1() {
  {
    const std::lock_guard lock(post_mutex_);
    post_to_ = nullptr;
  }
  window_.reset();
}

HWND Form1::PortLabel(int port) const {
  return controls_[static_cast<std::size_t>(&layout::PortLabel(port) - layout::kControls.data())];
}

int Form1::Pixels(int twips) const { return layout::TwipsToPixels(twips, dpi_); }

void Form1::CreateControls() {
  // Windows keeps child windows in one order for stacking and for Tab, so
  // they are made in tab order. Only the lamps of a port overlap, and each
  // port has one lamp window, so nothing else depends on the stacking.
  std::array<std::size_t, layout::kControls.size()> by_tab_index{};
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    by_tab_index.at(static_cast<std::size_t>(layout::kControls[i].tab_index)) = i;
  }
  for (const std::size_t i : by_tab_index) {
    const layout::Control& control = layout::kControls[i];
    const bool button = control.font == layout::Font::kPlatformDefault;
    // A port label tells the mouse of itself, for its tooltip.
    const DWORD style = WS_CHILD | WS_VISIBLE |
                        (button ? WS_TABSTOP | BS_DEFPUSHBUTTON : SS_LEFT | SS_NOPREFIX) |
                        (control.font == layout::Font::kPortLabel ? SS_NOTIFY : 0);
    // Placed and given their fonts by LayOut.
    controls_[i] = ::CreateWindowExW(
        0, button ? L"BUTTON" : L"STATIC", Wide(control.text).c_str(), style, 0, 0, 0, 0, hwnd(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(control.name))), instance_, nullptr);
    if (controls_[i] == nullptr) Refused("CreateWindowExW for a control");
  }
  for (int port = 1; port <= kPortCount; ++port) {
    HWND& lamp = lamp_windows_[static_cast<std::size_t>(port - 1)];
    lamp = ::CreateWindowExW(0, kLampClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd(),
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(LampId(port))), instance_,
                             nullptr);
    if (lamp == nullptr) Refused("CreateWindowExW for a lamp");
  }

  tooltip_ =
      ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                        WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, hwnd(), nullptr, instance_, nullptr);
  if (tooltip_ == nullptr) Refused("CreateWindowExW for the tooltips");
  for (int port = 1; port <= kPortCount; ++port) {
    for (const HWND tool : {lamp_windows_[static_cast<std::size_t>(port - 1)], PortLabel(port)}) {
      SetTip(tooltip_, hwnd(), tool, L"", true);
    }
  }
}

void Form1::LayOut(int dpi, const RECT* suggested) {
  dpi_ = dpi;
  auto place = [this](HWND child, const layout::TwipRect& r) {
    ::SetWindowPos(child, nullptr, Pixels(r.left), Pixels(r.top), Pixels(r.width), Pixels(r.height),
                   SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    place(controls_[i], layout::kControls[i].rect);
  }
  for (int port = 1; port <= kPortCount; ++port) {
    place(lamp_windows_[static_cast<std::size_t>(port - 1)], layout::LampRect(port));
  }
  // Findings are long lines; the tooltips wrap them at a readable width.
  ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Pixels(6000));
  SetIcons();
  TakeColours();

  // New fonts first: a control must never be left holding a deleted one.
  // The button's is the message font, or the system's where that is not to
  // be had; the labels' Arial 9.75 pt, as the character height in pixels.
  auto arial = [height = -::MulDiv(975, dpi_, 7200)](int weight) {
    return Font(::CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH | FF_SWISS, L"Arial"));
  };
  Fonts fonts = {
      dpi::FittingButtonFont(controls_[kButton], Wide(layout::kControls[kButton].text), dpi_),
      arial(FW_BOLD), arial(FW_NORMAL)};
  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    const Font& font = fonts[static_cast<std::size_t>(layout::kControls[i].font)];
    ::SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  }
  fonts_ = std::move(fonts);

  if (suggested != nullptr) {
    ::SetWindowPos(hwnd(), nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
  } else {
    SIZE frame{};
    dpi::FrameAround({Pixels(layout::kClientWidth), Pixels(layout::kClientHeight)}, kStyle,
                     kExStyle, dpi_, frame);
    ::SetWindowPos(hwnd(), nullptr, 0, 0, frame.cx, frame.cy,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ::RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Form1::SetIcons() {
  // The title bar, taskbar and Alt+Tab want the program's icon at the sizes
  // of this DPI, drawn for them rather than stretched from 16 and 32 pixels.
  for (const auto& [which, size, icon] :
       {std::tuple{ICON_SMALL, dpi::SmallIconSize(dpi_), &small_icon_},
        std::tuple{ICON_BIG, dpi::BigIconSize(dpi_), &big_icon_}}) {
    Icon fresh(static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(VELKARO_IDI_PROGRAM),
                                               IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    if (fresh == nullptr) continue;  // the class icon stays
    ::SendMessageW(hwnd(), WM_SETICON, static_cast<WPARAM>(which),
                   reinterpret_cast<LPARAM>(fresh.get()));
    *icon = std::move(fresh);  // and the one it took over from is destroyed
  }
}

void Form1::TakeColours() {
  label_colour_ = paint::PortLabelColour();
  std::optional<paint::LampPictures> drawn =
      paint::DrawLampPictures(instance_, Pixels(layout::kLampSize));
  if (!drawn) Refused("drawing the lamps' pictures");
  lamp_pictures_ = std::move(*drawn);
}

void Form1::FocusLastControl() {
  ::SetFocus(focus_ != nullptr && ::IsWindow(focus_) ? focus_ : controls_[kButton]);
}

void Form1::Form_Load() {
  scan_.Form_Load();
  ShowLamps();
  ::SetFocus(controls_[kButton]);
}

void Form1::Command1_Click() {
  scan_.Command1_Click();
  ShowLamps();
}

void Form1::Timer1_Timer() {
  scan_.Timer1_Timer();
  ShowLamps();
}

void Form1::ProbeDone() {
  scan_.ProbeDone();
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
      SetTip(tooltip_, hwnd(), lamp_windows_[i], summary, false);
      SetTip(tooltip_, hwnd(), PortLabel(port), summary, false);
    }
    if (seen == lamps_shown_[i]) continue;
    lamps_shown_[i] = seen;
    ::InvalidateRect(lamp_windows_[i], nullptr, FALSE);
  }
}

void Form1::PaintLamp(HWND lamp, HDC dc) const {
  RECT rect;
  ::GetClientRect(lamp, &rect);
  const int port = ::GetDlgCtrlID(lamp) - kFirstLampId;
  const std::optional<LampKind> seen = port >= 1 && port <= kPortCount
                                           ? lamps_shown_[static_cast<std::size_t>(port - 1)]
                                           : std::nullopt;
  if (!seen) {
    ::FillRect(dc, &rect, ::GetSysColorBrush(COLOR_BTNFACE));
    return;
  }
  const HGDIOBJ old =
      ::SelectObject(lamp_dc_.get(), lamp_pictures_[static_cast<std::size_t>(*seen)].get());
  ::BitBlt(dc, 0, 0, rect.right, rect.bottom, lamp_dc_.get(), 0, 0, SRCCOPY);
  ::SelectObject(lamp_dc_.get(), old);
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
    // From here the form owns the window: if it is never finished, the
    // form's end ends the window.
    auto* form =
        static_cast<Form1*>(reinterpret_cast<const CREATESTRUCTW*>(lparam)->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    form->window_.reset(window);
  }
  auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (form == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    // Gone: the form must not destroy it again, nor hear of it any more.
    static_cast<void>(form->window_.release());
    {
      const std::lock_guard lock(form->post_mutex_);
      form->post_to_ = nullptr;
    }
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
    case kProbeDoneMessage:
      ProbeDone();
      return 0;
    case WM_CTLCOLORSTATIC: {
      const HDC dc = reinterpret_cast<HDC>(wparam);
      const auto index = static_cast<std::size_t>(::GetDlgCtrlID(reinterpret_cast<HWND>(lparam)) -
                                                  kFirstControlId);
      const bool port_label =
          index < layout::kControls.size() && layout::kControls[index].text_colour.has_value();
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(dc, port_label ? label_colour_ : ::GetSysColor(COLOR_BTNTEXT));
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
      return dpi::FrameAround({layout::TwipsToPixels(layout::kClientWidth, dpi),
                               layout::TwipsToPixels(layout::kClientHeight, dpi)},
                              kStyle, kExStyle, dpi, *reinterpret_cast<SIZE*>(lparam));
    }
    case WM_SETTINGCHANGE:
      // Only the message font concerns the layout; high contrast comes as
      // WM_SYSCOLORCHANGE. The environment, locale, work area and wallpaper
      // leave the window as it is.
      if (wparam == SPI_SETNONCLIENTMETRICS) LayOut(dpi_, nullptr);
      return 0;
    case WM_SETFOCUS:
      // As a dialog does: the focus never stays on the frame itself.
      FocusLastControl();
      return 0;
    case WM_SYSCOLORCHANGE:
      // The common controls follow the new colours only when told.
      for (HWND child = ::GetWindow(hwnd(), GW_CHILD); child != nullptr;
           child = ::GetWindow(child, GW_HWNDNEXT)) {
        ::SendMessageW(child, WM_SYSCOLORCHANGE, wparam, lparam);
      }
      TakeColours();
      ::RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return 0;
    case WM_ACTIVATE:
      // As a dialog does: the control that had the focus gets it back when
      // the window is switched to again, so Space still presses the button.
      if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = ::GetFocus();
        if (focus != nullptr && ::IsChild(hwnd(), focus)) focus_ = focus;
      } else if (HIWORD(wparam) == 0) {  // not minimised
        FocusLastControl();
      }
      return 0;
    case WM_ENDSESSION:
      // The session ends, and the program with it once this returns: a
      // probe that holds its port puts it back first.
      if (wparam != FALSE) scan_.End();
      return 0;
    case WM_DESTROY:
      timer_switch_.SetEnabled(false);
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd(), message, wparam, lparam);
}

}  // namespace velkaro::win32
