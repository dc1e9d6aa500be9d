// The Win32 window, run in-process under Wine on an X server of its own.
#include "main_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_port.h"
#include "lamp_pixels.h"
#include "layout.h"

namespace velkaro::win32 {
namespace {

using testing_support::LampOf;

// Handles what is waiting for the window, for about the given time.
void Pump(DWORD milliseconds = 0) {
  const DWORD until = ::GetTickCount() + milliseconds;
  do {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (milliseconds > 0) ::Sleep(10);
  } while (static_cast<LONG>(until - ::GetTickCount()) > 0);
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = {};
  ::GetWindowTextW(window, text, 256);
  return text;
}

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

  void ExpectLampsShown(std::string_view seen) {
    const std::vector<COLORREF> shot = Shot();
    auto rgb = [](COLORREF c) { return pictures::Rgb{GetRValue(c), GetGValue(c), GetBValue(c)}; };
    const pictures::Rgb background = rgb(::GetSysColor(COLOR_BTNFACE));
    auto pixel_at = [&](int x, int y) {
      return rgb(shot[static_cast<std::size_t>(y * width_ + x)]);
    };
    for (int port = 1; port <= kPortCount; ++port) {
      const char c = seen[static_cast<std::size_t>(port - 1)];
      EXPECT_EQ(testing_support::WrongLampPixels(pixel_at, port, LampOf(c), background), 0)
          << "port " << port << " does not show lamp '" << c << "' in " << seen;
      // One window per port carries the lamp, named for assistive technology.
      const HWND lamp = ::GetDlgItem(form.hwnd(), LampId(port));
      const std::string description(layout::LampDescription(*LampOf(c)));
      EXPECT_EQ(TextOf(lamp), L"COM: " + std::to_wstring(port) + L", " +
                                  std::wstring(description.begin(), description.end()));
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
  EXPECT_EQ(client.right, 259);
  EXPECT_EQ(client.bottom, 169);
  EXPECT_EQ(TextOf(form.hwnd()), L"Velkaro");
  const LONG_PTR style = ::GetWindowLongPtrW(form.hwnd(), GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  const HMENU menu = ::GetSystemMenu(form.hwnd(), FALSE);
  for (UINT command : {SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    EXPECT_EQ(::GetMenuState(menu, command, MF_BYCOMMAND), static_cast<UINT>(-1)) << command;
  }
  EXPECT_NE(::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));

  for (const layout::Control& control : layout::kControls) {
    SCOPED_TRACE(std::string(control.name));
    const HWND child = Control(control.name);
    RECT rect;
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, form.hwnd(), reinterpret_cast<POINT*>(&rect), 2);
    const layout::PixelRect want = layout::ToPixels(control.rect);
    EXPECT_EQ(rect.left, want.left);
    EXPECT_EQ(rect.top, want.top);
    EXPECT_EQ(rect.right - rect.left, want.width);
    EXPECT_EQ(rect.bottom - rect.top, want.height);
    const std::string text(control.text);
    EXPECT_EQ(TextOf(child), std::wstring(text.begin(), text.end()));
    if (control.font == layout::Font::kPlatformDefault) {
      EXPECT_TRUE(::GetWindowLongPtrW(child, GWL_STYLE) & BS_DEFPUSHBUTTON);
      continue;
    }
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)), sizeof font,
                 &font);
    EXPECT_STREQ(font.lfFaceName, L"Arial");
    EXPECT_EQ(font.lfHeight, -13);  // 9.75 pt at 96 dpi
    EXPECT_EQ(font.lfWeight, control.font == layout::Font::kPortLabel ? FW_BOLD : FW_NORMAL);
    const HDC dc = ::GetDC(child);
    ::SendMessageW(form.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                   reinterpret_cast<LPARAM>(child));
    if (control.text_colour) {
      EXPECT_EQ(::GetTextColor(dc), RGB(64, 0, 64));
    }
    ::ReleaseDC(child, dc);
  }
  for (int port = 1; port <= kPortCount; ++port) {
    const HWND lamp = ::GetDlgItem(form.hwnd(), LampId(port));
    RECT rect;
    ::GetWindowRect(lamp, &rect);
    ::MapWindowPoints(nullptr, form.hwnd(), reinterpret_cast<POINT*>(&rect), 2);
    const layout::PixelRect want = layout::ToPixels(layout::LampRect(port));
    EXPECT_EQ(rect.left, want.left) << port;
    EXPECT_EQ(rect.top, want.top) << port;
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
  auto key = [&](UINT vk) {
    for (UINT message : {WM_KEYDOWN, WM_KEYUP}) {
      MSG msg{::GetFocus(), message, vk, 0, 0, {}};
      if (!::IsDialogMessageW(form.hwnd(), &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
    Pump();
  };
  key(VK_TAB);
  EXPECT_EQ(::GetFocus(), button) << "nothing else takes the focus";
  EXPECT_FALSE(form.timer_enabled());
  key(VK_SPACE);
  EXPECT_TRUE(form.timer_enabled());
  form.Timer1_Timer();
  for (int tick = 0; tick < 6; ++tick) form.Timer1_Timer();
  EXPECT_FALSE(form.timer_enabled());
  key(VK_RETURN);
  EXPECT_TRUE(form.timer_enabled()) << "Enter presses the button too";
}

TEST_F(Win32WindowTest, EachTickShowsTheLampsOfTheScan) {
  ExpectLampsShown("......");
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  EXPECT_TRUE(form.timer_enabled());
  for (std::string_view seen : testing_support::kLampsAfterTick) {
    form.Timer1_Timer();  // stepped by hand, not by the timer
    ExpectLampsShown(seen);
  }
  EXPECT_EQ(form.scan().ScanStep, 0);
  EXPECT_FALSE(form.timer_enabled());
  // A press shows every lamp unlit at once, not at the next tick.
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  ExpectLampsShown("......");
}

// Holding Enter presses the button many times a tick; the scan goes on at
// its pace all the same.
TEST_F(Win32WindowTest, PressesDuringAScanDoNotHoldUpItsTicks) {
  ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  for (int press = 0; press < 12; ++press) {
    Pump(100);
    ::SendMessageW(Control("Command1"), BM_CLICK, 0, 0);
  }
  EXPECT_GE(comm.OpenAttempts().size(), 3u) << "the presses restarted the timer's countdown";
}

TEST_F(Win32WindowTest, AFailedTickStopsTheTimerAndIsTold) {
  RefusingSerialPort refusing;
  Form1 broken(::GetModuleHandleW(nullptr), refusing);
  std::vector<std::string> told;
  broken.on_scan_failure = [&told](const std::string& what) { told.push_back(what); };
  broken.Command1_Click();
  broken.Timer1_Timer();
  EXPECT_FALSE(broken.timer_enabled());
  EXPECT_EQ(told.size(), 1u);
}

}  // namespace
}  // namespace velkaro::win32
