// Where a repository entity is shown: the nodes of product trees and
// templates, in their published and working copies, that refer to it —
// counted in full and listed one page at a time, so that a save that
// propagates texts can say beforehand how many places it changes.
#include "repository/repository.h"

#include "components/connections.h"
#include "platform/db/connection.h"
#include "runtime/error.h"
#include "storage/tree_types.h"

namespace tsa {

namespace {

constexpr const char* kWhereUsed = "HXSvcTroubleshooting.Repository.WhereUsed";
constexpr int32_t kDefaultPage = 100;
constexpr int32_t kLargestPage = 1000;

struct Source {
  int32_t treeType;
  bool working;
};
constexpr Source kSources[] = {{storage::kProductTree, false},
                               {storage::kProductTree, true},
                               {storage::kTemplateTree, false},
                               {storage::kTemplateTree, true}};

// The four node tables as one selection; binds two values per table.
std::string Union(const db::Dialect& d, std::vector<db::Value>& params, int32_t repType, int32_t repId) {
  std::string sql;
  for (const Source& s : kSources) {
    const storage::TableAndKey table = storage::GetTreeTableAndKey(s.treeType, s.working);
    if (!sql.empty()) sql += " UNION ALL ";
    params.emplace_back(repType);
    const std::string typeParam = d.Placeholder(static_cast<int>(params.size()));
    params.emplace_back(repId);
    const std::string idParam = d.Placeholder(static_cast<int>(params.size()));
    sql += "SELECT " + std::to_string(s.treeType) + " AS TREETYPE, " + table[1] + " AS ID, " +
           (s.working ? "1" : "0") + " AS WORKING, NODEID FROM " + table[0] + " WHERE REPTYPE = " + typeParam +
           " AND REPID = " + idParam;
  }
  return sql;
}

}  // namespace

nlohmann::json Repository::WhereUsed(int32_t i_lRepType, int32_t i_lRepID, int32_t i_lOffset, int32_t i_lLimit) {
  ConnectionPtr connection;
  return Trapped(
      kWhereUsed,
      [&] {
        if (i_lRepType < storage::kRepCategory || i_lRepType > storage::kRepAction) {
          RaiseInvalidArgument("i_lRepType", std::to_string(i_lRepType) +
                                                 " is not a repository type (1 category, 2 question, 3 answer, 4 action)");
        }
        if (i_lOffset < 0) RaiseInvalidArgument("i_lOffset", "must not be negative");
        if (i_lLimit < 0 || i_lLimit > kLargestPage) {
          RaiseInvalidArgument("i_lLimit", "must be between 1 and " + std::to_string(kLargestPage) + " (0: " +
                                               std::to_string(kDefaultPage) + ")");
        }
        const int32_t limit = i_lLimit == 0 ? kDefaultPage : i_lLimit;
        connection = GetHelvixConnection();
        db::Session& session = connection->session();
        const db::Dialect& d = connection->dialect();

        std::vector<db::Value> countParams;
        const auto count =
            session.Query("SELECT COUNT(*) FROM (" + Union(d, countParams, i_lRepType, i_lRepID) + ") U", countParams);
        std::vector<db::Value> params;
        std::string page = Union(d, params, i_lRepType, i_lRepID) + " ORDER BY TREETYPE, ID, WORKING, NODEID";
        params.emplace_back(limit);
        page += " LIMIT " + d.Placeholder(static_cast<int>(params.size()));
        params.emplace_back(i_lOffset);
        page += " OFFSET " + d.Placeholder(static_cast<int>(params.size()));
        const auto rows = session.Query(page, params);
        CloseConnection(connection);

        nlohmann::json items = nlohmann::json::array();
        for (const auto& r : rows.rows) {
          items.push_back({{"treeType", r[0].ToInt32()},
                           {"id", r[1].ToInt32()},
                           {"copy", r[2].ToInt32() != 0 ? "working" : "published"},
                           {"node", r[3].ToInt32()}});
        }
        return nlohmann::json{{"total", count.rows[0][0].ToInt64()}, {"items", std::move(items)}};
      },
      [&] { CloseConnection(connection); });
}

}  // namespace tsa
