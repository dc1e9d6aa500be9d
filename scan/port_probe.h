#pragma once

#include <cstdint>
#include <stdexcept>

#include "lamp_state.h"
#include "serial_port.h"

namespace velkaro {

// The error number under trap-and-continue: a failing step replaces it, a
// succeeding step leaves it as it was.
class ErrorTrap {
 public:
  void Record(ErrorNumber outcome) {
    if (outcome.failed()) number_ = outcome;
  }
  void Clear() { number_ = kNoError; }
  ErrorNumber number() const { return number_; }

 private:
  ErrorNumber number_;
};

// A serial failure that nothing trapped.
class SerialError : public std::runtime_error {
 public:
  explicit SerialError(ErrorNumber number);
  ErrorNumber number() const { return number_; }

 private:
  ErrorNumber number_;
};

// Whether an open that left this number proves the port exists.
constexpr bool ProvesPortExists(ErrorNumber number) {
  return number == kLineSettingsFailed || number == kNoError || number == kPortUnavailable;
}

// Opens and closes port n (1 to 6), shows green or red on its lamps, and for
// n < 6 marks port n+1 yellow. Throws SerialError if the port cannot be
// chosen; every later failure only decides the colour.
void ProbePort(std::int16_t port, SerialPort& comm, LampState& lamps, ErrorTrap& err);

}  // namespace velkaro
