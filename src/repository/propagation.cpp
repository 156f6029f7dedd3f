#include "repository/propagation.h"

#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/document_cache.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"

namespace tsa {

namespace {

constexpr std::string_view kPropagateLabel = "HXSvcTroubleShooting.TSUtilities.PropagateChanges";
constexpr std::string_view kGetIdsLabel = "HXSvcTroubleShooting.TSUtilities.getIDs";
constexpr std::string_view kToXmlsLabel = "HXSvcTroubleShooting.Node.PropagateChangestoXMLs";
constexpr std::string_view kDescsLabel = "TSUtilities.changeNodeDescsForXML";
constexpr std::string_view kDescendantsLabel = "HXSvcTroubleshooting.TSUtilities.UpdateSelfAndDescendantNodes";

struct NodeTable {
  const char* table;
  int32_t treeType;
  bool manager;
};

// Working copies first, then the published copies; product trees before
// templates.
constexpr std::array<NodeTable, 4> kNodeTables{{
    {"DIAGNOSTICS_TEMP", storage::kProductTree, true},
    {"DIAGNOSTICS", storage::kProductTree, false},
    {"TEMPLATE_TEMP", storage::kTemplateTree, true},
    {"TEMPLATE", storage::kTemplateTree, false},
}};

// The key column of a node table; refuses anything that is not one of them.
std::string KeyColumnOf(const std::string& table) {
  if (table == "DIAGNOSTICS" || table == "DIAGNOSTICS_TEMP") return "PRODUCTID";
  if (table == "TEMPLATE" || table == "TEMPLATE_TEMP") return "TEMPLATEID";
  RaiseInvalidArgument("table", "\"" + table + "\" is not a node table");
}

// A decimal 32-bit integer, or error 13 (6 when it does not fit).
int32_t ParseInt32(std::string_view text, std::string_view what) {
  int32_t value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    Raise(err::Overflow, {}, "Overflow: " + std::string(what) + " '" + std::string(text) + "' exceeds 32 bits");
  }
  if (ec != std::errc() || ptr != text.data() + text.size()) {
    Raise(err::TypeMismatch, {}, "Type mismatch: " + std::string(what) + " '" + std::string(text) + "' is not an integer");
  }
  return value;
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  for (size_t pos; (pos = text.find(separator, start)) != std::string::npos; start = pos + 1) {
    pieces.push_back(text.substr(start, pos - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// The entity's texts on the nodes that show it.
void ShowTexts(std::vector<XmlElement>& nodes, const std::string& sDesc, const std::string& lDesc) {
  for (XmlElement& node : nodes) {
    node.SelectSingleNode("./sd").SetText(sDesc);
    node.SelectSingleNode("./ld").SetText(lDesc);
  }
}

// The table that holds the rows of a tree type's working (manager) or
// published copies.
const char* NodeTableOf(int32_t treeType, bool manager) {
  for (const NodeTable& t : kNodeTables)
    if (t.treeType == treeType && t.manager == manager) return t.table;
  return nullptr;
}

// The elements of one tree's document that show an entity, found where the
// tree's rows place them: a few steps down from the top instead of a walk
// over every node of a large document. Nothing when the document does not
// have one of them there (it disagrees with its rows): then it is scanned.
std::optional<std::vector<XmlElement>> ShownWhereRowsSay(const XmlDoc& document, const char* table, int32_t treeId,
                                                         int32_t repType, int32_t repId) {
  if (!table) return std::nullopt;
  const std::string sql = "SELECT NODEID, PRETREE FROM " + std::string(table) + " WHERE " + KeyColumnOf(table) +
                          " = " + std::to_string(FormatSqlNumber(treeId)) +
                          " AND REPID = " + std::to_string(FormatSqlNumber(repId)) +
                          " AND REPTYPE = " + std::to_string(FormatSqlNumber(repType));
  ConnectionPtr connection = GetHelvixConnection();
  RecordsetPtr rows = connection->OpenRecordset(sql);
  std::vector<std::pair<int32_t, std::string>> places;
  for (; !rows->IsEOF(); rows->MoveNext()) {
    places.emplace_back(rows->Field("NODEID").ToInt32(), rows->Field("PRETREE").ToText());
  }
  CloseRecordset(rows);
  CloseConnection(connection);

  const std::string id = std::to_string(repId);
  const std::string type = std::to_string(repType);
  std::vector<XmlElement> shown;
  for (const auto& [node, pretree] : places) {
    XmlElement e = document.ElementAtPath("Node", "NID", pretree + std::to_string(node) + ";");
    if (e.IsNull() || e.GetAttribute("RID") != id || e.GetAttribute("RTP") != type) return std::nullopt;
    shown.push_back(std::move(e));
  }
  return shown;
}

}  // namespace

void PropagateChanges(int32_t repType, int32_t repId, const std::string& sDesc, const std::string& lDesc) {
  Trapped(kPropagateLabel, [&] {
    // All documents change in one transaction (the caller's, or one of our
    // own), so a failure in one tree leaves every document as it was.
    RunTransactional([&] {
      for (const NodeTable& t : kNodeTables) {
        std::string ids = getIDs(repType, repId, t.table);
        if (!ids.empty()) PropagateChangestoXMLs(repType, repId, t.treeType, t.manager, ids, sDesc, lDesc);
      }
    });
  });
}

std::string getIDs(int32_t repType, int32_t repId, const std::string& table) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      kGetIdsLabel,
      [&] {
        std::string key = KeyColumnOf(table);
        // Ordered, so that trees are always visited (and locked) in the same
        // order.
        std::string sql = "Select DISTINCT " + key + " from " + table +
                          " where REPID=" + std::to_string(FormatSqlNumber(repId)) +
                          " and REPTYPE=" + std::to_string(FormatSqlNumber(repType)) + " order by " + key;
        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset(sql);
        std::string ids;
        for (; !recordset->IsEOF(); recordset->MoveNext()) {
          if (!ids.empty()) ids += ",";
          ids += std::to_string(recordset->Field(key).ToInt32());
        }
        CloseRecordset(recordset);
        CloseConnection(connection);
        return ids;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

void PropagateChangestoXMLs(int32_t repType, int32_t repId, int32_t treeType, bool manager, const std::string& ids,
                            const std::string& sDesc, const std::string& lDesc) {
  Trapped(kToXmlsLabel, [&] {
    const int32_t category = storage::DocumentCategory(treeType, manager);
    auto fileHandling = CreateInContext<IFileHandling>(progid::FileHandling);
    XmlDoc document = XmlDoc::Create();
    const std::optional<std::string> sharedLocation = GetWebFarmLocation();

    for (const std::string& piece : SplitAt(ids, ',')) {
      const int32_t id = ParseInt32(piece, "the tree identifier");
      // Requests that load, check out or publish this tree wait for our
      // transaction to end: none of them saves a copy it read before our
      // rewrite or renames the document under us.
      storage::LockTree(treeType, id);
      std::string fileName = CurrentFileName(fileHandling->GetFileNames(id, {category}), category);
      std::string path = storage::GetXMLPath(treeType, fileName, manager);
      // In a web farm the shared copy is the current one: a later load
      // fetches it over the local file.
      if (sharedLocation) fileHandling->FetchFile(*sharedLocation, fileName, path, category, id, treeType);

      // A document that cannot be loaded (missing, unreadable, not well
      // formed) is skipped; the log tells which.
      try {
        if (!storage::LoadTreeDocumentSavedHere(path, document)) {
          Raise(err::InternalError, {}, "The document is not well formed: " + document.LastError());
        }
      } catch (const Error&) {
        LogError(kToXmlsLabel, "the document '" + path + "' cannot be loaded and was skipped");
        continue;
      }

      const uint64_t before = document.Generation();
      if (auto shown = ShownWhereRowsSay(document, NodeTableOf(treeType, manager), id, repType, repId)) {
        ShowTexts(*shown, sDesc, lDesc);
      } else {
        changeNodeDescsForXML(document, repType, repId, sDesc, lDesc);
      }
      // A document whose nodes show the texts already (the tree the node
      // was saved in, when no other node of it shows the entity) is not
      // written again.
      if (document.Generation() != before) storage::SaveTreeDocument(path, document);
      if (sharedLocation) fileHandling->AddFile(path, id, category, treeType);
    }
  });
}

void changeNodeDescsForXML(XmlDoc& document, int32_t repType, int32_t repId, const std::string& sDesc,
                           const std::string& lDesc) {
  Trapped(kDescsLabel, [&] {
    const std::string id = std::to_string(repId);
    const std::string type = std::to_string(repType);
    std::vector<XmlElement> shown =
        document.ElementsWhere("Node", "RID", [&](std::string_view v) { return v == id; });
    std::erase_if(shown, [&](const XmlElement& node) { return node.GetAttribute("RTP") != type; });
    ShowTexts(shown, sDesc, lDesc);
  });
}

void UpdateSelfAndDescendantNodes(XmlElement& element, const std::string& added, const std::string& removed, bool add,
                                  std::optional<int32_t> offset) {
  Trapped(kDescendantsLabel, [&] {
    for (XmlElement& node : element.SelectNodes("./descendant-or-self::Node")) {
      std::optional<std::string> visibilities = node.GetAttribute("VISB");
      if (!visibilities) Raise(err::InvalidUseOfNull, {}, "Invalid use of Null: a Node element has no VISB attribute");
      std::string list = storage::RemoveVisibilities(*visibilities, removed);
      if (add) list = storage::AppendVisibilities(list, added);
      node.SetAttribute("VISB", list);

      if (offset) {
        std::optional<std::string> nid = node.GetAttribute("NID");
        if (!nid) Raise(err::InvalidUseOfNull, {}, "Invalid use of Null: a Node element has no NID attribute");
        int64_t renumbered = int64_t{*offset} + ParseInt32(*nid, "the node identifier");
        if (renumbered < std::numeric_limits<int32_t>::min() || renumbered > std::numeric_limits<int32_t>::max()) {
          Raise(err::Overflow, {}, "Overflow: the node identifier " + *nid + " moved by " + std::to_string(*offset));
        }
        node.SetAttribute("NID", std::to_string(renumbered));
        node.SetAttribute("HYP", "-1");
      }
    }
  });
}

}  // namespace tsa
