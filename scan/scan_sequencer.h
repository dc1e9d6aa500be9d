#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lamp_state.h"
#include "port_probe.h"
#include "probe_worker.h"
#include "serial_port.h"

namespace velkaro {

// The one thing the scan may do to its timer.
class TimerSwitch {
 public:
  virtual ~TimerSwitch() = default;
  virtual void SetEnabled(bool enabled) = 0;
};

// Turns a press of the button into a scan of ports 1 to 6, one per tick of a
// 300 ms timer, and stops the timer on the seventh tick. Its state changes
// only on the thread that calls it.
class ScanSequencer {
 public:
  static constexpr int kTickMilliseconds = 300;

  // Each probe runs to its end inside its tick, on the caller's thread.
  ScanSequencer(LampState& lamps, SerialPort& comm, TimerSwitch& timer);
  // Each probe runs on a worker thread of its own, which owns `comm` from
  // then on. `probe_done` is called on that thread when a probe has ended,
  // and must only ask the caller's thread to call ProbeDone.
  ScanSequencer(LampState& lamps, SerialPort& comm, TimerSwitch& timer,
                std::function<void()> probe_done);

  void Form_Load();
  // Also drops the result of a probe still out: its port stays unlit.
  void Command1_Click();
  // Throws std::overflow_error if ScanStep cannot count up, and passes on a
  // SerialError from a probe that runs inside the tick. A tick that comes
  // while a probe is out first takes its result, should the word that it
  // ended have been lost, and otherwise does nothing.
  void Timer1_Timer();
  // Shows what the probe out found. Passes on what it threw, as a tick does,
  // and the port's finding then says in words why it was not judged. A
  // probe started before the last press is dropped, whatever it found.
  void ProbeDone();

  // Ends the scan for good, as the session ends: the timer stops, no probe
  // starts again, and a probe that holds its port puts it back first.
  void End();

  bool probe_out() const { return probe_out_; }

  // What is known of port n, as one line for a person to read:
  // "COM1 (/dev/ttyS0): present, free". A port the scan has not reached
  // since the last press is "not probed yet".
  std::string Summary(std::int16_t port) const;
  // The same as data, and the device port n is.
  const PortFinding& Found(std::int16_t port) const;
  const std::string& DevicePath(std::int16_t port) const;

  // 0 while idle; during a scan, the last port probed or being probed.
  std::int32_t ScanStep = 0;

 private:
  // Takes the result of the probe out on the worker, if it has ended.
  void TakeResult();
  // Shows a probe's result, unless a press came since it was started.
  void Finish(ProbeResult result);

  LampState& lamps_;
  SerialPort& comm_;
  TimerSwitch& timer_;
  ErrorTrap err_;                              // for probes inside the tick; the worker has its own
  std::array<std::string, kPortCount> paths_;  // the ports' device names, asked once
  std::array<PortFinding, kPortCount> findings_;
  bool probe_out_ = false;
  bool ended_ = false;
  std::uint64_t presses_ = 0;
  std::uint64_t started_after_ = 0;  // the presses when the probe out was started
  // Last, so that it ends first: it waits for a probe under way.
  std::unique_ptr<ProbeWorker> worker_;
};

}  // namespace velkaro
