#include "support/test_env.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/db/session.h"
#include "runtime/registry.h"
#include "runtime/settings.h"
#include "storage/schema.h"
#include "support/pg_test_schema.h"

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
  try {
    fs::create_directories(dataDir_);
    // A configuration file that does not exist: defaults, then the environment.
    Settings s = LoadSettings((fs::path(dataDir_) / "none.toml").string(), dataDir_);
    s.connections["Helvix"]["Helvix"] = "sqlite:" + (fs::path(dataDir_) / "helvix.db").string();
    s.connections["KVServer"]["KCatalog"] = "sqlite:" + (fs::path(dataDir_) / "kcatalog.db").string();
    s.installDir = dataDir_;
    s.logFile = (fs::path(dataDir_) / "logs" / "tsauthor.log").string();
    s.logToStderr = false;
    // Cheap password hashes: suites create many accounts.
    s.auth.passwordHashCost = "test-minimum";

    if (IsPostgres()) {
      // One schema per database on the test server, reached through URIs
      // whose search path is that schema.
      helvixSchema_ = std::make_unique<PgTestSchema>("t_");
      catalogSchema_ = std::make_unique<PgTestSchema>("k_");
      s.connections["Helvix"]["Helvix"] = helvixSchema_->Uri();
      s.connections["KVServer"]["KCatalog"] = catalogSchema_->Uri();
    } else if (Backend() != "sqlite") {
      throw std::runtime_error("unknown TSAUTHOR_TEST_BACKEND: " + Backend());
    }

    SetCurrentSettings(s);
    RegisterAllComponents();
    storage::CreateSchema(HelvixUri(), KCatalogUri());
  } catch (...) {
    Cleanup();
    throw;
  }
}

TestEnv::~TestEnv() { Cleanup(); }

void TestEnv::Cleanup() noexcept {
  // Pooled sessions go first: they may still point at the databases.
  db::SessionPool::Instance().Clear();
  catalogSchema_.reset();
  helvixSchema_.reset();
  std::error_code ec;
  if (!dataDir_.empty()) fs::remove_all(dataDir_, ec);
}

void TestEnv::UseDocumentFiles() {
  Settings s = CurrentSettings();
  s.documentStore = "files";
  SetCurrentSettings(s);
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
