// A throwaway engine environment for one test: a temporary data folder,
// settings pointing at it, the databases of the backend under test
// (TSAUTHOR_TEST_BACKEND: "sqlite", the default, or "postgresql" with
// TSAUTHOR_TEST_PG holding a server URI), the schema created, and every
// component registered. Everything is removed again at the end.
#pragma once

#include <string>
#include <vector>

namespace tsa::test {

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

  static std::string Backend();  // "sqlite" or "postgresql"
  static bool IsPostgres() { return Backend() == "postgresql"; }

 private:
  std::string dataDir_;
  std::string pgSchema_;  // PostgreSQL: the schema created for this test
};

}  // namespace tsa::test
