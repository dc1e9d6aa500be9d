#include "showable.h"

namespace velkaro {
namespace {

// A control that must not reach a terminal: C0 and C1 controls, DEL, and
// the bidirectional controls, which could turn the text around for the
// reader.
bool Hidden(char32_t c) {
  return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Calls `each(character, length, valid)` for each character of UTF-8 text,
// or for each byte that begins no valid sequence (valid false, length 1).
template <typename Each>
void ForEachCharacter(std::string_view text, Each each) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    // The sequence's length, and the least code point it may encode, so
    // that no character is written longer than it must be.
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xc2 && lead < 0xe0 ? 2
                               : lead >= 0xe0 && lead < 0xf0 ? 3
                               : lead >= 0xf0 && lead < 0xf5 ? 4
                                                             : 0;
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t c = length == 1 ? lead : lead & (0x7fu >> length);
    bool valid = length > 0 && at + length <= text.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      valid = (next & 0xc0) == 0x80;
      c = (c << 6) | (next & 0x3f);
    }
    valid = valid && c >= kLeast[length] && c <= 0x10ffff && !(c >= 0xd800 && c <= 0xdfff);
    each(valid ? c : lead, valid ? length : 1, valid, at);
    at += valid ? length : 1;
  }
}

}  // namespace

std::string ShowableName(std::string_view name) {
  // Any program may name itself, and any device its strings: nothing of
  // them may reach a terminal as a control sequence, break a line of the
  // list, turn text around for the reader, or make the output invalid UTF-8.
  std::string shown;
  ForEachCharacter(name, [&](char32_t c, std::size_t length, bool valid, std::size_t at) {
    if (!valid || Hidden(c)) {
      shown += '?';
    } else {
      shown.append(name.substr(at, length));
    }
  });
  return shown;
}

bool HoldsControls(std::string_view text) {
  bool holds = false;
  ForEachCharacter(text, [&](char32_t c, std::size_t, bool, std::size_t) {
    // A lone byte of 0x80 to 0x9F is a C1 control to a terminal that reads
    // bytes; other bytes that are no UTF-8 are only shown as '?'.
    holds = holds || Hidden(c);
  });
  return holds;
}

}  // namespace velkaro
