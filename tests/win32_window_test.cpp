// The Win32 window, run in-process under Wine on an X server of its own.
#include "main_window.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_port.h"
#include "lamp_pixels.h"
#include "layout.h"

// --- What the program makes of Windows's objects, counted -------------------
// The test program is linked with these calls wrapped (tests/CMakeLists.txt),
// so that every font, bitmap, device context and icon made in it is counted
// here until it is ended. Wine's GetGuiResources counts nothing.
namespace {

std::multiset<const void*> alive;

template <typename Call>
struct Counting;
template <typename R, typename... A>
struct Counting<R(WINAPI*)(A...)> {
  template <R(WINAPI** real)(A...)>
  static R WINAPI Make(A... a) {
    const R made = (*real)(a...);
    if (made != nullptr) alive.insert(made);
    return made;
  }
  // Ends the object that is argument `index` of the call.
  template <R(WINAPI** real)(A...), std::size_t index>
  static R WINAPI End(A... a) {
    const void* object = std::get<index>(std::tuple{a...});
    const R ended = (*real)(a...);
    if (const auto it = alive.find(object); ended && it != alive.end()) alive.erase(it);
    return ended;
  }
};

}  // namespace

#define VELKARO_COUNTED(call, ...)                                                  \
  extern "C" {                                                                      \
  extern decltype(&::call) __real___imp_##call;                                     \
  decltype(&::call) __wrap___imp_##call = Counting<decltype(&::call)>::__VA_ARGS__; \
  }
VELKARO_COUNTED(CreateFontW, Make<&__real___imp_CreateFontW>)
VELKARO_COUNTED(CreateFontIndirectW, Make<&__real___imp_CreateFontIndirectW>)
VELKARO_COUNTED(CreateCompatibleBitmap, Make<&__real___imp_CreateCompatibleBitmap>)
VELKARO_COUNTED(CreateCompatibleDC, Make<&__real___imp_CreateCompatibleDC>)
VELKARO_COUNTED(GetDC, Make<&__real___imp_GetDC>)
VELKARO_COUNTED(DeleteDC, End<&__real___imp_DeleteDC, 0>)
VELKARO_COUNTED(ReleaseDC, End<&__real___imp_ReleaseDC, 1>)
VELKARO_COUNTED(DestroyIcon, End<&__real___imp_DestroyIcon, 0>)

// Windows refuses to delete an object still selected into a device context,
// and it lives on; Wine says it deleted it. Counted as Windows has it.
extern "C" {
extern decltype(&::DeleteObject) __real___imp_DeleteObject;
}
static BOOL WINAPI CountedDeleteObject(HGDIOBJ object) {
  bool selected = false;
  for (const void* made : alive) {
    const HDC dc = static_cast<HDC>(const_cast<void*>(made));
    if (::GetObjectType(dc) != OBJ_MEMDC && ::GetObjectType(dc) != OBJ_DC) continue;
    for (UINT kind : {OBJ_BITMAP, OBJ_FONT, OBJ_BRUSH, OBJ_PEN}) {
      selected = selected || ::GetCurrentObject(dc, kind) == object;
    }
  }
  const BOOL ended = __real___imp_DeleteObject(object);
  if (const auto it = alive.find(object); ended && !selected && it != alive.end()) alive.erase(it);
  return ended;
}
extern "C" {
decltype(&::DeleteObject) __wrap___imp_DeleteObject = CountedDeleteObject;
}

// Shared icons are never ended, by anyone: only the others count.
extern "C" {
extern decltype(&::LoadImageW) __real___imp_LoadImageW;
}
static HANDLE WINAPI CountedLoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy,
                                       UINT flags) {
  const HANDLE image = __real___imp_LoadImageW(instance, name, type, cx, cy, flags);
  if (image != nullptr && (flags & LR_SHARED) == 0) alive.insert(image);
  return image;
}
extern "C" {
decltype(&::LoadImageW) __wrap___imp_LoadImageW = CountedLoadImageW;
}

