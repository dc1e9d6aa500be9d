#include "scan_sequencer.h"

#include <limits>
#include <stdexcept>

namespace velkaro {

void ScanSequencer::Form_Load() {
  ScanStep = 0;
  lamps_.ResetLamps();
}

void ScanSequencer::Command1_Click() {
  lamps_.ResetLamps();
  timer_.SetEnabled(true);
}

void ScanSequencer::Timer1_Timer() {
  if (ScanStep == std::numeric_limits<std::int32_t>::max()) {
    throw std::overflow_error("ScanStep overflow");
  }
  ++ScanStep;
  if (ScanStep >= SerialPort::kFirstPort && ScanStep <= SerialPort::kLastPort) {
    ProbePort(static_cast<std::int16_t>(ScanStep), comm_, lamps_, err_);
  } else {
    timer_.SetEnabled(false);
    ScanStep = 0;
  }
}

}  // namespace velkaro
