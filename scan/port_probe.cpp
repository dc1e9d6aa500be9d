#include "port_probe.h"

#include <string>

namespace velkaro {

SerialError::SerialError(ErrorNumber number)
    : std::runtime_error("the serial layer refused to choose the port"), number_(number) {}

ProbeOutcome TryPort(std::int16_t port, SerialPort& comm, ErrorTrap& err) {
  // Choosing the port is not trapped: a failure here goes to the caller.
  if (const ErrorNumber chosen = comm.SetCommPort(port); chosen.failed()) throw SerialError(chosen);

  // From here on every failure is trapped and the probe carries on.
  err.Clear();
  err.Record(comm.SetPortOpen(true));
  ProbeOutcome outcome{.port = port, .number = err.number(), .finding = {}};
  // Close whatever the open did: a failed open leaves nothing to close, and a
  // failed close only sets a number that is dropped next.
  err.Record(comm.SetPortOpen(false));
  err.Clear();
  outcome.finding = comm.Found();
  outcome.finding.presence = !outcome.finding.judged            ? PortFinding::Presence::kNotJudged
                             : ProvesPortExists(outcome.number) ? PortFinding::Presence::kPresent
                                                                : PortFinding::Presence::kAbsent;
  return outcome;
}

void ShowVerdict(const ProbeOutcome& outcome, LampState& lamps) {
  const std::int16_t port = outcome.port;
  lamps.SetVisible(port, LampKind::kTest, false);
  if (ProvesPortExists(outcome.number)) {
    lamps.SetVisible(port, LampKind::kOk, true);
  } else {
    lamps.SetVisible(port, LampKind::kBad, true);
  }
  if (port < SerialPort::kLastPort) {
    lamps.SetVisible(port + 1, LampKind::kTest, true);
    lamps.SetVisible(port + 1, LampKind::kOff, false);
  }
}

void ProbePort(std::int16_t port, SerialPort& comm, LampState& lamps, ErrorTrap& err) {
  ShowVerdict(TryPort(port, comm, err), lamps);
}

}  // namespace velkaro