namespace velkaro::win32 {
namespace {

using testing_support::LampOf;

enum class Ticks { kStepped, kRun };

// Handles what is waiting for the window, for about the given time. Ticks of
// the scan's timer are dropped unless the test lets the timer run, so that a
// slow machine adds none to the ones a test steps by hand.
void Pump(DWORD milliseconds = 0, Ticks ticks = Ticks::kStepped) {
  const DWORD until = ::GetTickCount() + milliseconds;
  do {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_TIMER && ticks == Ticks::kStepped) continue;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (milliseconds > 0) ::Sleep(10);
  } while (static_cast<LONG>(until - ::GetTickCount()) > 0);
}

// Handles what comes for the window until `done` holds; false if it never
// does within 10 s.
template <typename Done>
bool PumpUntil(Done done) {
  const DWORD until = ::GetTickCount() + 10000;
  while (!done()) {
    if (static_cast<LONG>(until - ::GetTickCount()) <= 0) return false;
    Pump();
    ::Sleep(1);
  }
  return true;
}

// A tick stepped by hand, and the probe it started brought back.
void Tick(Form1& form) {
  form.Timer1_Timer();
  ASSERT_TRUE(PumpUntil([&form] { return !form.scan().probe_out(); }));
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = {};
  ::GetWindowTextW(window, text, 256);
  return text;
}

// Counts the paints and erases each lamp window is sent, through a window
// procedure put in front of its own.
class LampSpy {
 public:
  explicit LampSpy(HWND form) {
    for (int port = 1; port <= kPortCount; ++port) {
      const std::size_t i = static_cast<std::size_t>(port - 1);
      lamps_[i] = ::GetDlgItem(form, LampId(port));
      procs_[i] = reinterpret_cast<WNDPROC>(
          ::SetWindowLongPtrW(lamps_[i], GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Spy)));
    }
  }
  ~LampSpy() {
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
      ::SetWindowLongPtrW(lamps_[i], GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procs_[i]));
    }
  }
  void Clear() { paints.fill(0), erases.fill(0); }

  static inline std::array<int, kPortCount> paints{}, erases{};

 private:
  static LRESULT CALLBACK Spy(HWND lamp, UINT message, WPARAM wparam, LPARAM lparam) {
    for (std::size_t i = 0; i < lamps_.size(); ++i) {
      if (lamps_[i] != lamp) continue;
      if (message == WM_PAINT) ++paints[i];
      if (message == WM_ERASEBKGND) ++erases[i];
      return ::CallWindowProcW(procs_[i], lamp, message, wparam, lparam);
    }
    return ::DefWindowProcW(lamp, message, wparam, lparam);
  }
  static inline std::array<HWND, kPortCount> lamps_{};
  static inline std::array<WNDPROC, kPortCount> procs_{};
};

class Win32WindowTest : public testing::Test {
 protected:
  Win32WindowTest() {
    testing_support::ScriptTheScan(comm);
    form.on_scan_failure = [this](const std::string& what) { failures.push_back(what); };
    ::ShowWindow(form.hwnd(), SW_SHOW);
    ::SetForegroundWindow(form.hwnd());
    ::UpdateWindow(form.hwnd());
    Pump(200);
  }

  // A key pressed and let go, handled as the program's message loop does.
  void Key(UINT vk) {
    for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
      MSG msg{::GetFocus(), message, vk, 0, 0, {}};
      if (!::IsDialogMessageW(form.hwnd(), &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
    Pump();
  }

  // The text colour a label of the window paints with, and its background.
  std::pair<pictures::Rgb, pictures::Rgb> LabelColours(std::string_view name) {
    const HWND label = Control(name);
    const HDC dc = ::GetDC(label);
    ::SendMessageW(form.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(label));
    const COLORREF text = ::GetTextColor(dc), background = ::GetBkColor(dc);
    ::ReleaseDC(label, dc);
    return {ToRgb(text), ToRgb(background)};
  }

  static pictures::Rgb ToRgb(COLORREF c) { return {GetRValue(c), GetGValue(c), GetBValue(c)}; }

  static HFONT FontHandle(HWND control) {
    return reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
  }
  static LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    ::GetObjectW(FontHandle(control), sizeof font, &font);
    return font;
  }

  // Checks every control and lamp window against the layout table at a
  // DPI, and the Arial labels' character height for it.
  void ExpectLaidOut(int dpi) {
    auto expect_placed = [&](HWND child, const layout::TwipRect& twips) {
      RECT rect;
      ::GetWindowRect(child, &rect);
      ::MapWindowPoints(nullptr, form.hwnd(), reinterpret_cast<POINT*>(&rect), 2);
      const layout::PixelRect want = layout::ToPixels(twips, dpi);
      EXPECT_EQ(rect.left, want.left);
      EXPECT_EQ(rect.top, want.top);
      EXPECT_EQ(rect.right - rect.left, want.width);
      EXPECT_EQ(rect.bottom - rect.top, want.height);
    };
    for (const layout::Control& control : layout::kControls) {
      SCOPED_TRACE(std::string(control.name));
      expect_placed(Control(control.name), control.rect);
      if (control.font != layout::Font::kPlatformDefault) {
        EXPECT_EQ(FontOf(Control(control.name)).lfHeight, -::MulDiv(975, dpi, 7200));
      }
    }
    for (int port = 1; port <= kPortCount; ++port) {
      SCOPED_TRACE("lamp " + std::to_string(port));
      expect_placed(::GetDlgItem(form.hwnd(), LampId(port)), layout::LampRect(port));
    }
  }

  // How wide the button's caption is in the button's font.
  int CaptionWidth() {
    const HWND button = Control("Command1");
    const HDC dc = ::GetDC(button);
    const HGDIOBJ before = ::SelectObject(dc, FontHandle(button));
    SIZE caption{};
    ::GetTextExtentPoint32W(dc, L"TEST PORTS", 10, &caption);
    ::SelectObject(dc, before);
    ::ReleaseDC(button, dc);
    return caption.cx;
  }

  HWND Control(std::string_view name) {
    const HWND control = ::GetDlgItem(form.hwnd(), ControlId(name));
    if (control == nullptr) ADD_FAILURE() << "no control " << name;
    return control;
  }

  // What the window shows now, painted as it paints itself, read back from
  // its client area.
  std::vector<COLORREF> Shot() {
    ::UpdateWindow(form.hwnd());
    Pump();
    RECT client;
    ::GetClientRect(form.hwnd(), &client);
    const HDC window_dc = ::GetDC(form.hwnd());
    const HDC memory = ::CreateCompatibleDC(window_dc);
    const HBITMAP bitmap = ::CreateCompatibleBitmap(window_dc, client.right, client.bottom);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, client.right, client.bottom, window_dc, 0, 0, SRCCOPY);
    std::vector<COLORREF> pixels(static_cast<std::size_t>(client.right * client.bottom));
    for (int y = 0; y < client.bottom; ++y) {
      for (int x = 0; x < client.right; ++x) {
        pixels[static_cast<std::size_t>(y * client.right + x)] = ::GetPixel(memory, x, y);
      }
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(form.hwnd(), window_dc);
    width_ = client.right;
    return pixels;
  }

  // The screen's DPI of the session, which the window starts at: 96 is 100 %.
  static int SystemDpi() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi;
  }

