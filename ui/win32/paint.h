#pragma once

#include <windows.h>

#include <array>
#include <optional>

#include "handles.h"
#include "lamp_state.h"

// What the window paints with, for the colours and the scale of now.
namespace velkaro::win32::paint {

// The port labels' colour on the window's background: their own, or one as
// readable as the theme's text where theirs is not, or under high contrast.
COLORREF PortLabelColour();

// Each lamp's picture over the window's background, in a square spot of
// `spot` pixels: the 16 by 16 picture, its mask letting the background
// through, with each pixel repeated to a whole square of screen pixels and
// the whole centred. None if Windows refused a step.
using LampPictures = std::array<Bitmap, kStackingOrder.size()>;
std::optional<LampPictures> DrawLampPictures(HINSTANCE instance, int spot);

}  // namespace velkaro::win32::paint
