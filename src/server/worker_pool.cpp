#include "server/worker_pool.h"

#include <algorithm>

namespace tsa::server {

WorkerPool::WorkerPool(size_t threads) {
  threads = std::max<size_t>(1, threads);
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() { Shutdown(); }

void WorkerPool::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (closing_ && threads_.empty()) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void WorkerPool::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return jobs_.empty() && busy_ == 0; });
}

void WorkerPool::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  std::lock_guard lock(mutex_);
  threads_.clear();
}

size_t WorkerPool::Queued() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

size_t WorkerPool::Busy() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

void WorkerPool::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // closing and nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++busy_;
    lock.unlock();
    try {
      job();
    } catch (...) {
    }
    job = nullptr;
    lock.lock();
    --busy_;
    if (jobs_.empty() && busy_ == 0) idle_.notify_all();
  }
}

}  // namespace tsa::server
