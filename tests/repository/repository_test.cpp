#include "repository/repository.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "support/consistency.h"
#include "support/recording_log.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace tsa {
namespace {

const char* const kRepTables[] = {"", "REPTSCATEGORY", "REPQUESTION", "REPANSWER", "REPACTION"};

std::optional<Error> Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

class RepositoryTest : public ::testing::Test {
 protected:
  void Exec(const std::string& sql) { db::Connection::Open(env_.HelvixUri())->Execute(sql); }

  int64_t Count(const std::string& sql) {
    auto rs = db::Connection::Open(env_.HelvixUri())->OpenRecordset("SELECT COUNT(*) AS N FROM " + sql);
    return rs->Field("N").ToInt64();
  }

  // NAME and DETAIL of a row read directly, or nullopt without one.
  std::optional<std::pair<std::string, std::string>> Row(int32_t repType, int32_t id) {
    auto rs = db::Connection::Open(env_.HelvixUri())
                  ->OpenRecordset(std::string("SELECT NAME, DETAIL FROM ") + kRepTables[repType] +
                                  " WHERE ID = " + std::to_string(id));
    if (rs->IsEOF()) return std::nullopt;
    return std::make_pair(rs->Field("NAME").ToText(), rs->Field("DETAIL").ToText());
  }

  // A node row using an entity, in one of the four node tables.
  void AddNodeRow(const std::string& table, int32_t treeId, int32_t nodeId, int32_t repType, int32_t repId) {
    Exec("INSERT INTO " + table + " VALUES (" + std::to_string(treeId) + ", " + std::to_string(nodeId) + ", " +
         std::to_string(repType) + ", " + std::to_string(repId) + ", 1, 1, 0, ';0;', ';', ';', -1)");
  }

  test::TestEnv env_;
  RepositoryPtr repository_ = CreateRepositoryObject();
};

TEST_F(RepositoryTest, AddedEntitiesReadBackExactly) {
  const std::string shortText = "Is the \"Power\" LED on? It's <red> & 'blinking' -- ; DROP TABLE REPQUESTION;";
  const std::string longText = "  Größe, naïve café, 日本語, emoji 🙂\r\nsecond line\ttab  ";
  for (int32_t type = 1; type <= 4; ++type) {
    SCOPED_TRACE(type);
    int32_t id = repository_->AddRepEntity(type, shortText, longText);
    EXPECT_GT(id, 0);
    auto row = Row(type, id);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->first, shortText);
    EXPECT_EQ(row->second, longText);

    StringDict details = repository_->getRepEntityDetails(type, id);
    EXPECT_EQ(details.Keys(), (std::vector<std::string>{"NAME", "DETAIL"}));
    EXPECT_EQ(details.Item("NAME"), shortText);
    EXPECT_EQ(details.Item("DETAIL"), longText);

    // No test for duplicates: every call adds a row.
    int32_t second = repository_->AddRepEntity(type, shortText, longText);
    EXPECT_NE(second, id);
    EXPECT_EQ(Count(std::string(kRepTables[type])), 2);
  }
  // Empty texts are texts too.
  int32_t empty = repository_->AddRepEntity(3, "", "");
  EXPECT_EQ(repository_->getRepEntityDetails(3, empty).Item("NAME"), "");
}

