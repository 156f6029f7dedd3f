#include "authoring/tree_exchange.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "authoring/exchange_reader.h"
#include "authoring/tsdom.h"
#include "authoring/validation.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "storage/xml.h"
#include "versions/tree_copy.h"
#include "versions/version_errors.h"

namespace tsa {

namespace {

using nlohmann::json;

constexpr const char* kExport = "HXSvcTroubleshooting.Exchange.Export";
constexpr const char* kImport = "HXSvcTroubleshooting.Exchange.Import";
constexpr const char* kFormat = "tsauthor-tree";

std::string TreeName(int32_t treeType, int32_t id) {
  return (treeType == storage::kProductTree ? "The product tree " : "The template ") + std::to_string(id);
}

// A visibility list as stored (";1;2;") as its identifiers; a damaged list
// is a tree that cannot be read.
std::vector<int32_t> VisibilityIds(const std::string& list, int32_t nodeId) {
  std::vector<int32_t> ids;
  size_t at = 0;
  while (at <= list.size()) {
    size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    std::string_view piece(list.data() + at, end - at);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
    if (!piece.empty()) {
      int32_t id = 0;
      auto [p, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), id);
      if (ec != std::errc() || p != piece.data() + piece.size()) {
        Raise(err::TreeLoadFailed, {},
              "The visibility list of node " + std::to_string(nodeId) + " cannot be read: '" + list + "'");
      }
      ids.push_back(id);
    }
    at = end + 1;
  }
  return ids;
}

std::string VisibilityList(const std::vector<int32_t>& ids) {
  std::string list = ";";
  for (int32_t id : ids) list += std::to_string(id) + ";";
  return list;
}

// One row of a catalog or service table by key, read with a bound parameter.
std::optional<std::vector<db::Value>> RowByKey(ConnectionPtr connection, const std::string& select, int32_t key) {
  db::ResultSet result;
  try {
    result = connection->session().Query(select + connection->dialect().Placeholder(1), {db::Value(key)});
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
  if (result.rows.empty()) return std::nullopt;
  return result.rows[0];
}

std::string TextOf(const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); }

std::optional<std::string> CatalogVisibilityName(int32_t id) {
  auto row = RowByKey(GetKCatalogConnection(), "SELECT NAME FROM VISIBILITIES WHERE VISIBILITYID = ", id);
  if (!row) return std::nullopt;
  return TextOf((*row)[0]);
}

bool CatalogHasCategory(int32_t id) {
  return RowByKey(GetKCatalogConnection(), "SELECT CATEGORYID FROM CATEGORIES WHERE CATEGORYID = ", id).has_value();
}

using TemplateInfo = ExchangeTemplateInfo;
using FileNode = ExchangeNode;
using Plan = ExchangePlan;

std::optional<TemplateInfo> ReadTemplateInfo(int32_t id) {
  auto row = RowByKey(GetHelvixConnection(),
                      "SELECT NAME, COMMENT, PRODUCTCATEGORY FROM TEMPLATEINFO WHERE TEMPLATEID = ", id);
  if (!row) return std::nullopt;
  return TemplateInfo{TextOf((*row)[0]), TextOf((*row)[1]), (*row)[2].IsNull() ? 0 : (*row)[2].ToInt32()};
}

// An entity of the type with exactly these texts, the oldest first.
std::optional<int32_t> EntityWithTexts(int32_t repType, const std::string& sd, const std::string& ld) {
  ConnectionPtr connection = GetHelvixConnection();
  db::ResultSet result;
  try {
    const db::Dialect& d = connection->dialect();
    result = connection->session().Query("SELECT ID FROM " + storage::getRepTable(repType) +
                                             " WHERE COALESCE(NAME, '') = " + d.Placeholder(1) +
                                             " AND COALESCE(DETAIL, '') = " + d.Placeholder(2) + " ORDER BY ID",
                                         {db::Value(sd), db::Value(ld)});
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
  if (result.rows.empty()) return std::nullopt;
  return result.rows[0][0].ToInt32();
}

template <typename Body>
auto Unit(const char* label, Body body) {
  return RunTransactional([&] {
    return Trapped(
        label,
        [&] {
          auto result = body();
          CompleteTransaction();
          return result;
        },
        [] { AbortTransaction(); });
  });
}

}  // namespace

json Exchange::Export(int32_t i_lTreeType, int32_t i_lID, bool i_bWorking) {
  return Unit(kExport, [&] {
    ValidateTreeType("i_lTreeType", i_lTreeType);
    storage::LockTree(i_lTreeType, i_lID);
    const char* copyName = i_bWorking ? "working" : "published";
    std::optional<versions::TreeCopy> copy = versions::ReadCopy(i_lTreeType, i_lID, i_bWorking);
    if (!copy) Raise(err::NoSuchCopy, {}, TreeName(i_lTreeType, i_lID) + " has no " + copyName + " copy to export");
    XmlDoc doc = XmlDoc::Create();
    if (!doc.LoadXml(copy->document)) {
      Raise(err::TreeLoadFailed, {}, TreeName(i_lTreeType, i_lID) + ": the document cannot be read: " + doc.LastError());
    }
    std::map<int32_t, const versions::NodeRecord*> rows;
    for (const versions::NodeRecord& r : copy->rows) rows[r.nodeId] = &r;

    json nodes = json::array();
    std::set<int32_t> used;
    XmlElement root = doc.DocumentElement();
    for (const XmlElement& e : root.SelectNodes("./descendant::Node")) {
      const std::string nid = e.GetAttribute("NID").value_or("");
      int32_t id = -1;
      std::from_chars(nid.data(), nid.data() + nid.size(), id);
      auto row = rows.find(id);
      if (row == rows.end() || id <= 0) {
        Raise(err::TreeLoadFailed, {}, TreeName(i_lTreeType, i_lID) + ": the element of node '" + nid + "' has no row");
      }
      const versions::NodeRecord& r = *row->second;
      const std::vector<int32_t> visibilities = VisibilityIds(r.visibility, r.nodeId);
      used.insert(visibilities.begin(), visibilities.end());
      nodes.push_back({{"id", r.nodeId},
                       {"parent", r.parentId},
                       {"type", ExchangeTypeName(r.repType)},
                       {"entity", r.repId},
                       {"short", e.ChildText("sd")},
                       {"long", e.ChildText("ld")},
                       {"visibilities", visibilities},
                       {"faqs", r.faqs},
                       {"hyperlink", r.hyperlink < 0 ? json(nullptr) : json(r.hyperlink)}});
    }
    // A row without its element would silently drop out of the file.
    if (nodes.size() + 1 != copy->rows.size()) {
      Raise(err::TreeLoadFailed, {},
            TreeName(i_lTreeType, i_lID) + ": the rows hold " + std::to_string(copy->rows.size()) +
                " nodes, the document " + std::to_string(nodes.size() + 1));
    }
    json visibilities = json::array();
    for (int32_t id : used) {
      std::optional<std::string> name = CatalogVisibilityName(id);
      visibilities.push_back({{"id", id}, {"name", name ? json(*name) : json(nullptr)}});
    }

    json file = {{"format", kFormat},
                 {"formatVersion", kExchangeFormatVersion},
                 {"treeType", i_lTreeType == storage::kProductTree ? "product" : "template"}};
    if (i_lTreeType == storage::kProductTree) {
      file["product"] = {{"id", i_lID}, {"name", root.ChildText("sd")}};
    } else {
      const TemplateInfo info =
          ReadTemplateInfo(i_lID).value_or(TemplateInfo{root.ChildText("sd"), root.ChildText("ld"), 0});
      file["template"] = {
          {"id", i_lID}, {"name", info.name}, {"comment", info.comment}, {"productCategory", info.productCategory}};
    }
    file["visibilities"] = std::move(visibilities);
    file["nodes"] = std::move(nodes);
    return file;
  });
}

json Exchange::Import(const json& i_vFile, int32_t i_lTreeType, int32_t i_lID, bool i_bReuseTexts) {
  return Unit(kImport, [&] {
    ValidateTreeType("i_lTreeType", i_lTreeType);
    const json file = i_vFile.is_string() ? ParseExchangeText(i_vFile.get<std::string>()) : i_vFile;
    const Plan plan = ReadExchangeFile(file, i_lTreeType, {CatalogVisibilityName, CatalogHasCategory},
                                       CurrentSettings().maxTreeDepth);

    // The tree with its root; refused here when it exists (1204), when the
    // catalog lacks the product (1210) or the template has no information
    // row (1211).
    TSDOMPtr dom = CreateTSDOMObject();
    if (i_lTreeType == storage::kTemplateTree) {
      if (!ReadTemplateInfo(i_lID)) {
        Raise(err::TemplateInfoNotFound, {},
              "The template " + std::to_string(i_lID) + " has no information row; create it with "
              "TSDOM.CreateNewTemplateInfo and import under the identifier it answers");
      }
      if (plan.templateInfo) {
        dom->UpdateTemplateInfo(i_lID, plan.templateInfo->name, plan.templateInfo->comment,
                                plan.templateInfo->productCategory);
      }
    }
    dom->CreateEmptyTree(i_lTreeType, i_lID);
    dom.reset();

    // Entities: one per entity of the file (or per node without one).
    std::map<std::pair<int32_t, int32_t>, int32_t> entityOf;
    RepositoryPtr repository = CreateRepositoryObject();
    int created = 0, reused = 0;
    std::vector<int32_t> repIds;
    for (const FileNode& n : plan.nodes) {
      if (n.entity) {
        auto it = entityOf.find({n.repType, *n.entity});
        if (it != entityOf.end()) {
          repIds.push_back(it->second);
          continue;
        }
      }
      std::optional<int32_t> repId;
      if (i_bReuseTexts) repId = EntityWithTexts(n.repType, n.sd, n.ld);
      if (repId) {
        ++reused;
      } else {
        repId = repository->AddRepEntity(n.repType, n.sd, n.ld);
        ++created;
      }
      if (n.entity) entityOf[{n.repType, *n.entity}] = *repId;
      repIds.push_back(*repId);
    }
    repository.reset();

    // Identifiers 1..n in document order.
    std::map<int32_t, int32_t> newId{{0, 0}};
    for (size_t i = 0; i < plan.nodes.size(); ++i) newId[plan.nodes[i].id] = static_cast<int32_t>(i + 1);

    std::vector<versions::NodeRecord> rows = versions::ReadCopyRows(i_lTreeType, i_lID, false);
    std::optional<std::string> markup = versions::ReadCopyDocument(i_lTreeType, i_lID, false);
    XmlDoc doc = XmlDoc::Create();
    if (!markup || !doc.LoadXml(*markup)) Raise(err::TreeLoadFailed, {}, "The new tree's document cannot be read");
    std::map<int32_t, XmlElement> elements{{0, doc.DocumentElement()}};
    std::map<int32_t, versions::NodeRecord> records{{0, rows.at(0)}};
    std::map<int32_t, int32_t> lastSequence;
    for (size_t i = 0; i < plan.nodes.size(); ++i) {
      const FileNode& n = plan.nodes[i];
      const int32_t id = newId.at(n.id);
      const int32_t parent = newId.at(n.parent);
      const versions::NodeRecord& parentRow = records.at(parent);
      versions::NodeRecord r;
      r.nodeId = id;
      r.repType = n.repType;
      r.repId = repIds[i];
      r.depth = parentRow.depth + 1;
      r.sequence = ++lastSequence[parent];
      r.parentId = parent;
      r.preTree = parentRow.preTree + std::to_string(parent) + ";";
      r.visibility = VisibilityList(n.visibilities);
      r.faqs = n.faqs;
      r.hyperlink = n.hyperlink ? newId.at(*n.hyperlink) : -1;
      rows.push_back(r);
      records.emplace(id, r);

      XmlElement e = storage::NewNodeElement(id, r.repId, r.repType, r.visibility, r.hyperlink, r.faqs);
      e.SetChildText("sd", n.sd);
      e.SetChildText("ld", n.ld);
      elements[id] = elements.at(parent).AppendChild(e);
    }
    versions::WriteCopyRows(i_lTreeType, i_lID, false, rows);

    const int32_t category = storage::DocumentCategory(i_lTreeType, false);
    auto files = CreateInContext<IFileHandling>(progid::FileHandling);
    const std::string name = CurrentFileName(files->GetFileNames(i_lID, {category}), category);
    const std::string path = storage::GetXMLPath(i_lTreeType, name, false);
    DocumentStore()->Save(path, doc.Xml());
    // Registered again, so that a web farm's shared copy follows.
    files->RemoveFile(name, i_lID, category, i_lTreeType);
    files->AddFile(path, i_lID, category, i_lTreeType);
    return json{{"treeType", i_lTreeType},
                {"id", i_lID},
                {"nodes", plan.nodes.size()},
                {"entitiesCreated", created},
                {"entitiesReused", reused}};
  });
}

const DispatchTable* Exchange::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add(Bind<&Exchange::Export>(
        "Export", {"i_lTreeType", "i_lID", "i_bWorking"},
        "The tree (published copy, or the working copy) as one self-contained JSON file, format version 1."));
    t.Add(Bind<&Exchange::Import>(
        "Import", {"i_vFile", "i_lTreeType", "i_lID", "i_bReuseTexts"},
        "Creates a published tree from an exported file (its JSON text or object), with new repository "
        "entities or, with i_bReuseTexts, existing ones of the same type and texts; all or nothing. A text "
        "holding a character XML cannot hold is refused (1410 in a JSON text, 1216 in an object), as is a node "
        "deeper than [trees] max_depth (1218); each names the JSON path."));
    return t;
  }();
  return &table;
}

void RegisterExchangeClass() {
  Registry::Instance().Register(kExchangeProgId, [] { return std::make_shared<Exchange>(); });
}

}  // namespace tsa