  // The window's icons are drawn at the sizes the DPI asks for.
  void ExpectIconsFor(int dpi) {
    for (const auto& [which, metric] :
         {std::pair{ICON_SMALL, SM_CXSMICON}, std::pair{ICON_BIG, SM_CXICON}}) {
      ICONINFO info{};
      ASSERT_TRUE(::GetIconInfo(
          reinterpret_cast<HICON>(::SendMessageW(form.hwnd(), WM_GETICON, which, 0)), &info));
      BITMAP colour{};
      ::GetObjectW(info.hbmColor, sizeof colour, &colour);
      ::DeleteObject(info.hbmColor);
      ::DeleteObject(info.hbmMask);
      EXPECT_EQ(colour.bmWidth, ::GetSystemMetricsForDpi(metric, static_cast<UINT>(dpi)));
    }
  }

  void ExpectLampsShown(std::string_view seen, int dpi = SystemDpi()) {
    const std::vector<COLORREF> shot = Shot();
    const pictures::Rgb background = ToRgb(::GetSysColor(COLOR_BTNFACE));
    auto pixel_at = [&](int x, int y) {
      return ToRgb(shot[static_cast<std::size_t>(y * width_ + x)]);
    };
    for (int port = 1; port <= kPortCount; ++port) {
      const char c = seen[static_cast<std::size_t>(port - 1)];
      EXPECT_EQ(testing_support::WrongLampPixels(pixel_at, port, LampOf(c), background, dpi), 0)
          << "port " << port << " does not show lamp '" << c << "' in " << seen;
      // One window per port carries the lamp, named for assistive technology.
      const HWND lamp = ::GetDlgItem(form.hwnd(), LampId(port));
      const std::string text = "COM: " + std::to_string(port) + ", " +
                               std::string(layout::LampDescription(*LampOf(c))) + "; " +
                               form.scan().Summary(static_cast<std::int16_t>(port));
      EXPECT_EQ(TextOf(lamp), std::wstring(text.begin(), text.end()));
      EXPECT_TRUE(::IsWindowVisible(lamp));
    }
  }

  FakeSerialPort comm;
  Form1 form{::GetModuleHandleW(nullptr), comm};
  std::vector<std::string> failures;
  int width_ = 0;
};

