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

// --- PostgreSQL: one schema per test (and one for the catalog) on the
// server named by TSAUTHOR_TEST_PG, reached through URIs whose search path
// is that schema.

std::string PgServer() {
  const char* uri = std::getenv("TSAUTHOR_TEST_PG");
  if (!uri || !*uri) {
    throw std::runtime_error(
        "TSAUTHOR_TEST_BACKEND=postgresql needs TSAUTHOR_TEST_PG, the URI of a PostgreSQL server to test on "
        "(scripts/with-test-postgres provides one)");
  }
  return uri;
}

std::string PgCatalogSchema(const std::string& schema) { return schema + "_k"; }

std::string PgSchemaUri(const std::string& server, const std::string& schema) {
  return server + (server.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" + schema;
}

void PgCreateSchemas(const std::string& schema) {
  auto admin = db::OpenSession(PgServer());
  admin->Execute("CREATE SCHEMA " + schema);
  admin->Execute("CREATE SCHEMA " + PgCatalogSchema(schema));
}

void PgDropSchemas(const std::string& schema) noexcept {
  try {
    auto admin = db::OpenSession(PgServer());
    // A session still held somewhere would make the drop wait for ever.
    admin->Execute("SET lock_timeout = '10s'");
    admin->Execute("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    admin->Execute("DROP SCHEMA IF EXISTS " + PgCatalogSchema(schema) + " CASCADE");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TestEnv: could not drop the test schema %s: %s\n", schema.c_str(), e.what());
  }
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
    const std::string server = PgServer();
    pgSchema_ = UniqueName("t_");
    PgCreateSchemas(pgSchema_);
    s.connections["Helvix"]["Helvix"] = PgSchemaUri(server, pgSchema_);
    s.connections["KVServer"]["KCatalog"] = PgSchemaUri(server, PgCatalogSchema(pgSchema_));
  } else if (Backend() != "sqlite") {
    throw std::runtime_error("unknown TSAUTHOR_TEST_BACKEND: " + Backend());
  }

  SetCurrentSettings(s);
  RegisterAllComponents();
  storage::CreateSchema(HelvixUri(), KCatalogUri());
}

TestEnv::~TestEnv() {
  db::SessionPool::Instance().Clear();
  if (!pgSchema_.empty()) PgDropSchemas(pgSchema_);
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
