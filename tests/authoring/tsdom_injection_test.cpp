// Hostile texts in every text argument of every member callable by name:
// each call either works, keeping the text exactly as given, or is refused
// with one of the library's own errors, and changes nothing then. No call
// may end in a database error or leave a document that does not describe
// its tree.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "authoring/tsdom.h"
#include "authoring/tsdom_edit_util.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "repository/repository.h"
#include "runtime/context.h"
#include "runtime/xml_chars.h"
#include "server/methods.h"
#include "support/consistency.h"
#include "support/tree_fixture.h"
#include "versions/version_errors.h"

namespace tsa::test {
namespace {

using nlohmann::json;

constexpr int32_t kLaser = 7;
constexpr int32_t kScanner = 8;
constexpr int32_t kRetired = 20;

std::vector<std::string> HostileTexts() {
  std::vector<std::string> texts = {"'",   "''; DROP TABLE REPQUESTION; --", "%",  "_",     "*",
                                    "\\", "<x>&amp;",                       "]]>", "a\"b'c", "\x01\x02\x1f",
                                    "tab\tline\nreturn\r",                  "\x7f", "Ünï ☃ 😀"};
  texts.push_back(std::string("nul\0inside", 10));
  std::string big;
  for (int i = 0; big.size() < 10000; ++i) big += "<&'\"%_" + std::to_string(i);
  big.resize(10000);
  texts.push_back(big);
  return texts;
}

std::string Shown(const std::string& text) {
  std::string s;
  for (unsigned char c : text.substr(0, 40)) {
    if (c < 0x20 || c == 0x7f) {
      s += "\\x" + std::to_string(c);
    } else {
      s += static_cast<char>(c);
    }
  }
  return text.size() > 40 ? s + "...(" + std::to_string(text.size()) + ")" : s;
}

std::optional<std::pair<std::string, std::string>> TemplateInfo(int32_t id) {
  auto connection = GetHelvixConnection();
  auto rs = connection->OpenRecordset("SELECT NAME, COMMENT FROM TEMPLATEINFO WHERE TEMPLATEID = " + std::to_string(id));
  std::optional<std::pair<std::string, std::string>> row;
  if (!rs->IsEOF()) row = std::make_pair(rs->Field("NAME").ToText(), rs->Field("COMMENT").ToText());
  rs->Close();
  CloseConnection(connection);
  return row;
}

// Characters an XML 1.0 document cannot hold, raw or as a reference: a
// description of the first found, or "" when there is none.
std::string CharacterNotAllowedInXml(const std::string& markup) {
  auto allowed = [](unsigned long c) { return c == 0x9 || c == 0xA || c == 0xD || c >= 0x20; };
  for (size_t i = 0; i < markup.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(markup[i]);
    if (!allowed(c)) return "a raw character " + std::to_string(c) + " at " + std::to_string(i);
    if (markup.compare(i, 2, "&#") == 0) {
      const bool hex = i + 2 < markup.size() && markup[i + 2] == 'x';
      const size_t end = markup.find(';', i);
      if (end == std::string::npos) return "an unterminated reference at " + std::to_string(i);
      const std::string digits = markup.substr(i + (hex ? 3 : 2), end - i - (hex ? 3 : 2));
      const unsigned long value = std::stoul(digits, nullptr, hex ? 16 : 10);
      if (!allowed(value)) return "a reference to character " + std::to_string(value) + " at " + std::to_string(i);
    }
  }
  return "";
}

class InjectionTest : public TreeTest {
 protected:
  InjectionTest() { LoadTestCatalog(env); }

