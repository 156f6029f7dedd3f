#include "platform/files/database_store.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "platform/db/session.h"
#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/registry.h"
#include "runtime/settings.h"

namespace fs = std::filesystem;

namespace tsa {

namespace {

constexpr const char* kSource = "Korventa.DocumentStore";
constexpr const char* kEnlistKey = "Korventa.DocumentStore.Database";

int64_t NewStamp() {
  thread_local std::mt19937_64 engine{[] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
  }()};
  return static_cast<int64_t>(engine() >> 1);
}

void LogQuietly(const std::string& text) noexcept {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(kSource, text, 0);
  } catch (...) {
  }
}

std::string NormalizedFile(const std::string& path) {
  CheckDocumentPath(path);
  std::string n = fs::path(path).lexically_normal().string();
  if (fs::path(n).filename().empty() || n == "/") {
    Raise(err::InvalidFileName, kSource, "Invalid document path '" + path + "': it names a folder, not a file");
  }
  return n;
}

[[noreturn]] void RaiseNotFound(const std::string& path) {
  Raise(err::FileNotFound, kSource, "File not found: the document '" + path +
                                             "' is not in the database (documents kept in files until now are "
                                             "copied in once with `tsauthor documents import`)");
}

void CheckStorable(const std::string& path, const std::string& contents) {
  if (std::memchr(contents.data(), '\0', contents.size()) != nullptr) {
    Raise(docerr::NotStorable, kSource,
          "The document '" + path + "' cannot be kept in the database: it holds a NUL character");
  }
}

// A document's row as the database has it now: no row at all, a deleted
// document (no content), or a current one.
struct RowState {
  bool row = false;
  bool live = false;
  int64_t version = 0;
  int64_t size = 0;
  int64_t stamp = 0;
  FileIdentity Identity() const { return {0, static_cast<uint64_t>(version), size, stamp}; }
};

RowState ReadState(db::Session& session, const std::string& key) {
  const db::Dialect& d = session.dialect();
  db::ResultSet rs = session.Query(
      "SELECT VERSION, SIZE, STAMP, CASE WHEN CONTENT IS NULL THEN 0 ELSE 1 END FROM DOCUMENTS WHERE PATH = " +
          d.Placeholder(1),
      {db::Value(key)});
  RowState s;
  if (rs.rows.empty()) return s;
  const auto& r = rs.rows.front();
  s.row = true;
  s.version = r[0].ToInt64();
  s.size = r[1].ToInt64();
  s.stamp = r[2].ToInt64();
  s.live = r[3].ToInt64() != 0;
  return s;
}

// The content and state of a current document; raises 53 when there is none.
std::string ReadContent(db::Session& session, const std::string& key, const std::string& path, RowState* state) {
  const db::Dialect& d = session.dialect();
  db::ResultSet rs = session.Query(
      "SELECT VERSION, SIZE, STAMP, CONTENT FROM DOCUMENTS WHERE PATH = " + d.Placeholder(1), {db::Value(key)});
  if (rs.rows.empty() || rs.rows.front()[3].IsNull()) RaiseNotFound(path);
  std::vector<db::Value>& r = rs.rows.front();
  if (state) {
    state->row = state->live = true;
    state->version = r[0].ToInt64();
    state->size = r[1].ToInt64();
    state->stamp = r[2].ToInt64();
  }
  return r[3].ReleaseText();
}

// PostgreSQL compresses a large value before it stores it; its default
// (pglz) takes most of the time of writing a large document, lz4 a quarter
// of it. The schema sets lz4 on the content column where the server offers
// it; where it could not (a role that may not alter the table), each write
// asks for lz4 itself. Servers without lz4 keep the default. Asked once per
// database and schema (the URI).
enum class Lz4 { ColumnHasIt, AskEachWrite, NotOffered };

std::mutex g_lz4Mutex;
std::map<std::string, Lz4> g_lz4;

void PreferFastCompression(db::Session& session, const std::string& uri) {
  if (session.dialect().Kind() != db::DialectKind::PostgreSQL) return;
  Lz4 state;
  {
    std::lock_guard lock(g_lz4Mutex);
    auto it = g_lz4.find(uri);
    if (it == g_lz4.end()) {
      const bool offered =
          !session
               .Query("SELECT 1 FROM pg_settings WHERE name = 'default_toast_compression' AND 'lz4' = ANY(enumvals)")
               .rows.empty();
      it = g_lz4.emplace(uri, !offered                                       ? Lz4::NotOffered
                              : DocumentContentCompression(session) == "l" ? Lz4::ColumnHasIt
                                                                             : Lz4::AskEachWrite)
               .first;
    }
    state = it->second;
  }
  if (state == Lz4::AskEachWrite) session.Execute("SET LOCAL default_toast_compression = 'lz4'");
}

