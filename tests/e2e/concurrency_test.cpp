// Many front ends at once over loopback: eight clients, two hundred calls
// each. Authors on trees of their own lose nothing to each other; authors
// racing for one tree get exactly one holder, whose simultaneous edits all
// land with distinct identifiers. Every refusal is a well-formed error.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_fixture.h"
#include "support/consistency.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int kClients = 8;
constexpr int kCallsPerClient = 200;

std::string Login(int client) { return "author" + std::to_string(client); }

json AddChild(int32_t id, int32_t parent, int32_t repType, const std::string& text, const std::string& user) {
  return {{"i_lTreeType", kProduct},
          {"i_lID", id},
          {"i_lCurrentNodeID", parent},
          {"i_lRepType", repType},
          {"i_sSDesc", text},
          {"i_sLDesc", "about " + text},
          {"i_sVisibilities", ";1;"},
          {"i_sFAQs", ";"},
          {"i_lHyperlinkNodeID", -1},
          {"i_sUserId", user}};
}

// The node identifier a successful AddChildNew answered with, or -1 (and a
// test failure) for anything else.
int32_t NewNodeId(const json& answer) {
  if (!answer.contains("result") || !answer["result"].is_number_integer()) {
    ADD_FAILURE() << "AddChildNew failed: " << answer.dump();
    return -1;
  }
  return answer["result"].get<int32_t>();
}

class ConcurrencyTest : public ServiceTest {};

