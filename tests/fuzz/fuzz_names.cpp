// The cleaning of any name from outside: what it leaves may be shown, it
// changes nothing twice, and a path that passes HoldsControls is shown as it
// is, but for bytes that are not UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "showable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::string shown = velkaro::ShowableName(name);
  velkaro::fuzz::CheckShowable(shown, "ShowableName");
  velkaro::fuzz::Require(shown.find('\n') == std::string::npos, "a line break shown");
  velkaro::fuzz::Require(velkaro::ShowableName(shown) == shown, "cleaned twice, it changed");
  velkaro::fuzz::Require(!velkaro::HoldsControls(shown), "a control left in what is shown");
  return 0;
}
