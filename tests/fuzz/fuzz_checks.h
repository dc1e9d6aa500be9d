#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace velkaro::fuzz {

// Stops the run where text meant for a terminal holds what it must not: a
// byte below 0x20 but the newline, DEL, a C1 or bidirectional control, or
// a byte that is not valid UTF-8.
inline void CheckShowable(std::string_view text, const char* what) {
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
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
    const bool control = (c < 0x20 && c != '\n') || (c >= 0x7f && c <= 0x9f) || c == 0x061c ||
                         c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
                         (c >= 0x2066 && c <= 0x2069);
    if (!valid || control) {
      std::fprintf(stderr, "%s: byte %zu of the text is not to be shown\n", what, at);
      std::abort();
    }
    at += length;
  }
}

inline void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

// The JSON, written as Velkaro writes it (bytes that are not UTF-8 as
// U+FFFD), reads back to data that is written the same again.
inline void CheckJsonReadsBack(const nlohmann::ordered_json& json) {
  const auto replace = nlohmann::ordered_json::error_handler_t::replace;
  const std::string text = json.dump(-1, ' ', false, replace);
  Require(nlohmann::ordered_json::parse(text).dump(-1, ' ', false, replace) == text,
          "JSON that does not read back");
}

}  // namespace velkaro::fuzz
