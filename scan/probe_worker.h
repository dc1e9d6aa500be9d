#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "port_probe.h"
#include "serial_port.h"

namespace velkaro {

// How a probe ended: what it found, or what it threw.
struct ProbeResult {
  ProbeOutcome outcome;
  std::exception_ptr failure;
};

// TryPort, with what it throws kept in the result; the outcome names the
// port either way.
ProbeResult RunProbe(std::int16_t port, SerialPort& comm, ErrorTrap& err);

// What a probe's failure was, in words: "out of memory", or what it says.
std::string FailureInWords(const std::exception_ptr& failure);

// Runs the probe's part that talks to the port (TryPort) on a thread of its
// own, one probe at a time, so that the window's thread never waits on an
// open. It owns the port while a probe is out; the window's thread only
// starts a probe and takes its result.
class ProbeWorker {
 public:
  // `done` is called on the worker's thread after each probe, once its result
  // can be taken. It must not block: it only asks the window's thread to call
  // Take, by a queued call or a posted message.
  ProbeWorker(SerialPort& comm, std::function<void()> done);
  // Waits for a probe under way to put its port back and close it. An open
  // still waiting on the system is asked to give up first.
  ~ProbeWorker();
  ProbeWorker(const ProbeWorker&) = delete;
  ProbeWorker& operator=(const ProbeWorker&) = delete;

  // Hands the worker a probe of `port`. The last one's result must have been
  // taken.
  void Start(std::int16_t port);
  // The result of the probe that ended, once.
  std::optional<ProbeResult> Take();

 private:
  void Run();

  SerialPort& comm_;
  std::function<void()> done_;
  ErrorTrap err_;  // the worker's alone
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::int16_t> job_;
  std::optional<ProbeResult> result_;
  bool busy_ = false;  // a probe is under way
  std::condition_variable idle_;
  bool ending_ = false;
  std::thread thread_;  // last, so that it starts once the rest exists
};

}  // namespace velkaro
