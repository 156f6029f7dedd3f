#include "server/readiness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/db/session.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"

namespace tsa::server {

namespace {

namespace fs = std::filesystem;

// Creates, writes and removes a file in `dir`.
ReadinessCheck ProbeFolder(const std::string& name, const fs::path& dir, const std::string& what, uint64_t n) {
  ReadinessCheck c;
  c.name = name;
  const fs::path probe = dir / (".health-" + std::to_string(::getpid()) + "-" + std::to_string(n));
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  int failure = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::write(fd, "ok", 2) != 2) failure = errno ? errno : ENOSPC;
    if (::close(fd) != 0 && !failure) failure = errno;
    if (::unlink(probe.c_str()) != 0 && !failure) failure = errno;
  }
  if (!failure) return c;
  c.ok = false;
  c.number = failure == ENOENT || failure == ENOTDIR ? err::PathNotFound : err::PermissionDenied;
  c.description = "The " + what + " " + dir.string() + " does not accept a new file: " + std::strerror(failure);
  return c;
}

// The folder below which new documents are written, or the nearest folder
// above it that exists (the store creates the rest).
fs::path DocumentsFolder() {
  const Settings& s = CurrentSettings();
  fs::path root = s.installDir.empty() ? fs::path(s.dataDir) : fs::path(s.installDir);
  fs::path folder = root;
  try {
    folder = fs::path(storage::GetXMLPath(1, "", false)).parent_path();
  } catch (...) {
    // The database cannot say where documents go; its own check reports that.
  }
  std::error_code ec;
  while (!fs::exists(folder, ec) && folder.has_parent_path() && folder.parent_path() != folder)
    folder = folder.parent_path();
  return folder;
}

}  // namespace

ReadinessProbe::ReadinessProbe(std::string dataDir, int timeoutMs)
    : dataDir_(std::move(dataDir)), timeoutMs_(timeoutMs) {
  thread_ = std::thread([this] { Loop(); });
}

ReadinessProbe::~ReadinessProbe() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadinessProbe::Check(std::function<void(const ReadinessReport&)> done) {
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(done));
  }
  wake_.notify_all();
}

void ReadinessProbe::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    auto callers = std::move(waiting_);
    waiting_.clear();
    lock.unlock();
    ReadinessReport report = RunChecks();
    for (auto& done : callers) {
      try {
        done(report);
      } catch (...) {
      }
    }
    lock.lock();
  }
}

ReadinessReport ReadinessProbe::RunChecks() {
  ReadinessReport report;

  ReadinessCheck database;
  database.name = "database";
  try {
    auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
    session->ProbeWrite(timeoutMs_, "DOCUMENTFILES");
  } catch (...) {
    ErrorInfo e = CurrentError();
    database.ok = false;
    database.number = e.number;
    database.description =
        "A write transaction could not begin within " + std::to_string(timeoutMs_) + " ms: " + e.description;
  }
  report.checks.push_back(std::move(database));

  report.checks.push_back(ProbeFolder("documents", DocumentsFolder(), "documents folder", ++probeCounter_));
  const std::string dir = dataDir_.empty() ? CurrentSettings().dataDir : dataDir_;
  report.checks.push_back(ProbeFolder("dataFolder", dir, "data folder", ++probeCounter_));

  for (const auto& c : report.checks) report.ready = report.ready && c.ok;
  return report;
}

}  // namespace tsa::server
