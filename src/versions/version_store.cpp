#include "versions/version_store.h"

#include <chrono>
#include <ctime>
#include <set>
#include <utility>

#include "components/connections.h"
#include "platform/db/connection.h"
#include "runtime/caller.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "versions/compression.h"
#include "versions/version_errors.h"

namespace tsa::versions {

namespace {

std::string UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

int32_t HighestVersion(db::Session& s, const db::Dialect& d, int32_t treeType, int32_t id) {
  auto r = s.Query("SELECT MAX(VERSION) FROM TREEVERSIONS WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " +
                       d.Placeholder(2),
                   {db::Value(treeType), db::Value(id)});
  return r.rows.empty() || r.rows[0][0].IsNull() ? 0 : r.rows[0][0].ToInt32();
}

// Records the entities a version shows in TREEVERSIONENTITIES, with the
// row of type 0 that says the version is indexed.
void IndexEntities(db::Session& s, const db::Dialect& d, int32_t treeType, int32_t id, int32_t version,
                   const std::vector<NodeRecord>& rows) {
  std::set<std::pair<int32_t, int32_t>> shown{{0, 0}};
  for (const NodeRecord& row : rows) {
    if (row.repId > 0) shown.emplace(row.repType, row.repId);
  }
  constexpr size_t kPerStatement = 100;  // 500 parameters, well within both databases' limits
  auto next = shown.begin();
  while (next != shown.end()) {
    std::string sql = "INSERT INTO TREEVERSIONENTITIES (TREETYPE, ID, VERSION, REPTYPE, REPID) VALUES ";
    std::vector<db::Value> params;
    for (size_t n = 0; n < kPerStatement && next != shown.end(); ++n, ++next) {
      const int base = static_cast<int>(params.size());
      sql += (n ? ", (" : "(");
      for (int i = 1; i <= 5; ++i) sql += (i > 1 ? ", " : "") + d.Placeholder(base + i);
      sql += ")";
      for (int32_t v : {treeType, id, version, next->first, next->second}) params.emplace_back(v);
    }
    s.Execute(sql, params);
  }
}

void Insert(db::Session& s, const db::Dialect& d, int32_t treeType, int32_t id, int32_t version,
            const std::string& by, const std::string& at, const PublicationNote& note, const TreeCopy& copy) {
  std::string sql =
      "INSERT INTO TREEVERSIONS (TREETYPE, ID, VERSION, PUBLISHEDBY, PUBLISHEDAT, COMMENT, FORCED, NODES, DOCUMENT)"
      " VALUES (";
  for (int i = 1; i <= 9; ++i) sql += (i > 1 ? ", " : "") + d.Placeholder(i);
  sql += ")";
  s.Execute(sql, {db::Value(treeType), db::Value(id), db::Value(version), db::Value(by), db::Value(at),
                  db::Value(note.comment), db::Value(note.forced ? 1 : 0), db::Value(Pack(EncodeRows(copy.rows))),
                  db::Value(Pack(copy.document))});
  IndexEntities(s, d, treeType, id, version, copy.rows);
}

}  // namespace

void KeepUnversionedCopy(int32_t treeType, int32_t id) {
  if (CurrentSettings().versionsKept == 0) return;
  const bool versioned = WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    return HighestVersion(s, d, treeType, id) > 0;
  });
  if (versioned) return;
  std::optional<TreeCopy> published = ReadCopy(treeType, id, false);
  if (!published) return;
  WithHelvixSession([&](db::Session& s, const db::Dialect& d) { Insert(s, d, treeType, id, 1, "", "", {}, *published); });
}

void RecordPublication(int32_t treeType, int32_t id, const std::string& document, const PublicationNote& note) {
  if (CurrentSettings().versionsKept == 0) return;
  TreeCopy copy{ReadCopyRows(treeType, id, false), document};
  const Caller* caller = CurrentCaller();
  const std::string by = caller ? caller->ActingLogin() : std::string();
  WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    const int32_t version = HighestVersion(s, d, treeType, id) + 1;
    Insert(s, d, treeType, id, version, by, UtcNow(), note, copy);
    const int32_t oldestKept = version - CurrentSettings().versionsKept + 1;
    if (oldestKept > 1) {
      for (const char* table : {"TREEVERSIONS", "TREEVERSIONENTITIES"}) {
        s.Execute(std::string("DELETE FROM ") + table + " WHERE TREETYPE = " + d.Placeholder(1) +
                      " AND ID = " + d.Placeholder(2) + " AND VERSION < " + d.Placeholder(3),
                  {db::Value(treeType), db::Value(id), db::Value(oldestKept)});
      }
    }
  });
}

std::vector<VersionInfo> ListVersions(int32_t treeType, int32_t id) {
  return WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    auto r = s.Query("SELECT VERSION, PUBLISHEDBY, PUBLISHEDAT, COMMENT, FORCED FROM TREEVERSIONS WHERE TREETYPE = " +
                         d.Placeholder(1) + " AND ID = " + d.Placeholder(2) + " ORDER BY VERSION DESC",
                     {db::Value(treeType), db::Value(id)});
    std::vector<VersionInfo> out;
    for (const auto& row : r.rows) {
      out.push_back({row[0].ToInt32(), row[1].ToText(), row[2].ToText(), row[3].ToText(), row[4].ToInt32() != 0});
    }
    return out;
  });
}

TreeCopy LoadVersion(int32_t treeType, int32_t id, int32_t version) {
  auto r = WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    return s.Query("SELECT NODES, DOCUMENT FROM TREEVERSIONS WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " +
                       d.Placeholder(2) + " AND VERSION = " + d.Placeholder(3),
                   {db::Value(treeType), db::Value(id), db::Value(version)});
  });
  if (r.rows.empty()) {
    Raise(err::VersionNotFound, {},
          "Tree " + std::to_string(id) + " of tree type " + std::to_string(treeType) + " has no version " +
              std::to_string(version) + " (it was never published that often, or the version was pruned)");
  }
  return {DecodeRows(Unpack(r.rows[0][0].ToText())), Unpack(r.rows[0][1].ToText())};
}

void ForgetVersions(int32_t treeType, int32_t id) {
  WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    for (const char* table : {"TREEVERSIONS", "TREEVERSIONENTITIES"}) {
      s.Execute(std::string("DELETE FROM ") + table + " WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " +
                    d.Placeholder(2),
                {db::Value(treeType), db::Value(id)});
    }
  });
}

int IndexUnindexedVersions(db::Session& s) {
  const db::Dialect& d = s.dialect();
  auto r = s.Query(
      "SELECT t.TREETYPE, t.ID, t.VERSION, t.NODES FROM TREEVERSIONS t WHERE NOT EXISTS (SELECT 1 FROM"
      " TREEVERSIONENTITIES v WHERE v.TREETYPE = t.TREETYPE AND v.ID = t.ID AND v.VERSION = t.VERSION AND"
      " v.REPTYPE = 0)");
  for (const auto& row : r.rows) {
    IndexEntities(s, d, row[0].ToInt32(), row[1].ToInt32(), row[2].ToInt32(), DecodeRows(Unpack(row[3].ToText())));
  }
  return static_cast<int>(r.rows.size());
}

UnusedEntities RemoveUnusedEntities(bool dryRun, int waitSeconds) {
  return tsa::RemoveUnusedEntities(dryRun, [](db::Session& s) { IndexUnindexedVersions(s); }, waitSeconds);
}

}  // namespace tsa::versions
