// A schema of its own on the PostgreSQL test server (TSAUTHOR_TEST_PG), for
// one test: created on construction, dropped with everything in it at the
// end. Sessions reach it through a URI whose search path is that schema, so
// the code under test needs no schema names in its statements.
#pragma once

#include <string>

namespace tsa::test {

// The URI of the PostgreSQL server to test on; std::runtime_error naming
// the variable when TSAUTHOR_TEST_PG is not set.
std::string PgTestServerUri();

// `serverUri` with libpq's "options" setting the search path to `schema`.
std::string PgUriWithSchema(const std::string& serverUri, const std::string& schema);

class PgTestSchema {
 public:
  // Creates a schema named `prefix` followed by something unique to this
  // process and call. Raises when the server cannot be reached.
  explicit PgTestSchema(const std::string& prefix);
  // Drops the schema; a failure is written to stderr, never thrown. Pooled
  // sessions on it should be closed first (an idle one holds no lock, a
  // session inside a transaction would make the drop wait).
  ~PgTestSchema();
  PgTestSchema(const PgTestSchema&) = delete;
  PgTestSchema& operator=(const PgTestSchema&) = delete;

  const std::string& Name() const { return name_; }
  // A connection URI on the test server whose search path is this schema.
  const std::string& Uri() const { return uri_; }

 private:
  std::string server_;
  std::string name_;
  std::string uri_;
};

}  // namespace tsa::test
