#include "probe_worker.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

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

// What the worker and the thread share, under one mutex.
struct ProbeWorker::Shared {
  std::function<void()> done;
  ErrorTrap err;  // the thread's alone
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;
  std::optional<std::int16_t> job;
  std::optional<ProbeResult> result;
  Phase phase = Phase::kIdle;
  bool ending = false;
};

namespace {

// The threads of probes that ends left behind. Never destroyed: a program
// that ends does not wait for them.
struct LeftBehind {
  std::mutex mutex;
  std::vector<std::thread> threads;
};
LeftBehind& Stranded() {
  static auto* const stranded = new LeftBehind;
  return *stranded;
}

}  // namespace

ProbeWorker::ProbeWorker(SerialPort& comm, std::function<void()> done)
    : comm_(comm), shared_(std::make_shared<Shared>()) {
  shared_->done = std::move(done);
  comm_.SetHoldGate([shared = shared_] {
    const std::lock_guard lock(shared->mutex);
    if (shared->ending) return false;
    shared->phase = Phase::kHolding;
    return true;
  });
  thread_ = std::thread([shared = shared_, &comm] { Run(*shared, comm); });
}

ProbeWorker::~ProbeWorker() {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  s.ending = true;  // a probe not yet begun is never begun, nor one opening let hold
  s.wake.notify_one();
  s.idle.wait(lock, [&s] { return s.phase != Phase::kHolding; });
  const bool opening = s.phase == Phase::kOpening;
  lock.unlock();
  if (!opening) {
    thread_.join();
    return;
  }
  // An open the system never answers must not keep the program: where the
  // port can cut it short it ends soon, and either way it holds nothing.
  comm_.CancelOpen();
  LeftBehind& stranded = Stranded();
  const std::lock_guard hold(stranded.mutex);
  stranded.threads.push_back(std::move(thread_));
}

void ProbeWorker::JoinLeftBehind() {
  LeftBehind& stranded = Stranded();
  std::vector<std::thread> threads;
  {
    const std::lock_guard lock(stranded.mutex);
    threads.swap(stranded.threads);
  }
  for (std::thread& thread : threads) thread.join();
}

void ProbeWorker::Start(std::int16_t port) {
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->job || shared_->result || shared_->phase != Phase::kIdle) {
      throw std::logic_error("a probe was started before the last one's result was taken");
    }
    shared_->job = port;
  }
  shared_->wake.notify_one();
}

std::optional<ProbeResult> ProbeWorker::Take() {
  const std::lock_guard lock(shared_->mutex);
  return std::exchange(shared_->result, std::nullopt);
}

void ProbeWorker::Run(Shared& s, SerialPort& comm) {
  comm.OnProbeThread();
  for (;;) {
    std::int16_t port = 0;
    {
      std::unique_lock lock(s.mutex);
      s.wake.wait(lock, [&s] { return s.job.has_value() || s.ending; });
      if (s.ending) return;
      port = *std::exchange(s.job, std::nullopt);
      s.phase = Phase::kOpening;
    }
    ProbeResult result = RunProbe(port, comm, s.err);
    bool tell = false;
    {
      const std::lock_guard lock(s.mutex);
      s.phase = Phase::kIdle;
      tell = !s.ending;  // nobody is left to take it otherwise
      if (tell) s.result = std::move(result);
    }
    s.idle.notify_all();
    if (!tell) return;
    s.done();
  }
}

}  // namespace velkaro
