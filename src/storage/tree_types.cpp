#include "storage/tree_types.h"

#include <sstream>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/session.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::storage {

TableAndKey GetTreeTableAndKey(int32_t treeType, bool workingCopy) {
  switch (treeType) {
    case kProductTree:
      return {workingCopy ? "DIAGNOSTICS_TEMP" : "DIAGNOSTICS", "PRODUCTID"};
    case kTemplateTree:
      return {workingCopy ? "TEMPLATE_TEMP" : "TEMPLATE", "TEMPLATEID"};
    default:
      return {"", ""};
  }
}

std::string getRepTable(int32_t repType) {
  switch (repType) {
    case kRepCategory:
      return "REPTSCATEGORY";
    case kRepQuestion:
      return "REPQUESTION";
    case kRepAnswer:
      return "REPANSWER";
    case kRepAction:
      return "REPACTION";
    default:
      // No error is pending here: this only writes the log entry.
      ReportError("HXSvcTroubleshooting.TSUtilities.getRepTable",
                  std::string("Wrong repository type information passed to function"));
      return "";
  }
}

std::vector<std::string> GetValidChildTypes(int32_t parentType, std::optional<int32_t> topType) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.GetValidChildTypes", [&] {
    std::string types;
    if (parentType != kRepRoot) {
      types = "2;3;4";
    } else if (!topType) {
      types = "1";
    } else if (*topType == kTopTypeEmpty) {
      types = "1;2;3;4";
    } else if (*topType == kRepCategory) {
      types = "1";
    } else {
      types = "2;3;4";
    }
    std::vector<std::string> result;
    std::stringstream in(types);
    for (std::string piece; std::getline(in, piece, ';');) result.push_back(piece);
    return result;
  });
}

bool TypeMatch(int32_t parentType, int32_t childType, std::optional<int32_t> topType) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.TypeMatch", [&] {
    for (const std::string& t : GetValidChildTypes(parentType, topType)) {
      if (std::stoi(t) == childType) return true;
    }
    return false;
  });
}

int32_t getMaxNodeID(int32_t treeType, int32_t treeId) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HXSvcTroubleshooting.TSUtilities.getMaxNodeID",
      [&] {
        auto [table, key] = GetTreeTableAndKey(treeType, true);
        // The highest row by the key's index: max() over the tree's rows let
        // PostgreSQL count them all when its statistics did not know the
        // tree yet (a tree built in one transaction), once per node added.
        connection = GetHelvixConnection();
        rs = connection->OpenRecordset(connection->dialect().SelectTop1(
            "NODEID AS MAXNODEID FROM " + table + " WHERE " + key + " = " + std::to_string(FormatSqlNumber(treeId)) +
            " ORDER BY NODEID DESC"));
        // No working copy has no highest node, which is reported as the
        // null of max() would be.
        const int32_t result = rs->IsEOF() ? db::Value().ToInt32() : rs->Field("MAXNODEID").ToInt32();
        rs->Close();
        rs.reset();
        CloseConnection(connection);
        return result;
      },
      [&] {
        rs.reset();
        CloseConnection(connection);
      });
}

int32_t GetTemplateTopType(int32_t templateId, bool workingCopy) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HXSvcTroubleshooting.TSUtilities.GetTemplateTopType",
      [&] {
        std::string table = GetTreeTableAndKey(kTemplateTree, workingCopy)[0];
        connection = GetHelvixConnection();
        std::string sql = connection->dialect().SelectTop1(
            "REPTYPE FROM " + table + " WHERE TEMPLATEID = " + std::to_string(FormatSqlNumber(templateId)) +
            " AND PNODEID = 0");
        rs = connection->OpenRecordset(sql);
        int32_t result = rs->IsEOF() ? kTopTypeEmpty : rs->Field("REPTYPE").ToInt32();
        rs->Close();
        rs.reset();
        CloseConnection(connection);
        return result;
      },
      [&] {
        rs.reset();
        CloseConnection(connection);
      });
}

int32_t DocumentCategory(int32_t treeType, bool manager) {
  if (treeType == kProductTree) return manager ? kCategoryProductManager : kCategoryProductEnduser;
  return manager ? kCategoryTemplateManager : kCategoryTemplateEnduser;
}

void LockTree(int32_t treeType, int32_t id) {
  if (ObjectContext* context = GetObjectContext()) {
    db::LockKey(*context, CurrentSettings().HelvixUri(), treeType, id);
  }
}

}  // namespace tsa::storage
