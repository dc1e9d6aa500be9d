#pragma once

#include <cstdint>

namespace velkaro {

// The number a serial operation leaves behind. Zero means nothing failed; every
// other value names one failure. The probe judges a port only by this number.
class ErrorNumber {
 public:
  constexpr ErrorNumber() = default;
  constexpr explicit ErrorNumber(std::int32_t value) : value_(value) {}

  constexpr std::int32_t value() const { return value_; }
  constexpr bool failed() const { return value_ != 0; }

  friend constexpr bool operator==(ErrorNumber, ErrorNumber) = default;

 private:
  std::int32_t value_ = 0;
};

// The port was opened.
inline constexpr ErrorNumber kNoError{0};
// The port is there, but another program holds it.
inline constexpr ErrorNumber kPortUnavailable{68};
// The port is there, but its line settings could not be applied.
inline constexpr ErrorNumber kLineSettingsFailed{8015};
// There is no such port; also our number for every other failure.
inline constexpr ErrorNumber kNoSuchPort{8002};

}  // namespace velkaro
