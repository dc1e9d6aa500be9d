#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "error_number.h"
#include "port_finding.h"

namespace velkaro {

// The serial operations the probe needs: choose a port, open it, close it.
// Failures come back as error numbers, never as exceptions.
class SerialPort {
 public:
  static constexpr std::int16_t kFirstPort = 1;
  static constexpr std::int16_t kLastPort = 6;

  virtual ~SerialPort() = default;

  // Chooses port COMn. Accepted for 1 to 6 while the port is closed.
  virtual ErrorNumber SetCommPort(std::int16_t port) = 0;

  // Opens (true) or closes (false) the chosen port. An open that fails with
  // kLineSettingsFailed leaves the port open, for the close step to put back
  // what it changed and close it; after any other failed open the port is
  // closed. Closing a closed port is harmless.
  virtual ErrorNumber SetPortOpen(bool open) = 0;

  // The device COMn is, as the system names it: "/dev/ttyS0", "\\.\COM1".
  virtual std::string DevicePath(std::int16_t port) const = 0;

  // What the last open of the chosen port saw, with its words: "present,
  // free", "absent: no device node". A close that could not put the port
  // back as it was adds to it. Its presence is for the probe to judge.
  virtual PortFinding Found() const = 0;
  // The words a person reads of it.
  std::string Finding() const { return Found().line; }

  // Called from another thread while the program ends, with a probe perhaps
  // under way: an open still waiting on the system, that has changed nothing
  // on the port yet, gives up, so that the probe ends soon. Everything else
  // the probe does runs to its end. A port whose open never waits may ignore
  // it; the others must make it safe to call at any moment.
  virtual void CancelOpen() {}

  // Called once on the thread that runs probes, before its first.
  virtual void OnProbeThread() {}

  // Set by whoever runs the probes on a thread of their own. The port asks
  // it the moment an open has given it the port, before anything on the
  // port has changed: true, and the probe holds the port until its close;
  // false (the program is ending without waiting for this probe), and the
  // port is closed again at once, unchanged, and the open fails.
  void SetHoldGate(std::function<bool()> gate) { hold_gate_ = std::move(gate); }

 protected:
  bool MayHold() const { return !hold_gate_ || hold_gate_(); }

 private:
  std::function<bool()> hold_gate_;
};

}  // namespace velkaro
