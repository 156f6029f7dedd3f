// Helpers of the node-editing and lifecycle tests: a catalog, the error a
// call raises, and a snapshot of everything the engine stores (rows of every
// table it writes and every file below the documents folder), so that a
// refused or failed call can be shown to have changed nothing.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "components/catalog.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/error.h"
#include "storage/schema.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {

// Products 7 (categories 10, 12: visibilities 1, 2, 3), 8 (category 11:
// visibility 2) and 20 (no category); `moreProducts`, when given, are more
// entries of the products array (JSON objects separated by commas).
inline void LoadTestCatalog(const TestEnv& env, const std::string& moreProducts = "") {
  const std::string path = (std::filesystem::path(env.DataDir()) / "catalog.json").string();
  std::ofstream(path) << R"({
    "visibilities": [{"id": 1, "name": "Customers"}, {"id": 2, "name": "Agents"}, {"id": 3, "name": "Partners"}],
    "categories": [{"id": 10, "name": "Printers", "visibilities": [1, 2]},
                   {"id": 11, "name": "Scanners", "visibilities": [2]},
                   {"id": 12, "name": "Office", "visibilities": [1, 3]}],
    "products": [{"id": 7, "description": "Laser printer <L200> & co", "categories": [10, 12]},
                 {"id": 8, "description": "Flatbed scanner", "categories": [11]},
                 {"id": 20, "description": "Retired desk printer", "categories": []})"
                      << (moreProducts.empty() ? "" : ",\n" + moreProducts) << "]\n}";
  LoadCatalogFile(path);
}

// The error `body` raises; a test failure when it raises none.
template <class Body>
ErrorInfo RaisedBy(Body&& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.info();
  }
  ADD_FAILURE() << "no error was raised";
  return {};
}

// The description a member's handler gives an error it reports.
inline std::string ReportedPrefix(const std::string& label) { return "\r\nMETHOD: " + label + " caught: "; }

inline std::filesystem::path DocumentsRoot(const TestEnv& env) {
  return std::filesystem::path(env.DataDir()) / storage::kDefaultDataFileRelativePath;
}

// Every row of the tables the engine writes and every file of the documents
// folder (temporaries included, the store's lock file and spares left out).
struct Stored {
  std::map<std::string, std::vector<std::string>> rows;
  std::map<std::string, std::string> files;
  bool operator==(const Stored&) const = default;
};

inline void PrintTo(const Stored& s, std::ostream* os) {
  for (const auto& [table, rows] : s.rows) {
    *os << "\n" << table << ":";
    for (const auto& r : rows) *os << "\n  " << r;
  }
  *os << "\nfiles:";
  for (const auto& [name, content] : s.files) *os << "\n  " << name << " (" << content.size() << " bytes)";
}

inline Stored Snapshot(const TestEnv& env) {
  Stored s;
  auto connection = GetHelvixConnection();
  for (const char* table : {"DIAGNOSTICS", "DIAGNOSTICS_TEMP", "TEMPLATE", "TEMPLATE_TEMP", "DIAGNOSTICSINFO",
                            "TEMPLATEINFO", "TSCHANGECONTROL", "DOCUMENTFILES", "REPTSCATEGORY", "REPQUESTION",
                            "REPANSWER", "REPACTION"}) {
    auto rs = connection->OpenRecordset(std::string("SELECT * FROM ") + table);
    std::vector<std::string>& rows = s.rows[table];
    for (; !rs->IsEOF(); rs->MoveNext()) {
      std::ostringstream row;
      for (const std::string& column : rs->Columns()) {
        const db::Value& v = rs->Field(column);
        std::string name = column;  // PostgreSQL reports names in lower case
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        row << name << "=" << (v.IsNull() ? std::string("NULL") : v.ToText()) << "|";
      }
      rows.push_back(row.str());
    }
    rs->Close();
    std::sort(rows.begin(), rows.end());
  }

  const auto root = DocumentsRoot(env);
  if (DocumentsInDatabase()) {
    // The current documents, by their place below the documents folder.
    auto rs = connection->OpenRecordset("SELECT PATH, CONTENT FROM DOCUMENTS WHERE CONTENT IS NOT NULL");
    for (; !rs->IsEOF(); rs->MoveNext()) {
      const auto path = std::filesystem::path(DocumentsRootFolder()) / rs->Field("PATH").ToText();
      s.files[path.lexically_relative(root).string()] = rs->Field("CONTENT").ToText();
    }
    rs->Close();
  }
  CloseConnection(connection);
  if (!DocumentsInDatabase() && std::filesystem::exists(root)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file() || entry.path().filename() == kStoreLockFile ||
          IsStoreSpare(entry.path().filename().string()))
        continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      s.files[std::filesystem::relative(entry.path(), root).string()] = content.str();
    }
  }
  return s;
}

// The store's temporary files left in the documents folder (spares, made
// ahead for the next save, are not left behind).
inline std::vector<std::string> StagedLeftovers(const TestEnv& env) {
  std::vector<std::string> found;
  const auto root = DocumentsRoot(env);
  if (!std::filesystem::exists(root)) return found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (IsStoreTemporary(name) && !IsStoreSpare(name)) found.push_back(entry.path().string());
  }
  return found;
}

// Rows and documents exactly as before, and nothing staged left behind.
#define EXPECT_NOTHING_CHANGED(env, before)          \
  do {                                                \
    EXPECT_EQ(before, ::tsa::test::Snapshot(env));     \
    EXPECT_TRUE(::tsa::test::StagedLeftovers(env).empty()); \
  } while (0)

}  // namespace tsa::test
