// Templates through the facade: information rows, the name and comment in
// the template's documents, deleting a template (also one another user
// holds), and grafting a template below a node of a product tree.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/registry.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test {
namespace {

constexpr int32_t kLaser = 7;  // visibilities 1, 2, 3

constexpr const char* kUpdateLabel = "HXSvcTroubleshooting.TSDOM.UpdateTemplateInfo";
constexpr const char* kDeleteLabel = "HXSvcTroubleShooting.TSDOM.deleteTemplateInfo";
constexpr const char* kAddLabel = "HXSvcTroubleshooting.TSDOM.AddTemplateToNode";

struct InfoRow {
  std::string name;
  std::string comment;
  std::optional<int32_t> productCategory;
  bool operator==(const InfoRow&) const = default;
};
void PrintTo(const InfoRow& r, std::ostream* os) {
  *os << "{" << r.name << ", " << r.comment << ", "
      << (r.productCategory ? std::to_string(*r.productCategory) : std::string("NULL")) << "}";
}

std::optional<InfoRow> ReadInfo(int32_t id) {
  auto connection = GetHelvixConnection();
  auto rs = connection->OpenRecordset("SELECT NAME, COMMENT, PRODUCTCATEGORY FROM TEMPLATEINFO WHERE TEMPLATEID = " +
                                      std::to_string(id));
  std::optional<InfoRow> row;
  if (!rs->IsEOF()) {
    const db::Value& category = rs->Field("PRODUCTCATEGORY");
    row = InfoRow{rs->Field("NAME").ToText(), rs->Field("COMMENT").ToText(),
                  category.IsNull() ? std::nullopt : std::optional<int32_t>(category.ToInt32())};
  }
  rs->Close();
  CloseConnection(connection);
  return row;
}

// The file-handling service, counting the documents registered anew (one
// per tree save) and optionally unable to name one tree's documents.
class WatchedFileHandling : public FileHandling {
 public:
  WatchedFileHandling(int* added, int32_t failFor) : added_(added), failFor_(failFor) {}
  FileNameDict GetFileNames(int32_t id, const std::vector<int32_t>& categories) override {
    if (id == failFor_) Raise(err::PermissionDenied, "test", "the documents of this tree cannot be named");
    return FileHandling::GetFileNames(id, categories);
  }
  void AddFile(const std::string& fullPath, int32_t id, int32_t category, int32_t treeType) override {
    ++*added_;
    FileHandling::AddFile(fullPath, id, category, treeType);
  }

 private:
  int* added_;
  int32_t failFor_;
};

// The root's sd and ld of a template document.
std::pair<std::string, std::string> RootTexts(int32_t id, bool manager) {
  XmlDoc document = LoadDocument(kTemplate, id, manager);
  if (document.IsNull()) return {};
  XmlElement root = document.DocumentElement();
  return {root.ChildText("sd"), root.ChildText("ld")};
}

// The child elements of a node: NID and sd, in document order.
std::vector<std::pair<std::string, std::string>> Children(const XmlDoc& document, int32_t nodeId) {
  std::vector<std::pair<std::string, std::string>> children;
  XmlElement parent = document.SelectSingleNode("//Node[@NID='" + std::to_string(nodeId) + "']");
  if (parent.IsNull()) return children;
  for (const XmlElement& child : parent.SelectNodes("./Node")) {
    children.emplace_back(child.GetAttribute("NID").value_or("?"), child.ChildText("sd"));
  }
  return children;
}

class TSDOMTemplatesTest : public TreeTest {
 protected:
  TSDOMTemplatesTest() { LoadTestCatalog(env); }

  std::string CheckOutFor(int32_t treeType, int32_t id, const std::string& user) {
    std::string owner = "unset";
    dom->CheckOut(treeType, id, user, owner);
    return owner;
  }
  static void ExpectReported(const ErrorInfo& e, int32_t number, const std::string& label) {
    EXPECT_EQ(e.number, number) << e.description;
    EXPECT_EQ(e.description.rfind(ReportedPrefix(label), 0), 0u) << e.description;
  }