constexpr size_t kLargeDocument = size_t{64} << 10;

// Files written through, by path: the version last written, so that of
// two commits of one path the older never lands over the newer.
std::mutex g_writeThroughMutex;
std::map<std::string, int64_t> g_writtenThrough;

void WriteThrough(const std::string& path, int64_t version, const std::string* contents) noexcept {
  try {
    std::lock_guard lock(g_writeThroughMutex);
    auto it = g_writtenThrough.find(path);
    if (it != g_writtenThrough.end() && it->second >= version) return;
    if (contents) {
      WriteDocumentFileNow(path, *contents);
    } else {
      DeleteDocumentFileNow(path);
    }
    g_writtenThrough[path] = version;
  } catch (...) {
    ErrorInfo e = CurrentError();
    LogQuietly("The file copy of the document '" + path + "' could not be written: " + e.description + "(" +
               std::to_string(e.number) + "). The database holds the document; `tsauthor documents export` writes "
               "the files again.");
  }
}

// The changes of one transaction to documents in the database.
class Changes : public Enlistment {
 public:
  struct Entry {
    std::string key;
    RowState base;         // the row as this transaction first saw it
    bool changed = false;
    bool present = false;  // changed: saved (true) or deleted (false)
    std::string content;
    int64_t stamp = 0;
  };

  Entry* Find(const std::string& path) {
    auto it = entries_.find(path);
    return it == entries_.end() ? nullptr : &it->second;
  }

  // The entry of a path, its base read from the database on first use.
  Entry& Slot(db::Session& session, const std::string& path, const std::string& key) {
    if (Entry* e = Find(path)) return *e;
    Entry e;
    e.key = key;
    e.base = ReadState(session, key);
    order_.push_back(path);
    return entries_.emplace(path, std::move(e)).first->second;
  }

  // Remembers the state a read found, when it is the first for the path.
  void Seen(const std::string& path, const std::string& key, const RowState& state) {
    if (Find(path)) return;
    Entry e;
    e.key = key;
    e.base = state;
    order_.push_back(path);
    entries_.emplace(path, std::move(e));
  }

  void Prepare(ObjectContext& context) override {
    bool any = false;
    for (const auto& [path, e] : entries_) any = any || e.changed;
    if (!any) return;
    auto session = db::ContextSession(context, CurrentSettings().HelvixUri());
    const db::Dialect& d = session->dialect();
    bool large = false;
    for (const auto& [path, e] : entries_) large = large || (e.changed && e.content.size() >= kLargeDocument);
    if (large) PreferFastCompression(*session, CurrentSettings().HelvixUri());
    const std::string insert = "INSERT INTO DOCUMENTS (PATH, VERSION, SIZE, STAMP, CONTENT) VALUES (" +
                               d.Placeholder(1) + ", 1, " + d.Placeholder(2) + ", " + d.Placeholder(3) + ", " +
                               d.Placeholder(4) + ") ON CONFLICT (PATH) DO NOTHING";
    const std::string update = "UPDATE DOCUMENTS SET VERSION = " + d.Placeholder(1) + ", SIZE = " +
                               d.Placeholder(2) + ", STAMP = " + d.Placeholder(3) + ", CONTENT = " +
                               d.Placeholder(4) + " WHERE PATH = " + d.Placeholder(5) + " AND VERSION = " +
                               d.Placeholder(6);
    for (const auto& path : order_) {
      Entry& e = entries_.at(path);
      if (!e.changed) continue;
      if (!e.present && !e.base.live) continue;  // saved and deleted again: nothing was there
      const int64_t size = e.present ? static_cast<int64_t>(e.content.size()) : 0;
      // The content is lent to the statement and taken back: a document may
      // be large.
      std::vector<db::Value> args;
      if (!e.base.row) {
        args = {db::Value(e.key), db::Value(size), db::Value(e.stamp), db::Value(nullptr)};
      } else {
        args = {db::Value(e.base.version + 1), db::Value(size), db::Value(e.stamp), db::Value(nullptr),
                db::Value(e.key), db::Value(e.base.version)};
      }
      const size_t at = 3;  // the content's place in both statements
      if (e.present) args[at] = db::Value(std::move(e.content));
      int64_t written = 0;
      try {
        written = session->Execute(e.base.row ? update : insert, args);
      } catch (...) {
        if (e.present) e.content = args[at].ReleaseText();
        throw;
      }
      if (e.present) e.content = args[at].ReleaseText();
      if (written != 1) {
        Raise(docerr::ChangedMeanwhile, kSource,
              "The document '" + path +
                  "' was changed by another call at the same time; nothing was changed, please try again");
      }
    }
  }

