#include "versions/version_store.h"

#include <chrono>
#include <ctime>

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

// Runs `body` with the context's connection to the service database.
template <typename Body>
auto WithSession(Body body) {
  ConnectionPtr connection = GetHelvixConnection();
  try {
    if constexpr (std::is_void_v<decltype(body(connection->session(), connection->dialect()))>) {
      body(connection->session(), connection->dialect());
      CloseConnection(connection);
    } else {
      auto result = body(connection->session(), connection->dialect());
      CloseConnection(connection);
      return result;
    }
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
}

int32_t HighestVersion(db::Session& s, const db::Dialect& d, int32_t treeType, int32_t id) {
  auto r = s.Query("SELECT MAX(VERSION) FROM TREEVERSIONS WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " +
                       d.Placeholder(2),
                   {db::Value(treeType), db::Value(id)});
  return r.rows.empty() || r.rows[0][0].IsNull() ? 0 : r.rows[0][0].ToInt32();
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
}

}  // namespace

void KeepUnversionedCopy(int32_t treeType, int32_t id) {
  if (CurrentSettings().versionsKept == 0) return;
  const bool versioned = WithSession([&](db::Session& s, const db::Dialect& d) {
    return HighestVersion(s, d, treeType, id) > 0;
  });
  if (versioned) return;
  std::optional<TreeCopy> published = ReadCopy(treeType, id, false);
  if (!published) return;
  WithSession([&](db::Session& s, const db::Dialect& d) { Insert(s, d, treeType, id, 1, "", "", {}, *published); });
}

void RecordPublication(int32_t treeType, int32_t id, const std::string& document, const PublicationNote& note) {
  if (CurrentSettings().versionsKept == 0) return;
  TreeCopy copy{ReadCopyRows(treeType, id, false), document};
  const Caller* caller = CurrentCaller();
  const std::string by = caller ? caller->ActingLogin() : std::string();
  WithSession([&](db::Session& s, const db::Dialect& d) {
    const int32_t version = HighestVersion(s, d, treeType, id) + 1;
    Insert(s, d, treeType, id, version, by, UtcNow(), note, copy);
    const int32_t oldestKept = version - CurrentSettings().versionsKept + 1;
    if (oldestKept > 1) {
      s.Execute("DELETE FROM TREEVERSIONS WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " + d.Placeholder(2) +
                    " AND VERSION < " + d.Placeholder(3),
                {db::Value(treeType), db::Value(id), db::Value(oldestKept)});
    }
  });
}

std::vector<VersionInfo> ListVersions(int32_t treeType, int32_t id) {
  return WithSession([&](db::Session& s, const db::Dialect& d) {
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
  auto r = WithSession([&](db::Session& s, const db::Dialect& d) {
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
  WithSession([&](db::Session& s, const db::Dialect& d) {
    s.Execute("DELETE FROM TREEVERSIONS WHERE TREETYPE = " + d.Placeholder(1) + " AND ID = " + d.Placeholder(2),
              {db::Value(treeType), db::Value(id)});
  });
}

}  // namespace tsa::versions
