#include "pictures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "layout.h"

namespace velkaro::pictures {
namespace {

std::vector<std::uint8_t> ReadCommitted(const std::string& name) {
  std::ifstream in(std::string(VELKARO_SOURCE_DIR) + "/ui/images/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t U32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

TEST(PicturesTest, CommittedFilesAreWhatTheGeneratorWrites) {
  for (LampKind kind : kStackingOrder) {
    EXPECT_EQ(ReadCommitted(LampIconFileName(kind)), EncodeLampIcon(kind))
        << LampIconFileName(kind);
  }
  EXPECT_EQ(ReadCommitted("velkaro.ico"), EncodePlugIcon());
  for (int size : kPlugPngSizes) {
    EXPECT_EQ(ReadCommitted(PlugPngFileName(size)), EncodePlugPng(size)) << size;
  }
}

// Launchers scale a blurred icon up; ours are whole pixels of the 32 pixel
// picture, so every pixel must be one of its pixels at the right place.
TEST(PicturesTest, DesktopIconsAreTheSharpPlugAtEverySize) {
  const LetterPicture plug = PlugPicture();
  struct Case {
    int size, scale, margin;
  };
  for (const Case c :
       {Case{32, 1, 0}, Case{64, 2, 0}, Case{128, 4, 0}, Case{256, 8, 0}, Case{48, 1, 8}}) {
    const std::vector<std::optional<Rgb>> image = PlugImage(c.size);
    ASSERT_EQ(image.size(), static_cast<std::size_t>(c.size * c.size));
    for (int y = 0; y < c.size; ++y) {
      for (int x = 0; x < c.size; ++x) {
        const int sx = x / c.scale - c.margin, sy = y / c.scale - c.margin;
        const bool inside = sx >= 0 && sy >= 0 && sx < 32 && sy < 32;
        ASSERT_EQ(image[static_cast<std::size_t>(y * c.size + x)],
                  inside ? plug.Pixel(sx, sy) : std::nullopt)
            << c.size << " at " << x << "," << y;
      }
    }
  }
  const std::vector<std::optional<Rgb>> small = PlugImage(16);
  EXPECT_EQ(small[3 * 16 + 0], plug.Pixel(1, 7)) << "the 16 pixel plug keeps its left rim";
  // 24 pixels: the 16 pixel plug in the middle.
  const std::vector<std::optional<Rgb>> middle = PlugImage(24);
  for (int y = 0; y < 24; ++y) {
    for (int x = 0; x < 24; ++x) {
      const bool inside = x >= 4 && y >= 4 && x < 20 && y < 20;
      ASSERT_EQ(middle[static_cast<std::size_t>(y * 24 + x)],
                inside ? small[static_cast<std::size_t>((y - 4) * 16 + x - 4)] : std::nullopt)
          << "24 at " << x << "," << y;
    }
  }
  EXPECT_THROW(PlugImage(8), std::invalid_argument);
}

TEST(PicturesTest, PngFilesCarryTheirSize) {
  for (int size : kPlugPngSizes) {
    const std::vector<std::uint8_t> png = EncodePlugPng(size);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png[19], size) << "IHDR width";  // big-endian, all sizes < 256
    EXPECT_EQ(png[23], size) << "IHDR height";
  }
}

TEST(PicturesTest, LampIconsHoldFiveImagesOfTheStatedSizes) {
  const std::uint32_t kBytes[] = {872, 3240, 7336, 12840, 16456};
  for (LampKind kind : kStackingOrder) {
    const std::vector<std::uint8_t> file = ReadCommitted(LampIconFileName(kind));
    ASSERT_EQ(file.size(), 40830u);
    const std::vector<IconImage> images = DecodeIcon(file);
    ASSERT_EQ(images.size(), 5u);
    for (std::size_t i = 0; i < images.size(); ++i) {
      EXPECT_EQ(images[i].size, kLampIconSizes[i]);
      EXPECT_EQ(images[i].bits_per_pixel, 24);
      EXPECT_EQ(U32At(file, 6 + 16 * i + 8), kBytes[i]);
    }
  }
}

// What the 16 by 16 images hold, by colour: the number of pixels of each.
TEST(PicturesTest, SixteenPixelImagesShareOneMaskAndHaveTheirColours) {
  using Counts = std::map<std::tuple<int, int, int>, int>;
  const std::map<LampKind, Counts> expected = {
      {LampKind::kOff,
       {{{0, 0, 0}, 47},
        {{63, 0, 0}, 24},
        {{47, 0, 0}, 21},
        {{127, 127, 127}, 21},
        {{255, 255, 255}, 2}}},
      {LampKind::kOk,
       {{{0, 191, 0}, 47},
        {{0, 0, 0}, 30},
        {{63, 63, 63}, 15},
        {{127, 127, 127}, 14},
        {{127, 255, 127}, 7},
        {{255, 255, 255}, 2}}},
      {LampKind::kBad,
       {{{239, 0, 0}, 47},
        {{63, 0, 0}, 24},
        {{47, 0, 0}, 21},
        {{127, 127, 127}, 14},
        {{255, 111, 111}, 7},
        {{255, 255, 255}, 2}}},
      {LampKind::kTest,
       {{{191, 191, 0}, 46},
        {{0, 0, 0}, 30},
        {{63, 63, 63}, 15},
        {{127, 127, 127}, 14},
        {{255, 240, 160}, 7},
        {{255, 255, 255}, 2},
        {{255, 255, 0}, 1}}},
  };
  std::vector<bool> shared_mask;
  for (LampKind kind : kStackingOrder) {
    const IconImage image = DecodeIcon(ReadCommitted(LampIconFileName(kind))).front();
    ASSERT_EQ(image.size, 16);
    std::vector<bool> mask;
    Counts counts;
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const std::optional<Rgb> pixel = image.pixels[static_cast<std::size_t>(y * 16 + x)];
        EXPECT_EQ(pixel, LampPicture(kind).Pixel(x, y)) << x << "," << y;
        mask.push_back(pixel.has_value());
        if (pixel) ++counts[{pixel->r, pixel->g, pixel->b}];
      }
    }
    EXPECT_EQ(counts, expected.at(kind)) << LampIconFileName(kind);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), true), 115);
    if (shared_mask.empty()) shared_mask = mask;
    EXPECT_EQ(mask, shared_mask) << LampIconFileName(kind) << " has a mask of its own";
  }
}

