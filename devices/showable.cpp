#include "showable.h"

namespace velkaro {

std::string ShowableName(std::string_view name) {
  // Any program may name itself: nothing in its name may reach a terminal
  // as a control sequence, break a line of the list, turn text around for
  // the reader, or make the output invalid UTF-8.
  const auto hidden = [](char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
  };
  std::string shown;
  for (std::size_t at = 0; at < name.size();) {
    const auto lead = static_cast<unsigned char>(name[at]);
    // The sequence's length, and the least code point it may encode, so
    // that no character is written longer than it must be.
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xc2 && lead < 0xe0 ? 2
                               : lead >= 0xe0 && lead < 0xf0 ? 3
                               : lead >= 0xf0 && lead < 0xf5 ? 4
                                                             : 0;
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t c = length == 1 ? lead : lead & (0x7fu >> length);
    bool valid = length > 0 && at + length <= name.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
      const auto next = static_cast<unsigned char>(name[at + i]);
      valid = (next & 0xc0) == 0x80;
      c = (c << 6) | (next & 0x3f);
    }
    valid = valid && c >= kLeast[length] && c <= 0x10ffff && !(c >= 0xd800 && c <= 0xdfff);
    if (!valid || hidden(c)) {
      shown += '?';
      at += valid ? length : 1;
      continue;
    }
    shown.append(name.substr(at, length));
    at += length;
  }
  return shown;
}

}  // namespace velkaro
