#include "dpi.h"

#include <cstdlib>
#include <type_traits>

#include "layout.h"

namespace velkaro::win32::dpi {
namespace {

struct PerMonitorCalls {
  UINT(WINAPI* for_window)(HWND) = nullptr;
  BOOL(WINAPI* adjust_window_rect)(RECT*, DWORD, BOOL, DWORD, UINT) = nullptr;
  BOOL(WINAPI* system_parameters)(UINT, UINT, void*, UINT, UINT) = nullptr;
  int(WINAPI* system_metrics)(int, UINT) = nullptr;
};

const PerMonitorCalls& PerMonitor() {
  static const PerMonitorCalls calls = [] {
    PerMonitorCalls found;
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

}  // namespace

int OfSystem() {
  const WindowDc screen(nullptr);
  return ::GetDeviceCaps(screen.get(), LOGPIXELSY);
}

int OfWindow(HWND window) {
  return PerMonitor().for_window != nullptr ? static_cast<int>(PerMonitor().for_window(window))
                                            : OfSystem();
}

int Metric(int metric, int dpi) {
  return PerMonitor().system_metrics != nullptr
             ? PerMonitor().system_metrics(metric, static_cast<UINT>(dpi))
             : ::GetSystemMetrics(metric);
}

bool FrameAround(SIZE client, DWORD style, DWORD ex_style, int dpi, SIZE& frame) {
  RECT rect{0, 0, client.cx, client.cy};
  const bool adjusted =
      PerMonitor().adjust_window_rect != nullptr
          ? PerMonitor().adjust_window_rect(&rect, style, FALSE, ex_style, static_cast<UINT>(dpi))
          : ::AdjustWindowRectEx(&rect, style, FALSE, ex_style);
  frame = {rect.right - rect.left, rect.bottom - rect.top};
  return adjusted;
}

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
    metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, dpi, OfSystem());
  }
  font = metrics.lfMessageFont;
  return true;
}

Font FittingButtonFont(HWND button, const std::wstring& caption, int dpi) {
  LOGFONTW font{};
  if (!MessageFont(dpi, font)) return nullptr;
  RECT client;
  ::GetClientRect(button, &client);
  // The room inside the button's edges, with the margin a dialog's button
  // leaves around its caption.
  const int edge = Metric(SM_CXEDGE, dpi);
  const int width = client.right - 2 * (edge + ::MulDiv(3, dpi, 96));
  const int height = client.bottom - 2 * edge;
  const int sign = font.lfHeight < 0 ? -1 : 1;
  const WindowDc dc(button);
  auto fits = [&](int size) {
    LOGFONTW trial = font;
    trial.lfHeight = sign * size;
    const Font measured(::CreateFontIndirectW(&trial));
    const HGDIOBJ before = ::SelectObject(dc.get(), measured.get());
    SIZE extent{};
    TEXTMETRICW metrics{};
    const bool fit = ::GetTextExtentPoint32W(dc.get(), caption.c_str(),
                                             static_cast<int>(caption.size()), &extent) &&
                     ::GetTextMetricsW(dc.get(), &metrics) && extent.cx <= width &&
                     metrics.tmHeight <= height;
    ::SelectObject(dc.get(), before);
    return fit;
  };
  if (font.lfHeight != 0) {
    font.lfHeight = sign * layout::LargestFittingSize(std::abs(font.lfHeight), 1, fits);
  }
  return Font(::CreateFontIndirectW(&font));
}

}  // namespace velkaro::win32::dpi