TEST_F(Win32WindowTest, TheWindowIsFixedAndEveryControlSitsWhereTheLayoutTableSays) {
  RECT client;
  ::GetClientRect(form.hwnd(), &client);
  const int dpi = SystemDpi();  // 259 by 169 at 96
  EXPECT_EQ(client.right, layout::TwipsToPixels(layout::kClientWidth, dpi));
  EXPECT_EQ(client.bottom, layout::TwipsToPixels(layout::kClientHeight, dpi));
  EXPECT_EQ(TextOf(form.hwnd()), L"Velkaro");
  const LONG_PTR style = ::GetWindowLongPtrW(form.hwnd(), GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  const HMENU menu = ::GetSystemMenu(form.hwnd(), FALSE);
  for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    EXPECT_EQ(::GetMenuState(menu, command, MF_BYCOMMAND), static_cast<UINT>(-1)) << command;
  }
  EXPECT_NE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));

  ExpectLaidOut(dpi);
  ExpectIconsFor(dpi);
  for (const layout::Control& control : layout::kControls) {
    SCOPED_TRACE(std::string(control.name));
    const HWND child = Control(control.name);
    const std::string text(control.text);
    EXPECT_EQ(TextOf(child), std::wstring(text.begin(), text.end()));
    if (control.font == layout::Font::kPlatformDefault) {
      EXPECT_TRUE(::GetWindowLongPtrW(child, GWL_STYLE) & BS_DEFPUSHBUTTON);
      continue;
    }
    const LOGFONTW font = FontOf(child);
    EXPECT_STREQ(font.lfFaceName, L"Arial");
    EXPECT_EQ(font.lfWeight, control.font == layout::Font::kPortLabel ? FW_BOLD : FW_NORMAL);
    if (control.text_colour) {
      EXPECT_EQ(LabelColours(control.name).first, (pictures::Rgb{64, 0, 64}));
    }
  }
}

TEST_F(Win32WindowTest, TheButtonHoldsTheFocusAndTheKeyboardPressesIt) {
  const HWND button = Control("Command1");
  EXPECT_EQ(::GetFocus(), button);
  // Children come in tab order, which is also the order Tab walks.
  std::vector<std::string> order;
  for (HWND child = ::GetWindow(form.hwnd(), GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    for (const layout::Control& control : layout::kControls) {
      if (::GetDlgCtrlID(child) == ControlId(control.name)) order.emplace_back(control.name);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Command1", "Label1", "Label2", "Label3", "Label4",
                                             "Label5", "Label6", "Label7"}));
  // The focus put on the bare window goes on to the button, as in a dialog;
  // Tab lands on the button, the one tab stop, and goes nowhere else.
  ::SetFocus(form.hwnd());
  EXPECT_EQ(::GetFocus(), button);
  Key(VK_TAB);
  EXPECT_EQ(::GetFocus(), button);
  Key(VK_TAB);
  EXPECT_EQ(::GetFocus(), button) << "nothing else takes the focus";
  // Switched away from and back to, the window gives the button its focus
  // back, so Space still presses it.
  const HWND other = ::CreateWindowExW(0, L"STATIC", L"Another program", WS_POPUP | WS_VISIBLE, 0,
                                       0, 60, 20, nullptr, nullptr, nullptr, nullptr);
  ::SetActiveWindow(other);
  Pump();
  EXPECT_NE(::GetActiveWindow(), form.hwnd());
  ::SetActiveWindow(form.hwnd());
  Pump();
  EXPECT_EQ(::GetFocus(), button);
  ::DestroyWindow(other);
  // Windows moves the focus to the frame on activation, and Wine sets it
  // there itself: each way it goes on to the button, and the button is
  // where Tab stops.
  // Activation gives the focus to the button alone, never to the frame on
  // its way (as DefWindowProc would), which the frame's own handling would
  // hide: the frame's messages are counted through a subclass.
  static int frame_focused = 0;
  static WNDPROC form_proc = nullptr;
  form_proc = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
      form.hwnd(), GWLP_WNDPROC,
      reinterpret_cast<LONG_PTR>(+[](HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_SETFOCUS) ++frame_focused;
        return ::CallWindowProcW(form_proc, window, message, wparam, lparam);
      })));
  ::SetFocus(nullptr);
  frame_focused = 0;
  ::SendMessageW(form.hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(::GetFocus(), button) << "activation left the focus nowhere";
  EXPECT_EQ(frame_focused, 0) << "activation passed the focus through the frame";
  ::SetWindowLongPtrW(form.hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(form_proc));
  ::SetFocus(form.hwnd());
  EXPECT_EQ(::GetFocus(), button) << "the focus stayed on the frame";
  EXPECT_NE(::GetWindowLongW(button, GWL_STYLE) & WS_TABSTOP, 0);
  EXPECT_FALSE(form.timer_enabled());
  Key(VK_SPACE);
  EXPECT_TRUE(form.timer_enabled());
  for (int tick = 0; tick < 7; ++tick) Tick(form);
  EXPECT_FALSE(form.timer_enabled());
  Key(VK_RETURN);
  EXPECT_TRUE(form.timer_enabled()) << "Enter presses the button too";
}

// Puts back a setting of the whole session however the test ends, so that a
// run on Windows itself leaves the user's desktop as it was.
template <typename PutBack>
struct Restore {
  PutBack put_back;
  ~Restore() { put_back(); }
};
template <typename PutBack>
Restore(PutBack) -> Restore<PutBack>;