  // A published template of three top-level questions (";1;3;" with an
  // answer ";1;" below it, ";2;", ";3;"), made through the facade.
  int32_t PaperJamTemplate() {
    const int32_t id = dom->CreateNewTemplateInfo("Paper jam", "For every printer", 10);
    dom->CreateEmptyTree(kTemplate, id);
    CheckOutFor(kTemplate, id, "carol");
    const int32_t jammed =
        dom->AddChildNew(kTemplate, id, 0, storage::kRepQuestion, "Jammed?", "", ";1;3;", ";", -1, "carol");
    dom->AddChildNew(kTemplate, id, jammed, storage::kRepAnswer, "Yes", "", ";1;", ";", -1, "carol");
    dom->AddChildNew(kTemplate, id, 0, storage::kRepQuestion, "Wrinkled?", "", ";2;", ";", -1, "carol");
    dom->AddChildNew(kTemplate, id, 0, storage::kRepQuestion, "Torn?", "", ";3;", ";", -1, "carol");
    dom->Publish(kTemplate, id);
    return id;
  }

  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(TSDOMTemplatesTest, InformationRowsAndTheirDocuments) {
  const int32_t plain = dom->CreateNewTemplateInfo("Paper jam", "For every printer", 0);
  const int32_t quoted = dom->CreateNewTemplateInfo("It's <stuck> & \"jammed\"", "", 12);
  EXPECT_NE(plain, quoted);
  EXPECT_EQ(ReadInfo(plain), (InfoRow{"Paper jam", "For every printer", std::nullopt}));  // 0 keeps the default
  EXPECT_EQ(ReadInfo(quoted), (InfoRow{"It's <stuck> & \"jammed\"", "", 12}));

  // Published only: the end-user document shows the new texts.
  dom->CreateEmptyTree(kTemplate, plain);
  dom->UpdateTemplateInfo(plain, "Paper jams", "Laser & ink <all>", 12);
  EXPECT_EQ(ReadInfo(plain), (InfoRow{"Paper jams", "Laser & ink <all>", 12}));
  EXPECT_EQ(RootTexts(plain, false), std::make_pair(std::string("Paper jams"), std::string("Laser & ink <all>")));
  ExpectTreeConsistent(kTemplate, plain, "alice");

  // Checked out: both current documents, and publishing keeps the texts.
  CheckOutFor(kTemplate, plain, "alice");
  dom->AddChildNew(kTemplate, plain, 0, storage::kRepQuestion, "Jammed?", "", ";1;", ";", -1, "alice");
  dom->UpdateTemplateInfo(plain, "Jams", "Every printer", 0);
  EXPECT_EQ(ReadInfo(plain), (InfoRow{"Jams", "Every printer", 0}));
  EXPECT_EQ(RootTexts(plain, true), std::make_pair(std::string("Jams"), std::string("Every printer")));
  EXPECT_EQ(RootTexts(plain, false), std::make_pair(std::string("Jams"), std::string("Every printer")));
  EXPECT_TRUE(TreeCopyIsConsistent(kTemplate, plain, false));
  ExpectTreeConsistent(kTemplate, plain, "alice");
  dom->Publish(kTemplate, plain);
  EXPECT_EQ(RootTexts(plain, false).first, "Jams");
  ExpectTreeConsistent(kTemplate, plain, "alice");

  // Without a tree, or with its document gone, the row alone changes.
  dom->UpdateTemplateInfo(quoted, "Stuck", "c", 3);
  EXPECT_EQ(ReadInfo(quoted), (InfoRow{"Stuck", "c", 3}));
  const std::string name = *DocumentName(kTemplate, plain, false);
  DocumentStore()->Delete(DocumentPath(kTemplate, name, false));
  dom->UpdateTemplateInfo(plain, "Gone", "", 12);
  EXPECT_EQ(ReadInfo(plain)->name, "Gone");
  EXPECT_FALSE(DocumentExists(kTemplate, name, false));
  EXPECT_TRUE(StagedLeftovers(env).empty());

  // An unknown template is an error, not a silent success.
  const Stored before = Snapshot(env);
  ExpectReported(RaisedBy([&] { dom->UpdateTemplateInfo(quoted + 100, "x", "y", 1); }), err::TemplateInfoNotFound,
                 kUpdateLabel);
  EXPECT_NOTHING_CHANGED(env, before);

  // Texts no document can hold are refused by name, before anything is
  // written; tabs and line breaks are kept.
  for (const std::string& bad : {std::string("bell\x07"), std::string("nul\0", 4), std::string("\x1b[0m")}) {
    ErrorInfo e = RaisedBy([&] { dom->UpdateTemplateInfo(plain, bad, "", 12); });
    ExpectReported(e, err::InvalidArgument, kUpdateLabel);
    EXPECT_NE(e.description.find("i_sName"), std::string::npos) << e.description;
    EXPECT_EQ(RaisedBy([&] { dom->UpdateTemplateInfo(plain, "x", bad, 12); }).number, err::InvalidArgument);
    EXPECT_EQ(RaisedBy([&] { dom->CreateNewTemplateInfo("x", bad, 12); }).number, err::InvalidArgument);
  }
  EXPECT_NOTHING_CHANGED(env, before);
  dom->UpdateTemplateInfo(plain, "Two\tcolumns", "line\nbreak\r\n", 12);
  EXPECT_EQ(ReadInfo(plain), (InfoRow{"Two\tcolumns", "line\nbreak\r\n", 12}));
}

TEST_F(TSDOMTemplatesTest, DeletingTemplates) {
  std::string user = "alice";

  // Only a row: the row goes.
  int32_t rowOnly = dom->CreateNewTemplateInfo("Row only", "", 0);
  int32_t id = rowOnly;
  dom->deleteTemplateInfo(id, user);
  EXPECT_EQ(id, rowOnly);
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(ReadInfo(rowOnly), std::nullopt);

  // A tree the caller holds: row, rows, record and documents go.
  const int32_t own = dom->CreateNewTemplateInfo("Own", "", 0);
  dom->CreateEmptyTree(kTemplate, own);
  CheckOutFor(kTemplate, own, "alice");
  dom->AddChildNew(kTemplate, own, 0, storage::kRepQuestion, "Jammed?", "", ";1;", ";", -1, "alice");
  id = own;
  dom->deleteTemplateInfo(id, user);
  EXPECT_EQ(ReadInfo(own), std::nullopt);
  EXPECT_TRUE(ReadRows(kTemplate, own, false).empty());
  EXPECT_TRUE(ReadRows(kTemplate, own, true).empty());
  EXPECT_EQ(CheckOutRecords(kTemplate, own), 0);
  EXPECT_EQ(DocumentName(kTemplate, own, false), std::nullopt);
  EXPECT_EQ(DocumentName(kTemplate, own, true), std::nullopt);
  EXPECT_TRUE(Snapshot(env).files.empty());

  // Another user holds it: the row goes, the tree stays as it was.
  const int32_t held = dom->CreateNewTemplateInfo("Held", "", 0);
  dom->CreateEmptyTree(kTemplate, held);
  CheckOutFor(kTemplate, held, "bob");
  dom->AddChildNew(kTemplate, held, 0, storage::kRepQuestion, "Jammed?", "", ";1;", ";", -1, "bob");
  Stored expected = Snapshot(env);
  expected.rows["TEMPLATEINFO"].clear();
  id = held;
  dom->deleteTemplateInfo(id, user);
  EXPECT_EQ(ReadInfo(held), std::nullopt);
  EXPECT_EQ(Snapshot(env), expected);
  EXPECT_EQ(CheckOutHolder(kTemplate, held), "bob");
  ExpectTreeConsistent(kTemplate, held, "bob");
  EXPECT_TRUE(StagedLeftovers(env).empty());
}

TEST_F(TSDOMTemplatesTest, DeletingATemplateFailsAsAWhole) {
  const int32_t id = dom->CreateNewTemplateInfo("Paper jam", "", 0);
  dom->CreateEmptyTree(kTemplate, id);
  const Stored before = Snapshot(env);
  std::string user = "alice";
  int32_t ref = id;

  // The tree cannot be deleted: the row stays too.
  int added = 0;
  {
    ScopedRegistration failing(progid::FileHandling,
                               [&] { return std::make_shared<WatchedFileHandling>(&added, id); });
    ExpectReported(RaisedBy([&] { dom->deleteTemplateInfo(ref, user); }), err::PermissionDenied, kDeleteLabel);
  }
  EXPECT_NOTHING_CHANGED(env, before);

  std::string nobody;
  ErrorInfo e = RaisedBy([&] { dom->deleteTemplateInfo(ref, nobody); });
  ExpectReported(e, err::InvalidArgument, kDeleteLabel);
  EXPECT_NE(e.description.find("i_sUserId"), std::string::npos) << e.description;
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kTemplate, id, "alice");
}

TEST_F(TSDOMTemplatesTest, AddTemplateToNodeGraftsEveryTopLevelNodeInOrder) {
  const int32_t templateId = PaperJamTemplate();
  const std::vector<NodeRow> templateRows = ReadRows(kTemplate, templateId, false);
  const std::string templateXml = LoadDocument(kTemplate, templateId, false).Xml();

  dom->CreateEmptyTree(kProduct, kLaser);
  CheckOutFor(kProduct, kLaser, "alice");
  const int32_t paper =
      dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "", ";1;2;", ";", -1, "alice");
  const int32_t first =
      dom->AddChildNew(kProduct, kLaser, paper, storage::kRepQuestion, "Empty tray?", "", ";1;", ";", -1, "alice");

