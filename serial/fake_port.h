#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial_port.h"

namespace velkaro {

// A scripted serial port for tests and benchmarks: each port number has the
// outcome its open and close report, and every call is logged.
class FakeSerialPort : public SerialPort {
 public:
  enum class Op { kSetCommPort, kOpen, kClose };
  struct Call {
    Op op;
    std::int16_t port;  // the port chosen when the call was made (0: none yet)
    friend bool operator==(const Call&, const Call&) = default;
  };

  // Unscripted ports report no such port on open and succeed on close.
  FakeSerialPort();

  // The finding is the fake's own words for the outcome unless given.
  void SetOpenOutcome(std::int16_t port, ErrorNumber outcome, std::string finding = {});
  void SetCloseOutcome(std::int16_t port, ErrorNumber outcome);

  ErrorNumber SetCommPort(std::int16_t port) override;
  ErrorNumber SetPortOpen(bool open) override;
  std::string DevicePath(std::int16_t port) const override;
  // Says what a real port would for the outcome its open was scripted with.
  PortFinding Found() const override;

  // Where the next open of a port waits, as a slow device's would, until
  // ReleaseOpen, or 30 s.
  enum class Hold {
    kInOpen,             // before the port is ours
    kInOpenCancellable,  // and CancelOpen gives it up: no such port
    kHoldingPort,        // once the open has given it the port
  };
  // Safe to call from any thread, as are the four after it.
  void HoldOpen(std::int16_t port, Hold where = Hold::kInOpen);
  void ReleaseOpen();
  void CancelOpen() override;
  // Waits until an open is held, at most `seconds`; false if none came.
  bool WaitUntilOpenHeld(int seconds = 10);
  // Given up: by a cancel, or refused the port as the program ends.
  bool open_given_up();
  bool open_cancelled();

  const std::vector<Call>& calls() const { return calls_; }
  // The ports whose open was attempted, in order.
  std::vector<std::int16_t> OpenAttempts() const;
  bool is_open() const { return open_; }
  void ClearLog() { calls_.clear(); }

 private:
  static std::size_t Index(std::int16_t port);
  bool WaitAtGate(std::unique_lock<std::mutex>& lock);

  std::array<ErrorNumber, kLastPort + 1> open_outcome_{};
  std::array<ErrorNumber, kLastPort + 1> close_outcome_{};
  std::array<std::string, kLastPort + 1> open_finding_{};
  std::vector<Call> calls_;
  std::int16_t port_ = 0;
  bool open_ = false;
  std::string finding_;

  std::mutex gate_mutex_;
  std::condition_variable gate_;
  std::int16_t held_port_ = 0;  // whose next open waits
  Hold hold_ = Hold::kInOpen;
  bool holding_ = false;    // an open has come to the gate
  bool listening_ = false;  // and a cancel would give it up
  bool cancelled_ = false;
  bool given_up_ = false;
  bool cancelled_open_ = false;
};

// A port that cannot even be chosen: the probe's first step fails, and with
// it the tick that called it.
class RefusingSerialPort : public SerialPort {
 public:
  ErrorNumber SetCommPort(std::int16_t) override { return kNoSuchPort; }
  ErrorNumber SetPortOpen(bool) override { return kNoError; }
  std::string DevicePath(std::int16_t) const override { return {}; }
  PortFinding Found() const override { return {}; }
};

}  // namespace velkaro
