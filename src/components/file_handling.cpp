#include "components/file_handling.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"

namespace fs = std::filesystem;

namespace tsa {

namespace {

constexpr const char* kSource = "HXSvcCommonMTS.FileHandling";

std::string Label(const char* operation) { return std::string(kSource) + "." + operation; }

void CheckFileName(const std::string& name, std::string_view argument) {
  if (!IsDocumentFileName(name)) {
    Raise(err::InvalidFileName, kSource,
          "Invalid argument " + std::string(argument) + ": '" + name +
              "' is not a document file name (digits, \"_\", digits, \".xml\")");
  }
}

bool IsManagerCategory(int32_t category) { return category == 8 || category == 16; }

struct NameRow {
  int32_t category;
  std::string fileName;
  int32_t treeType;
};

std::vector<NameRow> ReadNames(db::Connection& connection, int32_t id, const std::vector<int32_t>& categories) {
  std::vector<NameRow> rows;
  if (categories.empty()) return rows;
  std::string in;
  for (int32_t c : categories) in += (in.empty() ? "" : ", ") + std::to_string(c);
  auto rs = connection.OpenRecordset("SELECT CATEGORY, FILENAME, TREETYPE FROM DOCUMENTFILES WHERE ID = " +
                                     std::to_string(id) + " AND CATEGORY IN (" + in + ")");
  for (; !rs->IsEOF(); rs->MoveNext()) {
    rows.push_back({rs->Field("CATEGORY").ToInt32(), rs->Field("FILENAME").ToText(), rs->Field("TREETYPE").ToInt32()});
  }
  rs->Close();
  return rows;
}

}  // namespace

bool IsDocumentFileName(const std::string& name) {
  if (name.size() > 255) return false;
  size_t i = 0;
  auto digits = [&] {
    size_t start = i;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
    return i > start;
  };
  if (!digits()) return false;
  if (i >= name.size() || name[i] != '_') return false;
  ++i;
  if (!digits()) return false;
  return name.compare(i, std::string::npos, ".xml") == 0;
}

std::string SharedDocumentPath(const std::string& sharedLocation, const std::string& fileName, int32_t category,
                               int32_t treeType) {
  CheckFileName(fileName, "fileName");
  std::string location = NormalizePath(sharedLocation);
  if (location.empty()) RaiseInvalidArgument("sharedLocation", "the shared location is empty", err::PathNotFound);
  std::string path = location + "/" + (IsManagerCategory(category) ? "Manager" : "Enduser") + "/" +
                     (treeType == 1 ? "Trees" : "Templates") + "/" + fileName;
  CheckDocumentPath(path);
  return path;
}

std::string CurrentFileName(const FileNameDict& names, int32_t category) {
  const auto* item = names.Find(category);
  if (!item || item->empty()) {
    Raise(err::SubscriptOutOfRange, {},
          "Subscript out of range: the file-handling service knows no document of category " +
              std::to_string(category));
  }
  return (*item)[0];
}

FileNameDict FileHandling::GetFileNames(int32_t id, const std::vector<int32_t>& categories) {
  ConnectionPtr connection;
  return Trapped(
      Label("GetFileNames"),
      [&] {
        FileNameDict result;
        if (categories.empty()) return result;
        connection = GetHelvixConnection();
        auto rows = ReadNames(*connection, id, categories);
        CloseConnection(connection);
        for (int32_t c : categories) {
          if (result.Exists(c)) continue;
          for (const auto& r : rows) {
            if (r.category == c) {
              result.Add(c, {r.fileName});
              break;
            }
          }
        }
        return result;
      },
      [&] { CloseConnection(connection); });
}

void FileHandling::DeleteFiles(int32_t id, const std::vector<int32_t>& categories) {
  ConnectionPtr connection;
  Trapped(
      Label("DeleteFiles"),
      [&] {
        if (categories.empty()) return;
        auto shared = GetWebFarmLocation();
        connection = GetHelvixConnection();
        if (shared) {
          auto store = DocumentStore();
          for (const auto& r : ReadNames(*connection, id, categories)) {
            if (!IsDocumentFileName(r.fileName)) continue;
            std::string copy = SharedDocumentPath(*shared, r.fileName, r.category, r.treeType);
            if (store->Exists(copy)) store->Delete(copy);
          }
        }
        std::string in;
        for (int32_t c : categories) in += (in.empty() ? "" : ", ") + std::to_string(c);
        connection->Execute("DELETE FROM DOCUMENTFILES WHERE ID = " + std::to_string(id) + " AND CATEGORY IN (" + in +
                            ")");
        CloseConnection(connection);
      },
      [&] { CloseConnection(connection); });
}

void FileHandling::RemoveFile(const std::string& fileName, int32_t id, int32_t category, int32_t treeType) {
  ConnectionPtr connection;
  Trapped(
      Label("RemoveFile"),
      [&] {
        CheckFileName(fileName, "fileName");
        connection = GetHelvixConnection();
        const db::Dialect& d = connection->dialect();
        int64_t removed = connection->Execute("DELETE FROM DOCUMENTFILES WHERE ID = " + d.Placeholder(1) +
                                                  " AND CATEGORY = " + d.Placeholder(2) + " AND FILENAME = " +
                                                  d.Placeholder(3),
                                              {db::Value(id), db::Value(category), db::Value(fileName)});
        CloseConnection(connection);
        if (removed == 0) return;
        if (auto shared = GetWebFarmLocation()) {
          auto store = DocumentStore();
          std::string copy = SharedDocumentPath(*shared, fileName, category, treeType);
          if (store->Exists(copy)) store->Delete(copy);
        }
      },
      [&] { CloseConnection(connection); });
}

bool FileHandling::FetchFile(const std::string& sharedLocation, const std::string& fileName,
                             const std::string& localPath, int32_t category, std::optional<int32_t> id,
                             int32_t treeType) {
  (void)id;  // the file name already carries the identifier
  return Trapped(Label("FetchFile"), [&] {
    CheckFileName(fileName, "fileName");
    CheckDocumentPath(localPath);
    if (fs::path(localPath).filename().string() != fileName) {
      RaiseInvalidArgument("localPath", "'" + localPath + "' does not end in the file name '" + fileName + "'",
                           err::InvalidFileName);
    }
    std::string copy = SharedDocumentPath(sharedLocation, fileName, category, treeType);
    auto store = DocumentStore();
    // With the documents in the database the shared copy is only ever
    // written: the database is newer than or as new as any copy, and a copy
    // left from before the mode was switched off would replace it.
    if (DocumentsInDatabase()) return store->Exists(localPath);
    if (!store->Exists(copy)) return store->Exists(localPath);
    std::string contents = store->Load(copy);
    if (store->Exists(localPath) && store->Load(localPath) == contents) return true;
    store->Save(localPath, contents);
    return true;
  });
}

void FileHandling::AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) {
  ConnectionPtr connection;
  Trapped(
      Label("AddFile"),
      [&] {
        CheckDocumentPath(fullPath);
        std::string fileName = fs::path(fullPath).filename().string();
        CheckFileName(fileName, "fullPath");
        auto store = DocumentStore();
        if (!store->Exists(fullPath)) {
          Raise(err::FileNotFound, kSource, "File not found: the document file '" + fullPath + "' does not exist");
        }
        auto shared = GetWebFarmLocation();
        connection = GetHelvixConnection();
        std::optional<NameRow> previous;
        if (shared) {
          auto rows = ReadNames(*connection, id, {category});
          if (!rows.empty()) previous = rows.front();
        }
        const db::Dialect& d = connection->dialect();
        connection->Execute("INSERT INTO DOCUMENTFILES (ID, CATEGORY, FILENAME, TREETYPE) VALUES (" + d.Placeholder(1) +
                                ", " + d.Placeholder(2) + ", " + d.Placeholder(3) + ", " + d.Placeholder(4) +
                                ") ON CONFLICT (ID, CATEGORY) DO UPDATE SET FILENAME = excluded.FILENAME,"
                                " TREETYPE = excluded.TREETYPE",
                            {db::Value(id), db::Value(category), db::Value(fileName), db::Value(treeType)});
        CloseConnection(connection);
        if (shared) {
          std::string copy = SharedDocumentPath(*shared, fileName, category, treeType);
          store->Copy(fullPath, copy);
          // The copy of a name that is no longer current is not needed.
          if (previous && previous->fileName != fileName && IsDocumentFileName(previous->fileName)) {
            std::string old = SharedDocumentPath(*shared, previous->fileName, category, previous->treeType);
            if (store->Exists(old)) store->Delete(old);
          }
        }
      },
      [&] { CloseConnection(connection); });
}

void RegisterFileHandlingComponent() {
  Registry::Instance().Register(progid::FileHandling, [] { return std::make_shared<FileHandling>(); });
}

}  // namespace tsa
