#include "probe_worker.h"

#include <chrono>
#include <exception>
#include <new>
#include <utility>

namespace velkaro {

ProbeResult RunProbe(std::int16_t port, SerialPort& comm, ErrorTrap& err) {
  ProbeResult result;
  result.outcome.port = port;
  try {
    result.outcome = TryPort(port, comm, err);
  } catch (...) {
    result.failure = std::current_exception();
  }
  return result;
}

std::string FailureInWords(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown error";
  }
}

ProbeWorker::ProbeWorker(SerialPort& comm, std::function<void()> done)
    : comm_(comm), done_(std::move(done)), thread_([this] { Run(); }) {}

ProbeWorker::~ProbeWorker() {
  std::unique_lock lock(mutex_);
  ending_ = true;  // a probe not yet begun is never begun
  wake_.notify_one();
  // An open may begin to wait just after a cancel that found nothing to cut
  // short, so the port is asked again until the probe has ended.
  while (busy_) {
    lock.unlock();
    comm_.CancelOpen();
    lock.lock();
    idle_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !busy_; });
  }
  lock.unlock();
  thread_.join();
}

void ProbeWorker::Start(std::int16_t port) {
  {
    const std::lock_guard lock(mutex_);
    job_ = port;
  }
  wake_.notify_one();
}

std::optional<ProbeResult> ProbeWorker::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(result_, std::nullopt);
}

void ProbeWorker::Run() {
  for (;;) {
    std::int16_t port = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return job_.has_value() || ending_; });
      if (ending_) return;
      port = *std::exchange(job_, std::nullopt);
      busy_ = true;
    }
    ProbeResult result = RunProbe(port, comm_, err_);
    {
      const std::lock_guard lock(mutex_);
      result_ = std::move(result);
      busy_ = false;
    }
    idle_.notify_all();
    done_();
  }
}

}  // namespace velkaro