  TSDOMPtr dom = CreateTSDOMObject();
};

TEST_F(InjectionTest, HostileTextsInEveryTextArgument) {
  // Product 7 held by alice with a category and a question; product 8
  // published with a question; a template with a question.
  dom->CreateEmptyTree(kProduct, kScanner);
  std::string owner;
  dom->CheckOut(kProduct, kScanner, "alice", owner);
  const int32_t feeder =
      dom->AddChildNew(kProduct, kScanner, 0, storage::kRepCategory, "Feeder", "", ";2;", ";", -1, "alice");
  const int32_t scannerQuestion =
      dom->AddChildNew(kProduct, kScanner, feeder, storage::kRepQuestion, "Skewed?", "", ";2;", ";", -1, "alice");
  dom->Publish(kProduct, kScanner);
  dom->CreateEmptyTree(kProduct, kLaser);
  dom->CheckOut(kProduct, kLaser, "alice", owner);
  const int32_t category =
      dom->AddChildNew(kProduct, kLaser, 0, storage::kRepCategory, "Paper", "", ";1;2;", ";", -1, "alice");
  const int32_t question =
      dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Jammed?", "", ";1;", ";", -1, "alice");
  const int32_t templateId = dom->CreateNewTemplateInfo("Paper jam", "", 0);
  dom->CreateEmptyTree(kTemplate, templateId);
  dom->CheckOut(kTemplate, templateId, "alice", owner);
  dom->AddChildNew(kTemplate, templateId, 0, storage::kRepQuestion, "Torn?", "", ";1;", ";", -1, "alice");
  dom->Publish(kTemplate, templateId);

  // Arguments that work when no text is hostile; members that remove
  // something get a target of their own made just before the call.
  std::map<std::string, std::function<json()>> longs = {
      {"i_lTreeType", [] { return kProduct; }},
      {"i_lID", [] { return kLaser; }},
      {"i_lCurrentNodeID", [&] { return category; }},
      {"i_lNodeID", [&] { return question; }},
      {"i_lRepType", [] { return storage::kRepQuestion; }},
      {"i_lRepID", [&] { return ReadRow(kProduct, kLaser, question, true)->repId; }},
      {"i_lHyperlinkNodeID", [] { return -1; }},
      {"i_lTemplateID", [&] { return templateId; }},
      {"i_lPrID", [] { return kLaser; }},
      {"i_lDirection", [] { return 1; }},
      {"i_lProductCategory", [] { return 0; }},
      {"lProductCat", [] { return 0; }},
      {"lproductId", [] { return kLaser; }},
      {"i_lSrcTreeType", [] { return kProduct; }},
      {"i_lSrcID", [] { return kScanner; }},
      {"i_lSrcNodeID", [&] { return scannerQuestion; }},
      {"i_lDstTreeType", [] { return kProduct; }},
      {"i_lDstID", [] { return kLaser; }},
      {"i_lDstNodeID", [&] { return category; }},
      {"i_lSourceTreeType", [] { return kProduct; }},
      {"i_lSourceID", [] { return kScanner; }},
      {"i_lDestTreeType", [] { return kProduct; }},
      {"i_lDestID", [] { return kRetired; }},
      {"o_lInvalidityReason", [] { return 0; }},
      {"i_lPage", [] { return 1; }},  // Audit.List
      {"i_lPageSize", [] { return 50; }},
      {"i_lVersion", [] { return 1; }},
      {"i_lOffset", [] { return 0; }},
      {"i_lLimit", [] { return 0; }},
  };
  std::map<std::string, std::string> texts = {
      {"i_sUserId", "alice"},       {"i_sVisibilities", ";1;"},     {"i_sFAQs", ";"},
      {"i_sVisibToAdd", ";"},       {"i_sSelectedVisibToAdd", ";"}, {"sVisArray", ";1;3;"},
      {"sVisibility", "3"},         {"sTempArr", ";1;3;"},          {"i_sVisToAdd", ";"},
      {"i_sVisToRemove", ";"},      {"o_sOwner", ""},               {"i_sFrom", "published"},
      {"i_sTo", "published"},
  };

  const std::set<int32_t> refusals = {err::TreeLoadFailed,    err::NotCheckedOut,        err::CannotDeleteRoot,
                                      err::ChildTypeNotAllowed, err::NodeNotFound,       err::CheckedOutByOther,
                                      err::RepEntityNotFound,  err::RepEntityInUse,      err::InvalidArgument,
                                      err::InvalidVisibilityList, err::NothingToPublish, err::TreeAlreadyExists,
                                      err::ProductNotFound,    err::TemplateInfoNotFound, err::ObjectNotSet,
                                      err::VersionNotFound,    err::NoSuchCopy,           err::PublishRefused,
                                      err::TextNotXml};

  int calls = 0;
  for (const server::ClassEntry& cls : server::CallableClasses()) {
    auto instance = Registry::Instance().Find(cls.progId)();
    for (const MethodSpec& method : instance->Dispatch()->Methods()) {
      if (!server::IsExposed(cls, method, server::Audience::Local)) continue;
      for (size_t hostileAt = 0; hostileAt < method.params.size(); ++hostileAt) {
        const ParamSpec& target = method.params[hostileAt];
        if (target.type != ArgType::String && target.type != ArgType::Dict) continue;
        for (const std::string& hostile : HostileTexts()) {
          for (int dictSide = 0; dictSide < (target.type == ArgType::Dict ? 2 : 1); ++dictSide) {
            const std::string name = std::string(cls.name) + "." + method.name;
            SCOPED_TRACE(name + " " + target.name + " = \"" + Shown(hostile) + "\"" +
                         (target.type == ArgType::Dict ? (dictSide ? " (as item)" : " (as key)") : ""));

            // Targets the call may remove.
            int32_t templateTarget = templateId;
            if (method.name == "deleteTemplateInfo") {
              templateTarget = dom->CreateNewTemplateInfo("Doomed", "", 0);
              dom->CreateEmptyTree(kTemplate, templateTarget);
            }
            if (method.name == "deleteTree" || method.name == "createTreeFromTree") {
              if (!ReadRows(kProduct, kRetired, false).empty() || !ReadRows(kProduct, kRetired, true).empty()) {
                dom->deleteTree(kRetired, kProduct, CheckOutHolder(kProduct, kRetired).value_or("alice"));
              }
              if (method.name == "deleteTree") dom->CreateEmptyTree(kProduct, kRetired);
            }
            int32_t nodeTarget = question;
            if (method.name == "DeleteNode" || method.name == "MoveNode") {
              nodeTarget = dom->AddChildNew(kProduct, kLaser, category, storage::kRepQuestion, "Doomed", "", ";", ";",
                                            -1, "alice");
            }

            json params = json::object();
            for (const ParamSpec& p : method.params) {
              if (&p == &target) {
                if (p.type == ArgType::Dict) {
                  params[p.name] = dictSide ? json{{"3", hostile}} : json{{hostile, "Tree"}};
                } else {
                  params[p.name] = hostile;
                }
              } else if (p.type == ArgType::String) {
                auto it = texts.find(p.name);
                params[p.name] = it != texts.end() ? it->second : std::string("plain text");
              } else if (p.type == ArgType::Bool) {
                params[p.name] = false;
              } else if (p.type == ArgType::Dict) {
                params[p.name] = json::object();
              } else if (p.name == "i_lID" && method.name == "deleteTemplateInfo") {
                params[p.name] = templateTarget;
              } else if (p.name == "i_lPrID" && method.name == "deleteTree") {
                params[p.name] = kRetired;
              } else if (p.name == "i_lNodeID") {
                params[p.name] = nodeTarget;
              } else {
                auto it = longs.find(p.name);
                ASSERT_NE(it, longs.end()) << "no value for " << p.name;
                params[p.name] = it->second();
              }
            }

            const Stored before = Snapshot(env);
            Stored after;
            const auto entityBefore = RepEntity(storage::kRepQuestion, ReadRow(kProduct, kLaser, question, true)->repId);
            bool failed = false;
            json result;
            try {
              ++calls;
              result = server::InvokeByName(name, params, server::Audience::Local);
            } catch (const Error& e) {
              failed = true;
              // A NUL character is refused where a text is written (SQL or XML).
              const bool nulRefused = hostile.find('\0') != std::string::npos && e.number() == err::InvalidProcedureCall &&
                                      e.description().find("NUL character") != std::string::npos;
              EXPECT_TRUE(refusals.count(e.number()) || nulRefused) << "error " << e.number() << ": " << e.what();
            } catch (const std::exception& e) {
              failed = true;
              ADD_FAILURE() << "foreign exception: " << e.what();
            }
            if (failed) {
              after = Snapshot(env);
              EXPECT_EQ(before, after) << "a refused call changed something";
            } else {
              // Texts kept as they were given.
              const json ret = result.is_object() && result.contains("return") ? result["return"] : result;
              if (name == "TSDOM.AddChildNew" && (target.name == "i_sSDesc" || target.name == "i_sLDesc")) {
                const auto row = ReadRow(kProduct, kLaser, ret.get<int32_t>(), true);
                ASSERT_TRUE(row.has_value());
                EXPECT_EQ(RepEntity(row->repType, row->repId),
                          std::make_pair(params["i_sSDesc"].get<std::string>(), params["i_sLDesc"].get<std::string>()));
              }
              if (name == "TSDOM.SaveNode" && (target.name == "i_sSDesc" || target.name == "i_sLDesc")) {
                const auto row = ReadRow(kProduct, kLaser, question, true);
                ASSERT_TRUE(row.has_value());
                EXPECT_EQ(RepEntity(row->repType, row->repId),
                          std::make_pair(params["i_sSDesc"].get<std::string>(), params["i_sLDesc"].get<std::string>()));
              }
              if ((name == "Repository.UpdateRepEntity" ||
                   name == "Repository.UpdateRepEntityOnlyDB") &&
                  (target.name == "i_sSDesc" || target.name == "i_sLDesc")) {
                EXPECT_EQ(RepEntity(storage::kRepQuestion, params["i_lRepID"].get<int32_t>()),
                          std::make_pair(params["i_sSDesc"].get<std::string>(), params["i_sLDesc"].get<std::string>()));
              }
              if (name == "Repository.AddRepEntity") {
                EXPECT_EQ(RepEntity(storage::kRepQuestion, ret.get<int32_t>()),
                          std::make_pair(params["i_sSDesc"].get<std::string>(), params["i_sLDesc"].get<std::string>()));
              }
              if (name == "TSDOM.CreateNewTemplateInfo") {
                EXPECT_EQ(TemplateInfo(ret.get<int32_t>()),
                          std::make_pair(params["i_sName"].get<std::string>(), params["i_sComment"].get<std::string>()));
              }
              if (name == "TSDOM.UpdateTemplateInfo") {
                EXPECT_EQ(TemplateInfo(templateId),
                          std::make_pair(params["i_sName"].get<std::string>(), params["i_sComment"].get<std::string>()));
              }
              if (name == "TSDOM.CheckOut" || name == "Tree.CheckOut" || name == "TSDOM.createTreeFromTree") {
                if (target.name == "i_sUserId") {
                  const int32_t id = name == "TSDOM.createTreeFromTree" ? kRetired : kLaser;
                  const auto holder = CheckOutHolder(kProduct, id);
                  if (holder != "alice") {
                    EXPECT_EQ(holder, hostile);
                  }
                }
              }
            }
            // Only the database by design: the documents are given back the
            // texts they show.
            if (name == "Repository.UpdateRepEntityOnlyDB" && !failed) {
              RunTransactional([&] {
                CreateRepositoryObject()->UpdateRepEntityOnlyDB(storage::kRepQuestion, params["i_lRepID"].get<int32_t>(),
                                                                entityBefore->first, entityBefore->second);
              });
            }
            // A publication ends alice's check-out: the calls after it need it back.
            if (name == "TSDOM.PublishWithComment" && !failed) {
              std::string owner;
              dom->CheckOut(kProduct, kLaser, "alice", owner);
            }
            // Every tree still described by its documents, as anyone sees it.
            for (const auto& [type, id] : std::vector<std::pair<int32_t, int32_t>>{
                     {kProduct, kLaser}, {kProduct, kScanner}, {kTemplate, templateId}}) {
              EXPECT_TRUE(TreeIsConsistent(type, id, "alice")) << type << "/" << id;
              EXPECT_TRUE(TreeIsConsistent(type, id, "bob")) << type << "/" << id;
            }
            EXPECT_TRUE(StagedLeftovers(env).empty());
            if (!failed) after = Snapshot(env);
            for (const auto& [file, markup] : after.files) {
              EXPECT_EQ(CharacterNotAllowedInXml(markup), "") << file;
            }

            // Back to a known state: alice holds product 7, the template is
            // published and nobody holds product 8.
            for (const auto& [type, id] :
                 std::vector<std::pair<int32_t, int32_t>>{{kProduct, kScanner}, {kTemplate, templateId}}) {
              if (auto h = CheckOutHolder(type, id)) dom->UndoEditTree(id, type, *h);
            }
            if (auto h = CheckOutHolder(kProduct, kLaser); h && *h != "alice") {
              dom->UndoEditTree(kLaser, kProduct, *h);
            }
            if (!CheckOutHolder(kProduct, kLaser)) dom->CheckOut(kProduct, kLaser, "alice", owner);
          }
        }
      }
    }
  }
  EXPECT_GT(calls, 300);
}

}  // namespace
}  // namespace tsa::test
