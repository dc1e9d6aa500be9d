#include "probe_worker.h"

#include <utility>

namespace velkaro {

ProbeWorker::ProbeWorker(SerialPort& comm, std::function<void()> done)
    : comm_(comm), done_(std::move(done)), thread_([this] { Run(); }) {}

ProbeWorker::~ProbeWorker() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;  // a probe not yet begun is never begun
  }
  wake_.notify_one();
  comm_.CancelOpen();
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
    }
    ProbeResult result;
    try {
      result.outcome = TryPort(port, comm_, err_);
    } catch (...) {
      result.failure = std::current_exception();
    }
    {
      const std::lock_guard lock(mutex_);
      result_ = std::move(result);
    }
    done_();
  }
}

}  // namespace velkaro
