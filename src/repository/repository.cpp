#include "repository/repository.h"

#include <string>
#include <string_view>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "repository/propagation.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/error.h"
#include "storage/tree_types.h"
#include "storage/xml.h"

namespace tsa {

namespace {

constexpr std::string_view kAddLabel = "HXSvcTroubleShooting.Repository.AddRepEntity";
constexpr std::string_view kDetailsLabel = "HXSvcTroubleShooting.Repository.getRepEntityDetails";
constexpr std::string_view kUpdateOnlyDbLabel = "HXSvcTroubleShooting.Repository.UpdateRepEntityOnlyDB";
constexpr std::string_view kUpdateLabel = "HXSvcTroubleshooting.Repository.UpdateRepEntity";
constexpr std::string_view kDeleteLabel = "HXSvcTroubleShooting.Repository.deleteRepEntity";

// Message codes the front end translates.
constexpr std::string_view kEntityNotFoundCode = "SLHXV4204";
constexpr std::string_view kEntityNotDeletableCode = "SLHXV4205";

void ValidateRepType(int32_t repType) {
  if (repType < storage::kRepCategory || repType > storage::kRepAction) {
    RaiseInvalidArgument("i_lRepType", std::to_string(repType) +
                                           " is not a repository type (1 category, 2 question, 3 answer, 4 action)");
  }
}

// Length of the UTF-8 sequence that starts at `s[i]`, or 0 when it is not a
// well-formed one (overlong forms, surrogates and values beyond U+10FFFF
// included).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto continuation = [&](size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return continuation(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!continuation(i + 1) || !continuation(i + 2)) return 0;
    unsigned char c1 = byte(i + 1);
    if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
    if (c == 0xED && c1 > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return 0;
    unsigned char c1 = byte(i + 1);
    if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
    if (c == 0xF4 && c1 > 0x8F) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// The descriptions end up as texts of the tree documents: they must be
// UTF-8 and free of NUL and the other control characters that no document
// can hold (tab, line feed and carriage return are fine).
void ValidateDescription(std::string_view argument, std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '\0') RaiseInvalidArgument(argument, "the text holds a NUL character");
    if (std::optional<int> c = CharacterXmlCannotHold(text.substr(i, 1))) {
      RaiseInvalidArgument(argument, "the text holds the control character &#" + std::to_string(*c) +
                                         "; (byte " + std::to_string(i) + "), which no document can hold");
    }
    size_t n = Utf8SequenceLength(text, i);
    if (n == 0) {
      RaiseInvalidArgument(argument, "the text is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    i += n;
  }
}

std::string Number(int32_t value) { return std::to_string(FormatSqlNumber(value)); }

}  // namespace

int32_t Repository::AddRepEntity(int32_t i_lRepType, const std::string& i_sSDesc, const std::string& i_sLDesc) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      kAddLabel,
      [&] {
        ValidateRepType(i_lRepType);
        ValidateDescription("i_sSDesc", i_sSDesc);
        ValidateDescription("i_sLDesc", i_sLDesc);
        std::string table = storage::getRepTable(i_lRepType);
        connection = GetHelvixConnection();
        // An empty, updatable recordset: the texts travel as field values,
        // never as SQL text, and the database generates the identifier.
        recordset = connection->OpenRecordset("Select * from " + table + " where (1=0)", db::CursorType::Keyset,
                                              db::LockType::Optimistic);
        recordset->AddNew();
        recordset->SetField("NAME", db::Value(i_sSDesc));
        recordset->SetField("DETAIL", db::Value(i_sLDesc));
        recordset->Update();
        int32_t id = recordset->Field("ID").ToInt32();
        CloseRecordset(recordset);
        CloseConnection(connection);
        return id;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

StringDict Repository::getRepEntityDetails(int32_t i_lRepType, int32_t i_lRepID) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      kDetailsLabel,
      [&] {
        ValidateRepType(i_lRepType);
        std::string table = storage::getRepTable(i_lRepType);
        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset("Select NAME,DETAIL from " + table + " where ID=" + Number(i_lRepID));
        if (recordset->IsEOF()) RaiseWithEmptySource(err::RepEntityNotFound, kEntityNotFoundCode);
        StringDict details;
        details.Add("NAME", recordset->Field("NAME").ToText());
        details.Add("DETAIL", recordset->Field("DETAIL").ToText());
        CloseRecordset(recordset);
        CloseConnection(connection);
        return details;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

void Repository::UpdateRepEntityOnlyDB(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sSDesc,
                                       const std::string& i_sLDesc) {
  ConnectionPtr connection;
  Trapped(
      kUpdateOnlyDbLabel,
      [&] {
        ValidateRepType(i_lRepType);
        ValidateDescription("i_sSDesc", i_sSDesc);
        ValidateDescription("i_sLDesc", i_sLDesc);
        std::string table = storage::getRepTable(i_lRepType);
        connection = GetHelvixConnection();
        // An identifier without a row changes nothing; that is no failure.
        connection->Execute("Update " + table + " set NAME=" + FormatSqlText(i_sSDesc) +
                            ",DETAIL=" + FormatSqlText(i_sLDesc) + " where ID=" + Number(i_lRepID));
        CloseConnection(connection);
      },
      [&] { CloseConnection(connection); });
}

void Repository::UpdateRepEntity(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sSDesc,
                                 const std::string& i_sLDesc) {
  Trapped(kUpdateLabel, [&] {
    // The row and every document that shows the entity change together:
    // within the caller's transaction, or within one of our own when the
    // caller has none, so that a failure midway leaves all of them as they
    // were.
    RunTransactional([&] {
      ValidateRepType(i_lRepType);
      ValidateDescription("i_sSDesc", i_sSDesc);
      ValidateDescription("i_sLDesc", i_sLDesc);
      UpdateRepEntityOnlyDB(i_lRepType, i_lRepID, i_sSDesc, i_sLDesc);
      PropagateChanges(i_lRepType, i_lRepID, i_sSDesc, i_sLDesc);
    });
  });
}

bool Repository::DeleteRepEntity(int32_t i_lRepType, int32_t i_lRepID) {
  ConnectionPtr connection;
  int64_t deleted = 0;
  try {
    ValidateRepType(i_lRepType);
    std::string table = storage::getRepTable(i_lRepType);
    const std::string id = Number(i_lRepID);
    const std::string type = Number(i_lRepType);
    auto unused = [&](const char* nodeTable) {
      return std::string(" AND NOT EXISTS (SELECT 1 FROM ") + nodeTable + " WHERE REPID = " + id +
             " AND REPTYPE = " + type + ")";
    };
    // The in-use test and the deletion are one statement, so no node can
    // start using the entity in between. Only nodes of the entity's own
    // repository type count: identifiers of different types are unrelated.
    std::string sql = "DELETE FROM " + table + " WHERE ID = " + id + unused("DIAGNOSTICS") +
                      unused("DIAGNOSTICS_TEMP") + unused("TEMPLATE_TEMP") + unused("TEMPLATE");
    connection = GetHelvixConnection();
    deleted = connection->Execute(sql);
    CloseConnection(connection);
  } catch (...) {
    CloseConnection(connection);
    ReportError(kDeleteLabel);
    throw;
  }
  // The entity does not exist or a node uses it: the refusal reaches the
  // caller as it is, without a log entry.
  if (deleted == 0) RaiseWithEmptySource(err::RepEntityInUse, kEntityNotDeletableCode);
  return false;
}

const DispatchTable* Repository::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add(
        Bind<&Repository::AddRepEntity>("AddRepEntity", {"i_lRepType", "i_sSDesc", "i_sLDesc"},
                                        "Adds an entity with its short and long description; returns its identifier"));
    t.Add(Bind<&Repository::getRepEntityDetails>("getRepEntityDetails", {"i_lRepType", "i_lRepID"},
                                                 "The entity's NAME and DETAIL"));
    t.Add(Bind<&Repository::UpdateRepEntityOnlyDB>("UpdateRepEntityOnlyDB",
                                                   {"i_lRepType", "i_lRepID", "i_sSDesc", "i_sLDesc"},
                                                   "Changes the entity's texts in the database only"));
    t.Add(Bind<&Repository::UpdateRepEntity>(
        "UpdateRepEntity", {"i_lRepType", "i_lRepID", "i_sSDesc", "i_sLDesc"},
        "Changes the entity's texts in the database and in every tree document that shows it"));
    t.Add(Bind<&Repository::WhereUsed>(
        "WhereUsed", {"i_lRepType", "i_lRepID", Optional("i_lOffset"), Optional("i_lLimit")},
        "Where an entity is shown: {total, items: [{treeType, id, copy, node}]} from i_lOffset, at most i_lLimit "
        "(default 100, at most 1000)"));
    t.Add(Bind<&Repository::DeleteRepEntity>(
        "DeleteRepEntity", {"i_lRepType", "i_lRepID"},
        "Deletes an entity that no node uses (error 1013 otherwise); returns false"));
    return t;
  }();
  return &table;
}

RepositoryPtr CreateRepositoryObject() { return CreateInContext<Repository>(progid::Repository); }

void RegisterRepositoryClass() {
  Registry::Instance().Register(progid::Repository, [] { return std::make_shared<Repository>(); });
}

}  // namespace tsa