  void Committed() noexcept override {
    if (CurrentSettings().documentWriteThrough) {
      for (const auto& path : order_) {
        const Entry& e = entries_.at(path);
        if (!e.changed || (!e.present && !e.base.live)) continue;
        WriteThrough(path, e.base.version + 1, e.present ? &e.content : nullptr);
      }
    }
    Clear();
  }

  void RolledBack() noexcept override { Clear(); }

 private:
  void Clear() noexcept {
    entries_.clear();
    order_.clear();
  }

  std::map<std::string, Entry> entries_;
  std::vector<std::string> order_;  // in order of first use
};

std::shared_ptr<Changes> CurrentChanges(ObjectContext& context) { return context.EnlistedOrNew<Changes>(kEnlistKey); }

std::shared_ptr<db::Session> SessionFor(ObjectContext* context) {
  const std::string uri = CurrentSettings().HelvixUri();
  if (uri.empty()) {
    Raise(err::DbConnectionFailed, kSource, "Documents need the service database: no connection is configured");
  }
  if (context) return db::ContextSession(*context, uri);
  return db::SessionPool::Instance().Acquire(uri);
}

}  // namespace

std::optional<std::string> DocumentKey(const std::string& path) {
  const std::string root = DocumentsRootFolder();
  const std::string p = fs::path(path).lexically_normal().string();
  const std::string prefix = root == "/" ? root : root + "/";
  if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return p.substr(prefix.size());
}

std::optional<std::string> DocumentContentCompression(db::Session& session) {
  const db::ResultSet rs = session.Query(
      "SELECT a.attcompression::text FROM pg_catalog.pg_attribute a"
      " WHERE a.attrelid = to_regclass('documents') AND a.attname = 'content'");
  if (rs.rows.empty()) return std::nullopt;
  return rs.rows[0][0].IsNull() ? std::string() : rs.rows[0][0].ToText();
}

bool DatabaseDocumentStore::Exists(const std::string& path) {
  CheckDocumentPath(path);
  if (fs::path(path).lexically_normal().filename().empty()) return false;  // a folder
  const std::string p = NormalizedFile(path);
  auto key = DocumentKey(p);
  if (!key) return files_.Exists(path);
  ObjectContext* context = GetObjectContext();
  auto session = SessionFor(context);
  if (!context) return ReadState(*session, *key).live;
  auto changes = CurrentChanges(*context);
  if (Changes::Entry* e = changes->Find(p); e && e->changed) return e->present;
  RowState state = ReadState(*session, *key);
  changes->Seen(p, *key, state);
  return state.live;
}

std::string DatabaseDocumentStore::Load(const std::string& path) {
  std::optional<FileIdentity> identity;
  return LoadIdentified(path, identity);
}

std::string DatabaseDocumentStore::LoadIdentified(const std::string& path, std::optional<FileIdentity>& identity) {
  identity.reset();
  const std::string p = NormalizedFile(path);
  auto key = DocumentKey(p);
  if (!key) return files_.LoadIdentified(path, identity);
  ObjectContext* context = GetObjectContext();
  auto session = SessionFor(context);
  RowState state;
  if (!context) {
    std::string content = ReadContent(*session, *key, p, &state);
    identity = state.Identity();
    return content;
  }
  auto changes = CurrentChanges(*context);
  if (Changes::Entry* e = changes->Find(p); e && e->changed) {
    if (!e->present) Raise(err::FileNotFound, kSource, "File not found: '" + p + "' is deleted in this transaction");
    return e->content;
  }
  std::string content;
  try {
    content = ReadContent(*session, *key, p, &state);
  } catch (const Error&) {
    changes->Seen(p, *key, ReadState(*session, *key));
    throw;
  }
  changes->Seen(p, *key, state);
  identity = state.Identity();
  return content;
}

std::optional<FileIdentity> DatabaseDocumentStore::CurrentIdentity(const std::string& path) {
  const std::string p = NormalizedFile(path);
  auto key = DocumentKey(p);
  if (!key) return files_.CurrentIdentity(path);
  ObjectContext* context = GetObjectContext();
  auto session = SessionFor(context);
  RowState state;
  if (context) {
    auto changes = CurrentChanges(*context);
    if (Changes::Entry* e = changes->Find(p); e && e->changed) return std::nullopt;
    state = ReadState(*session, *key);
    changes->Seen(p, *key, state);
  } else {
    state = ReadState(*session, *key);
  }
  if (!state.live) return std::nullopt;
  return state.Identity();
}