TEST_F(RepositoryTest, MissingEntityIs1012AndLogged) {
  test::RecordingLog log;
  int32_t id = repository_->AddRepEntity(3, "Yes", "");
  auto e = Failure([&] { repository_->getRepEntityDetails(3, id + 1); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::RepEntityNotFound);
  EXPECT_EQ(e->source(), "");
  EXPECT_EQ(e->description(),
            "\r\nMETHOD: HXSvcTroubleShooting.Repository.getRepEntityDetails caught: SLHXV4204(1012).");
  EXPECT_EQ(log.Count(), 1u);
  // The same identifier in another type's table is another entity.
  EXPECT_EQ(Failure([&] { repository_->getRepEntityDetails(2, id); })->number(), err::RepEntityNotFound);
}

TEST_F(RepositoryTest, UpdateOnlyDbChangesTheRowAndNothingElse) {
  int32_t id = repository_->AddRepEntity(2, "Old", "Old detail");
  int32_t other = repository_->AddRepEntity(2, "Other", "Other detail");
  repository_->UpdateRepEntityOnlyDB(2, id, "O'Neil's \"new\" <b>&amp;</b>", "Détail ü");
  EXPECT_EQ(Row(2, id), std::make_pair(std::string("O'Neil's \"new\" <b>&amp;</b>"), std::string("Détail ü")));
  EXPECT_EQ(Row(2, other), std::make_pair(std::string("Other"), std::string("Other detail")));

  // An identifier without a row changes nothing and is no failure.
  repository_->UpdateRepEntityOnlyDB(2, other + 100, "x", "y");
  EXPECT_EQ(Count("REPQUESTION"), 2);
  EXPECT_EQ(Count("REPQUESTION WHERE NAME = 'x'"), 0);
}

TEST_F(RepositoryTest, InvalidArgumentsAreRefusedBeforeAnythingIsWritten) {
  int32_t id = repository_->AddRepEntity(4, "Restart", "Hold the button");
  auto expectRefused = [&](const std::function<void()>& call, const std::string& argument) {
    auto e = Failure(call);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->number(), err::InvalidArgument);
    EXPECT_NE(e->description().find("Invalid argument " + argument), std::string::npos) << e->description();
  };
  for (int32_t type : {0, 5, -1, 10}) {
    SCOPED_TRACE(type);
    expectRefused([&] { repository_->AddRepEntity(type, "a", "b"); }, "i_lRepType");
    expectRefused([&] { repository_->getRepEntityDetails(type, id); }, "i_lRepType");
    expectRefused([&] { repository_->UpdateRepEntityOnlyDB(type, id, "a", "b"); }, "i_lRepType");
    expectRefused([&] { repository_->UpdateRepEntity(type, id, "a", "b"); }, "i_lRepType");
    expectRefused([&] { repository_->DeleteRepEntity(type, id); }, "i_lRepType");
  }
  const std::string withNul("a\0b", 3);
  const std::string notUtf8 = "caf\xE9";  // Latin-1, not UTF-8
  expectRefused([&] { repository_->AddRepEntity(4, withNul, "b"); }, "i_sSDesc");
  expectRefused([&] { repository_->AddRepEntity(4, "a", notUtf8); }, "i_sLDesc");
  expectRefused([&] { repository_->UpdateRepEntityOnlyDB(4, id, "a", withNul); }, "i_sLDesc");
  expectRefused([&] { repository_->UpdateRepEntity(4, id, notUtf8, "b"); }, "i_sSDesc");
  expectRefused([&] { repository_->AddRepEntity(4, "bell\x07", "b"); }, "i_sSDesc");
  expectRefused([&] { repository_->UpdateRepEntityOnlyDB(4, id, "a", "\x01\x02"); }, "i_sLDesc");
  expectRefused([&] { repository_->UpdateRepEntity(4, id, "a\x1b[0m", "b"); }, "i_sSDesc");

  EXPECT_EQ(Count("REPACTION"), 1);
  EXPECT_EQ(Row(4, id), std::make_pair(std::string("Restart"), std::string("Hold the button")));
}

TEST_F(RepositoryTest, DeleteRemovesAnUnusedEntity) {
  int32_t id = repository_->AddRepEntity(4, "Unplug", "");
  int32_t kept = repository_->AddRepEntity(4, "Replug", "");
  // Nodes of other repository types with the same identifier do not use it.
  AddNodeRow("DIAGNOSTICS_TEMP", 12, 1, 2, id);
  AddNodeRow("DIAGNOSTICS", 12, 1, 3, id);
  AddNodeRow("TEMPLATE", 7, 1, 1, id);
  AddNodeRow("TEMPLATE_TEMP", 7, 1, 2, id);
  EXPECT_FALSE(repository_->DeleteRepEntity(4, id));
  EXPECT_FALSE(Row(4, id));
  EXPECT_TRUE(Row(4, kept));
}

