// The transaction context ("object context") of the current thread.
//
// A transactional call joins its caller's context or opens a new root one.
// Inside a context every database is reached through one transaction, and
// other resources (document files) enlist to learn of commit or abort. The
// root decides when it ends: last vote abort rolls back; last vote complete,
// or no vote at all on success, commits; a root call that ends in an error
// without having voted rolls back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/registry.h"

namespace tsa {

class ObjectContext;

// A database transaction taking part in a context. The database layer's
// sessions implement it; the context only ends it, so it needs nothing of
// the database layer but this.
class TransactionalSession {
 public:
  virtual ~TransactionalSession() = default;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // After Commit failed: whether the database may have committed all the
  // same (the connection went while the commit was under way, so its
  // answer never came).
  virtual bool CommitInDoubt() const noexcept { return false; }
};

// A resource other than a database that takes part in a transaction.
class Enlistment {
 public:
  virtual ~Enlistment() = default;
  // Before the databases commit: make everything durable that the commit
  // will publish. May write through the context's database sessions; a
  // failure here rolls the whole context back.
  virtual void Prepare(ObjectContext& context) { (void)context; }
  // After the databases committed.
  virtual void Committed() noexcept {}
  // After the databases rolled back (or when preparing failed).
  virtual void RolledBack() noexcept {}
  // After a commit that may or may not have been made (see
  // TransactionalSession::CommitInDoubt): keep what is needed to finish
  // the commit should it have been made. By default as after a rollback.
  virtual void InDoubt() noexcept { RolledBack(); }
};

enum class Vote { None, Complete, Abort };

class ObjectContext {
 public:
  // A read-only context begins its database transactions as reads (they
  // never wait for writers) and takes no key locks.
  explicit ObjectContext(bool readOnly = false);
  ~ObjectContext();
  ObjectContext(const ObjectContext&) = delete;
  ObjectContext& operator=(const ObjectContext&) = delete;

  void SetComplete() { vote_ = Vote::Complete; }
  void SetAbort() { vote_ = Vote::Abort; }
  Vote LastVote() const { return vote_; }
  bool ReadOnly() const { return readOnly_; }

  // Creates a component within this context (same as by ProgID here).
  std::shared_ptr<Component> CreateInstance(std::string_view progId);

  // The context's session for a database: the one joined before under that
  // URI, else the one `open` returns (with its transaction begun), kept until
  // the context ends. The database layer wraps this (db::ContextSession).
  std::shared_ptr<TransactionalSession> Join(
      const std::string& uri, const std::function<std::shared_ptr<TransactionalSession>()>& open);

  // Enlists a resource under a key; returns the one already enlisted under
  // that key when there is one.
  std::shared_ptr<Enlistment> Enlist(const std::string& key, std::shared_ptr<Enlistment> resource);
  std::shared_ptr<Enlistment> Enlisted(const std::string& key) const;
  // The resource of type T enlisted under `key`, made and enlisted on first
  // need.
  template <class T>
  std::shared_ptr<T> EnlistedOrNew(const std::string& key) {
    if (auto existing = std::dynamic_pointer_cast<T>(Enlisted(key))) return existing;
    auto made = std::make_shared<T>();
    Enlist(key, made);
    return made;
  }

  // Ends the context: commits or rolls back. Called by the root scope.
  void Commit();
  void Rollback() noexcept;

 private:
  // Rolls back; the enlisted resources learn of it as a rollback, or as a
  // commit in doubt.
  void End(bool inDoubt) noexcept;

  Vote vote_ = Vote::None;
  bool readOnly_ = false;
  std::vector<std::pair<std::string, std::shared_ptr<TransactionalSession>>> sessions_;
  std::vector<std::pair<std::string, std::shared_ptr<Enlistment>>> enlisted_;
};

// The current thread's context, or null outside any.
ObjectContext* GetObjectContext();

// Votes on the current context; outside one they do nothing.
void CompleteTransaction();
void AbortTransaction();

// Joins the current context or opens a root one for the lifetime of the
// scope. The root's End() commits or rolls back according to the votes.
class TransactionScope {
 public:
  // `readOnly`: a root context opened here only reads (a joined context
  // stays what it is).
  explicit TransactionScope(bool readOnly = false);
  ~TransactionScope();
  TransactionScope(const TransactionScope&) = delete;
  TransactionScope& operator=(const TransactionScope&) = delete;

  bool IsRoot() const { return owned_ != nullptr; }
  // Ends the scope; `failed` says whether the call ends in an error.
  // For the root: commits or rolls back (a failing commit raises).
  void End(bool failed);

 private:
  std::unique_ptr<ObjectContext> owned_;
  ObjectContext* previous_ = nullptr;
  bool ended_ = false;
};

// Runs `body` in `scope`, ending the scope with the outcome.
template <class Body>
auto RunInScope(TransactionScope& scope, Body&& body) -> decltype(body()) {
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      scope.End(false);
    } else {
      auto result = body();
      scope.End(false);
      return result;
    }
  } catch (...) {
    scope.End(true);
    throw;
  }
}

// Runs `body` as one transactional call.
template <class Body>
auto RunTransactional(Body&& body) -> decltype(body()) {
  TransactionScope scope;
  return RunInScope(scope, std::forward<Body>(body));
}

// Runs `body` as one transaction that only reads: one consistent view of
// the rows, no write lock and no key lock, so it never waits for writers.
template <class Body>
auto RunReadOnly(Body&& body) -> decltype(body()) {
  TransactionScope scope(true);
  return RunInScope(scope, std::forward<Body>(body));
}

// Creates a platform component within the current context when there is
// one, else directly by ProgID.
template <class T>
std::shared_ptr<T> CreateInContext(std::string_view progId) {
  if (auto* context = GetObjectContext()) {
    auto instance = std::dynamic_pointer_cast<T>(context->CreateInstance(progId));
    if (!instance) Raise(err::TypeMismatch, {}, "The component '" + std::string(progId) + "' does not support the requested interface");
    return instance;
  }
  return CreateObject<T>(progId);
}

}  // namespace tsa