TEST_F(ConcurrencyTest, AuthorsOnTreesOfTheirOwnLoseNothing) {
  constexpr int32_t kFirstProduct = 101;
  AddProducts(kFirstProduct, kClients);

  struct Outcome {
    int calls = 0;
    std::vector<int32_t> added;
    std::map<int32_t, std::string> lastText;  // node -> the sd it was last given
  };
  std::vector<Outcome> outcomes(kClients);
  std::latch start(kClients);
  // Each author calls with a personal token of their own.
  std::vector<std::string> tokens;
  for (int c = 0; c < kClients; ++c) tokens.push_back(PersonalToken(Login(c), "author"));

  auto work = [&](int c) {
    ServiceClient http(Port(), tokens[c]);
    Outcome& out = outcomes[c];
    const int32_t id = kFirstProduct + c;
    const std::string user = Login(c);
    start.arrive_and_wait();

    auto call = [&](std::string_view method, const json& params) {
      ++out.calls;
      json answer = http.Call(method, params);
      if (answer.contains("error")) {
        EXPECT_TRUE(IsEngineErrorAnswer(answer, answer["id"]));
        ADD_FAILURE() << method << " on tree " << id << " failed: " << answer["error"].dump();
      }
      return answer;
    };

    call("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", id}});
    json owner = call("TSDOM.CheckOut", {{"i_lTreeType", kProduct}, {"i_lID", id}, {"i_sUserId", user},
                                         {"o_sOwner", ""}});
    EXPECT_EQ(owner["result"].value("o_sOwner", json()), "") << owner.dump();
    const int32_t category =
        NewNodeId(call("TSDOM.AddChildNew", AddChild(id, 0, storage::kRepCategory, "category", user)));
    out.added.push_back(category);
    out.lastText[category] = "category";

    int32_t question = -1;
    for (int i = 0; out.calls < kCallsPerClient; ++i) {
      const std::string text = "node " + std::to_string(c) + "." + std::to_string(i);
      if (i % 3 == 0 || question < 0) {
        question = NewNodeId(call("TSDOM.AddChildNew", AddChild(id, category, storage::kRepQuestion, text, user)));
        out.added.push_back(question);
        out.lastText[question] = text;
      } else if (i % 3 == 1) {
        const int32_t answer =
            NewNodeId(call("TSDOM.AddChildNew", AddChild(id, question, storage::kRepAnswer, text, user)));
        out.added.push_back(answer);
        out.lastText[answer] = text;
      } else {
        // Read the node's entity, then give the node new texts: in place
        // (carried to every tree that shows the entity) or, every other
        // time, in an entity of its own.
        const int32_t node = out.added.back();
        ++out.calls;
        const json info = http.NodeInfo(kProduct, id, node, user);
        call("TSDOM.SaveNode", {{"i_lTreeType", kProduct}, {"i_lID", id}, {"i_lNodeID", node},
                                {"i_lRepID", info.value("RepID", -1)}, {"i_sSDesc", "saved " + text},
                                {"i_sLDesc", ""}, {"i_bPropogateContent", i % 2 == 0}, {"i_sVisibilities", ";1;"},
                                {"i_bPropogateVisibDown", false}, {"i_sFAQs", ";"}, {"i_lHyperlinkNodeID", -1},
                                {"i_sUserId", user}});
        out.lastText[node] = "saved " + text;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(work, c);
  for (auto& t : threads) t.join();

  for (int c = 0; c < kClients; ++c) {
    SCOPED_TRACE("client " + std::to_string(c));
    const int32_t id = kFirstProduct + c;
    const Outcome& out = outcomes[c];
    EXPECT_EQ(out.calls, kCallsPerClient);

    std::vector<int32_t> expected = out.added;
    expected.push_back(0);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(std::adjacent_find(expected.begin(), expected.end()), expected.end()) << "an identifier twice";

    std::vector<int32_t> rows;
    for (const NodeRow& r : ReadRows(kProduct, id, true)) rows.push_back(r.nodeId);
    EXPECT_EQ(rows, expected);

    XmlDoc doc = client().Document(kProduct, id, Login(c));
    std::vector<int32_t> inDocument = AllNodeIds(doc);
    std::sort(inDocument.begin(), inDocument.end());
    EXPECT_EQ(inDocument, expected);
    for (const auto& [node, text] : out.lastText) {
      EXPECT_EQ(NodeElement(doc, node).ChildText("sd"), text) << "node " << node;
    }
    EXPECT_EQ(CheckOutHolder(kProduct, id), Login(c));
    ExpectTreeConsistent(kProduct, id, Login(c));
  }
}

TEST_F(ConcurrencyTest, AuthorsRacingForOneTreeGetOneHolderWhoseEditsAllLand) {
  client().Result("TSDOM.CreateEmptyTree", {{"i_lTreeType", kProduct}, {"i_lID", kCopier}});

  struct Outcome {
    std::string owner = "unset";  // o_sOwner of the check-out
    std::vector<int32_t> added;   // as the holder
    int refused = 0;              // 1003 for a caller who does not hold the tree
    int reads = 0;
  };
  std::vector<Outcome> outcomes(kClients);
  std::latch ready(kClients);
  std::latch checkedOut(kClients);

  // The service account, acting for each author in turn.
  auto work = [&](int c) {
    ServiceClient http(Port(), ServiceToken());
    Outcome& out = outcomes[c];
    const std::string me = Login(c);
    ready.arrive_and_wait();

    json answer = http.Call("TSDOM.CheckOut",
                            {{"i_lTreeType", kProduct}, {"i_lID", kCopier}, {"i_sUserId", me}, {"o_sOwner", ""}});
    if (answer.contains("result")) out.owner = answer["result"].value("o_sOwner", std::string("missing"));
    checkedOut.arrive_and_wait();

    // Everybody learns who won; the holder's login is then used from every
    // client at once, as when one author works in several windows.
    std::string holder;
    for (const Outcome& o : outcomes) {
      if (o.owner.empty()) holder = Login(static_cast<int>(&o - outcomes.data()));
    }
    if (holder.empty()) return;  // reported below

    int32_t category = -1;
    for (int i = 1; i < kCallsPerClient; ++i) {
      const std::string text = "node " + std::to_string(c) + "." + std::to_string(i);
      if (i % 4 == 0) {
        // Each author reads the copy they see.
        auto [status, body] = http.Get("/trees/1/" + std::to_string(kCopier) + "/document?user=" + me);
        EXPECT_EQ(status, 200) << body;
        ++out.reads;
      } else if (i % 4 == 3 && me != holder) {
        json refused = http.Call("TSDOM.AddChildNew", AddChild(kCopier, 0, storage::kRepCategory, text, me));
        EXPECT_TRUE(IsEngineErrorAnswer(refused, refused["id"]));
        EXPECT_EQ(refused["error"]["data"].value("number", 0), err::NotCheckedOut) << refused.dump();
        ++out.refused;
      } else if (category < 0) {
        category =
            NewNodeId(http.Call("TSDOM.AddChildNew", AddChild(kCopier, 0, storage::kRepCategory, text, holder)));
        out.added.push_back(category);
      } else {
        json added = http.Call("TSDOM.AddChildNew", AddChild(kCopier, category, storage::kRepQuestion, text, holder));
        if (added.contains("error")) {
          EXPECT_TRUE(IsEngineErrorAnswer(added, added["id"]));
        }
        out.added.push_back(NewNodeId(added));
      }
    }
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) threads.emplace_back(work, c);
  for (auto& t : threads) t.join();

  // Exactly one winner; every other author was told who holds the tree.
  std::vector<std::string> winners;
  for (int c = 0; c < kClients; ++c) {
    if (outcomes[c].owner.empty()) winners.push_back(Login(c));
  }
  ASSERT_EQ(winners.size(), 1u);
  const std::string holder = winners.front();
  for (int c = 0; c < kClients; ++c) {
    if (Login(c) != holder) {
      EXPECT_EQ(outcomes[c].owner, holder) << "client " << c;
    }
  }
  EXPECT_EQ(CheckOutHolder(kProduct, kCopier), holder);
  EXPECT_EQ(CheckOutRecords(kProduct, kCopier), 1);

  std::vector<int32_t> expected{0};
  int refused = 0;
  for (const Outcome& o : outcomes) {
    expected.insert(expected.end(), o.added.begin(), o.added.end());
    refused += o.refused;
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(std::adjacent_find(expected.begin(), expected.end()), expected.end()) << "an identifier twice";
  EXPECT_EQ(std::count(expected.begin(), expected.end(), -1), 0) << "a call of the holder failed";
  EXPECT_EQ(refused, (kClients - 1) * (kCallsPerClient / 4));

  std::vector<int32_t> rows;
  for (const NodeRow& r : ReadRows(kProduct, kCopier, true)) rows.push_back(r.nodeId);
  EXPECT_EQ(rows, expected);
  std::vector<int32_t> inDocument = AllNodeIds(client().Document(kProduct, kCopier, holder));
  std::sort(inDocument.begin(), inDocument.end());
  EXPECT_EQ(inDocument, expected);
  // The others still see the published root alone.
  EXPECT_EQ(AllNodeIds(client().Document(kProduct, kCopier, holder == Login(0) ? Login(1) : Login(0))),
            std::vector<int32_t>{0});
  ExpectTreeConsistent(kProduct, kCopier, holder);
}

}  // namespace
}  // namespace tsa::test
