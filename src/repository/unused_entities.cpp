#include "repository/unused_entities.h"

#include <chrono>
#include <thread>

#include "platform/db/session.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "storage/tree_types.h"

namespace tsa {

namespace {

constexpr const char* kSource = "tsauthor.maintenance";
constexpr int32_t kEntityTablesBusy = 1500;
constexpr int32_t kRepTypes[] = {storage::kRepCategory, storage::kRepQuestion, storage::kRepAnswer,
                                 storage::kRepAction};

// Shuts the other transactions out of the entity tables; false when one of
// them holds a table now (nothing is held then).
bool LockEntityTables(db::Session& session) {
  if (session.dialect().Kind() != db::DialectKind::PostgreSQL) return true;  // BEGIN IMMEDIATE did it
  try {
    session.Execute("LOCK TABLE REPTSCATEGORY, REPQUESTION, REPANSWER, REPACTION IN ACCESS EXCLUSIVE MODE NOWAIT");
    return true;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace

std::string EntityStillReferenced(int32_t repType, const std::string& alias) {
  const std::string type = std::to_string(repType);
  std::string condition;
  for (const char* nodes : {"DIAGNOSTICS", "DIAGNOSTICS_TEMP", "TEMPLATE", "TEMPLATE_TEMP"}) {
    if (!condition.empty()) condition += " OR ";
    condition += std::string("EXISTS (SELECT 1 FROM ") + nodes + " n WHERE n.REPID = " + alias +
                 ".ID AND n.REPTYPE = " + type + ")";
  }
  condition += " OR EXISTS (SELECT 1 FROM TREEVERSIONENTITIES v WHERE v.REPID = " + alias + ".ID AND v.REPTYPE = " +
               type + ")";
  return "(" + condition + ")";
}

int64_t UnusedEntities::Total() const {
  int64_t n = 0;
  for (const auto& t : tables) n += static_cast<int64_t>(t.ids.size());
  return n;
}

UnusedEntities RemoveUnusedEntities(bool dryRun, const std::function<void(db::Session&)>& beforeScan,
                                    int waitSeconds) {
  UnusedEntities result;
  result.dryRun = dryRun;
  auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  for (;;) {
    session->Begin();
    if (LockEntityTables(*session)) break;
    session->Rollback();
    if (std::chrono::steady_clock::now() >= deadline) {
      Raise(kEntityTablesBusy, kSource,
            "The repository is busy: other calls kept using its entities for " + std::to_string(waitSeconds) +
                " seconds, so nothing was removed. Try again when the service is less busy.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  try {
    if (beforeScan) beforeScan(*session);
    for (int32_t repType : kRepTypes) {
      UnusedEntities::Table t;
      t.table = storage::getRepTable(repType);
      t.repType = repType;
      const std::string unused = " FROM " + t.table + " e WHERE NOT " + EntityStillReferenced(repType, "e");
      for (const auto& row : session->Query("SELECT e.ID" + unused + " ORDER BY e.ID").rows) {
        t.ids.push_back(row[0].ToInt32());
      }
      if (!dryRun && !t.ids.empty()) {
        session->Execute("DELETE FROM " + t.table + " WHERE ID IN (SELECT e.ID" + unused + ")");
      }
      result.tables.push_back(std::move(t));
    }
    if (dryRun) session->Rollback();
    else session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
  return result;
}

}  // namespace tsa