// On a dark scheme the port labels take the scheme's text colour, and all
// labels follow a change while the window is open.
TEST_F(Win32WindowTest, LabelsStayReadableOnADarkScheme) {
  const std::array<int, 2> elements = {COLOR_BTNFACE, COLOR_BTNTEXT};
  const std::array<COLORREF, 2> light = {::GetSysColor(COLOR_BTNFACE),
                                         ::GetSysColor(COLOR_BTNTEXT)};
  const std::array<COLORREF, 2> dark = {RGB(0, 0, 0), RGB(255, 255, 255)};
  const Restore light_again{[&] { ::SetSysColors(2, elements.data(), light.data()); }};
  ASSERT_TRUE(::SetSysColors(2, elements.data(), dark.data()));
  const auto [port_text, port_face] = LabelColours("Label4");
  const pictures::Rgb sentence_text = LabelColours("Label7").first;
  ExpectLampsShown("......");  // drawn again over the dark background
  ::SetSysColors(2, elements.data(), light.data());
  EXPECT_EQ(port_face, (pictures::Rgb{0, 0, 0}));
  EXPECT_GE(layout::ContrastRatio(port_text, port_face), layout::kMinimumTextContrast);
  EXPECT_EQ(sentence_text, (pictures::Rgb{255, 255, 255}));
  EXPECT_EQ(LabelColours("Label4").first, (pictures::Rgb{64, 0, 64})) << "back to the light scheme";
}