  int added = 0;
  int32_t reason = 42;
  {
    ScopedRegistration watched(progid::FileHandling,
                               [&] { return std::make_shared<WatchedFileHandling>(&added, -1); });
    dom->AddTemplateToNode(templateId, kProduct, kLaser, paper, ";2;", "alice", reason);
  }
  EXPECT_EQ(reason, 42);
  EXPECT_EQ(added, 1);  // the destination is saved once, after the three pastes

  // The three questions follow the category's own child, in the template's
  // order; "3" goes (the category lacks it) and the chosen "2" is added.
  XmlDoc document = LoadDocument(kProduct, kLaser, true);
  ASSERT_FALSE(document.IsNull());
  const auto children = Children(document, paper);
  ASSERT_EQ(children.size(), 4u);
  EXPECT_EQ(children[0], std::make_pair(std::to_string(first), std::string("Empty tray?")));
  const std::vector<std::string> sds = {"Jammed?", "Wrinkled?", "Torn?"};
  const std::vector<std::string> lists = {";1;2;", ";2;", ";2;"};
  for (size_t i = 1; i < children.size(); ++i) {
    EXPECT_EQ(children[i].second, sds[i - 1]);
    const auto row = ReadRow(kProduct, kLaser, std::stoi(children[i].first), true);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->parentId, paper);
    EXPECT_EQ(row->sequence, static_cast<int32_t>(i + 1));
    EXPECT_EQ(row->visibility, lists[i - 1]) << sds[i - 1];
  }
  const auto below = Children(document, std::stoi(children[1].first));
  ASSERT_EQ(below.size(), 1u);
  EXPECT_EQ(below[0].second, "Yes");
  EXPECT_EQ(ReadRow(kProduct, kLaser, std::stoi(below[0].first), true)->visibility, ";1;2;");
  ExpectTreeConsistent(kProduct, kLaser, "alice");

  // The template itself is untouched.
  EXPECT_EQ(ReadRows(kTemplate, templateId, false), templateRows);
  EXPECT_EQ(LoadDocument(kTemplate, templateId, false).Xml(), templateXml);
  EXPECT_TRUE(StagedLeftovers(env).empty());

  // A template without top-level nodes grafts nothing; the tree is saved.
  const int32_t empty = dom->CreateNewTemplateInfo("Empty", "", 0);
  dom->CreateEmptyTree(kTemplate, empty);
  const std::vector<NodeRow> rows = ReadRows(kProduct, kLaser, true);
  added = 0;
  {
    ScopedRegistration watched(progid::FileHandling,
                               [&] { return std::make_shared<WatchedFileHandling>(&added, -1); });
    dom->AddTemplateToNode(empty, kProduct, kLaser, paper, ";", "alice", reason);
  }
  EXPECT_EQ(added, 1);
  EXPECT_EQ(ReadRows(kProduct, kLaser, true), rows);
  ExpectTreeConsistent(kProduct, kLaser, "alice");
}

