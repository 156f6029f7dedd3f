#include "repository/propagation.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "components/file_handling.h"
#include "model/node.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "repository/repository.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "support/consistency.h"
#include "support/recording_log.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace tsa {
namespace {

std::optional<Error> Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

XmlDoc Parse(const std::string& markup) {
  XmlDoc doc = XmlDoc::Create();
  EXPECT_TRUE(doc.LoadXml(markup)) << doc.LastError();
  return doc;
}

std::string Attr(const XmlDoc& doc, const std::string& nid, const std::string& name) {
  XmlElement e = doc.SelectSingleNode("//Node[@NID='" + nid + "']");
  return e.IsNull() ? "<no element>" : e.GetAttribute(name).value_or("<none>");
}

// --- one document -------------------------------------------------------------

TEST(ChangeNodeDescs, AMatchedElementWithoutDescriptionsFails) {
  test::RecordingLog log;
  XmlDoc doc = Parse(
      "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";\" PRID=\"1\" FAQ=\"0\"><sd/><ld/>"
      "<Node NID=\"1\" RID=\"8\" RTP=\"4\" VISB=\";\" HYP=\"-1\" FAQ=\"0\"><sd>s</sd></Node></Node>");
  auto e = Failure([&] { changeNodeDescsForXML(doc, 4, 8, "new", "new"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::ObjectNotSet);
  EXPECT_NE(e->description().find("METHOD: TSUtilities.changeNodeDescsForXML caught:"), std::string::npos);
}

// --- visibility down a subtree ---------------------------------------------------

constexpr const char* kSubtree =
    "<Node NID=\"0\" RID=\"0\" RTP=\"0\" VISB=\";1;2;3;\" PRID=\"4\" FAQ=\"0\"><sd/><ld/>"
    "<Node NID=\"9\" RID=\"3\" RTP=\"2\" VISB=\";1;2;\" HYP=\"4\" FAQ=\"0\"><sd/><ld/>"
    "<Node NID=\"12\" RID=\"4\" RTP=\"3\" VISB=\";2;\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node>"
    "</Node>"
    "<Node NID=\"13\" RID=\"5\" RTP=\"3\" VISB=\";2;\" HYP=\"9\" FAQ=\"0\"><sd/><ld/></Node>"
    "</Node>";

TEST(UpdateSelfAndDescendants, RemovesThenAddsOverTheSubtreeOnly) {
  for (bool add : {true, false}) {
    SCOPED_TRACE(add);
    XmlDoc doc = Parse(kSubtree);
    XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
    UpdateSelfAndDescendantNodes(top, ";5;", ";2;", add);
    EXPECT_EQ(Attr(doc, "9", "VISB"), add ? ";1;5;" : ";1;");
    EXPECT_EQ(Attr(doc, "12", "VISB"), add ? ";5;" : ";");
    // Outside the subtree nothing changes, and without an offset neither
    // identifiers nor links do.
    EXPECT_EQ(Attr(doc, "13", "VISB"), ";2;");
    EXPECT_EQ(Attr(doc, "0", "VISB"), ";1;2;3;");
    EXPECT_EQ(Attr(doc, "9", "HYP"), "4");
  }
  // Empty lists change nothing.
  XmlDoc doc = Parse(kSubtree);
  XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
  UpdateSelfAndDescendantNodes(top, "", "", true);
  EXPECT_EQ(Attr(doc, "9", "VISB"), ";1;2;");
  EXPECT_EQ(Attr(doc, "12", "VISB"), ";2;");
}

TEST(UpdateSelfAndDescendants, OffsetRenumbersAndClearsLinks) {
  XmlDoc doc = Parse(kSubtree);
  XmlElement top = doc.SelectSingleNode("//Node[@NID='9']");
  UpdateSelfAndDescendantNodes(top, "", "", false, 91);
  EXPECT_EQ(top.GetAttribute("NID"), "100");
  EXPECT_EQ(top.GetAttribute("HYP"), "-1");
  XmlElement child = doc.SelectSingleNode("//Node[@NID='103']");
  ASSERT_FALSE(child.IsNull());
  EXPECT_EQ(child.GetAttribute("HYP"), "-1");
  EXPECT_EQ(child.Parent(), top);
  EXPECT_EQ(Attr(doc, "13", "HYP"), "9");

  // An element that is in no document that will be saved works the same.
  XmlDoc loose = Parse("<Node NID=\"2\" RID=\"1\" RTP=\"2\" VISB=\";7;\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement e = loose.DocumentElement();
  UpdateSelfAndDescendantNodes(e, ";8;", ";7;", true, -1);
  EXPECT_EQ(e.GetAttribute("NID"), "1");
  EXPECT_EQ(e.GetAttribute("VISB"), ";8;");
}

TEST(UpdateSelfAndDescendants, BadElementsFailUnderTheLabel) {
  test::RecordingLog log;
  const std::string label = "METHOD: HXSvcTroubleshooting.TSUtilities.UpdateSelfAndDescendantNodes caught:";
  XmlDoc doc = Parse(
      "<Node NID=\"1\" RID=\"1\" RTP=\"2\" VISB=\";2;\" HYP=\"3\" FAQ=\"0\"><sd/><ld/>"
      "<Node NID=\"2\" RID=\"1\" RTP=\"3\" HYP=\"-1\" FAQ=\"0\"><sd/><ld/></Node></Node>");
  XmlElement top = doc.DocumentElement();
  auto e = Failure([&] { UpdateSelfAndDescendantNodes(top, "", ";2;", false); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::InvalidUseOfNull);
  EXPECT_NE(e->description().find(label), std::string::npos);

  XmlDoc bad = Parse("<Node NID=\"x1\" RID=\"1\" RTP=\"2\" VISB=\";\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement badTop = bad.DocumentElement();
  EXPECT_EQ(Failure([&] { UpdateSelfAndDescendantNodes(badTop, "", "", false, 1); })->number(), err::TypeMismatch);
  XmlDoc big = Parse("<Node NID=\"2147483647\" RID=\"1\" RTP=\"2\" VISB=\";\" HYP=\"3\" FAQ=\"0\"><sd/><ld/></Node>");
  XmlElement bigTop = big.DocumentElement();
  EXPECT_EQ(Failure([&] { UpdateSelfAndDescendantNodes(bigTop, "", "", false, 1); })->number(), err::Overflow);
  EXPECT_EQ(bigTop.GetAttribute("NID"), "2147483647");
}

// --- every document of every tree ---------------------------------------------

// Puts a document store in place that records the files it loads and saves
// and hands every call to the built-in store.
class RecordingStore {
 public:
  RecordingStore()
      : log_(std::make_shared<Log>()),
        registration_(progid::DocumentStore, [log = log_] { return std::make_shared<Recorder>(log); }) {}

  std::vector<std::string> Loads() const { return log_->Get(log_->loads); }
  std::vector<std::string> Saves() const { return log_->Get(log_->saves); }

 private:
  struct Log {
    mutable std::mutex mutex;
    std::vector<std::string> loads, saves;
    void Add(std::vector<std::string>& list, const std::string& path) {
      std::lock_guard lock(mutex);
      list.push_back(path);
    }
    std::vector<std::string> Get(const std::vector<std::string>& list) const {
      std::lock_guard lock(mutex);
      return list;
    }
  };

  class Recorder : public FileDocumentStore {
   public:
    explicit Recorder(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    std::string Load(const std::string& path) override {
      log_->Add(log_->loads, path);
      return FileDocumentStore::Load(path);
    }
    void Save(const std::string& path, const std::string& contents) override {
      log_->Add(log_->saves, path);
      FileDocumentStore::Save(path, contents);
    }

   private:
    std::shared_ptr<Log> log_;
  };

  std::shared_ptr<Log> log_;
  ScopedRegistration registration_;
};

// Adds a node showing an existing entity below `parent` of the working copy
// the user holds, the way the engine adds one from the repository.
int32_t AddNodeFromRep(int32_t treeType, int32_t id, const std::string& user, int32_t parent, int32_t repType,
                       int32_t repId) {
  return RunTransactional([&] {
    TreePtr tree = CreateTreeObject();
    tree->load(treeType, id, user);
    NodePtr parentNode = tree->getNode(parent);
    NodePtr child = tree->createNodeFromRep(repType, repId, ";", ";", -1);
    parentNode->AppendChild(*child);
    tree->save();
    return child->NodeID;
  });
}

int32_t AddCategory(int32_t treeType, int32_t id, const std::string& user, const std::string& name) {
  test::NewNode node;
  node.repType = storage::kRepCategory;
  node.sd = name;
  return test::AddNode(treeType, id, user, node);
}

// A question shown in product trees 12 (three times, once below an answer
// that has the question's identifier) and 40 and in a template, in working
// and published copies; product tree 13 shows other entities only.
class PropagationTest : public test::TreeTest {
 protected:
  void SetUp() override {
    test::TestEnv::UseDocumentFiles();  // some cases record the file store's calls
    repository_ = CreateRepositoryObject();
    question_ = repository_->AddRepEntity(storage::kRepQuestion, "Is it on?", "Look at the LED");
    answer_ = repository_->AddRepEntity(storage::kRepAnswer, "Yes", "The LED is green");
    ASSERT_EQ(answer_, question_);  // same identifier, another entity

    test::CreateProductTree(12);
    test::CheckOut(test::kProduct, 12, "ann");
    int32_t category = AddCategory(test::kProduct, 12, "ann", "Power");
    int32_t q1 = AddNodeFromRep(test::kProduct, 12, "ann", category, storage::kRepQuestion, question_);
    int32_t a = AddNodeFromRep(test::kProduct, 12, "ann", q1, storage::kRepAnswer, answer_);
    AddNodeFromRep(test::kProduct, 12, "ann", a, storage::kRepQuestion, question_);
    AddNodeFromRep(test::kProduct, 12, "ann", category, storage::kRepQuestion, question_);

    // Published with the question, then checked out again: both documents.
    test::CreateProductTree(40);
    test::CheckOut(test::kProduct, 40, "bob");
    AddNodeFromRep(test::kProduct, 40, "bob", AddCategory(test::kProduct, 40, "bob", "Display"),
                   storage::kRepQuestion, question_);
    test::Publish(test::kProduct, 40);
    test::CheckOut(test::kProduct, 40, "bob");

    template_ = test::CreateTemplate("Paper jam");
    test::CheckOut(test::kTemplate, template_, "ann");
    AddNodeFromRep(test::kTemplate, template_, "ann", 0, storage::kRepQuestion, question_);
    test::Publish(test::kTemplate, template_);
    test::CheckOut(test::kTemplate, template_, "ann");

    test::CreateProductTree(13);
    test::CheckOut(test::kProduct, 13, "ann");
    test::AddNode(test::kProduct, 13, "ann", {AddCategory(test::kProduct, 13, "ann", "Other")});
  }

  struct Doc {
    int32_t treeType;
    int32_t id;
    bool manager;
  };
  std::vector<Doc> AllDocuments() const {
    return {{test::kProduct, 12, true},   {test::kProduct, 12, false},   {test::kProduct, 40, true},
            {test::kProduct, 40, false},  {test::kTemplate, template_, true}, {test::kTemplate, template_, false},
            {test::kProduct, 13, true},   {test::kProduct, 13, false}};
  }
  static std::string PathOf(const Doc& d) {
    return test::DocumentPath(d.treeType, test::DocumentName(d.treeType, d.id, d.manager).value_or("?"), d.manager);
  }
  // The markup of every document, by path.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const Doc& d : AllDocuments()) files[PathOf(d)] = DocumentStore()->Load(PathOf(d));
    return files;
  }
  // The sd and ld of every element showing the entity, in document order.
  static std::vector<std::string> Texts(const Doc& d, int32_t repType, int32_t repId) {
    std::vector<std::string> texts;
    XmlDoc doc = test::LoadDocument(d.treeType, d.id, d.manager);
    if (doc.IsNull()) return texts;
    for (const XmlElement& e : doc.SelectNodes("//Node[@RID='" + std::to_string(repId) + "' and @RTP='" +
                                               std::to_string(repType) + "']")) {
      texts.push_back(e.ChildText("sd") + "|" + e.ChildText("ld"));
    }
    return texts;
  }
  void ExpectAllConsistent() {
    test::ExpectTreeConsistent(test::kProduct, 12, "ann");
    test::ExpectTreeConsistent(test::kProduct, 40, "bob");
    EXPECT_TRUE(test::TreeCopyIsConsistent(test::kProduct, 40, false));
    test::ExpectTreeConsistent(test::kTemplate, template_, "ann");
    EXPECT_TRUE(test::TreeCopyIsConsistent(test::kTemplate, template_, false));
    test::ExpectTreeConsistent(test::kProduct, 13, "ann");
  }

  RepositoryPtr repository_;
  int32_t question_ = 0;
  int32_t answer_ = 0;
  int32_t template_ = 0;
};

const std::string kNewShort = "Is the \"Power\" LED <on> & lit? — ja";
const std::string kNewLong = "Größe 'x'\r\n日本";

TEST_F(PropagationTest, TreesThatShowAnEntityEachOnceInOrder) {
  EXPECT_EQ(getIDs(storage::kRepQuestion, question_, "DIAGNOSTICS_TEMP"), "12,40");
  EXPECT_EQ(getIDs(storage::kRepQuestion, question_, "DIAGNOSTICS"), "40");
  EXPECT_EQ(getIDs(storage::kRepQuestion, question_, "TEMPLATE_TEMP"), std::to_string(template_));
  EXPECT_EQ(getIDs(storage::kRepQuestion, question_, "TEMPLATE"), std::to_string(template_));
  EXPECT_EQ(getIDs(storage::kRepAnswer, answer_, "DIAGNOSTICS_TEMP"), "12");
  EXPECT_EQ(getIDs(storage::kRepAction, question_, "DIAGNOSTICS_TEMP"), "");
  // Only node tables are read.
  auto e = Failure([&] { getIDs(storage::kRepQuestion, question_, "REPQUESTION; DELETE FROM REPQUESTION"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::InvalidArgument);
  EXPECT_TRUE(test::RepEntity(storage::kRepQuestion, question_));
}

TEST_F(PropagationTest, UpdateRewritesEveryDocumentThatShowsTheEntity) {
  const std::map<std::string, std::string> before = Snapshot();
  std::vector<std::string> saves;
  {
    RecordingStore store;
    repository_->UpdateRepEntity(storage::kRepQuestion, question_, kNewShort, kNewLong);
    saves = store.Saves();
  }
  // Working copies, then published copies; product trees, then templates.
  EXPECT_EQ(saves, (std::vector<std::string>{PathOf({test::kProduct, 12, true}), PathOf({test::kProduct, 40, true}),
                                             PathOf({test::kProduct, 40, false}),
                                             PathOf({test::kTemplate, template_, true}),
                                             PathOf({test::kTemplate, template_, false})}));
  const std::string changed = kNewShort + "|" + kNewLong;
  EXPECT_EQ(Texts({test::kProduct, 12, true}, storage::kRepQuestion, question_),
            (std::vector<std::string>{changed, changed, changed}));
  EXPECT_EQ(Texts({test::kProduct, 40, true}, storage::kRepQuestion, question_), std::vector<std::string>{changed});
  EXPECT_EQ(Texts({test::kProduct, 40, false}, storage::kRepQuestion, question_), std::vector<std::string>{changed});
  EXPECT_EQ(Texts({test::kTemplate, template_, false}, storage::kRepQuestion, question_),
            std::vector<std::string>{changed});
  // The answer with the same identifier keeps its texts.
  EXPECT_EQ(Texts({test::kProduct, 12, true}, storage::kRepAnswer, answer_),
            std::vector<std::string>{"Yes|The LED is green"});
  // Documents without the entity are left alone, byte for byte.
  const std::map<std::string, std::string> after = Snapshot();
  for (const Doc& d : {Doc{test::kProduct, 12, false}, Doc{test::kProduct, 13, true}, Doc{test::kProduct, 13, false}}) {
    EXPECT_EQ(after.at(PathOf(d)), before.at(PathOf(d))) << PathOf(d);
  }
  EXPECT_EQ(test::RepEntity(storage::kRepQuestion, question_), std::make_pair(kNewShort, kNewLong));
  ExpectAllConsistent();
}

TEST_F(PropagationTest, AnEntityNoNodeShowsTouchesNoDocument) {
  int32_t unused = repository_->AddRepEntity(storage::kRepAction, "Unused", "");
  RecordingStore store;
  repository_->UpdateRepEntity(storage::kRepAction, unused, "Still unused", "x");
  EXPECT_TRUE(store.Loads().empty());
  EXPECT_TRUE(store.Saves().empty());
  EXPECT_EQ(test::RepEntity(storage::kRepAction, unused)->first, "Still unused");
}

TEST_F(PropagationTest, DocumentsThatCannotBeLoadedAreSkipped) {
  test::RecordingLog log;
  const std::string missing = PathOf({test::kProduct, 12, true});
  const std::string broken = PathOf({test::kTemplate, template_, true});
  DocumentStore()->Delete(missing);
  DocumentStore()->Save(broken, "<Node NID=\"0\"><sd>");
  {
    RecordingStore store;
    PropagateChanges(storage::kRepQuestion, question_, kNewShort, kNewLong);
    EXPECT_EQ(store.Saves(), (std::vector<std::string>{PathOf({test::kProduct, 40, true}),
                                                       PathOf({test::kProduct, 40, false}),
                                                       PathOf({test::kTemplate, template_, false})}));
  }
  EXPECT_FALSE(DocumentStore()->Exists(missing));
  EXPECT_EQ(DocumentStore()->Load(broken), "<Node NID=\"0\"><sd>");
  const std::string changed = kNewShort + "|" + kNewLong;
  EXPECT_EQ(Texts({test::kProduct, 40, true}, storage::kRepQuestion, question_), std::vector<std::string>{changed});
  // Each skipped document is named in the log.
  ASSERT_EQ(log.Count(), 2u);
  EXPECT_NE(log.Entries()[0].text.find(missing), std::string::npos);
  EXPECT_NE(log.Entries()[1].text.find(broken), std::string::npos);
}

TEST_F(PropagationTest, AnAbortedTransactionChangesNoDocument) {
  const std::map<std::string, std::string> before = Snapshot();
  RunTransactional([&] {
    repository_->UpdateRepEntity(storage::kRepQuestion, question_, kNewShort, kNewLong);
    // The transaction sees its own rewrites.
    EXPECT_EQ(Texts({test::kProduct, 40, true}, storage::kRepQuestion, question_).at(0), kNewShort + "|" + kNewLong);
    AbortTransaction();
  });
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(test::RepEntity(storage::kRepQuestion, question_), std::make_pair(std::string("Is it on?"),
                                                                              std::string("Look at the LED")));
  ExpectAllConsistent();
}

TEST_F(PropagationTest, AFailureMidwayLeavesRowAndDocumentsAsTheyWere) {
  const std::map<std::string, std::string> before = Snapshot();
  // The file-handling service no longer knows the template's end-user
  // document, the last one to be rewritten.
  CreateInContext<IFileHandling>(progid::FileHandling)->DeleteFiles(template_, {storage::kCategoryTemplateEnduser});
  test::RecordingLog log;
  auto e = Failure([&] { repository_->UpdateRepEntity(storage::kRepQuestion, question_, kNewShort, kNewLong); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::SubscriptOutOfRange);
  // Reported once by each layer, innermost first.
  const std::string& d = e->description();
  size_t toXmls = d.find("METHOD: HXSvcTroubleShooting.Node.PropagateChangestoXMLs caught:");
  size_t propagate = d.find("METHOD: HXSvcTroubleShooting.TSUtilities.PropagateChanges caught:");
  size_t update = d.find("METHOD: HXSvcTroubleshooting.Repository.UpdateRepEntity caught:");
  ASSERT_NE(toXmls, std::string::npos) << d;
  ASSERT_NE(propagate, std::string::npos) << d;
  ASSERT_EQ(update, 2u) << d;
  EXPECT_LT(propagate, toXmls);
  EXPECT_EQ(log.Count(), 3u);

  // Nothing of the call stays: neither the row nor the documents rewritten
  // before the failure.
  std::map<std::string, std::string> after;
  for (const auto& [path, markup] : before) after[path] = DocumentStore()->Load(path);
  EXPECT_EQ(after, before);
  EXPECT_EQ(test::RepEntity(storage::kRepQuestion, question_)->first, "Is it on?");
}

TEST_F(PropagationTest, ABlankWebFarmParameterMeansNoWebFarmHereAsInLoad) {
  // A value holding only a line break is as blank as an empty one: loading
  // a tree takes it for "no web farm", and so must the rewrite.
  test::SetParameter("Webfarm Implemented", "\r\n");
  EXPECT_NO_THROW(CreateTreeObject()->load(test::kProduct, 40, "bob"));

  repository_->UpdateRepEntity(storage::kRepQuestion, question_, kNewShort, kNewLong);
  EXPECT_EQ(Texts({test::kProduct, 40, true}, storage::kRepQuestion, question_).at(0), kNewShort + "|" + kNewLong);
}

TEST_F(PropagationTest, WebFarmRewritesTheSharedCopies) {
  const std::string shared = env.DataDir() + "/shared";
  // The shared copy of product 12's manager document is newer than the
  // local one: the rewrite starts from it.
  const std::string name12 = *test::DocumentName(test::kProduct, 12, true);
  XmlDoc newer = test::LoadDocument(test::kProduct, 12, true);
  newer.DocumentElement().SetChildText("sd", "Product, as another server saved it");
  DocumentStore()->Save(SharedDocumentPath(shared, name12, storage::kCategoryProductManager, test::kProduct),
                        newer.Xml());
  test::SetParameter("Webfarm Implemented", "True");
  test::SetParameter("FTPPath", shared);

  repository_->UpdateRepEntity(storage::kRepQuestion, question_, kNewShort, kNewLong);

  const std::string changed = kNewShort + "|" + kNewLong;
  for (const Doc& d : {Doc{test::kProduct, 12, true}, Doc{test::kProduct, 40, true}, Doc{test::kProduct, 40, false},
                       Doc{test::kTemplate, template_, true}, Doc{test::kTemplate, template_, false}}) {
    std::string name = *test::DocumentName(d.treeType, d.id, d.manager);
    std::string copy = SharedDocumentPath(shared, name, storage::DocumentCategory(d.treeType, d.manager), d.treeType);
    ASSERT_TRUE(DocumentStore()->Exists(copy)) << copy;
    EXPECT_EQ(DocumentStore()->Load(copy), DocumentStore()->Load(PathOf(d))) << copy;
    EXPECT_EQ(Texts(d, storage::kRepQuestion, question_).at(0), changed) << copy;
  }
  EXPECT_EQ(test::LoadDocument(test::kProduct, 12, true).DocumentElement().ChildText("sd"),
            "Product, as another server saved it");
}

}  // namespace
}  // namespace tsa