// The program's manifest takes effect: Windows skips a manifest it cannot
// read without a word, and the program then runs with the old common
// controls and no DPI awareness of its own.
TEST_F(Win32WindowTest, TheManifestTakesEffect) {
  // The common controls the program calls are version 6, from the
  // side-by-side store. Wine 8's copy there reports 5 from DllGetVersion,
  // so its path tells too.
  HMODULE comctl32 = nullptr;
  ASSERT_TRUE(::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&::InitCommonControlsEx)), &comctl32));
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(comctl32, path, MAX_PATH);
  const auto dll_get_version = reinterpret_cast<DLLGETVERSIONPROC>(
      reinterpret_cast<void*>(::GetProcAddress(comctl32, "DllGetVersion")));
  ASSERT_NE(dll_get_version, nullptr);
  DLLVERSIONINFO version{};
  version.cbSize = sizeof version;
  ASSERT_EQ(dll_get_version(&version), S_OK);
  const bool side_by_side =
      ::StrStrIW(path, L"microsoft.windows.common-controls_6595b64144ccf1df_6.") != nullptr;
  EXPECT_TRUE(version.dwMajorVersion >= 6 || side_by_side) << "common controls from " << path;

  // The process's activation context carries the DPI awareness the manifest
  // declares, which is where Windows reads it from, and the thread is aware.
  wchar_t setting[64] = {};
  EXPECT_TRUE(::QueryActCtxSettingsW(0, nullptr,
                                     L"http://schemas.microsoft.com/SMI/2016/WindowsSettings",
                                     L"dpiAwareness", setting, 64, nullptr));
  EXPECT_STREQ(setting, L"PerMonitorV2, system");
  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  const auto thread_context = reinterpret_cast<DPI_AWARENESS_CONTEXT(WINAPI*)()>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
  const auto awareness = reinterpret_cast<DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT)>(
      reinterpret_cast<void*>(::GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  ASSERT_TRUE(thread_context != nullptr && awareness != nullptr);
  EXPECT_NE(awareness(thread_context()), DPI_AWARENESS_UNAWARE);
}

TEST_F(Win32WindowTest, EachTickShowsTheLampsOfTheScan) {
  ExpectLampsShown("......");
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  EXPECT_TRUE(form.timer_enabled());
  for (std::string_view seen : testing_support::kLampsAfterTick) {
    Tick(form);  // stepped by hand, not by the timer
    ExpectLampsShown(seen);
  }
  EXPECT_EQ(form.scan().ScanStep, 0);
  EXPECT_FALSE(form.timer_enabled());
  // The tooltips of a port's lamp and label say what was found.
  for (const HWND tool : {::GetDlgItem(form.hwnd(), LampId(2)), Control("Label2")}) {
    wchar_t tip[256] = {};
    TOOLINFOW info{};
    info.cbSize = sizeof info;
    info.hwnd = form.hwnd();
    info.uId = reinterpret_cast<UINT_PTR>(tool);
    info.lpszText = tip;
    ::SendMessageW(form.tooltip(), TTM_GETTEXTW, std::size(tip), reinterpret_cast<LPARAM>(&info));
    EXPECT_STREQ(tip, L"COM2 (fake/COM2): present, free");
  }
  // A press shows every lamp unlit at once, not at the next tick.
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  ExpectLampsShown("......");
}

// A lamp that changes is painted in one go, over no erased background; a
// lamp that does not change is not painted at all.
TEST_F(Win32WindowTest, OnlyLampsThatChangeArePaintedAndNoneIsErased) {
  LampSpy spy(form.hwnd());
  const auto step = [&](const std::string& what, const auto& action) {
    SCOPED_TRACE(what);
    std::array<std::optional<LampKind>, kPortCount> before;
    for (int port = 1; port <= kPortCount; ++port) {
      before[static_cast<std::size_t>(port - 1)] = form.lamps().SeenLamp(port);
    }
    spy.Clear();
    action();
    ::RedrawWindow(form.hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    for (int port = 1; port <= kPortCount; ++port) {
      const std::size_t i = static_cast<std::size_t>(port - 1);
      if (form.lamps().SeenLamp(port) == before[i]) {
        EXPECT_EQ(LampSpy::paints[i], 0) << "port " << port << " did not change";
      } else {
        EXPECT_GT(LampSpy::paints[i], 0) << "port " << port << " changed";
      }
      EXPECT_EQ(LampSpy::erases[i], 0) << "port " << port;
    }
  };
  const auto press = [&] { ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0); };
  const auto tick = [&] { Tick(form); };
  step("press", press);
  for (int n = 1; n <= 3; ++n) step("tick " + std::to_string(n), tick);
  step("press in the middle of the scan", press);
  for (int n = 4; n <= 7; ++n) step("tick " + std::to_string(n), tick);
  step("press after the scan", press);
  for (int n = 1; n <= 7; ++n) step("second scan, tick " + std::to_string(n), tick);
  // Windows tells every window of a setting that does not concern this one.
  step("the environment changed", [&] {
    ::SendMessageW(form.hwnd(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"));
  });
}

// Moved between monitors of 96, 144 and 192 DPI, the window lays out every
// control from the table anew, with fonts made for the new DPI, lamps in
// whole pixels and a caption that fits.
TEST_F(Win32WindowTest, EachDpiChangeLaysOutControlsFontsAndLampsAnew) {
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  Tick(form);
  Tick(form);
  for (const int dpi : {144, 192, 96}) {
    SCOPED_TRACE("at " + std::to_string(dpi) + " dpi");
    const std::array<HFONT, 3> old_fonts = {FontHandle(Control("Label1")),
                                            FontHandle(Control("Label7")),
                                            FontHandle(Control("Command1"))};
    RECT suggested{40, 30, 40 + layout::TwipsToPixels(layout::kClientWidth, dpi),
                   30 + layout::TwipsToPixels(layout::kClientHeight, dpi)};
    ::AdjustWindowRectEx(&suggested, WS_OVERLAPPEDWINDOW & ~WS_THICKFRAME, FALSE, 0);
    // Asked first, the window gives the frame of the table's client area at
    // that DPI, so that Windows suggests no size rounded from the old one.
    SIZE scaled{};
    EXPECT_TRUE(::SendMessageW(form.hwnd(), WM_GETDPISCALEDSIZE, static_cast<WPARAM>(dpi),
                               reinterpret_cast<LPARAM>(&scaled)));
    RECT frame{0, 0, layout::TwipsToPixels(layout::kClientWidth, dpi),
               layout::TwipsToPixels(layout::kClientHeight, dpi)};
    ::AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW & ~WS_THICKFRAME, FALSE, 0,
                               static_cast<UINT>(dpi));
    EXPECT_EQ(scaled.cx, frame.right - frame.left);
    EXPECT_EQ(scaled.cy, frame.bottom - frame.top);
    ::SendMessageW(form.hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                   reinterpret_cast<LPARAM>(&suggested));
    RECT window;
    ::GetWindowRect(form.hwnd(), &window);
    EXPECT_TRUE(::EqualRect(&window, &suggested)) << "the window takes the suggested rectangle";
    for (HFONT font : old_fonts) EXPECT_EQ(::GetObjectType(font), 0u) << "an old font is left";
    ExpectLaidOut(dpi);
    // The caption lies inside the button's edges, in the message font's
    // height for this DPI, which fits.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(
        ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi));
    EXPECT_EQ(FontOf(Control("Command1")).lfHeight, metrics.lfMessageFont.lfHeight);
    EXPECT_LE(CaptionWidth(), layout::TwipsToPixels(layout::kControls[0].rect.width, dpi) -
                                  2 * ::GetSystemMetricsForDpi(SM_CXEDGE, dpi));
    ExpectLampsShown("rgy...", dpi);
    ExpectIconsFor(dpi);
  }
}

