#include "runtime/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include <nlohmann/json.hpp>

#include "runtime/faults.h"
#include "runtime/settings.h"

namespace tsa {

namespace {
std::mutex g_logMutex;
}  // namespace

std::string NowIso8601() {
  using namespace std::chrono;
  auto now = system_clock::now();
  auto t = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

std::string FormatLogLine(const std::string& source, const std::string& text) {
  nlohmann::json j;
  j["time"] = NowIso8601();
  j["source"] = source;
  j["text"] = text;
  // Texts come from callers and databases: never fail on bad UTF-8.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void FileLog::WriteEntry(const std::string& source, const std::string& text, int32_t) {
  const Settings& s = CurrentSettings();
  std::string line = FormatLogLine(source, text);
  std::lock_guard lock(g_logMutex);
  std::filesystem::path path(s.logFile);
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  // One write of the whole line to a file opened for appending: entries of
  // several processes never interleave within a line.
  const int fd = faults::CheckFile(faults::Call::Open)
                     ? -1
                     : ::open(s.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) Raise(err::PermissionDenied, "Korventa.Log", "Cannot open the log file " + s.logFile);
  line += '\n';
  ssize_t written = -1;
  if (!faults::CheckFile(faults::Call::Write)) {
    do {
      written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
  }
  ::close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    Raise(err::PermissionDenied, "Korventa.Log", "Cannot write the log file " + s.logFile);
  }
  line.pop_back();
  if (s.logToStderr) std::fprintf(stderr, "%s\n", line.c_str());
}

void RegisterLogComponent() {
  Registry::Instance().Register(progid::Log, [] { return std::make_shared<FileLog>(); });
}

}  // namespace tsa
