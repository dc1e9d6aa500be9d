#include "paint.h"

#include "layout.h"
#include "pictures.h"
#include "resources.h"

namespace velkaro::win32::paint {
namespace {

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

}  // namespace

COLORREF PortLabelColour() {
  const pictures::Rgb c = layout::PortLabelColour(
      ToRgb(::GetSysColor(COLOR_BTNFACE)), ToRgb(::GetSysColor(COLOR_BTNTEXT)), HighContrast());
  return RGB(c.r, c.g, c.b);
}

std::optional<LampPictures> DrawLampPictures(HINSTANCE instance, int spot) {
  const layout::LampPlacement place = layout::PlaceLamp(spot);
  const int size = pictures::kLampSize;
  const WindowDc screen(nullptr);
  const MemoryDc small(::CreateCompatibleDC(screen.get()));
  const MemoryDc large(::CreateCompatibleDC(screen.get()));
  const Bitmap small_picture(::CreateCompatibleBitmap(screen.get(), size, size));
  if (small == nullptr || large == nullptr || small_picture == nullptr) return std::nullopt;
  const HGDIOBJ small_old = ::SelectObject(small.get(), small_picture.get());
  const HGDIOBJ large_old = ::GetCurrentObject(large.get(), OBJ_BITMAP);
  ::SetStretchBltMode(large.get(), COLORONCOLOR);
  LampPictures drawn;
  for (LampKind kind : kStackingOrder) {
    const Icon icon(static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(LampIconId(kind)),
                                                    IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    Bitmap picture(::CreateCompatibleBitmap(screen.get(), spot, spot));
    if (icon == nullptr || picture == nullptr) break;
    const RECT square{0, 0, size, size};
    ::FillRect(small.get(), &square, ::GetSysColorBrush(COLOR_BTNFACE));
    ::DrawIconEx(small.get(), 0, 0, icon.get(), size, size, 0, nullptr, DI_NORMAL);
    ::SelectObject(large.get(), picture.get());
    const RECT whole{0, 0, spot, spot};
    ::FillRect(large.get(), &whole, ::GetSysColorBrush(COLOR_BTNFACE));
    ::StretchBlt(large.get(), place.offset, place.offset, size * place.scale, size * place.scale,
                 small.get(), 0, 0, size, size, SRCCOPY);
    drawn[static_cast<std::size_t>(kind)] = std::move(picture);
  }
  // No bitmap may be ended while a device context still holds it.
  ::SelectObject(large.get(), large_old);
  ::SelectObject(small.get(), small_old);
  for (const Bitmap& picture : drawn) {
    if (picture == nullptr) return std::nullopt;
  }
  return drawn;
}

}  // namespace velkaro::win32::paint