// Nothing the window makes of Windows's objects outlives it: not through a
// scan, moves between monitors, a change of the message font or colours,
// nor its end.
TEST_F(Win32WindowTest, NothingTheWindowMakesOutlivesIt) {
  const std::multiset<const void*> before = alive;
  HWND window = nullptr;
  {
    Form1 own(::GetModuleHandleW(nullptr), comm);
    ::SendMessageW(own.hwnd(), WM_COMMAND, IDOK, 0);
    for (int tick = 0; tick < 7; ++tick) Tick(own);
    ::UpdateWindow(own.hwnd());
    for (const int dpi : {144, 192, 96}) {
      RECT suggested{0, 0, 400, 300};
      ::SendMessageW(own.hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
    }
    ::SendMessageW(own.hwnd(), WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0);
    ::SendMessageW(own.hwnd(), WM_SYSCOLORCHANGE, 0, 0);
    ::RedrawWindow(own.hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_GT(alive.size(), before.size()) << "the window's own objects go uncounted";
    window = own.hwnd();
  }
  EXPECT_FALSE(::IsWindow(window)) << "the window outlived its form";
  EXPECT_EQ(alive, before);
}

// Users who ask for large text get the largest caption that fits the
// button, as soon as they ask.
TEST_F(Win32WindowTest, TheCaptionFitsWithLargeText) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  ASSERT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  NONCLIENTMETRICSW large = metrics;
  const int dpi = SystemDpi();
  large.lfMessageFont.lfHeight = -::MulDiv(14, dpi, 72);  // 14 pt
  const Restore as_before{
      [&] { ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics, 0); }};
  ASSERT_TRUE(::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof large, &large, 0));
  ::SendMessageW(form.hwnd(), WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, 0);
  const LOGFONTW font = FontOf(Control("Command1"));
  const int caption = CaptionWidth();
  ::SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  EXPECT_LT(-font.lfHeight, -large.lfMessageFont.lfHeight)
      << "the 14 pt caption is wider than the button";
  EXPECT_GE(-font.lfHeight, ::MulDiv(12, dpi, 96));
  EXPECT_LE(caption, layout::TwipsToPixels(layout::kControls[0].rect.width, dpi) -
                         2 * ::GetSystemMetrics(SM_CXEDGE));
}

// Holding Enter presses the button many times a tick; the scan goes on at
// its pace all the same.
TEST_F(Win32WindowTest, PressesDuringAScanDoNotHoldUpItsTicks) {
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  for (int press = 0; press < 12; ++press) {
    Pump(100, Ticks::kRun);
    ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  }
  EXPECT_GE(comm.OpenAttempts().size(), 3u) << "the presses restarted the timer's countdown";
}

