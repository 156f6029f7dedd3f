// Whether the service can do its work now (/health): a write transaction on
// the service database can begin within a short time, the documents folder
// takes a new file, and the data folder is writable. One probe runs at a
// time on a thread of its own, and requests that arrive together share one,
// so a flood of health requests costs a probe at a time and no worker.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tsa::server {

struct ReadinessCheck {
  std::string name;  // "database", "documents", "dataFolder"
  bool ok = true;
  int32_t number = 0;       // the error number when it failed
  std::string description;  // what failed (may name files and connections)
};

struct ReadinessReport {
  bool ready = true;
  std::vector<ReadinessCheck> checks;
};

class ReadinessProbe {
 public:
  // `dataDir` empty: the current settings' data folder.
  ReadinessProbe(std::string dataDir, int timeoutMs);
  ~ReadinessProbe();
  ReadinessProbe(const ReadinessProbe&) = delete;
  ReadinessProbe& operator=(const ReadinessProbe&) = delete;

  // Calls `done` (on the probe's thread) with the result of a probe that
  // begins after this call; callers that come together share one.
  void Check(std::function<void(const ReadinessReport&)> done);

  // Runs the checks on the calling thread.
  ReadinessReport RunChecks();

 private:
  void Loop();

  std::string dataDir_;
  int timeoutMs_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::function<void(const ReadinessReport&)>> waiting_;
  bool stopping_ = false;
  uint64_t probeCounter_ = 0;
  std::thread thread_;
};

}  // namespace tsa::server
