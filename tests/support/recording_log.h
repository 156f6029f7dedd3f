// A log component that records entries in memory, for one test.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/components.h"
#include "runtime/registry.h"

namespace tsa::test {

struct LogEntry {
  std::string source;
  std::string text;
};

class RecordingLog {
 public:
  RecordingLog();
  std::vector<LogEntry> Entries() const;
  size_t Count() const { return Entries().size(); }

 private:
  struct Sink;
  std::shared_ptr<Sink> sink_;
  ScopedRegistration registration_;
};

}  // namespace tsa::test
