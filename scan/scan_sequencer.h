#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "lamp_state.h"
#include "port_probe.h"
#include "serial_port.h"

namespace velkaro {

// The one thing the scan may do to its timer.
class TimerSwitch {
 public:
  virtual ~TimerSwitch() = default;
  virtual void SetEnabled(bool enabled) = 0;
};

// Turns a press of the button into a scan of ports 1 to 6, one per tick of a
// 300 ms timer, and stops the timer on the seventh tick.
class ScanSequencer {
 public:
  static constexpr int kTickMilliseconds = 300;

  ScanSequencer(LampState& lamps, SerialPort& comm, TimerSwitch& timer)
      : lamps_(lamps), comm_(comm), timer_(timer) {}

  void Form_Load();
  void Command1_Click();
  // Throws std::overflow_error if ScanStep cannot count up, and passes on a
  // SerialError from the probe.
  void Timer1_Timer();

  const ErrorTrap& err() const { return err_; }

  // What is known of port n, as one line for a person to read:
  // "COM1 (/dev/ttyS0): present, free". A port the scan has not reached
  // since the last press is "not probed yet".
  std::string Summary(std::int16_t port) const;

  // 0 while idle; during a scan, the last port probed.
  std::int32_t ScanStep = 0;

 private:
  LampState& lamps_;
  SerialPort& comm_;
  TimerSwitch& timer_;
  ErrorTrap err_;
  std::array<std::string, kPortCount> findings_;
};

}  // namespace velkaro