std::optional<FileIdentity> DatabaseDocumentStore::StagedIdentity(const std::string& path) {
  const std::string p = NormalizedFile(path);
  if (!DocumentKey(p)) return files_.StagedIdentity(path);
  ObjectContext* context = GetObjectContext();
  if (!context) return std::nullopt;
  auto changes = std::dynamic_pointer_cast<Changes>(context->Enlisted(kEnlistKey));
  if (!changes) return std::nullopt;
  Changes::Entry* e = changes->Find(p);
  if (!e || !e->changed || !e->present) return std::nullopt;
  return FileIdentity{0, static_cast<uint64_t>(e->base.version + 1), static_cast<int64_t>(e->content.size()),
                      e->stamp};
}

void DatabaseDocumentStore::Save(const std::string& path, const std::string& contents) {
  const std::string p = NormalizedFile(path);
  auto key = DocumentKey(p);
  if (!key) return files_.Save(path, contents);
  CheckStorable(p, contents);
  ObjectContext* context = GetObjectContext();
  auto session = SessionFor(context);
  if (context) {
    Changes::Entry& e = CurrentChanges(*context)->Slot(*session, p, *key);
    e.changed = true;
    e.present = true;
    e.content = contents;
    e.stamp = NewStamp();
    return;
  }
  const db::Dialect& d = session->dialect();
  const int64_t stamp = NewStamp();
  session->Execute("INSERT INTO DOCUMENTS (PATH, VERSION, SIZE, STAMP, CONTENT) VALUES (" + d.Placeholder(1) + ", 1, " +
                       d.Placeholder(2) + ", " + d.Placeholder(3) + ", " + d.Placeholder(4) +
                       ") ON CONFLICT (PATH) DO UPDATE SET VERSION = DOCUMENTS.VERSION + 1, SIZE = excluded.SIZE,"
                       " STAMP = excluded.STAMP, CONTENT = excluded.CONTENT",
                   {db::Value(*key), db::Value(static_cast<int64_t>(contents.size())), db::Value(stamp),
                    db::Value(contents)});
  if (CurrentSettings().documentWriteThrough) {
    WriteThrough(p, ReadState(*session, *key).version, &contents);
  }
}

void DatabaseDocumentStore::Delete(const std::string& path) {
  const std::string p = NormalizedFile(path);
  auto key = DocumentKey(p);
  if (!key) return files_.Delete(path);
  ObjectContext* context = GetObjectContext();
  auto session = SessionFor(context);
  if (context) {
    auto changes = CurrentChanges(*context);
    Changes::Entry& e = changes->Slot(*session, p, *key);
    const bool exists = e.changed ? e.present : ReadState(*session, *key).live;
    if (!exists) Raise(err::FileNotFound, kSource, "File not found: '" + p + "'");
    e.changed = true;
    e.present = false;
    e.content.clear();
    e.stamp = NewStamp();
    return;
  }
  const db::Dialect& d = session->dialect();
  int64_t n = session->Execute("UPDATE DOCUMENTS SET VERSION = VERSION + 1, SIZE = 0, STAMP = " + d.Placeholder(1) +
                                   ", CONTENT = NULL WHERE PATH = " + d.Placeholder(2) + " AND CONTENT IS NOT NULL",
                               {db::Value(NewStamp()), db::Value(*key)});
  if (n == 0) Raise(err::FileNotFound, kSource, "File not found: '" + p + "'");
  if (CurrentSettings().documentWriteThrough) WriteThrough(p, ReadState(*session, *key).version, nullptr);
}

void DatabaseDocumentStore::Copy(const std::string& source, const std::string& target) {
  const std::string s = NormalizedFile(source);
  const std::string t = NormalizedFile(target);
  std::string contents = Load(s);
  if (s == t) return;
  Save(t, contents);
}

void DatabaseDocumentStore::Move(const std::string& source, const std::string& target) {
  const std::string s = NormalizedFile(source);
  const std::string t = NormalizedFile(target);
  if (!Exists(s)) Raise(err::FileNotFound, kSource, "File not found: '" + s + "'");
  if (s == t) return;
  std::string contents = Load(s);
  Save(t, contents);
  Delete(s);
}

}  // namespace tsa
