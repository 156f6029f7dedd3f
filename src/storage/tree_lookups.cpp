#include "storage/tree_lookups.h"

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "storage/tree_types.h"

namespace tsa {

namespace {

// A connection of its own to the service database, outside any transaction
// context.
std::shared_ptr<db::Connection> OwnConnection() {
  auto configuration = CreateObject<IConfiguration>(progid::Configuration);
  configuration->SelectSection("Helvix", 0);
  std::string uri = configuration->GetConnectionString("Helvix");
  return db::Connection::Open(uri);
}

std::string TextOrEmpty(const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); }

}  // namespace

StringDict NonMtsTSDOM::getTemplateInfo(int32_t templateId) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "HXSvcTroubleShootingNonMTS.TSDOM.getTemplateInfo",
      [&] {
        connection = OwnConnection();
        recordset = connection->OpenRecordset("SELECT NAME, COMMENT FROM TEMPLATEINFO WHERE TEMPLATEID = " +
                                              std::to_string(FormatSqlNumber(templateId)));
        if (recordset->IsEOF()) {
          Raise(err::TemplateInfoNotFound, "HXSvcTroubleShootingNonMTS.TSDOM",
                "There is no template " + std::to_string(templateId));
        }
        StringDict info;
        info.Add("Name", TextOrEmpty(recordset->Field("NAME")));
        info.Add("Comment", TextOrEmpty(recordset->Field("COMMENT")));
        CloseRecordset(recordset);
        CloseConnection(connection);
        return info;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

bool NonMtsTSDOM::TreeExists(int32_t id, int32_t treeType) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "HXSvcTroubleShootingNonMTS.TSDOM.TreeExists",
      [&] {
        const storage::TableAndKey published = storage::GetTreeTableAndKey(treeType, false);
        const std::string working = storage::GetTreeTableAndKey(treeType, true)[0];
        const std::string& key = published[1];
        if (published[0].empty()) return false;  // not a tree type
        std::string n = std::to_string(FormatSqlNumber(id));
        connection = OwnConnection();
        recordset = connection->OpenRecordset(
            "SELECT CASE WHEN EXISTS (SELECT 1 FROM " + published[0] + " WHERE " + key + " = " + n +
            ") OR EXISTS (SELECT 1 FROM " + working + " WHERE " + key + " = " + n + ") THEN 1 ELSE 0 END AS FOUND");
        bool found = !recordset->IsEOF() && recordset->Field("FOUND").ToInt32() != 0;
        CloseRecordset(recordset);
        CloseConnection(connection);
        return found;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

const DispatchTable* NonMtsTSDOM::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add(Bind<&NonMtsTSDOM::getTemplateInfo>("getTemplateInfo", {"templateId"}, "The template's name and comment"));
    t.Add(Bind<&NonMtsTSDOM::TreeExists>("TreeExists", {"id", "treeType"}, "Whether the tree has rows"));
    return t;
  }();
  return &table;
}

void RegisterNonMtsComponent() {
  Registry::Instance().Register(progid::NonMtsTSDOM, [] { return std::make_shared<NonMtsTSDOM>(); });
}

}  // namespace tsa
