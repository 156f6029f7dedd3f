#include "support/tree_fixture.h"

#include <ostream>

#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "model/node.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "repository/repository.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "storage/documents.h"

namespace tsa::test {

namespace {

std::string N(int32_t value) { return std::to_string(value); }

// Runs a query outside any transaction context and hands every row to `row`.
template <class Row>
void Query(const std::string& sql, Row&& row) {
  auto connection = GetHelvixConnection();
  auto recordset = connection->OpenRecordset(sql);
  for (; !recordset->IsEOF(); recordset->MoveNext()) row(*recordset);
  recordset->Close();
  CloseConnection(connection);
}

// The root element's document, registered as the tree's end-user document
// "<id>_0.xml".
void WriteFirstDocument(int32_t treeType, int32_t id, const std::string& visibilities, const std::string& sd,
                        const std::string& ld) {
  XmlElement root = storage::NewRootElement(id, visibilities);
  root.SetChildText("sd", sd);
  root.SetChildText("ld", ld);
  std::string path = storage::GetXMLPath(treeType, N(id) + "_0.xml", false);
  DocumentStore()->Save(path, root.OwnerDocument().Xml());
  CreateInContext<IFileHandling>(progid::FileHandling)
      ->AddFile(path, id, storage::DocumentCategory(treeType, false), treeType);
}

void InsertRootRow(int32_t treeType, int32_t id, const std::string& visibilities) {
  auto connection = GetHelvixConnection();
  connection->Execute("INSERT INTO " + storage::GetTreeTableAndKey(treeType, false)[0] + " VALUES (" + N(id) +
                      ", 0, 0, 0, 0, 0, -1, ';', " + FormatSqlText(visibilities) + ", ';', -1)");
  CloseConnection(connection);
}

}  // namespace

void EnsureTreeComponents() {
  Registry& registry = Registry::Instance();
  if (!registry.IsRegistered(progid::FileHandling)) RegisterFileHandlingComponent();
  if (!registry.IsRegistered(progid::Repository)) RegisterRepositoryClass();
  if (!registry.IsRegistered(progid::Node)) RegisterNodeClass();
  if (!registry.IsRegistered(progid::Tree)) RegisterTreeClass();
}

int32_t CreateProductTree(int32_t productId, const std::string& visibilities, const std::string& description,
                          const std::string& categories) {
  EnsureTreeComponents();
  RunTransactional([&] {
    InsertRootRow(kProduct, productId, visibilities);
    auto connection = GetHelvixConnection();
    connection->Execute("INSERT INTO DIAGNOSTICSINFO VALUES (" + N(productId) + ", " + FormatSqlText(categories) + ", " +
                        FormatSqlText(visibilities) + ", '', '')");
    CloseConnection(connection);
    WriteFirstDocument(kProduct, productId, visibilities, description, "");
  });
  return productId;
}

int32_t CreateTemplate(const std::string& name, const std::string& comment, int32_t productCategory) {
  EnsureTreeComponents();
  return RunTransactional([&] {
    auto connection = GetHelvixConnection();
    auto info = connection->OpenRecordset("SELECT * FROM TEMPLATEINFO WHERE (1=0)", db::CursorType::Keyset,
                                          db::LockType::Optimistic);
    info->AddNew();
    info->SetField("NAME", name);
    info->SetField("COMMENT", comment);
    info->SetField("PRODUCTCATEGORY", productCategory);
    info->Update();
    int32_t id = info->Field("TEMPLATEID").ToInt32();
    info->Close();
    CloseConnection(connection);
    InsertRootRow(kTemplate, id, ";");
    WriteFirstDocument(kTemplate, id, ";", name, comment);
    return id;
  });
}

std::string CheckOut(int32_t treeType, int32_t id, const std::string& user) {
  EnsureTreeComponents();
  return RunTransactional([&] {
    std::string owner = "unchanged";
    CreateTreeObject()->CheckOut(treeType, id, user, owner);
    return owner;
  });
}

void Publish(int32_t treeType, int32_t id) {
  EnsureTreeComponents();
  RunTransactional([&] { CreateTreeObject()->Publish(treeType, id); });
}

int32_t AddNode(int32_t treeType, int32_t id, const std::string& user, const NewNode& node) {
  EnsureTreeComponents();
  return RunTransactional([&] {
    TreePtr tree = CreateTreeObject();
    tree->load(treeType, id, user);
    if (!tree->Checkedout()) {
      Raise(err::NotCheckedOut, "tree_fixture",
            "AddNode: '" + user + "' does not hold tree " + N(id) + " of type " + N(treeType) + " checked out");
    }
    NodePtr parent = tree->getNode(node.parent);
    NodePtr child = tree->createNode(node.repType, node.sd, node.ld, node.visibilities, node.faqs, node.hyperlink);
    parent->AppendChild(*child);
    tree->save();
    return child->NodeID;
  });
}

std::vector<int32_t> AddChildren(int32_t treeType, int32_t id, const std::string& user, int32_t parent, int count,
                                 int32_t repType, const std::string& prefix) {
  std::vector<int32_t> ids;
  for (int i = 1; i <= count; ++i) {
    NewNode node;
    node.parent = parent;
    node.repType = repType;
    node.sd = prefix + " " + std::to_string(i);
    node.ld = prefix + " " + std::to_string(i) + " in detail";
    ids.push_back(AddNode(treeType, id, user, node));
  }
  return ids;
}

void PrintTo(const NodeRow& r, std::ostream* os) {
  *os << "(" << r.treeId << ", " << r.nodeId << ", " << r.repType << ", " << r.repId << ", " << r.depth << ", "
      << r.sequence << ", " << r.parentId << ", '" << r.preTree << "', '" << r.visibility << "', '" << r.faqs << "', "
      << r.hyperlink << ")";
}

std::vector<NodeRow> ReadRows(int32_t treeType, int32_t id, bool workingCopy) {
  auto [table, key] = storage::GetTreeTableAndKey(treeType, workingCopy);
  std::vector<NodeRow> rows;
  Query("SELECT * FROM " + table + " WHERE " + key + " = " + N(id) + " ORDER BY NODEID", [&](db::Recordset& rs) {
    NodeRow r;
    r.treeId = rs.Field(key).ToInt32();
    r.nodeId = rs.Field("NODEID").ToInt32();
    r.repType = rs.Field("REPTYPE").ToInt32();
    r.repId = rs.Field("REPID").ToInt32();
    r.depth = rs.Field("DEPTH").ToInt32();
    r.sequence = rs.Field("SEQUENCE").ToInt32();
    r.parentId = rs.Field("PNODEID").ToInt32();
    r.preTree = rs.Field("PRETREE").ToText();
    r.visibility = rs.Field("VISIBILITY").IsNull() ? std::string() : rs.Field("VISIBILITY").ToText();
    r.faqs = rs.Field("FAQS").IsNull() ? std::string() : rs.Field("FAQS").ToText();
    r.hyperlink = rs.Field("HYPERLINK").ToInt32();
    rows.push_back(r);
  });
  return rows;
}

std::optional<NodeRow> ReadRow(int32_t treeType, int32_t id, int32_t nodeId, bool workingCopy) {
  for (const NodeRow& r : ReadRows(treeType, id, workingCopy))
    if (r.nodeId == nodeId) return r;
  return std::nullopt;
}

std::optional<std::string> CheckOutHolder(int32_t treeType, int32_t id) {
  std::optional<std::string> holder;
  Query("SELECT LOGIN FROM TSCHANGECONTROL WHERE ID = " + N(id) + " AND TREETEM = " + N(treeType),
        [&](db::Recordset& rs) { holder = rs.Field("LOGIN").ToText(); });
  return holder;
}

int CheckOutRecords(int32_t treeType, int32_t id) {
  int count = 0;
  Query("SELECT LOGIN FROM TSCHANGECONTROL WHERE ID = " + N(id) + " AND TREETEM = " + N(treeType),
        [&](db::Recordset&) { ++count; });
  return count;
}

std::optional<std::string> ProductInfoVisibility(int32_t productId) {
  std::optional<std::string> visibility;
  Query("SELECT VISIBILITY FROM DIAGNOSTICSINFO WHERE PRODUCTID = " + N(productId), [&](db::Recordset& rs) {
    visibility = rs.Field("VISIBILITY").IsNull() ? std::string() : rs.Field("VISIBILITY").ToText();
  });
  return visibility;
}

std::optional<std::pair<std::string, std::string>> RepEntity(int32_t repType, int32_t repId) {
  std::string table = storage::getRepTable(repType);
  if (table.empty()) return std::nullopt;
  std::optional<std::pair<std::string, std::string>> entity;
  Query("SELECT NAME, DETAIL FROM " + table + " WHERE ID = " + N(repId), [&](db::Recordset& rs) {
    entity = std::make_pair(rs.Field("NAME").ToText(), rs.Field("DETAIL").ToText());
  });
  return entity;
}

std::optional<std::string> DocumentName(int32_t treeType, int32_t id, bool manager) {
  EnsureTreeComponents();
  int32_t category = storage::DocumentCategory(treeType, manager);
  FileNameDict names = CreateInContext<IFileHandling>(progid::FileHandling)->GetFileNames(id, {category});
  const auto* item = names.Find(category);
  if (!item || item->empty()) return std::nullopt;
  return (*item)[0];
}

std::string DocumentPath(int32_t treeType, const std::string& fileName, bool manager) {
  return storage::GetXMLPath(treeType, fileName, manager);
}

bool DocumentExists(int32_t treeType, const std::string& fileName, bool manager) {
  return DocumentStore()->Exists(DocumentPath(treeType, fileName, manager));
}

XmlDoc LoadDocument(int32_t treeType, int32_t id, bool manager) {
  std::optional<std::string> name = DocumentName(treeType, id, manager);
  if (!name) {
    ADD_FAILURE() << "the file-handling service knows no " << (manager ? "manager" : "end-user")
                  << " document of tree " << id << " of type " << treeType;
    return {};
  }
  XmlDoc document = XmlDoc::Create();
  std::string path = DocumentPath(treeType, *name, manager);
  if (!DocumentStore()->Exists(path)) {
    ADD_FAILURE() << "the document " << path << " does not exist";
    return {};
  }
  if (!document.LoadXml(DocumentStore()->Load(path))) {
    ADD_FAILURE() << "the document " << path << " does not parse: " << document.LastError();
    return {};
  }
  return document;
}

void SetWorkingList(int32_t treeType, int32_t id, int32_t nodeId, const std::string& list) {
  const storage::TableAndKey table = storage::GetTreeTableAndKey(treeType, true);
  auto connection = GetHelvixConnection();
  connection->Execute("UPDATE " + table[0] + " SET VISIBILITY = " + FormatSqlText(list) + " WHERE " + table[1] +
                      " = " + std::to_string(id) + " AND NODEID = " + std::to_string(nodeId));
  CloseConnection(connection);
  XmlDoc document = LoadDocument(treeType, id, true);
  XmlElement element = document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  ASSERT_FALSE(element.IsNull()) << "no element for node " << nodeId;
  element.SetAttribute("VISB", list);
  DocumentStore()->Save(DocumentPath(treeType, *DocumentName(treeType, id, true), true), document.Xml());
}

void SetParameter(const std::string& name, const std::string& value) {
  auto connection = GetHelvixConnection();
  connection->Execute("DELETE FROM PARAMETERS WHERE PARAM_NAME = " + FormatSqlText(name));
  connection->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) +
                      ", " + FormatSqlText(value) + ", 'String')");
  CloseConnection(connection);
}

}  // namespace tsa::test
