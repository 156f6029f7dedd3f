#include "storage/document_transfer.h"

#include <optional>

#include "platform/db/session.h"
#include "platform/files/database_store.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_types.h"

namespace tsa::storage {

namespace {

struct Named {
  int32_t id;
  int32_t category;
  std::string fileName;
  int32_t treeType;
  std::string path;
};

// Every current document, by the names the file-handling service keeps.
std::vector<Named> CurrentDocuments() {
  auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
  db::ResultSet rs =
      session->Query("SELECT ID, CATEGORY, FILENAME, TREETYPE FROM DOCUMENTFILES ORDER BY TREETYPE, ID, CATEGORY");
  std::vector<Named> out;
  for (const auto& r : rs.rows) {
    Named n{r[0].ToInt32(), r[1].ToInt32(), r[2].ToText(), r[3].ToInt32(), {}};
    // GetXMLPath refuses a name that is not a bare file name.
    n.path = GetXMLPath(n.treeType, n.fileName, n.category == DocumentCategory(n.treeType, true));
    out.push_back(std::move(n));
  }
  return out;
}

std::string Describe(const Named& n) {
  return std::string(n.treeType == kProductTree ? "tree " : "template ") + std::to_string(n.id) + ", category " +
         std::to_string(n.category) + " (" + n.fileName + ")";
}

// The file's content, or nothing when there is no file.
std::optional<std::string> ReadFile(const std::string& path) {
  try {
    return ReadDocumentFileNow(path);
  } catch (const Error& e) {
    if (e.number() == err::FileNotFound || e.number() == err::PathNotFound) return std::nullopt;
    throw;
  }
}

}  // namespace

DocumentTransfer ImportDocumentFiles() {
  return Trapped("tsa.Documents.Import", [&] {
    DocumentTransfer t;
    DatabaseDocumentStore database;
    for (const Named& n : CurrentDocuments()) {
      std::optional<std::string> file = ReadFile(n.path);
      if (!file) {
        ++t.missing;
        t.notes.push_back(Describe(n) + ": no file at " + n.path);
        continue;
      }
      if (database.Exists(n.path)) {
        if (database.Load(n.path) == *file) {
          ++t.alreadyThere;
        } else {
          ++t.differing;
          t.notes.push_back(Describe(n) + ": the database holds another version; it is kept");
        }
        continue;
      }
      database.Save(n.path, *file);
      ++t.copied;
    }
    return t;
  });
}

DocumentTransfer ExportDocumentFiles() {
  return Trapped("tsa.Documents.Export", [&] {
    DocumentTransfer t;
    DatabaseDocumentStore database;
    for (const Named& n : CurrentDocuments()) {
      if (!database.Exists(n.path)) {
        ++t.missing;
        t.notes.push_back(Describe(n) + ": not in the database");
        continue;
      }
      std::string content = database.Load(n.path);
      if (ReadFile(n.path) == content) {
        ++t.alreadyThere;
        continue;
      }
      WriteDocumentFileNow(n.path, content);
      ++t.copied;
    }
    return t;
  });
}

}  // namespace tsa::storage
