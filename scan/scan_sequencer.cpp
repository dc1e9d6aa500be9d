#include "scan_sequencer.h"

#include <limits>
#include <stdexcept>

namespace velkaro {

namespace {
constexpr char kNotProbed[] = "not probed yet";
}  // namespace

void ScanSequencer::Form_Load() {
  ScanStep = 0;
  lamps_.ResetLamps();
  findings_.fill(kNotProbed);
}

void ScanSequencer::Command1_Click() {
  lamps_.ResetLamps();
  findings_.fill(kNotProbed);
  timer_.SetEnabled(true);
}

void ScanSequencer::Timer1_Timer() {
  if (ScanStep == std::numeric_limits<std::int32_t>::max()) {
    throw std::overflow_error("ScanStep overflow");
  }
  ++ScanStep;
  if (ScanStep >= SerialPort::kFirstPort && ScanStep <= SerialPort::kLastPort) {
    const auto port = static_cast<std::int16_t>(ScanStep);
    ProbePort(port, comm_, lamps_, err_);
    const std::string finding = comm_.Finding();
    findings_[static_cast<std::size_t>(port - 1)] = finding.empty() ? "not judged" : finding;
  } else {
    timer_.SetEnabled(false);
    ScanStep = 0;
  }
}

std::string ScanSequencer::Summary(std::int16_t port) const {
  const std::string& finding = findings_.at(static_cast<std::size_t>(port - 1));
  return "COM" + std::to_string(port) + " (" + comm_.DevicePath(port) +
         "): " + (finding.empty() ? kNotProbed : finding);
}

}  // namespace velkaro
