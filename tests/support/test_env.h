// A throwaway engine environment for one test: a temporary data folder,
// settings pointing at it, the databases of the backend under test
// (TSAUTHOR_TEST_BACKEND: "sqlite", the default, or "postgresql" with
// TSAUTHOR_TEST_PG holding a server URI), the schema created, and every
// component registered. Everything is removed again at the end.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tsa::test {

class PgTestSchema;

class TestEnv {
 public:
  TestEnv();
  ~TestEnv();
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  const std::string& DataDir() const { return dataDir_; }
  std::string HelvixUri() const;
  std::string KCatalogUri() const;
  // The lines of the log file written so far.
  std::vector<std::string> LogLines() const;

  // For a test that looks at or tampers with the document files
  // themselves: the documents stay files for the rest of the test, on
  // either backend (on PostgreSQL they are otherwise kept in the database).
  static void UseDocumentFiles();

  static std::string Backend();  // "sqlite" or "postgresql"
  static bool IsPostgres() { return Backend() == "postgresql"; }

 private:
  // Removes whatever was created so far; the constructor calls it too
  // when it fails half way.
  void Cleanup() noexcept;

  std::string dataDir_;
  // PostgreSQL: the schemas standing in for the two databases.
  std::unique_ptr<PgTestSchema> helvixSchema_;
  std::unique_ptr<PgTestSchema> catalogSchema_;
};

}  // namespace tsa::test
