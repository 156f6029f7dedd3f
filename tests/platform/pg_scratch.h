// A scratch schema on the PostgreSQL test server for the backend's own
// tests: created on construction, dropped with everything in it at the end.
// Only meaningful when the backend under test is PostgreSQL.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/db/pg_session.h"
#include "platform/db/session.h"
#include "support/test_env.h"

namespace tsa::test {

inline bool PgBackendSelected() { return TestEnv::IsPostgres(); }

// The server named by TSAUTHOR_TEST_PG, or "" (the caller fails the test).
inline std::string PgServerUri() {
  const char* uri = std::getenv("TSAUTHOR_TEST_PG");
  return uri ? std::string(uri) : std::string();
}

// `uri` with its search path set to `schema` (libpq's "options", encoded).
inline std::string PgUriWithSearchPath(const std::string& uri, const std::string& schema) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" + schema;
}

class PgScratch {
 public:
  PgScratch() {
    static std::atomic<int> counter{0};
    server_ = PgServerUri();
    schema_ = "s_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    admin_ = std::make_unique<db::PgSession>(server_);
    admin_->Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    admin_->Execute("CREATE SCHEMA " + schema_);
    uri_ = PgUriWithSearchPath(server_, schema_);
  }
  ~PgScratch() {
    db::SessionPool::Instance().Clear();
    try {
      admin_->Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    } catch (...) {
    }
  }
  PgScratch(const PgScratch&) = delete;
  PgScratch& operator=(const PgScratch&) = delete;

  const std::string& Uri() const { return uri_; }
  const std::string& Schema() const { return schema_; }
  // A session on the server outside the scratch schema.
  db::PgSession& Admin() { return *admin_; }
  std::unique_ptr<db::PgSession> Open() const { return std::make_unique<db::PgSession>(uri_); }

 private:
  std::string server_;
  std::string schema_;
  std::string uri_;
  std::unique_ptr<db::PgSession> admin_;
};

// For fixtures of PostgreSQL-only suites: skipped when another backend is
// under test, failed when PostgreSQL is selected but no server is given.
#define TSA_REQUIRE_PG_BACKEND()                                                                             \
  do {                                                                                                       \
    if (!::tsa::test::PgBackendSelected()) GTEST_SKIP() << "PostgreSQL backend not selected";                \
    ASSERT_FALSE(::tsa::test::PgServerUri().empty())                                                         \
        << "TSAUTHOR_TEST_BACKEND=postgresql needs TSAUTHOR_TEST_PG (run under scripts/with-test-postgres)"; \
  } while (0)

}  // namespace tsa::test
