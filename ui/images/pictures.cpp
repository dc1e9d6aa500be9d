#include "pictures.h"

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

namespace velkaro::pictures {
namespace {

// The lamps, 16 by 16. The four share one mask and differ only in colour.
constexpr std::string_view kOffRows[] = {
    "................", "................", "......DDDD......", "....DCBBBBCD....",
    "...DBBAAAAABD...", "...CBDFAAAAAC...", "..DBAFDAAAAAB...", "..DBAAAAAAAAB...",
    "..DBAAAAAADABC..", "..DBAAAAADDABC..", "...CAAAADDABCC..", "...DBAAAAABBCC..",
    "....DCBBBBCCCC..", "........CCCCC...", "................", "................",
};
constexpr std::string_view kOkRows[] = {
    "................", "................", "......DDDD......", "....DBBBBBBD....",
    "...DBBAAAAABD...", "...BBEFAAAAAB...", "..DBAFEAAAAAB...", "..DBAAAAAAAAB...",
    "..DBAAAAAAEABC..", "..DBAAAAAEEABC..", "...BAAAAEEABCC..", "...DBAAAAABBCC..",
    "....DBBBBBCCCC..", "........CCCCC...", "................", "................",
};
constexpr std::string_view kBadRows[] = {
    "................", "................", "......DDDD......", "....DCBBBBCD....",
    "...DBBAAAAABD...", "...CBEFAAAAAC...", "..DBAFEAAAAAB...", "..DBAAAAAAAAB...",
    "..DBAAAAAAEABC..", "..DBAAAAAEEABC..", "...CAAAAEEABCC..", "...DBAAAAABBCC..",
    "....DCBBBBCCCC..", "........CCCCC...", "................", "................",
};
constexpr std::string_view kTestRows[] = {
    "................", "................", "......DDDD......", "....DBBBBBBD....",
    "...DBBAAAAABD...", "...BBEFAAAAAB...", "..DBAFEAAAAAB...", "..DBAAAAAAAAB...",
    "..DBAAAAAAEABC..", "..DBAAAAAEEABC..", "...BAAAAEEGBCC..", "...DBAAAAABBCC..",
    "....DBBBBBCCCC..", "........CCCCC...", "................", "................",
};

constexpr std::pair<char, Rgb> kOffPalette[] = {
    {'A', {0, 0, 0}},       {'B', {63, 0, 0}},      {'C', {47, 0, 0}},
    {'D', {127, 127, 127}}, {'F', {255, 255, 255}},
};
constexpr std::pair<char, Rgb> kOkPalette[] = {
    {'A', {0, 191, 0}},     {'B', {0, 0, 0}},       {'C', {63, 63, 63}},
    {'D', {127, 127, 127}}, {'E', {127, 255, 127}}, {'F', {255, 255, 255}},
};
constexpr std::pair<char, Rgb> kBadPalette[] = {
    {'A', {239, 0, 0}},     {'B', {63, 0, 0}},      {'C', {47, 0, 0}},
    {'D', {127, 127, 127}}, {'E', {255, 111, 111}}, {'F', {255, 255, 255}},
};
constexpr std::pair<char, Rgb> kTestPalette[] = {
    {'A', {191, 191, 0}},   {'B', {0, 0, 0}},       {'C', {63, 63, 63}},  {'D', {127, 127, 127}},
    {'E', {255, 240, 160}}, {'F', {255, 255, 255}}, {'G', {255, 255, 0}},
};

// A D-sub plug seen from the front: flange with screws, the D-shaped shell
// with its nine pins, and the boot and cable below. The letters are the
// indices of the 16-colour palette.
constexpr std::string_view kPlugRows[] = {
    "................................", "................................",
    "................................", "................................",
    "................................", "................................",
    ".888888888888888888888888888888.", ".8FFFFFFFFFFFFFFFFFFFFFFFFFFFF8.",
    ".8F7777000000000000000000777778.", ".8F77770C4444444444444440777778.",
    ".8F77770CBB4BB4BB4BB4BB40777778.", ".8F88870CB34B34B34B34B340788878.",
    ".8F808770C444444444444407780878.", ".8F888770C444444444444407788878.",
    ".8F777770C4BB4BB4BB4BB407777778.", ".8F777770C4B34B34B34B3407777778.",
    ".8F7777770C44444444444077777778.", ".8F7777770000000000000077777778.",
    ".8F7777777777777777777777777778.", ".888888888888888888888888888888.",
    ".........07888888888880.........", ".........07888888888880.........",
    "..........078888888880..........", "..........078888888880..........",
    "...........0788888880...........", "...........0700000000...........",
    ".............088000.............", ".............088000.............",
    ".............088000.............", ".............088000.............",
    ".............088000.............", ".............088000.............",
};
constexpr std::pair<char, Rgb> kPlugPalette[] = {
    {'0', {0, 0, 0}},       {'1', {128, 0, 0}},   {'2', {0, 128, 0}},   {'3', {128, 128, 0}},
    {'4', {0, 0, 128}},     {'5', {128, 0, 128}}, {'6', {0, 128, 128}}, {'7', {192, 192, 192}},
    {'8', {128, 128, 128}}, {'9', {255, 0, 0}},   {'A', {0, 255, 0}},   {'B', {255, 255, 0}},
    {'C', {0, 0, 255}},     {'D', {255, 0, 255}}, {'E', {0, 255, 255}}, {'F', {255, 255, 255}},
};

class ByteWriter {
 public:
  void U8(std::uint32_t v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
  void U16(std::uint32_t v) { U8(v), U8(v >> 8); }
  void U32(std::uint32_t v) { U16(v), U16(v >> 16); }
  void U32BigEndian(std::uint32_t v) { U8(v >> 24), U8(v >> 16), U8(v >> 8), U8(v); }
  void Zeros(std::size_t n) { bytes.insert(bytes.end(), n, 0); }
  std::vector<std::uint8_t> bytes;
};

constexpr std::uint32_t RowBytes(int pixels, int bits) {
  return static_cast<std::uint32_t>((pixels * bits + 31) / 32 * 4);
}

constexpr std::uint32_t kIconDirSize = 6;
constexpr std::uint32_t kIconEntrySize = 16;
constexpr std::uint32_t kBitmapHeaderSize = 40;

std::uint32_t ImageBytes(int size, int bits) {
  const std::uint32_t palette = bits <= 8 ? 4u << bits : 0;
  return kBitmapHeaderSize + palette + (RowBytes(size, bits) + RowBytes(size, 1)) * size;
}

// Where a colour stands in a palette, or nullopt for a transparent pixel or
// a colour the palette lacks.
std::optional<std::uint32_t> PaletteIndex(std::span<const std::pair<char, Rgb>> palette,
                                          const std::optional<Rgb>& rgb) {
  std::optional<std::uint32_t> index;
  for (std::uint32_t i = 0; rgb && i < palette.size(); ++i) {
    if (palette[i].second == *rgb) index = i;
  }
  return index;
}

// One image of an icon file: its size, and the pixel at x, y (top row
// first), nullopt where transparent.
using PixelSource = std::function<std::optional<Rgb>(int size, int x, int y)>;

// The picture centred and unscaled in an image of any size.
PixelSource Centred(const LetterPicture& picture) {
  return [picture](int size, int x, int y) -> std::optional<Rgb> {
    const int margin = (size - picture.size) / 2;
    const int px = x - margin, py = y - margin;
    if (px < 0 || py < 0 || px >= picture.size || py >= picture.size) return std::nullopt;
    return picture.Pixel(px, py);
  };
}

// Writes an icon file with one bitmap image per size, drawn by `pixel`, and,
// if `png` is given, a last 256 by 256 image stored as that PNG file. For
// 4-bit images `palette` must have 16 entries.
std::vector<std::uint8_t> EncodeIcon(const PixelSource& pixel,
                                     std::span<const std::pair<char, Rgb>> palette,
                                     std::span<const int> sizes, int bits,
                                     const std::vector<std::uint8_t>& png = {}) {
  const std::uint32_t count = static_cast<std::uint32_t>(sizes.size()) + (png.empty() ? 0 : 1);
  ByteWriter out;
  out.U16(0);
  out.U16(1);
  out.U16(count);
  std::uint32_t offset = kIconDirSize + kIconEntrySize * count;
  for (int size : sizes) {
    out.U8(static_cast<std::uint32_t>(size));
    out.U8(static_cast<std::uint32_t>(size));
    out.U8(bits == 4 ? 16 : 0);
    out.U8(0);
    out.U16(1);
    out.U16(static_cast<std::uint32_t>(bits));
    out.U32(ImageBytes(size, bits));
    out.U32(offset);
    offset += ImageBytes(size, bits);
  }
  if (!png.empty()) {
    out.U32(0);  // 0 by 0 stands for 256 by 256, no palette
    out.U16(1);
    out.U16(32);
    out.U32(static_cast<std::uint32_t>(png.size()));
    out.U32(offset);
  }
  for (int size : sizes) {
    out.U32(kBitmapHeaderSize);
    out.U32(static_cast<std::uint32_t>(size));
    out.U32(static_cast<std::uint32_t>(size * 2));  // colour rows, then mask rows
    out.U16(1);
    out.U16(static_cast<std::uint32_t>(bits));
    out.U32(0);
    out.U32((RowBytes(size, bits) + RowBytes(size, 1)) * static_cast<std::uint32_t>(size));
    out.Zeros(16);
    if (bits == 4) {
      for (const auto& [letter, rgb] : palette)
        out.U8(rgb.b), out.U8(rgb.g), out.U8(rgb.r), out.U8(0);
    }
    // Rows run bottom up.
    for (int y = size - 1; y >= 0; --y) {
      const std::size_t start = out.bytes.size();
      if (bits == 24) {
        for (int x = 0; x < size; ++x) {
          const Rgb rgb = pixel(size, x, y).value_or(Rgb{});
          out.U8(rgb.b), out.U8(rgb.g), out.U8(rgb.r);
        }
      } else {
        for (int x = 0; x < size; x += 2) {
          std::uint32_t pair = 0;
          for (int half = 0; half < 2; ++half) {
            pair = pair << 4 | PaletteIndex(palette, pixel(size, x + half, y)).value_or(0);
          }
          out.U8(pair);
        }
      }
      out.Zeros(start + RowBytes(size, bits) - out.bytes.size());
    }
    for (int y = size - 1; y >= 0; --y) {
      std::vector<std::uint8_t> row(RowBytes(size, 1), 0);
      for (int x = 0; x < size; ++x) {
        if (!pixel(size, x, y))
          row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
      out.bytes.insert(out.bytes.end(), row.begin(), row.end());
    }
  }
  out.bytes.insert(out.bytes.end(), png.begin(), png.end());
  return out.bytes;
}

std::uint32_t Crc32(std::span<const std::uint8_t> data) {
  std::uint32_t crc = 0xffffffffu;
  for (std::uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PngChunk(ByteWriter& out, const char* type, const std::vector<std::uint8_t>& data) {
  out.U32BigEndian(static_cast<std::uint32_t>(data.size()));
  const std::size_t start = out.bytes.size();
  for (int i = 0; i < 4; ++i) out.U8(static_cast<std::uint8_t>(type[i]));
  out.bytes.insert(out.bytes.end(), data.begin(), data.end());
  out.U32BigEndian(Crc32(std::span(out.bytes).subspan(start)));
}

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint32_t U8(std::size_t at) const {
    if (at >= bytes_.size()) throw std::runtime_error("icon file is cut short");
    return bytes_[at];
  }
  std::uint32_t U16(std::size_t at) const { return U8(at) | U8(at + 1) << 8; }
  std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

std::optional<Rgb> LetterPicture::Pixel(int x, int y) const {
  const char letter = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
  if (letter == '.') return std::nullopt;
  for (const auto& [key, rgb] : palette) {
    if (key == letter) return rgb;
  }
  throw std::logic_error(std::string("no colour for letter ") + letter);
}

LetterPicture LampPicture(LampKind kind) {
  switch (kind) {
    case LampKind::kOff:
      return {kLampSize, kOffRows, kOffPalette};
    case LampKind::kOk:
      return {kLampSize, kOkRows, kOkPalette};
    case LampKind::kBad:
      return {kLampSize, kBadRows, kBadPalette};
    case LampKind::kTest:
      return {kLampSize, kTestRows, kTestPalette};
  }
  throw std::logic_error("unknown lamp kind");
}

std::string LampIconFileName(LampKind kind) {
  switch (kind) {
    case LampKind::kOff:
      return "off.ico";
    case LampKind::kOk:
      return "ok.ico";
    case LampKind::kBad:
      return "bad.ico";
    case LampKind::kTest:
      return "test.ico";
  }
  throw std::logic_error("unknown lamp kind");
}

LetterPicture PlugPicture() { return {32, kPlugRows, kPlugPalette}; }

std::vector<std::uint8_t> EncodeLampIcon(LampKind kind) {
  const LetterPicture lamp = LampPicture(kind);
  return EncodeIcon(Centred(lamp), lamp.palette, kLampIconSizes, 24);
}

std::vector<std::uint8_t> EncodePlugIcon() {
  std::map<int, std::vector<std::optional<Rgb>>> images;
  for (int size : kPlugIconSizes) images[size] = PlugImage(size);
  const auto pixel = [&images](int size, int x, int y) {
    return images.at(size)[static_cast<std::size_t>(y * size + x)];
  };
  return EncodeIcon(pixel, PlugPicture().palette, kPlugIconSizes, 4,
                    EncodePlugPng(kPlugIconPngSize));
}

std::vector<std::optional<Rgb>> PlugImage(int size) {
  const LetterPicture plug = PlugPicture();
  // Where a pixel of the wanted size comes from in the picture, or -1.
  std::function<int(int)> source;
  const auto halved = [](int at) { return 2 * at + 1; };  // keeps the rim on the left and bottom
  if (size == plug.size / 2) {
    source = halved;
  } else if (size > plug.size / 2 && size < plug.size) {
    source = [halved, margin = (size - plug.size / 2) / 2, n = plug.size / 2](int at) {
      return at < margin || at >= margin + n ? -1 : halved(at - margin);
    };
  } else if (size >= plug.size && size % plug.size == 0) {
    source = [scale = size / plug.size](int at) { return at / scale; };
  } else if (size > plug.size) {
    source = [margin = (size - plug.size) / 2, n = plug.size](int at) {
      return at < margin || at >= margin + n ? -1 : at - margin;
    };
  } else {
    throw std::invalid_argument("no plug picture of size " + std::to_string(size));
  }
  // Each source pixel and each row's and column's source, looked up once.
  std::vector<std::optional<Rgb>> picture(static_cast<std::size_t>(plug.size * plug.size));
  for (int y = 0; y < plug.size; ++y) {
    for (int x = 0; x < plug.size; ++x) {
      picture[static_cast<std::size_t>(y * plug.size + x)] = plug.Pixel(x, y);
    }
  }
  std::vector<int> from(static_cast<std::size_t>(size));
  for (int at = 0; at < size; ++at) from[static_cast<std::size_t>(at)] = source(at);
  std::vector<std::optional<Rgb>> pixels(static_cast<std::size_t>(size * size));
  for (int y = 0; y < size; ++y) {
    const int sy = from[static_cast<std::size_t>(y)];
    if (sy < 0) continue;
    for (int x = 0; x < size; ++x) {
      const int sx = from[static_cast<std::size_t>(x)];
      if (sx >= 0) {
        pixels[static_cast<std::size_t>(y * size + x)] =
            picture[static_cast<std::size_t>(sy * plug.size + sx)];
      }
    }
  }
  return pixels;
}

std::string PlugPngFileName(int size) { return "velkaro-" + std::to_string(size) + ".png"; }

std::vector<std::uint8_t> EncodePlugPng(int size) {
  const std::vector<std::optional<Rgb>> pixels = PlugImage(size);
  const std::span<const std::pair<char, Rgb>> palette = PlugPicture().palette;
  // Indexed colour: 0 is transparent, then the plug's palette.
  std::vector<std::uint8_t> raw;  // each row: filter type 0, then an index per pixel
  for (int y = 0; y < size; ++y) {
    raw.push_back(0);
    for (int x = 0; x < size; ++x) {
      const std::optional<std::uint32_t> index =
          PaletteIndex(palette, pixels[static_cast<std::size_t>(y * size + x)]);
      raw.push_back(static_cast<std::uint8_t>(index ? *index + 1 : 0));
    }
  }
  // A zlib stream of stored blocks: small enough not to need compressing.
  ByteWriter zlib;
  zlib.U8(0x78), zlib.U8(0x01);
  for (std::size_t at = 0; at < raw.size(); at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    zlib.U8(at + n == raw.size() ? 1 : 0);
    zlib.U16(static_cast<std::uint32_t>(n));
    zlib.U16(static_cast<std::uint32_t>(~n & 0xffff));
    zlib.bytes.insert(zlib.bytes.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                      raw.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) a = (a + byte) % 65521, b = (b + a) % 65521;
  zlib.U32BigEndian(b << 16 | a);

  ByteWriter png;
  for (std::uint32_t byte : {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a}) png.U8(byte);
  ByteWriter header;
  header.U32BigEndian(static_cast<std::uint32_t>(size));
  header.U32BigEndian(static_cast<std::uint32_t>(size));
  header.U8(8), header.U8(3), header.U8(0), header.U8(0), header.U8(0);  // 8-bit indexed
  PngChunk(png, "IHDR", header.bytes);
  std::vector<std::uint8_t> colours = {0, 0, 0};
  for (const auto& [letter, rgb] : palette) colours.insert(colours.end(), {rgb.r, rgb.g, rgb.b});
  PngChunk(png, "PLTE", colours);
  PngChunk(png, "tRNS", {0});  // only the first entry is transparent
  PngChunk(png, "IDAT", zlib.bytes);
  PngChunk(png, "IEND", {});
  return png.bytes;
}

std::vector<IconImage> DecodeIcon(std::span<const std::uint8_t> bytes) {
  const ByteReader in(bytes);
  if (in.U16(0) != 0 || in.U16(2) != 1) throw std::runtime_error("not an icon file");
  std::vector<IconImage> images;
  for (std::uint32_t i = 0; i < in.U16(4); ++i) {
    const std::size_t entry = kIconDirSize + kIconEntrySize * i;
    const std::size_t at = in.U32(entry + 12);
    IconImage image;
    if (in.U32(at) == 0x474e5089) {  // "\x89PNG"
      const std::size_t bytes_in_entry = in.U32(entry + 8);
      if (at + bytes_in_entry > bytes.size()) throw std::runtime_error("icon file is cut short");
      image.size = in.U8(entry) == 0 ? 256 : static_cast<int>(in.U8(entry));
      image.bits_per_pixel = static_cast<int>(in.U16(entry + 6));
      image.png.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + bytes_in_entry));
      images.push_back(std::move(image));
      continue;
    }
    image.size = static_cast<int>(in.U32(at + 4));
    image.bits_per_pixel = static_cast<int>(in.U16(at + 14));
    const int bits = image.bits_per_pixel;
    if (in.U32(at) != kBitmapHeaderSize || image.size <= 0 || image.size > 256 ||
        in.U32(at + 8) != static_cast<std::uint32_t>(image.size) * 2 || in.U32(at + 16) != 0 ||
        (bits != 24 && bits != 4) ||
        in.U8(entry) != (static_cast<std::uint32_t>(image.size) & 0xff)) {
      throw std::runtime_error("unsupported icon image");
    }
    const std::size_t palette = at + kBitmapHeaderSize;
    const std::size_t colours = palette + (bits == 4 ? 64 : 0);
    const std::size_t mask =
        colours + RowBytes(image.size, bits) * static_cast<std::size_t>(image.size);
    if (in.U32(entry + 8) !=
        mask + RowBytes(image.size, 1) * static_cast<std::size_t>(image.size) - at) {
      throw std::runtime_error("icon image size does not match its entry");
    }
    if (at + in.U32(entry + 8) > bytes.size()) throw std::runtime_error("icon file is cut short");
    for (int y = 0; y < image.size; ++y) {
      const std::size_t row = static_cast<std::size_t>(image.size - 1 - y);
      for (int x = 0; x < image.size; ++x) {
        const auto ux = static_cast<std::size_t>(x);
        if (in.U8(mask + row * RowBytes(image.size, 1) + ux / 8) & (0x80u >> (ux % 8))) {
          image.pixels.push_back(std::nullopt);
          continue;
        }
        std::size_t bgr = colours + row * RowBytes(image.size, bits) + ux * 3;
        if (bits == 4) {
          const std::uint32_t pair = in.U8(colours + row * RowBytes(image.size, bits) + ux / 2);
          bgr = palette + 4 * (ux % 2 == 0 ? pair >> 4 : pair & 0xf);
        }
        image.pixels.push_back(Rgb{static_cast<std::uint8_t>(in.U8(bgr + 2)),
                                   static_cast<std::uint8_t>(in.U8(bgr + 1)),
                                   static_cast<std::uint8_t>(in.U8(bgr))});
      }
    }
    images.push_back(std::move(image));
  }
  return images;
}

}  // namespace velkaro::pictures
