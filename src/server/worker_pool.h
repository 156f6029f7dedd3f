// A fixed set of threads that run jobs in the order they were handed in.
// The network service runs every engine call here, never on the threads
// that serve the sockets.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tsa::server {

class WorkerPool {
 public:
  explicit WorkerPool(size_t threads);
  ~WorkerPool();  // runs what is queued, then joins
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a job. A job must not throw; one that does is dropped.
  void Post(std::function<void()> job);
  // Waits until nothing is queued and no job runs.
  void WaitIdle();
  // Runs what is queued and joins the threads; Post afterwards runs nothing.
  void Shutdown();

  size_t Queued() const;
  size_t Busy() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  size_t busy_ = 0;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tsa::server
