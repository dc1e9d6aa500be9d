#include "fake_port.h"

#include <chrono>
#include <stdexcept>
#include <utility>

namespace velkaro {

FakeSerialPort::FakeSerialPort() { open_outcome_.fill(kNoSuchPort); }

std::size_t FakeSerialPort::Index(std::int16_t port) {
  if (port < kFirstPort || port > kLastPort) throw std::out_of_range("port number out of range");
  return static_cast<std::size_t>(port);
}

void FakeSerialPort::SetOpenOutcome(std::int16_t port, ErrorNumber outcome, std::string finding) {
  open_outcome_[Index(port)] = outcome;
  open_finding_[Index(port)] = std::move(finding);
}

void FakeSerialPort::SetCloseOutcome(std::int16_t port, ErrorNumber outcome) {
  close_outcome_[Index(port)] = outcome;
}

ErrorNumber FakeSerialPort::SetCommPort(std::int16_t port) {
  calls_.push_back({Op::kSetCommPort, port});
  if (open_ || port < kFirstPort || port > kLastPort) return kNoSuchPort;
  port_ = port;
  return kNoError;
}

void FakeSerialPort::HoldOpen(std::int16_t port, Hold where) {
  const std::lock_guard lock(gate_mutex_);
  held_port_ = port;
  hold_ = where;
}

void FakeSerialPort::ReleaseOpen() {
  {
    const std::lock_guard lock(gate_mutex_);
    held_port_ = 0;
  }
  gate_.notify_all();
}

void FakeSerialPort::CancelOpen() {
  {
    const std::lock_guard lock(gate_mutex_);
    if (listening_ && hold_ == Hold::kInOpenCancellable) cancelled_ = true;
  }
  gate_.notify_all();
}

bool FakeSerialPort::open_given_up() {
  const std::lock_guard lock(gate_mutex_);
  return given_up_;
}

bool FakeSerialPort::open_cancelled() {
  const std::lock_guard lock(gate_mutex_);
  return cancelled_open_;
}

bool FakeSerialPort::WaitUntilOpenHeld(int seconds) {
  std::unique_lock lock(gate_mutex_);
  return gate_.wait_for(lock, std::chrono::seconds(seconds), [this] { return holding_; });
}

// Waits at the gate while the port is held there; true if a cancel gave the
// open up.
bool FakeSerialPort::WaitAtGate(std::unique_lock<std::mutex>& lock) {
  holding_ = true;
  gate_.notify_all();
  listening_ = true;
  gate_.wait_for(lock, std::chrono::seconds(30), [this] { return held_port_ == 0 || cancelled_; });
  listening_ = false;
  holding_ = false;
  held_port_ = 0;
  return std::exchange(cancelled_, false);
}

ErrorNumber FakeSerialPort::SetPortOpen(bool open) {
  bool hold_port = false;
  if (open) {
    std::unique_lock lock(gate_mutex_);
    hold_port = held_port_ != 0 && held_port_ == port_ && hold_ == Hold::kHoldingPort;
    if (held_port_ != 0 && held_port_ == port_ && !hold_port && WaitAtGate(lock)) {
      given_up_ = cancelled_open_ = true;
      calls_.push_back({Op::kOpen, port_});
      finding_ = "absent: the open was given up";
      return kNoSuchPort;
    }
  }
  calls_.push_back({open ? Op::kOpen : Op::kClose, port_});
  if (port_ == 0) return kNoSuchPort;
  if (!open) {
    const bool was_open = open_;
    open_ = false;
    return was_open ? close_outcome_[Index(port_)] : kNoError;
  }
  if (open_) return kNoSuchPort;
  const ErrorNumber outcome = open_outcome_[Index(port_)];
  finding_ = outcome == kNoError              ? "present, free"
             : outcome == kPortUnavailable    ? "present, in use by another program"
             : outcome == kLineSettingsFailed ? "present, but it refused line settings"
                                              : "absent: no device node";
  if (!open_finding_[Index(port_)].empty()) finding_ = open_finding_[Index(port_)];
  // Like the real ports: a port whose settings failed stays open until closed.
  open_ = outcome == kNoError || outcome == kLineSettingsFailed;
  if (open_ && !MayHold()) {
    // The program ends without this probe: closed at once, unchanged.
    open_ = false;
    given_up_ = true;
    finding_ = "absent: the open was given up";
    return kNoSuchPort;
  }
  if (open_ && hold_port) {
    std::unique_lock lock(gate_mutex_);
    WaitAtGate(lock);
  }
  return outcome;
}

PortFinding FakeSerialPort::Found() const {
  PortFinding found;
  found.words = found.line = finding_;
  return found;
}

std::string FakeSerialPort::DevicePath(std::int16_t port) const {
  return "fake/COM" + std::to_string(port);
}

std::vector<std::int16_t> FakeSerialPort::OpenAttempts() const {
  std::vector<std::int16_t> ports;
  for (const Call& call : calls_) {
    if (call.op == Op::kOpen) ports.push_back(call.port);
  }
  return ports;
}

}  // namespace velkaro
