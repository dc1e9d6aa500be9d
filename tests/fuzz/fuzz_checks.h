#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace velkaro::fuzz {

inline void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

// Stops the run where text meant for a terminal holds what it must not: a
// byte below 0x20 but the newline, DEL, a C1 or bidirectional control, or
// bytes that are not valid UTF-8. Told by nlohmann/json, a reader of UTF-8
// of its own: it refuses what is not, and escapes every other character
// but ASCII, which leaves the rest to be read one escape at a time.
inline void CheckShowable(std::string_view text, const char* what) {
  std::string escaped;
  try {
    escaped = nlohmann::json(std::string(text)).dump(-1, ' ', true);
  } catch (const nlohmann::json::type_error&) {
    Require(false, what);  // not UTF-8
  }
  for (std::size_t at = 1; at + 1 < escaped.size(); ++at) {  // inside the quotes
    Require(escaped[at] != 0x7f, what);
    if (escaped[at] != '\\') continue;
    const char escape = escaped[++at];
    Require(escape != 'b' && escape != 'f' && escape != 'r' && escape != 't', what);
    if (escape != 'u') continue;
    const unsigned long c = std::stoul(escaped.substr(at + 1, 4), nullptr, 16);
    at += 4;
    Require(c >= 0x20 && !(c >= 0x80 && c <= 0x9f) && c != 0x061c && c != 0x200e && c != 0x200f &&
                !(c >= 0x202a && c <= 0x202e) && !(c >= 0x2066 && c <= 0x2069),
            what);
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
