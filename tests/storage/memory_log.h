// A log component that keeps its entries in memory, put in place of the
// platform log for tests that need no database.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/components.h"
#include "service/registry.h"

namespace tsa::test {

class MemoryLog : public ILog {
 public:
  struct Entry {
    std::string source;
    std::string text;
  };
  void WriteEntry(const std::string& source, const std::string& text, int32_t) override {
    Entries().push_back({source, text});
  }
  static std::vector<Entry>& Entries() {
    static std::vector<Entry> entries;
    return entries;
  }
};

// Registers the memory log for the lifetime of the object, starting empty.
class ScopedMemoryLog {
 public:
  ScopedMemoryLog() : registration_(progid::Log, [] { return std::make_shared<MemoryLog>(); }) {
    MemoryLog::Entries().clear();
  }
  const std::vector<MemoryLog::Entry>& Entries() const { return MemoryLog::Entries(); }

 private:
  ScopedRegistration registration_;
};

}  // namespace tsa::test
