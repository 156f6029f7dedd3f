#include "faults/sweep.h"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <regex>

#include "platform/db/connection.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"

namespace tsa::test::sweep {

namespace {

constexpr int32_t kLaser = 7;
constexpr int32_t kScanner = 8;
constexpr int32_t kCopy = 20;

int32_t AddTo(Scenario& s, int32_t tree, const std::string& user, int32_t parent, int32_t repType,
              const std::string& sd, const std::string& list = ";1;") {
  return s.dom->AddChildNew(kProduct, tree, parent, repType, sd, sd + ", in detail", list, ";", -1, user);
}

void CheckOutAs(Scenario& s, int32_t type, int32_t id, const std::string& user) {
  std::string owner;
  s.dom->CheckOut(type, id, user, owner);
}

uint32_t Seed() {
  static const uint32_t seed = [] {
    uint32_t value = std::random_device{}();
    if (const char* text = std::getenv("TSAUTHOR_SWEEP_SEED"); text && *text) {
      value = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    }
    std::cout << "[ sweep    ] " << (Full() ? "every call" : "a slice") << ", seed " << value
              << " (TSAUTHOR_SWEEP_SEED=" << value << " replays it)" << std::endl;
    return value;
  }();
  return seed;
}

}  // namespace

Scenario::Scenario(bool documentFiles) {
  if (documentFiles) TestEnv::UseDocumentFiles();
  EnsureTreeComponents();
  dom = CreateTSDOMObject();
  LoadTestCatalog(env);

  dom->CreateEmptyTree(kProduct, kScanner);
  CheckOutAs(*this, kProduct, kScanner, "bob");
  otherCategory = AddTo(*this, kScanner, "bob", 0, storage::kRepCategory, "Scanning", ";2;");
  AddTo(*this, kScanner, "bob", otherCategory, storage::kRepQuestion, "Lines on the scans?", ";2;");
  dom->Publish(kProduct, kScanner);

  templateId = dom->CreateNewTemplateInfo("Paper jam", "For every printer", 10);
  dom->CreateEmptyTree(kTemplate, templateId);
  CheckOutAs(*this, kTemplate, templateId, "bob");
  dom->AddChildNew(kTemplate, templateId, 0, storage::kRepQuestion, "Is paper stuck?", "Open the tray", ";", ";",
                   -1, "bob");
  dom->Publish(kTemplate, templateId);

  dom->CreateEmptyTree(kProduct, kLaser);
  CheckOutAs(*this, kProduct, kLaser, "alice");
  category = AddTo(*this, kLaser, "alice", 0, storage::kRepCategory, "Paper");
  question = AddTo(*this, kLaser, "alice", category, storage::kRepQuestion, "Does it jam?");
  answer = AddTo(*this, kLaser, "alice", question, storage::kRepAnswer, "Yes, at the tray");
  question2 = AddTo(*this, kLaser, "alice", category, storage::kRepQuestion, "Is the toner low?", ";1;2;");
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = [] {
    auto nothing = [](Scenario&) {};
    auto rep = [](int32_t node) { return ReadRow(kProduct, kLaser, node, true)->repId; };
    std::vector<Operation> ops;
    ops.push_back({"add", nothing, [](Scenario& s) {
                     AddTo(s, kLaser, "alice", s.question, storage::kRepAnswer, "No, in the drum");
                   }});
    ops.push_back({"save", nothing, [rep](Scenario& s) {
                     s.dom->SaveNode(kProduct, kLaser, s.question, rep(s.question), "Does it jam often?", "Twice a day",
                                     false, ";1;3;", false, ";", -1, "alice");
                   }});
    ops.push_back({"save-propagated", nothing, [rep](Scenario& s) {
                     s.dom->SaveNode(kProduct, kLaser, s.category, rep(s.category), "Paper and trays", "All of it",
                                     true, ";1;2;", true, ";", -1, "alice");
                   }});
    ops.push_back({"delete", nothing, [](Scenario& s) { s.dom->DeleteNode(kProduct, kLaser, s.question, "alice"); }});
    ops.push_back({"move", nothing, [](Scenario& s) { s.dom->MoveNode(kProduct, kLaser, s.question2, 1 /* up */, "alice"); }});
    ops.push_back({"paste", nothing, [](Scenario& s) {
                     s.dom->Paste(kProduct, kScanner, s.otherCategory, kProduct, kLaser, 0, ";2;", "alice");
                   }});
    ops.push_back({"template", nothing, [](Scenario& s) {
                     int32_t reason = 0;
                     s.dom->AddTemplateToNode(s.templateId, kProduct, kLaser, s.category, ";", "alice", reason);
                   }});
    ops.push_back({"check-out", nothing, [](Scenario& s) { CheckOutAs(s, kProduct, kScanner, "bob"); }});
    ops.push_back({"publish", nothing, [](Scenario& s) { s.dom->Publish(kProduct, kLaser); }});
    ops.push_back({"undo", nothing, [](Scenario& s) { s.dom->UndoEditTree(kLaser, kProduct, "alice"); }});
    ops.push_back({"tree-copy", nothing, [](Scenario& s) {
                     s.dom->createTreeFromTree(kProduct, kScanner, kProduct, kCopy, "bob");
                   }});
    ops.push_back({"visibility-sync", nothing, [](Scenario& s) {
                     StringDict add, remove;
                     add.Add("3", "Root");
                     remove.Add("1", "");
                     s.dom->SynchronizeVisibilitiesforTree(0, kLaser, add, remove);
                   }});
    ops.push_back({"restore",
                   [](Scenario& s) {
                     s.dom->Publish(kProduct, kLaser);  // version 2
                     CheckOutAs(s, kProduct, kLaser, "alice");
                     s.dom->DeleteNode(kProduct, kLaser, s.question2, "alice");
                   },
                   [](Scenario& s) { s.versions.Restore(kProduct, kLaser, 2, "alice"); }});
    return ops;
  }();
  return operations;
}

Stored State(const TestEnv& env) {
  Stored s = Snapshot(env);
  auto connection = GetHelvixConnection();
  auto rs = connection->OpenRecordset(
      "SELECT TREETYPE, ID, VERSION, PUBLISHEDBY, COMMENT, FORCED, NODES, DOCUMENT FROM TREEVERSIONS");
  std::vector<std::string>& rows = s.rows["TREEVERSIONS"];
  for (; !rs->IsEOF(); rs->MoveNext()) {
    std::string row;
    for (const std::string& column : rs->Columns()) row += rs->Field(column).ToText() + "|";
    rows.push_back(row);
  }
  rs->Close();
  CloseConnection(connection);
  std::sort(rows.begin(), rows.end());

  static const std::regex time(R"(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d(\.\d+)?Z?)");
  for (auto& [table, list] : s.rows)
    for (auto& row : list) row = std::regex_replace(row, time, "<time>");
  for (auto& [name, content] : s.files) content = std::regex_replace(content, time, "<time>");
  return s;
}

void ExpectConsistent(const std::string& where) {
  for (int32_t id : {kLaser, kScanner}) {
    for (const char* user : {"alice", "bob"}) {
      EXPECT_TRUE(TreeIsConsistent(kProduct, id, user)) << where << ": product " << id << " as " << user;
    }
  }
  if (!ReadRows(kProduct, kCopy, false).empty() || !ReadRows(kProduct, kCopy, true).empty()) {
    EXPECT_TRUE(TreeIsConsistent(kProduct, kCopy, "bob")) << where << ": the copied tree";
  }
}

bool Full() {
  const char* mode = std::getenv("TSAUTHOR_SWEEP");
  return mode && std::string(mode) == "full";
}

std::vector<uint64_t> Points(uint64_t n, const std::string& operation, uint64_t stride) {
  std::vector<uint64_t> points;
  if (Full() || stride <= 1) {
    for (uint64_t k = 1; k <= n; ++k) points.push_back(k);
    return points;
  }
  const uint64_t offset = (Seed() + std::hash<std::string>{}(operation)) % stride;
  for (uint64_t k = 1 + offset; k <= n; k += stride) points.push_back(k);
  if (points.empty() && n > 0) points.push_back(1 + offset % n);  // every operation gets one
  return points;
}

std::vector<bool> DocumentFileModes() {
  if (!TestEnv::IsPostgres()) return {true};
  if (Full()) return {false, true};
  return {false};
}

}  // namespace tsa::test::sweep
