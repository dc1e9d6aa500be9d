#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "lamp_state.h"
#include "port_finding.h"
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

// What one probe found, handed from the thread that talked to the port to
// the one that shows it.
struct ProbeOutcome {
  std::int16_t port = 0;
  ErrorNumber number;   // the one the open left: the verdict
  PortFinding finding;  // what the port found, with its own words for it
};

// The probe's part that talks to the port: chooses port n (1 to 6), opens it,
// closes it and clears the number. Throws SerialError if the port cannot be
// chosen; every later failure only decides the verdict. Touches no lamp.
ProbeOutcome TryPort(std::int16_t port, SerialPort& comm, ErrorTrap& err);

// The probe's part that shows the verdict: green or red on the port's lamps,
// and for n < 6 port n+1 yellow.
void ShowVerdict(const ProbeOutcome& outcome, LampState& lamps);

// Both parts on the caller's thread.
void ProbePort(std::int16_t port, SerialPort& comm, LampState& lamps, ErrorTrap& err);

}  // namespace velkaro
