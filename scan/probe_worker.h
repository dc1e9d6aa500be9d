#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
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
  // Where the probe out is. Only a probe that holds its port has anything
  // to put back.
  enum class Phase {
    kIdle,
    kOpening,  // choosing, looking and opening: the port is not ours yet
    kHolding,  // the open gave us the port, until the probe has ended
  };

  // `done` is called on the worker's thread after each probe, once its result
  // can be taken. It must not block: it only asks the window's thread to call
  // Take, by a queued call or a posted message.
  ProbeWorker(SerialPort& comm, std::function<void()> done);
  // Waits for a probe that holds its port to put it back and close it. A
  // probe still opening has nothing to put back: its open is asked to give
  // up, and the probe is left behind, never to hold the port nor to call
  // `done`. `comm` must outlive it, which a program that ends does.
  ~ProbeWorker();
  ProbeWorker(const ProbeWorker&) = delete;
  ProbeWorker& operator=(const ProbeWorker&) = delete;

  // Hands the worker a probe of `port`. Throws std::logic_error while a
  // probe is out or its result has not been taken.
  void Start(std::int16_t port);
  // The result of the probe that ended, once.
  std::optional<ProbeResult> Take();

  // Waits until every probe a worker's end left behind has ended. For tests,
  // whose ports outlive the probes only if they wait.
  static void JoinLeftBehind();

 private:
  struct Shared;
  static void Run(Shared& shared, SerialPort& comm);

  SerialPort& comm_;
  std::shared_ptr<Shared> shared_;  // with the thread, which may outlive this
  std::thread thread_;              // last, so that it starts once the rest exists
};

}  // namespace velkaro
