#include "platform/db/session.h"

#include <map>
#include <mutex>

#include "platform/db/pg_session.h"
#include "platform/db/sqlite_session.h"
#include "runtime/error.h"

namespace tsa::db {

namespace {

struct Backends {
  std::mutex mutex;
  std::map<std::string, SessionFactory, std::less<>> factories;
};

Backends& TheBackends() {
  static Backends backends;
  return backends;
}

// Adds a backend unless one was registered under its scheme already (a
// test's substitute stays in force).
void AddBuiltin(std::string_view scheme, SessionFactory factory) {
  auto& b = TheBackends();
  std::lock_guard lock(b.mutex);
  b.factories.try_emplace(std::string(scheme), std::move(factory));
}

// The backends this build knows. Every built-in backend is added here, and
// only here.
void RegisterBuiltinBackends() {
  AddBuiltin("sqlite", [](const std::string& uri) { return OpenSqliteSession(uri); });
  AddBuiltin("postgresql", [](const std::string& uri) { return OpenPgSession(uri); });
  AddBuiltin("postgres", [](const std::string& uri) { return OpenPgSession(uri); });
}

void EnsureBuiltinBackends() {
  static std::once_flag once;
  std::call_once(once, RegisterBuiltinBackends);
}

std::string SchemeOf(std::string_view uri) {
  auto colon = uri.find(':');
  std::string scheme(uri.substr(0, colon == std::string_view::npos ? 0 : colon));
  for (char& c : scheme)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return scheme;
}

[[noreturn]] void RaiseUnknownScheme(const std::string& scheme) {
  // Only the scheme is named: the rest of a URI may hold a password.
  Raise(err::DbConnectionFailed, {},
        scheme.empty() ? std::string("The connection URI names no database backend")
                       : "No database backend is known for the connection URI scheme '" + scheme + "'");
}

}  // namespace

void RegisterBackend(std::string_view scheme, SessionFactory factory) {
  auto& b = TheBackends();
  std::lock_guard lock(b.mutex);
  b.factories.insert_or_assign(std::string(scheme), std::move(factory));
}

std::unique_ptr<Session> OpenSession(const std::string& uri) {
  EnsureBuiltinBackends();
  std::string scheme = SchemeOf(uri);
  SessionFactory factory;
  {
    auto& b = TheBackends();
    std::lock_guard lock(b.mutex);
    auto it = b.factories.find(scheme);
    if (it == b.factories.end()) RaiseUnknownScheme(scheme);
    factory = it->second;
  }
  auto session = factory(uri);
  if (!session) Raise(err::DbConnectionFailed, {}, "The database backend '" + scheme + "' opened no session");
  return session;
}

const Dialect& DialectFor(const std::string& uri) {
  std::string scheme = SchemeOf(uri);
  if (scheme == "sqlite") return kSQLite;
  if (scheme == "postgresql" || scheme == "postgres") return kPostgreSQL;
  RaiseUnknownScheme(scheme);
}

// --- pool ---

struct SessionPool::State {
  mutable std::mutex mutex;
  std::map<std::string, std::vector<std::unique_ptr<Session>>, std::less<>> idle;

  // Takes back a released session when it can serve again.
  void Return(const std::string& uri, std::unique_ptr<Session> session) noexcept {
    try {
      if (session->InTransaction()) session->Rollback();
      // Whether it can still serve is asked when it is taken again.
      if (session->InTransaction()) return;  // closed on leaving
      std::lock_guard lock(mutex);
      auto& list = idle[uri];
      if (list.size() >= kMaxIdlePerUri) return;  // closed on leaving, after the lock
      list.push_back(std::move(session));
    } catch (...) {
      // A session that cannot even tell its state is closed.
    }
  }
};

SessionPool::SessionPool() : state_(std::make_shared<State>()) {}

SessionPool& SessionPool::Instance() {
  static SessionPool pool;
  return pool;
}

std::shared_ptr<Session> SessionPool::Acquire(const std::string& uri) {
  std::unique_ptr<Session> session;
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      auto it = state_->idle.find(uri);
      if (it == state_->idle.end() || it->second.empty()) break;
      session = std::move(it->second.back());
      it->second.pop_back();
    }
    if (session->Healthy()) break;
    session.reset();  // went stale while idle; try the next one
  }
  if (!session) session = OpenSession(uri);

  // Releasing the handle returns the session to the pool.
  struct GiveBack {
    std::shared_ptr<State> state;
    std::string uri;
    void operator()(Session* s) const noexcept { state->Return(uri, std::unique_ptr<Session>(s)); }
  };
  GiveBack giveBack{state_, uri};
  std::unique_ptr<Session, GiveBack> handle(session.release(), std::move(giveBack));
  return std::shared_ptr<Session>(std::move(handle));
}

void SessionPool::Clear() {
  std::map<std::string, std::vector<std::unique_ptr<Session>>, std::less<>> closing;
  {
    std::lock_guard lock(state_->mutex);
    closing.swap(state_->idle);
  }
  // Closed here, outside the lock.
}

size_t SessionPool::IdleCount(const std::string& uri) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->idle.find(uri);
  return it == state_->idle.end() ? 0 : it->second.size();
}

std::shared_ptr<Session> ContextSession(ObjectContext& context, const std::string& uri) {
  // Every session joined under a URI was opened here, so the cast holds.
  return std::static_pointer_cast<Session>(context.Join(uri, [&]() -> std::shared_ptr<TransactionalSession> {
    auto session = SessionPool::Instance().Acquire(uri);
    if (context.ReadOnly()) {
      session->BeginRead();
    } else {
      session->Begin();
    }
    return session;
  }));
}

void LockKey(ObjectContext& context, const std::string& uri, int32_t space, int32_t key) {
  if (context.ReadOnly()) return;  // readers see a committed state and hold no writer up
  ContextSession(context, uri)->LockKey(space, key);
}

}  // namespace tsa::db