TEST_F(RepositoryTest, DeleteIsRefusedWhileAnyNodeUsesTheEntity) {
  test::RecordingLog log;
  for (const char* table : {"DIAGNOSTICS_TEMP", "DIAGNOSTICS", "TEMPLATE_TEMP", "TEMPLATE"}) {
    SCOPED_TRACE(table);
    int32_t id = repository_->AddRepEntity(4, "Unplug", "");
    AddNodeRow(table, 40, id, 4, id);
    auto e = Failure([&] { repository_->DeleteRepEntity(4, id); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->number(), err::RepEntityInUse);
    EXPECT_EQ(e->source(), "");
    EXPECT_EQ(e->description(), "SLHXV4205");
    EXPECT_TRUE(Row(4, id));
  }
  // A missing entity cannot be deleted either; the refusal is the same.
  auto e = Failure([&] { repository_->DeleteRepEntity(1, 4242); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::RepEntityInUse);
  EXPECT_EQ(e->description(), "SLHXV4205");
  // The refusals are answers, not failures: nothing was logged.
  EXPECT_EQ(log.Count(), 0u);
}

TEST_F(RepositoryTest, JoinsTheCallersTransaction) {
  int32_t used = repository_->AddRepEntity(2, "Used", "");
  int32_t added = 0;
  EXPECT_THROW(RunTransactional([&] {
                 added = repository_->AddRepEntity(2, "Pending", "");
                 EXPECT_EQ(repository_->getRepEntityDetails(2, added).Item("NAME"), "Pending");
                 repository_->UpdateRepEntityOnlyDB(2, used, "Changed", "");
                 // A node the same transaction added blocks the deletion.
                 auto connection = GetHelvixConnection();
                 connection->Execute("INSERT INTO TEMPLATE_TEMP VALUES (9, 1, 2, " + std::to_string(added) +
                                     ", 1, 1, 0, ';0;', ';', ';', -1)");
                 CloseConnection(connection);
                 EXPECT_EQ(Failure([&] { repository_->DeleteRepEntity(2, added); })->number(),
                           err::RepEntityInUse);
                 Raise(err::InternalError, {}, "abandon");
               }),
               Error);
  EXPECT_FALSE(Row(2, added));
  EXPECT_EQ(Row(2, used)->first, "Used");
  EXPECT_EQ(Count("TEMPLATE_TEMP"), 0);
}

TEST_F(RepositoryTest, MembersByName) {
  nlohmann::json id = CallByName(*repository_, "AddRepEntity",
                                 {{"i_lRepType", 3}, {"i_sSDesc", "Ja & <nein>"}, {"i_sLDesc", "Ü"}});
  ASSERT_TRUE(id.is_number_integer());
  nlohmann::json details =
      CallByName(*repository_, "getRepEntityDetails", {{"i_lRepType", 3}, {"i_lRepID", id.get<int32_t>()}});
  EXPECT_EQ(details, (nlohmann::json{{"NAME", "Ja & <nein>"}, {"DETAIL", "Ü"}}));
  EXPECT_TRUE(CallByName(*repository_, "UpdateRepEntityOnlyDB",
                         nlohmann::json::array({3, id.get<int32_t>(), "Ja", "Nein"}))
                  .is_null());
  EXPECT_TRUE(CallByName(*repository_, "UpdateRepEntity",
                         {{"i_lRepType", 3}, {"i_lRepID", id.get<int32_t>()}, {"i_sSDesc", "J"}, {"i_sLDesc", "N"}})
                  .is_null());
  EXPECT_EQ(Row(3, id.get<int32_t>()), std::make_pair(std::string("J"), std::string("N")));
  EXPECT_EQ(CallByName(*repository_, "DeleteRepEntity", {{"i_lRepType", 3}, {"i_lRepID", id.get<int32_t>()}}),
            nlohmann::json(false));
  EXPECT_FALSE(Row(3, id.get<int32_t>()));

}

// Entities shown by nodes of real trees.
class RepositoryTreeTest : public test::TreeTest {};

TEST_F(RepositoryTreeTest, AnEntityAWorkingCopyShowsIsKept) {
  test::CreateProductTree(12);
  test::CheckOut(test::kProduct, 12, "ann");
  test::NewNode category;
  category.repType = storage::kRepCategory;
  category.sd = "Power";
  test::NewNode question;
  question.parent = test::AddNode(test::kProduct, 12, "ann", category);
  question.sd = "Is it on?";
  int32_t nodeId = test::AddNode(test::kProduct, 12, "ann", question);
  int32_t questionId = test::ReadRow(test::kProduct, 12, nodeId, true)->repId;

  RepositoryPtr repository = CreateRepositoryObject();
  auto e = Failure([&] { repository->DeleteRepEntity(storage::kRepQuestion, questionId); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->number(), err::RepEntityInUse);
  EXPECT_EQ(e->description(), "SLHXV4205");
  EXPECT_EQ(test::RepEntity(storage::kRepQuestion, questionId)->first, "Is it on?");

  // An action with the question's identifier is another entity: no node
  // shows it.
  int32_t actionId = 0;
  while (actionId < questionId) actionId = repository->AddRepEntity(storage::kRepAction, "Unplug", "");
  ASSERT_EQ(actionId, questionId);
  EXPECT_FALSE(repository->DeleteRepEntity(storage::kRepAction, actionId));
  EXPECT_FALSE(test::RepEntity(storage::kRepAction, actionId));
  test::ExpectTreeConsistent(test::kProduct, 12, "ann");
}

}  // namespace
}  // namespace tsa