// A probe whose open waits on the system leaves the window answering: what
// is posted to it is handled, a press shows every lamp unlit at once, and the
// probe's result, when it comes, is dropped.
TEST_F(Win32WindowTest, AProbeThatWaitsLeavesTheWindowAnswering) {
  comm.HoldOpen(2);
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  Tick(form);
  form.Timer1_Timer();
  ASSERT_TRUE(comm.WaitUntilOpenHeld());
  constexpr UINT kPing = WM_APP + 7;
  ASSERT_TRUE(::PostMessageW(form.hwnd(), kPing, 0, 0));
  EXPECT_TRUE(PumpUntil([] {
    MSG ping;
    return ::PeekMessageW(&ping, nullptr, kPing, kPing, PM_NOREMOVE) == FALSE;
  })) << "the window's messages wait for the probe";
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  ExpectLampsShown("......");
  comm.ReleaseOpen();
  ASSERT_TRUE(PumpUntil([this] { return !form.scan().probe_out(); }));
  ExpectLampsShown("......");
  EXPECT_EQ(form.scan().Summary(2), "COM2 (fake/COM2): not probed yet");
  Tick(form);
  ExpectLampsShown("..ry..");

  // The end waits for a probe that holds its port, not for one still opening.
  for (const auto where : {FakeSerialPort::Hold::kHoldingPort, FakeSerialPort::Hold::kInOpen}) {
    FakeSerialPort held;
    held.SetOpenOutcome(1, kNoError);
    held.HoldOpen(1, where);
    auto closing = std::make_unique<Form1>(::GetModuleHandleW(nullptr), held);
    ::SendMessageW(closing->hwnd(), WM_COMMAND, IDOK, 0);
    closing->Timer1_Timer();
    ASSERT_TRUE(held.WaitUntilOpenHeld());
    ::SendMessageW(closing->hwnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(closing->hwnd(), nullptr) << "the window waited to go";
    std::atomic<bool> released = false;
    std::thread release([&] {
      ::Sleep(100);
      released = true;
      held.ReleaseOpen();
    });
    closing.reset();
    EXPECT_EQ(released, where == FakeSerialPort::Hold::kHoldingPort);
    release.join();
    ProbeWorker::JoinLeftBehind();
    EXPECT_FALSE(held.is_open());
    MSG quit;  // the closed window asked the message loop to end
    ::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
}

// A return whose post failed (a full queue) is taken by the next tick; a
// window that has gone is never posted to; and a session that ends in
// mid-probe waits for the port to be put back.
TEST_F(Win32WindowTest, ReturnsLostGoneOrCutShortByTheSessionsEnd) {
  std::vector<HWND> posted;
  FakeSerialPort lost;
  lost.SetOpenOutcome(1, kNoError);
  Form1 full(::GetModuleHandleW(nullptr), lost);
  full.post_message = [&posted](HWND window, UINT, WPARAM, LPARAM) {
    posted.push_back(window);
    return FALSE;
  };
  ::SendMessageW(full.hwnd(), WM_COMMAND, IDOK, 0);
  full.Timer1_Timer();
  ASSERT_TRUE(PumpUntil([&posted] { return !posted.empty(); }));
  full.Timer1_Timer();  // takes port 1's result, and starts port 2
  EXPECT_EQ(full.lamps().SeenLamp(1), LampKind::kOk) << "a lost return stalled the scan";
  EXPECT_EQ(full.scan().ScanStep, 2);
  ASSERT_TRUE(PumpUntil([&posted] { return posted.size() == 2; }));

  FakeSerialPort gone;
  gone.HoldOpen(1);
  posted.clear();
  auto closed = std::make_unique<Form1>(::GetModuleHandleW(nullptr), gone);
  closed->post_message = full.post_message;
  ::SendMessageW(closed->hwnd(), WM_COMMAND, IDOK, 0);
  closed->Timer1_Timer();
  ASSERT_TRUE(gone.WaitUntilOpenHeld());
  ::DestroyWindow(closed->hwnd());
  gone.ReleaseOpen();
  ASSERT_TRUE(PumpUntil([&closed] {
    closed->ProbeDone();
    return !closed->scan().probe_out();
  }));
  closed.reset();  // the worker's last word, if any, is said by now
  EXPECT_TRUE(posted.empty()) << "a window that had gone was posted to";

  FakeSerialPort held;
  held.SetOpenOutcome(1, kNoError);
  held.HoldOpen(1, FakeSerialPort::Hold::kHoldingPort);
  Form1 ending(::GetModuleHandleW(nullptr), held);
  ::SendMessageW(ending.hwnd(), WM_COMMAND, IDOK, 0);
  ending.Timer1_Timer();
  ASSERT_TRUE(held.WaitUntilOpenHeld());
  std::atomic<bool> released = false;
  std::thread release([&] {
    ::Sleep(100);
    released = true;
    held.ReleaseOpen();
  });
  ::SendMessageW(ending.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
  ::SendMessageW(ending.hwnd(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_TRUE(released) << "the session's end did not wait for the port to be put back";
  release.join();
  EXPECT_FALSE(held.is_open());
  EXPECT_FALSE(ending.timer_enabled());
  ending.Timer1_Timer();
  EXPECT_EQ(held.OpenAttempts().size(), 1u) << "a probe started after the session's end";
}

// Whatever a broken serial layer throws stops at the window procedure: the
// timer stops and the failure is told.
TEST_F(Win32WindowTest, AFailedTickStopsTheTimerAndIsTold) {
  struct ThrowingSerialPort : RefusingSerialPort {
    ErrorNumber SetCommPort(std::int16_t) override { throw 42; }
  };
  RefusingSerialPort refusing;
  ThrowingSerialPort throwing;
  for (SerialPort* port : std::initializer_list<SerialPort*>{&refusing, &throwing}) {
    Form1 broken(::GetModuleHandleW(nullptr), *port);
    std::vector<std::string> told;
    broken.on_scan_failure = [&told](const std::string& what) { told.push_back(what); };
    ::SendMessageW(broken.hwnd(), WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(broken.timer_enabled());
    ::SendMessageW(broken.hwnd(), WM_TIMER, TimerSwitch32::kTimerId, 0);
    EXPECT_TRUE(PumpUntil([&told] { return !told.empty(); }));  // when the probe is back
    EXPECT_FALSE(broken.timer_enabled());
    EXPECT_EQ(told.size(), 1u);
  }
  // A window closed by the user is gone; the form does not destroy it again.
  Form1 closed(::GetModuleHandleW(nullptr), comm);
  ::DestroyWindow(closed.hwnd());
  EXPECT_EQ(closed.hwnd(), nullptr);
}

}  // namespace
}  // namespace velkaro::win32
