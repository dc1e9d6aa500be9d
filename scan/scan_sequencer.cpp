#include "scan_sequencer.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "showable.h"

namespace velkaro {

namespace {

// What the scan itself says of a port it has no finding of.
PortFinding NotJudged(std::string words) {
  PortFinding finding;
  finding.words = finding.line = std::move(words);
  return finding;
}

const PortFinding kNotProbed = NotJudged("not probed yet");

}  // namespace

ScanSequencer::ScanSequencer(LampState& lamps, SerialPort& comm, TimerSwitch& timer)
    : lamps_(lamps), comm_(comm), timer_(timer) {
  findings_.fill(kNotProbed);
  for (std::int16_t port = 1; port <= kPortCount; ++port) {
    paths_[static_cast<std::size_t>(port - 1)] = comm_.DevicePath(port);
  }
}

ScanSequencer::ScanSequencer(LampState& lamps, SerialPort& comm, TimerSwitch& timer,
                             std::function<void()> probe_done)
    : ScanSequencer(lamps, comm, timer) {
  worker_ = std::make_unique<ProbeWorker>(comm_, std::move(probe_done));
}

void ScanSequencer::Form_Load() {
  ScanStep = 0;
  lamps_.ResetLamps();
  findings_.fill(kNotProbed);
}

void ScanSequencer::Command1_Click() {
  ++presses_;
  lamps_.ResetLamps();
  findings_.fill(kNotProbed);
  timer_.SetEnabled(true);
}

void ScanSequencer::End() {
  ended_ = true;
  timer_.SetEnabled(false);
  worker_.reset();
  probe_out_ = false;
}

void ScanSequencer::Timer1_Timer() {
  if (ended_) return;
  // The scan goes at the pace of a probe that takes longer than a tick.
  if (probe_out_) TakeResult();
  if (probe_out_) return;
  if (ScanStep == std::numeric_limits<std::int32_t>::max()) {
    throw std::overflow_error("ScanStep overflow");
  }
  ++ScanStep;
  if (ScanStep < SerialPort::kFirstPort || ScanStep > SerialPort::kLastPort) {
    timer_.SetEnabled(false);
    ScanStep = 0;
    return;
  }
  const auto port = static_cast<std::int16_t>(ScanStep);
  probe_out_ = true;
  started_after_ = presses_;
  if (worker_) {
    worker_->Start(port);
    return;
  }
  Finish(RunProbe(port, comm_, err_));
}

void ScanSequencer::ProbeDone() { TakeResult(); }

void ScanSequencer::TakeResult() {
  if (!worker_) return;
  if (std::optional<ProbeResult> result = worker_->Take()) Finish(std::move(*result));
}

void ScanSequencer::Finish(ProbeResult result) {
  probe_out_ = false;
  // A press came meanwhile: the new scan has not reached this port.
  if (started_after_ != presses_) return;
  const ProbeOutcome& outcome = result.outcome;
  PortFinding& finding = findings_[static_cast<std::size_t>(outcome.port - 1)];
  if (result.failure) {
    finding = NotJudged("not judged: " + FailureInWords(result.failure));
    std::rethrow_exception(result.failure);
  }
  ShowVerdict(outcome, lamps_);
  // A layer that said nothing judged nothing either.
  finding = outcome.finding.line.empty() ? NotJudged("not judged") : outcome.finding;
}

std::string ScanSequencer::Summary(std::int16_t port) const {
  // The device may be any path the user chose; the line is clean already.
  return "COM" + std::to_string(port) + " (" + ShowableName(DevicePath(port)) +
         "): " + Found(port).line;
}

const PortFinding& ScanSequencer::Found(std::int16_t port) const {
  return findings_.at(static_cast<std::size_t>(port - 1));
}

const std::string& ScanSequencer::DevicePath(std::int16_t port) const {
  return paths_.at(static_cast<std::size_t>(port - 1));
}

}  // namespace velkaro