TEST(PicturesTest, LargerImagesHoldTheSameDiscUnscaledInTheMiddle) {
  for (LampKind kind : kStackingOrder) {
    const std::vector<IconImage> images = DecodeIcon(ReadCommitted(LampIconFileName(kind)));
    for (const IconImage& image : images) {
      const int margin = (image.size - 16) / 2;
      for (int y = 0; y < image.size; ++y) {
        for (int x = 0; x < image.size; ++x) {
          const bool inside = x >= margin && y >= margin && x < margin + 16 && y < margin + 16;
          const std::optional<Rgb> want =
              inside ? LampPicture(kind).Pixel(x - margin, y - margin) : std::nullopt;
          ASSERT_EQ(image.pixels[static_cast<std::size_t>(y * image.size + x)], want)
              << image.size << " at " << x << "," << y;
        }
      }
    }
  }
}

// The 32 pixel, 16-colour plug, and the sizes Explorer asks for beside it.
TEST(PicturesTest, TheProgramIconHoldsThePlugAtEverySizeExplorerShows) {
  const std::vector<IconImage> images = DecodeIcon(ReadCommitted("velkaro.ico"));
  ASSERT_EQ(images.size(), kPlugIconSizes.size() + 1);
  for (std::size_t i = 0; i < kPlugIconSizes.size(); ++i) {
    EXPECT_EQ(images[i].size, kPlugIconSizes[i]);
    EXPECT_EQ(images[i].bits_per_pixel, 4);
    EXPECT_EQ(images[i].pixels, PlugImage(kPlugIconSizes[i])) << kPlugIconSizes[i];
  }
  EXPECT_EQ(images.back().size, 256);
  EXPECT_EQ(images.back().png, EncodePlugPng(256));
}

TEST(PicturesTest, DamagedIconFilesAreRejected) {
  std::vector<std::uint8_t> file = EncodeLampIcon(LampKind::kOk);
  file.resize(file.size() - 1);
  EXPECT_THROW(DecodeIcon(file), std::runtime_error);
  file = EncodeLampIcon(LampKind::kOk);
  file[2] = 2;  // a cursor file, not an icon
  EXPECT_THROW(DecodeIcon(file), std::runtime_error);
  EXPECT_THROW(DecodeIcon({}), std::runtime_error);
}

// What both windows ask of the layout for a screen's scale and theme.
TEST(LayoutTest, LampsScaleByWholePixelsAndLabelsKeepTheirColourWhereReadable) {
  struct Spot {
    int pixels, scale, offset;
  };
  for (const Spot s : {Spot{16, 1, 0}, Spot{12, 1, 0}, Spot{24, 1, 4}, Spot{32, 2, 0},
                       Spot{40, 2, 4}, Spot{48, 3, 0}}) {
    const layout::LampPlacement place = layout::PlaceLamp(s.pixels);
    EXPECT_EQ(place.scale, s.scale) << s.pixels;
    EXPECT_EQ(place.offset, s.offset) << s.pixels;
  }
  EXPECT_EQ(layout::TwipsToPixels(3285, 144), 329) << "halves round up, as MulDiv does";

  const Rgb white{255, 255, 255}, black{0, 0, 0}, face{240, 240, 240}, dark{42, 46, 50};
  EXPECT_NEAR(layout::ContrastRatio(black, white), 21.0, 1e-9);
  EXPECT_EQ(layout::PortLabelColour(face, black, false), layout::kPortLabelColour);
  EXPECT_EQ(layout::PortLabelColour(dark, white, false), white);
  EXPECT_EQ(layout::PortLabelColour(face, black, true), black) << "high contrast asked for";

  auto up_to_14 = [](int size) { return size <= 14; };
  EXPECT_EQ(layout::LargestFittingSize(18, 6, up_to_14), 14);
  EXPECT_EQ(layout::LargestFittingSize(11, 6, up_to_14), 11);
  EXPECT_EQ(layout::LargestFittingSize(18, 6, [](int) { return false; }), 6);
}

}  // namespace
}  // namespace velkaro::pictures
