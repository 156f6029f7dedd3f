#include "support/test_env.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/db/session.h"
#include "service/registry.h"
#include "service/settings.h"
#include "storage/schema.h"

namespace fs = std::filesystem;

namespace tsa::test {

namespace {
std::atomic<int> g_counter{0};

std::string UniqueName(const char* prefix) {
  std::random_device rd;
  return std::string(prefix) + std::to_string(::getpid()) + "_" + std::to_string(g_counter++) + "_" +
         std::to_string(rd() % 100000);
}
}  // namespace

std::string TestEnv::Backend() {
  const char* b = std::getenv("TSAUTHOR_TEST_BACKEND");
  return (b && *b) ? std::string(b) : std::string("sqlite");
}

TestEnv::TestEnv() {
  dataDir_ = (fs::temp_directory_path() / UniqueName("tsa-test-")).string();
  fs::create_directories(dataDir_);
  // A configuration file that does not exist: defaults, then the environment.
  Settings s = LoadSettings((fs::path(dataDir_) / "none.toml").string(), dataDir_);
  s.connections["Helvix"]["Helvix"] = "sqlite:" + (fs::path(dataDir_) / "helvix.db").string();
  s.connections["KVServer"]["KCatalog"] = "sqlite:" + (fs::path(dataDir_) / "kcatalog.db").string();
  s.installDir = dataDir_;
  s.logFile = (fs::path(dataDir_) / "logs" / "tsauthor.log").string();
  s.logToStderr = false;

  if (IsPostgres()) {
    throw std::runtime_error("the postgresql test backend is not available yet");
  } else if (Backend() != "sqlite") {
    throw std::runtime_error("unknown TSAUTHOR_TEST_BACKEND: " + Backend());
  }

  SetCurrentSettings(s);
  RegisterAllComponents();
  storage::CreateSchema(HelvixUri(), KCatalogUri());
}

TestEnv::~TestEnv() {
  db::SessionPool::Instance().Clear();
  std::error_code ec;
  fs::remove_all(dataDir_, ec);
}

std::string TestEnv::HelvixUri() const { return CurrentSettings().HelvixUri(); }
std::string TestEnv::KCatalogUri() const { return CurrentSettings().KCatalogUri(); }

std::vector<std::string> TestEnv::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(CurrentSettings().logFile);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace tsa::test
