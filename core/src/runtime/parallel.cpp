// Spreading an engine call over threads.
//
// The split: the rows are cut into one consecutive share per thread, each
// share a whole number of partition runs and about rows / threads long, so
// that a worker never sees another's partitions. The engine's passes treat
// partitions independently and emit their results in row order, so each
// share's result is exactly the slice of the one-thread result that its
// rows make, and joining the slices in share order gives that result back.
// The cost: finding a cut walks from its ideal row to the next partition
// change, and each worker builds its own per-call state (compiled atoms,
// indexes) once.
//
// Stopping: workers cannot ask the caller's environment anything, so each
// polls an Interrupt that reads one shared flag. The calling thread sleeps
// on a condition variable, waking every kCheckPeriod to ask the caller's own
// question, and raises the flag on a yes. A worker that fails raises it too,
// since its call's result is lost anyway.
//
// One thread, or one share: no workers are started and the shares run in
// turn on the calling thread, whose Interrupt asks the caller's question
// itself. So an engine call has one form whatever its thread count, and one
// thread costs what a plain loop costs.
#include "kestrel/run_options.hpp"
#include "runtime/shares.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace kestrel {

namespace {

// The first row at or after `row` where a new partition run begins.
std::size_t run_start_from(std::span<const TextId> partitions, std::size_t row) {
  while (row > 0 && row < partitions.size() && partitions[row] == partitions[row - 1]) ++row;
  return row;
}

class Workers {
 public:
  // Workers take the shares in turn, so when the system refuses a thread
  // (a huge count, say) those already started do all the work; only a
  // refusal of the first is an error.
  Workers(std::size_t count, const std::function<void(std::size_t, Interrupt&)>& work)
      : failures_(count) {
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      try {
        threads_.emplace_back([this, &work] { take_shares(work); });
      } catch (const std::system_error&) {
        if (threads_.empty()) throw;
        break;
      }
    }
  }

  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // A caller leaving early (its question threw) must not wait on workers
  // that would run to the end.
  ~Workers() {
    stop_.store(true, std::memory_order_relaxed);
    for (std::thread& thread : threads_) thread.join();
  }

  // Waits for every worker, asking `stop_requested` between waits.
  void wait(const std::function<bool()>& stop_requested) {
    std::unique_lock lock(mutex_);
    while (!done_cv_.wait_for(lock, RunOptions::kCheckPeriod,
                              [&] { return done_ == failures_.size(); })) {
      if (!stop_requested || stopped_by_caller_) continue;
      lock.unlock();
      const bool stop = stop_requested();
      lock.lock();
      if (stop) {
        stopped_by_caller_ = true;
        stop_.store(true, std::memory_order_relaxed);
      }
    }
  }

  void rethrow_failure() const {
    if (stopped_by_caller_) throw Interrupted();
    for (const std::exception_ptr& failure : failures_) {
      if (failure) std::rethrow_exception(failure);
    }
  }

 private:
  // Once stopped, the shares left are counted done without running.
  void take_shares(const std::function<void(std::size_t, Interrupt&)>& work) {
    for (std::size_t i = next_++; i < failures_.size(); i = next_++) {
      if (!stop_.load(std::memory_order_relaxed)) run(i, work);
      const std::lock_guard lock(mutex_);
      ++done_;
      done_cv_.notify_one();
    }
  }

  void run(std::size_t i, const std::function<void(std::size_t, Interrupt&)>& work) {
    Interrupt interrupt([this] { return stop_.load(std::memory_order_relaxed); });
    try {
      work(i, interrupt);
    } catch (const Interrupted&) {
      // Stopped by the caller or by another worker's failure; both are
      // reported from elsewhere.
    } catch (...) {
      failures_[i] = std::current_exception();
      stop_.store(true, std::memory_order_relaxed);
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable done_cv_;
  std::size_t done_ = 0;
  bool stopped_by_caller_ = false;
  std::vector<std::exception_ptr> failures_;
  std::vector<std::thread> threads_;
};

}  // namespace

std::vector<RowRange> partition_shares(std::span<const TextId> partitions, std::size_t shares) {
  std::vector<RowRange> out;
  const std::size_t rows = partitions.size();
  shares = std::max<std::size_t>(shares, 1);
  std::size_t begin = 0;
  for (std::size_t k = 1; k <= shares && begin < rows; ++k) {
    const std::size_t end = k == shares ? rows : run_start_from(partitions, rows * k / shares);
    if (end <= begin) continue;
    out.push_back({begin, end});
    begin = end;
  }
  return out;
}

void run_shares(std::size_t count, const RunOptions& options,
                const std::function<void(std::size_t, Interrupt&)>& work) {
  if (options.threads <= 1 || count <= 1) {
    Interrupt interrupt(options.stop_requested);
    for (std::size_t i = 0; i < count; ++i) work(i, interrupt);
    return;
  }
  Workers workers(count, work);
  workers.wait(options.stop_requested);
  workers.rethrow_failure();
}

}  // namespace kestrel
