// Visibility synchronisation: when the visibilities a product receives from
// its catalog categories change, the working copy of its tree (the rows of
// DIAGNOSTICS_TEMP and the manager document) follows. Withdrawn visibilities
// leave every node, new ones join every node or the root only, and the root
// can be given a complete new list.
//
// Unlike the other members these neither load a Tree nor look at who holds
// the tree checked out, and none of them votes: their work commits or rolls
// back with the transaction they run in (an error without a vote rolls a
// root transaction back).
//
// The two list helpers compare entries as 32-bit integers, not as text:
// ";05;8;" holds the number 5, although the text ";5;" does not occur in it.
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "storage/xml.h"

namespace tsa {

namespace {

constexpr const char* kSynchronizeTree = "HXSvcTroubleshooting.Tree.SynchronizeVisibilitiesforTree";
constexpr const char* kSynchronizeXml = "HXSvcTroubleshooting.Tree.AddVisibilitiestoXML";
constexpr const char* kUpdateRoot = "HXSvcTroubleshooting.Tree.UpdateVisibilitiesForRootNode";

// The items of the addition dictionary; any other item is ignored.
constexpr std::string_view kWholeTree = "Tree";
constexpr std::string_view kRootOnly = "Root";

constexpr int32_t kManagerCategory = storage::kCategoryProductManager;

std::shared_ptr<IFileHandling> FileService() { return CreateInContext<IFileHandling>(progid::FileHandling); }

// A 32-bit integer written in decimal (an optional "-", then digits; leading
// zeros allowed), or nothing.
std::optional<int32_t> ParseEntry(std::string_view text) {
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The pieces of a text split at ";" (none for the empty text).
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  for (size_t pos; (pos = text.find(';', start)) != std::string::npos; start = pos + 1) {
    pieces.push_back(text.substr(start, pos - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// The entries of a list: the pieces from the second to the last but one.
std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> pieces = Split(list);
  if (pieces.size() < 3) return {};
  return {pieces.begin() + 1, pieces.end() - 1};
}

// Every occurrence replaced, scanning left to right without overlaps.
std::string ReplaceAll(const std::string& text, const std::string& what, const std::string& with) {
  std::string out;
  size_t start = 0;
  for (size_t pos; (pos = text.find(what, start)) != std::string::npos; start = pos + what.size()) {
    out.append(text, start, pos - start);
    out += with;
  }
  out.append(text, start, std::string::npos);
  return out;
}

// Whether a node's list holds no entries: ";", "" or blanks.
bool HoldsNothing(const std::string& list) {
  return list == ";" || list.find_first_not_of(' ') == std::string::npos;
}

// A node's list as the list helpers take it. A node saved with "" (or a
// blank) has no entries, like ";", and must gain what is added to every
// node; handed on as it is, the helper would find no place for the entry
// and drop it, or refuse the blank.
std::string AsList(const std::string& list) { return HoldsNothing(list) ? std::string(";") : list; }

// One visibility identifier passed by a caller.
int32_t RequireEntry(std::string_view argument, const std::string& value) {
  std::optional<int32_t> entry = ParseEntry(value);
  if (!entry) {
    RaiseInvalidArgument(argument,
                         "must be a visibility identifier (a 32-bit integer in decimal), got \"" + value + "\"");
  }
  return *entry;
}

// A list whose entries are all 32-bit integers: the entries' values.
std::vector<int32_t> RequireNumericList(std::string_view argument, const std::string& list,
                                        const std::vector<std::string>& entries) {
  ValidateVisibilities(argument, list);
  std::vector<int32_t> values;
  values.reserve(entries.size());
  for (const std::string& entry : entries) {
    std::optional<int32_t> value = ParseEntry(entry);
    if (!value) {
      RaiseInvalidArgument(argument,
                           "the entry \"" + entry + "\" of \"" + list + "\" is not a 32-bit integer",
                           err::InvalidVisibilityList);
    }
    values.push_back(*value);
  }
  return values;
}

// The keys of a synchronisation dictionary are visibility identifiers; they
// are checked before anything is changed, so that a bad key cannot stop the
// work half way.
void RequireIdentifierKeys(std::string_view argument, const StringDict& dictionary) {
  for (const auto& [key, item] : dictionary) {
    if (!ParseEntry(key)) {
      RaiseInvalidArgument(argument, "the key \"" + key + "\" is not a visibility identifier (a 32-bit integer)");
    }
  }
}

// The product tree's manager document: its current file name, its path, and
// (in a web farm) the latest copy from the shared location.
struct ManagerDocument {
  std::string fileName;
  std::string path;
};

ManagerDocument LocateManagerDocument(int32_t productId, std::shared_ptr<IFileHandling>& files) {
  ManagerDocument document;
  files = FileService();
  document.fileName = CurrentFileName(files->GetFileNames(productId, {kManagerCategory}), kManagerCategory);
  document.path = storage::GetXMLPath(storage::kProductTree, document.fileName, true);
  if (std::optional<std::string> shared = GetWebFarmLocation()) {
    files->FetchFile(*shared, document.fileName, document.path, kManagerCategory, std::nullopt,
                     storage::kProductTree);
  }
  return document;
}

// The document at `path`, or error 1002 when it is missing or does not parse.
XmlDoc LoadTreeDocument(const std::string& path) {
  XmlDoc document = XmlDoc::Create();
  bool loaded = false;
  try {
    loaded = document.LoadXml(DocumentStore()->Load(path));
  } catch (const Error&) {
    loaded = false;  // missing or unreadable: the same failure as markup that does not parse
  }
  if (!loaded) Raise(err::TreeLoadFailed);
  return document;
}

// Writes the document back and makes it the manager document again, so that
// in a web farm the shared copy carries the change too (the next load
// fetches from there).
void SaveManagerDocument(int32_t productId, const XmlDoc& document, const ManagerDocument& where,
                         IFileHandling& files) {
  DocumentStore()->Save(where.path, document.Xml());
  files.RemoveFile(where.fileName, productId, kManagerCategory, storage::kProductTree);
  files.AddFile(where.path, productId, kManagerCategory, storage::kProductTree);
}

}  // namespace

std::string TSDOM::SearchVisibilityandUpdate(std::string sVisArray, std::string sVisibility) {
  return RunTransactional([&] {
    if (sVisArray == ";") return sVisArray;
    const std::vector<std::string> entries = Entries(sVisArray);
    const std::vector<int32_t> values = RequireNumericList("sVisArray", sVisArray, entries);
    const int32_t wanted = RequireEntry("sVisibility", sVisibility);

    // The argument's own text is what goes: an entry that is only
    // numerically equal ("05" for "5") stays.
    std::string list = sVisArray;
    for (int32_t value : values) {
      if (value == wanted) list = ReplaceAll(list, ";" + sVisibility + ";", ";");
    }
    return list;
  });
}

std::string TSDOM::AppendVisibilityInOrder(std::string sTempArr, std::string sVisibility) {
  return RunTransactional([&] {
    RequireEntry("sVisibility", sVisibility);
    std::vector<std::string> entries = Entries(sTempArr + sVisibility + ";");
    std::vector<int32_t> values = RequireNumericList("sTempArr", sTempArr, entries);

    // Exchange sort by value; entries of equal value keep the order this
    // sort leaves them in.
    for (size_t i = 0; i < entries.size(); ++i) {
      for (size_t j = i; j < entries.size(); ++j) {
        if (values[i] > values[j]) {
          std::swap(values[i], values[j]);
          std::swap(entries[i], entries[j]);
        }
      }
    }
    // Only the pieces between separators are entries: an empty list ("")
    // gives ";" and the argument is not taken into it.
    std::string list = ";";
    for (const std::string& entry : entries) list += entry + ";";
    return list;
  });
}

void TSDOM::SynchronizeVisibilitiesforTree(int32_t lProductCat, int32_t lproductId, const StringDict& oAddVisibility,
                                           const StringDict& oDeletevisibility) {
  (void)lProductCat;  // part of the interface; the product's category plays no part
  RunTransactional([&] {
    ConnectionPtr connection;
    RecordsetPtr recordset;
    try {
      RequireIdentifierKeys("oAddVisibility", oAddVisibility);
      RequireIdentifierKeys("oDeletevisibility", oDeletevisibility);
      Tree::LockTree(storage::kProductTree, lproductId);

      // The list operations and the document go through the facade's own
      // interface, on an object created by ProgID.
      TSDOMPtr self = CreateTSDOMObject();
      connection = GetHelvixConnection();
      recordset = connection->OpenRecordset(
          "SELECT NODEID,PRODUCTID,VISIBILITY FROM DIAGNOSTICS_TEMP WHERE PRODUCTID =" +
              std::to_string(FormatSqlNumber(lproductId)) + " ORDER BY PRODUCTID,NODEID",
          db::CursorType::Dynamic, db::LockType::Optimistic);
      if (recordset->IsEOF()) {
        // Not checked out: there is no working copy to follow the catalog.
        CloseRecordset(recordset);
        CloseConnection(connection);
        return;
      }

      if (oDeletevisibility.Count() > 0) {
        for (recordset->MoveFirst(); !recordset->IsEOF(); recordset->MoveNext()) {
          std::string list = recordset->Field("VISIBILITY").ToText();
          if (HoldsNothing(list)) continue;  // nothing to remove
          for (const auto& [key, item] : oDeletevisibility) list = self->SearchVisibilityandUpdate(list, key);
          recordset->SetField("VISIBILITY", list);
          recordset->Update();
        }
      }

      if (oAddVisibility.Count() > 0) {
        for (recordset->MoveFirst(); !recordset->IsEOF(); recordset->MoveNext()) {
          std::string list = recordset->Field("VISIBILITY").ToText();
          const bool isRoot = recordset->Field("NODEID").ToInt32() == 0;
          for (const auto& [key, item] : oAddVisibility) {
            if (item == kWholeTree || (item == kRootOnly && isRoot)) {
              list = self->AppendVisibilityInOrder(AsList(list), key);
            }
          }
          recordset->SetField("VISIBILITY", list);
          recordset->Update();
        }
      }
      CloseRecordset(recordset);
      CloseConnection(connection);

      self->SynchronizeVisibilitiesInXML(lproductId, oDeletevisibility, oAddVisibility);
    } catch (...) {
      CloseRecordset(recordset);
      CloseConnection(connection);
      ReportError(kSynchronizeTree, CurrentError().description);
      throw;
    }
  });
}

void TSDOM::SynchronizeVisibilitiesInXML(int32_t lproductId, const StringDict& oDeletevisibility,
                                         const StringDict& oAddVisibility) {
  RunTransactional([&] {
    std::shared_ptr<IFileHandling> files;
    try {
      RequireIdentifierKeys("oDeletevisibility", oDeletevisibility);
      RequireIdentifierKeys("oAddVisibility", oAddVisibility);
      Tree::LockTree(storage::kProductTree, lproductId);

      TSDOMPtr self = CreateTSDOMObject();
      const ManagerDocument where = LocateManagerDocument(lproductId, files);
      XmlDoc document = LoadTreeDocument(where.path);
      XmlElement root = document.DocumentElement();
      std::vector<XmlElement> nodes = root.SelectNodes("./descendant-or-self::Node");

      // A node without a VISB attribute reads as an empty list, as a missing
      // attribute's text does.
      auto visibilities = [](const XmlElement& node) { return node.GetAttribute("VISB").value_or(""); };

      if (oDeletevisibility.Count() > 0) {
        for (XmlElement& node : nodes) {
          std::string list = visibilities(node);
          if (HoldsNothing(list)) continue;  // nothing to remove
          for (const auto& [key, item] : oDeletevisibility) list = self->SearchVisibilityandUpdate(list, key);
          node.SetAttribute("VISB", list);
        }
      }
      for (const auto& [key, item] : oAddVisibility) {
        if (item == kWholeTree) {
          for (XmlElement& node : nodes) {
            node.SetAttribute("VISB", self->AppendVisibilityInOrder(AsList(visibilities(node)), key));
          }
        } else if (item == kRootOnly) {
          root.SetAttribute("VISB", self->AppendVisibilityInOrder(AsList(visibilities(root)), key));
        }
      }

      SaveManagerDocument(lproductId, document, where, *files);
      files.reset();
    } catch (...) {
      files.reset();
      ReportError(kSynchronizeXml, CurrentError().description);
      throw;
    }
  });
}

void TSDOM::UpdateVisibilitiesForRootNode(int32_t lproductId, std::string i_sVisibilities) {
  RunTransactional([&] {
    ConnectionPtr connection;
    RecordsetPtr recordset;
    std::shared_ptr<IFileHandling> files;
    try {
      ValidateVisibilities("i_sVisibilities", i_sVisibilities);
      Tree::LockTree(storage::kProductTree, lproductId);

      connection = GetHelvixConnection();
      recordset = connection->OpenRecordset("SELECT NODEID,VISIBILITY FROM DIAGNOSTICS_TEMP WHERE PRODUCTID =" +
                                                std::to_string(lproductId) + " ORDER BY NODEID",
                                            db::CursorType::Dynamic, db::LockType::Optimistic);
      if (recordset->IsEOF()) {
        // Not checked out: nothing to change, the document included.
        CloseRecordset(recordset);
        CloseConnection(connection);
        return;
      }
      for (; !recordset->IsEOF(); recordset->MoveNext()) {
        // The root takes the new list whatever it held before, as its
        // element does below; the other nodes only when they had a list.
        const bool isRoot = recordset->Field("NODEID").ToInt32() == 0;
        if (!isRoot && recordset->Field("VISIBILITY").ToText() == ";") continue;
        recordset->SetField("VISIBILITY", i_sVisibilities);
        recordset->Update();
      }
      CloseRecordset(recordset);
      CloseConnection(connection);

      const ManagerDocument where = LocateManagerDocument(lproductId, files);
      XmlDoc document = LoadTreeDocument(where.path);
      XmlElement root = document.DocumentElement();
      root.SetAttribute("VISB", i_sVisibilities);
      for (XmlElement& node : root.SelectNodes("./descendant-or-self::Node")) {
        if (node.GetAttribute("VISB").value_or("") != ";") node.SetAttribute("VISB", i_sVisibilities);
      }
      SaveManagerDocument(lproductId, document, where, *files);
      files.reset();
    } catch (...) {
      CloseRecordset(recordset);
      CloseConnection(connection);
      files.reset();
      ReportError(kUpdateRoot, CurrentError().description);
      throw;
    }
  });
}

}  // namespace tsa