TEST_F(TSDOMTemplatesTest, AddTemplateToNodeChangesNothingUnlessItCompletes) {
  const int32_t templateId = PaperJamTemplate();
  dom->CreateEmptyTree(kProduct, kLaser);
  CheckOutFor(kProduct, kLaser, "bob");
  const int32_t paper =
      dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "", ";1;2;", ";", -1, "bob");
  Stored before = Snapshot(env);

  // alice does not hold the tree: nothing happens, and nothing is raised.
  int32_t reason = 7;
  dom->AddTemplateToNode(templateId, kProduct, kLaser, paper, ";2;", "alice", reason);
  EXPECT_EQ(reason, 7);
  EXPECT_NOTHING_CHANGED(env, before);

  // Refused arguments, before anything is read or written.
  ExpectReported(RaisedBy([&] { dom->AddTemplateToNode(templateId, 3, kLaser, paper, ";", "bob", reason); }),
                 err::InvalidArgument, kAddLabel);
  ExpectReported(RaisedBy([&] { dom->AddTemplateToNode(templateId, kProduct, kLaser, paper, ";2", "bob", reason); }),
                 err::InvalidVisibilityList, kAddLabel);
  ExpectReported(RaisedBy([&] { dom->AddTemplateToNode(templateId, kProduct, kLaser, paper, ";", " ", reason); }),
                 err::InvalidArgument, kAddLabel);
  EXPECT_NOTHING_CHANGED(env, before);

  // A template grafted into itself is refused.
  CheckOutFor(kTemplate, templateId, "bob");
  before = Snapshot(env);
  ExpectReported(RaisedBy([&] { dom->AddTemplateToNode(templateId, kTemplate, templateId, 1, ";", "bob", reason); }),
                 err::InvalidArgument, kAddLabel);
  EXPECT_NOTHING_CHANGED(env, before);
  dom->UndoEditTree(templateId, kTemplate, "bob");

  // The second top-level element's NID is not a number: the first paste is
  // rolled back with everything else.
  const std::string name = *DocumentName(kTemplate, templateId, false);
  XmlDoc document = LoadDocument(kTemplate, templateId, false);
  ASSERT_FALSE(document.IsNull());
  document.DocumentElement().SelectNodes("./Node")[1].SetAttribute("NID", "2x");
  DocumentStore()->Save(DocumentPath(kTemplate, name, false), document.Xml());
  before = Snapshot(env);
  ExpectReported(RaisedBy([&] { dom->AddTemplateToNode(templateId, kProduct, kLaser, paper, ";", "bob", reason); }),
                 err::TypeMismatch, kAddLabel);
  EXPECT_EQ(reason, 7);
  EXPECT_NOTHING_CHANGED(env, before);
  ExpectTreeConsistent(kProduct, kLaser, "bob");
}

}  // namespace
}  // namespace tsa::test
