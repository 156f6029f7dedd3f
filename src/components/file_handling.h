// The file-handling service ("HXSvcCommonMTS.FileHandling"): the current
// file name of every document (per tree identifier and category), and in a
// web farm the copies of the documents in the shared location.
//
// Names live in DOCUMENTFILES of the service database and are written
// through GetHelvixConnection(), so inside a transaction they commit and
// roll back with the rows. Files are handled through the document store, so
// the copies in the shared location are staged the same way.
//
// The shared location (parameter "FTPPath") is a folder laid out like the
// local documents: <location>/Manager|Enduser/Trees|Templates/<file name>,
// "Manager" for the manager categories (8, 16), "Trees" for tree type 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/dictionary.h"
#include "runtime/registry.h"

namespace tsa {

// Category -> names; element 0 of each item is the current file name.
using FileNameDict = OrderedDict<int32_t, std::vector<std::string>>;

class IFileHandling : public Component {
 public:
  // An item for every category asked for that has a current document, in
  // the order asked; Count() is the number of categories known.
  virtual FileNameDict GetFileNames(int32_t id, const std::vector<int32_t>& categories) = 0;
  // Forgets the documents of these categories (in a web farm their shared
  // copies are deleted too; local files are the caller's).
  virtual void DeleteFiles(int32_t id, const std::vector<int32_t>& categories) = 0;
  // The file is no longer the current document of the identifier and
  // category. A name that is not the current one changes nothing.
  virtual void RemoveFile(const std::string& fileName, int32_t id, int32_t category, int32_t treeType) = 0;
  // Copies the named document from the shared location to the local path
  // (replacing an older local copy). True when the document is then present
  // locally; false when the shared location does not have it and there is
  // no local copy either. With the documents in the database nothing is
  // copied (the database is never older than the shared copy): true when
  // the database has the document.
  virtual bool FetchFile(const std::string& sharedLocation, const std::string& fileName, const std::string& localPath,
                         int32_t category, std::optional<int32_t> id, int32_t treeType) = 0;
  // The file at `fullPath` (which must exist) becomes the current document
  // of the identifier and category; in a web farm it is also placed in the
  // shared location.
  virtual void AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) = 0;
};

class FileHandling : public IFileHandling {
 public:
  FileNameDict GetFileNames(int32_t id, const std::vector<int32_t>& categories) override;
  void DeleteFiles(int32_t id, const std::vector<int32_t>& categories) override;
  void RemoveFile(const std::string& fileName, int32_t id, int32_t category, int32_t treeType) override;
  bool FetchFile(const std::string& sharedLocation, const std::string& fileName, const std::string& localPath,
                 int32_t category, std::optional<int32_t> id, int32_t treeType) override;
  void AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) override;
};

// Element 0 of the item of `category`; error 9 (subscript out of range)
// naming the category when the service returned no item for it.
std::string CurrentFileName(const FileNameDict& names, int32_t category);

// True for a plain document file name: digits "_" digits ".xml".
bool IsDocumentFileName(const std::string& name);

// Where a document lies in the shared location.
std::string SharedDocumentPath(const std::string& sharedLocation, const std::string& fileName, int32_t category,
                               int32_t treeType);

void RegisterFileHandlingComponent();

}  // namespace tsa
