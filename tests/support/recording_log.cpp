#include "support/recording_log.h"

namespace tsa::test {

struct RecordingLog::Sink {
  mutable std::mutex mutex;
  std::vector<LogEntry> entries;
};

namespace {
class Recorder : public ILog {
 public:
  explicit Recorder(std::shared_ptr<void> owner, std::function<void(LogEntry)> add)
      : owner_(std::move(owner)), add_(std::move(add)) {}
  void WriteEntry(const std::string& source, const std::string& text, int32_t) override { add_({source, text}); }

 private:
  std::shared_ptr<void> owner_;
  std::function<void(LogEntry)> add_;
};
}  // namespace

RecordingLog::RecordingLog()
    : sink_(std::make_shared<Sink>()),
      registration_(progid::Log, [sink = sink_] {
        return std::make_shared<Recorder>(sink, [sink](LogEntry e) {
          std::lock_guard lock(sink->mutex);
          sink->entries.push_back(std::move(e));
        });
      }) {}

std::vector<LogEntry> RecordingLog::Entries() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->entries;
}

}  // namespace tsa::test
