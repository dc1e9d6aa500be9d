#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lamp_state.h"

namespace velkaro::pictures {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A small picture as rows of letters: '.' is transparent, any other letter
// stands for a colour of the palette.
struct LetterPicture {
  int size;
  std::span<const std::string_view> rows;
  std::span<const std::pair<char, Rgb>> palette;

  std::optional<Rgb> Pixel(int x, int y) const;
};

inline constexpr int kLampSize = 16;
inline constexpr std::array<int, 5> kLampIconSizes = {16, 32, 48, 64, 72};

// The 16 by 16 picture of each lamp kind.
LetterPicture LampPicture(LampKind kind);
// "off.ico", "ok.ico", "bad.ico", "test.ico".
std::string LampIconFileName(LampKind kind);

// The program's icon: a serial cable plug, 32 by 32 in 16 colours.
LetterPicture PlugPicture();

// A lamp's icon file: five images of 24-bit colour with a 1-bit mask, the
// 16 by 16 disc in the middle of each.
std::vector<std::uint8_t> EncodeLampIcon(LampKind kind);
// The sizes of the program file's icon, each in 4-bit colour, as Explorer
// shows it; the 256 pixel one is stored as a PNG file.
inline constexpr std::array<int, 4> kPlugIconSizes = {16, 24, 32, 48};
inline constexpr int kPlugIconPngSize = 256;
// The plug as an icon file: the images of kPlugIconSizes, then the PNG.
std::vector<std::uint8_t> EncodePlugIcon();
// The sizes the plug is installed at for desktops, in pixels.
inline constexpr std::array<int, 5> kPlugPngSizes = {16, 32, 48, 64, 128};
// The plug at one of those sizes, top row first, nullopt where transparent.
// Larger ones repeat each pixel, or centre the 32 pixel picture where the
// size is no whole multiple of it, so the picture stays sharp; 16 takes every
// other pixel, and sizes between 16 and 32 centre that 16 pixel picture.
std::vector<std::optional<Rgb>> PlugImage(int size);
// "velkaro-32.png" and so on.
std::string PlugPngFileName(int size);
// The plug as a PNG file in indexed colour, with one transparent entry.
std::vector<std::uint8_t> EncodePlugPng(int size);

// One image of an icon file: size by size pixels, top row first, or, for an
// image stored as a PNG file, that file's bytes.
struct IconImage {
  int size = 0;
  int bits_per_pixel = 0;
  std::vector<std::optional<Rgb>> pixels;
  std::vector<std::uint8_t> png;
};
// Reads an icon file of uncompressed images; throws std::runtime_error if
// the bytes are not one.
std::vector<IconImage> DecodeIcon(std::span<const std::uint8_t> bytes);

}  // namespace velkaro::pictures
