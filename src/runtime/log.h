// The log component ("Korventa.Log"): one JSON line per entry (time, source,
// text) appended to the log file, and to stderr when configured.
#pragma once

#include <string>

#include "runtime/components.h"

namespace tsa {

class FileLog : public ILog {
 public:
  void WriteEntry(const std::string& source, const std::string& text, int32_t level) override;
};

// The current time as an ISO 8601 UTC text with milliseconds.
std::string NowIso8601();

// Formats one entry as a JSON line (without the line end).
std::string FormatLogLine(const std::string& source, const std::string& text);

void RegisterLogComponent();

}  // namespace tsa
