#include "support/pg_test_schema.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "platform/db/session.h"

namespace tsa::test {

std::string PgTestServerUri() {
  const char* uri = std::getenv("TSAUTHOR_TEST_PG");
  if (!uri || !*uri) {
    throw std::runtime_error(
        "TSAUTHOR_TEST_BACKEND=postgresql needs TSAUTHOR_TEST_PG, the URI of a PostgreSQL server to test on "
        "(scripts/with-test-postgres provides one)");
  }
  return uri;
}

std::string PgUriWithSchema(const std::string& serverUri, const std::string& schema) {
  return serverUri + (serverUri.find('?') == std::string::npos ? "?" : "&") + "options=-c%20search_path%3D" +
         schema;
}

namespace {
// Lower case letters, digits and '_' only: the name goes into statements
// and into a URI unquoted.
std::string UniqueSchemaName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  std::random_device rd;
  return prefix + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" + std::to_string(rd() % 100000);
}

bool PlainName(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return !(name[0] >= '0' && name[0] <= '9');
}
}  // namespace

PgTestSchema::PgTestSchema(const std::string& prefix)
    : server_(PgTestServerUri()), name_(UniqueSchemaName(prefix)) {
  if (!PlainName(name_)) throw std::invalid_argument("not a plain schema name: " + name_);
  db::OpenSession(server_)->Execute("CREATE SCHEMA " + name_);
  uri_ = PgUriWithSchema(server_, name_);
}

PgTestSchema::~PgTestSchema() {
  try {
    auto admin = db::OpenSession(server_);
    // A session still inside a transaction on the schema would make the
    // drop wait for ever.
    admin->Execute("SET lock_timeout = '10s'");
    admin->Execute("DROP SCHEMA IF EXISTS " + name_ + " CASCADE");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "could not drop the test schema %s: %s\n", name_.c_str(), e.what());
  }
}

}  // namespace tsa::test
