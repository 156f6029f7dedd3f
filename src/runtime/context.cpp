#include "runtime/context.h"

namespace tsa {

namespace {
thread_local ObjectContext* t_current = nullptr;
}

ObjectContext::ObjectContext(bool readOnly) : readOnly_(readOnly) {}

ObjectContext::~ObjectContext() {
  // A context that was never ended (should not happen) rolls back.
  if (!sessions_.empty() || !enlisted_.empty()) Rollback();
}

std::shared_ptr<Component> ObjectContext::CreateInstance(std::string_view progId) {
  return Registry::Instance().Create(progId);
}

std::shared_ptr<TransactionalSession> ObjectContext::Join(
    const std::string& uri, const std::function<std::shared_ptr<TransactionalSession>()>& open) {
  for (auto& [u, s] : sessions_)
    if (u == uri) return s;
  auto session = open();
  sessions_.emplace_back(uri, session);
  return session;
}

std::shared_ptr<Enlistment> ObjectContext::Enlist(const std::string& key, std::shared_ptr<Enlistment> resource) {
  if (auto existing = Enlisted(key)) return existing;
  enlisted_.emplace_back(key, resource);
  return resource;
}

std::shared_ptr<Enlistment> ObjectContext::Enlisted(const std::string& key) const {
  for (const auto& [k, r] : enlisted_)
    if (k == key) return r;
  return nullptr;
}

void ObjectContext::Commit() {
  size_t committed = 0;
  try {
    for (auto& [key, resource] : enlisted_) resource->Prepare(*this);
    // With more than one database the commits are not atomic together; the
    // engine writes all of its own rows (and the document intents) through
    // the service database, the first a call joins, as it locks its trees
    // there before anything else. It commits last: a failing commit of any
    // other database (the catalog, only read) still undoes everything.
    for (auto it = sessions_.rbegin(); it != sessions_.rend(); ++it, ++committed) it->second->Commit();
  } catch (...) {
    // Once one database committed, what it holds may name the enlisted
    // resources' staged work: they keep it for recovery to decide.
    bool inDoubt = committed > 0;
    for (auto& [uri, session] : sessions_) inDoubt = inDoubt || session->CommitInDoubt();
    End(inDoubt);
    throw;
  }
  auto enlisted = std::move(enlisted_);
  enlisted_.clear();
  sessions_.clear();
  for (auto& [key, resource] : enlisted) resource->Committed();
}

void ObjectContext::Rollback() noexcept { End(false); }

void ObjectContext::End(bool inDoubt) noexcept {
  for (auto& [uri, session] : sessions_) session->Rollback();
  sessions_.clear();
  auto enlisted = std::move(enlisted_);
  enlisted_.clear();
  for (auto& [key, resource] : enlisted) {
    if (inDoubt) {
      resource->InDoubt();
    } else {
      resource->RolledBack();
    }
  }
}

ObjectContext* GetObjectContext() { return t_current; }

void CompleteTransaction() {
  if (auto* c = GetObjectContext()) c->SetComplete();
}

void AbortTransaction() {
  if (auto* c = GetObjectContext()) c->SetAbort();
}

TransactionScope::TransactionScope(bool readOnly) : previous_(t_current) {
  if (!t_current) {
    owned_ = std::make_unique<ObjectContext>(readOnly);
    t_current = owned_.get();
  }
}

TransactionScope::~TransactionScope() {
  if (!ended_) End(true);
}

void TransactionScope::End(bool failed) {
  if (ended_) return;
  ended_ = true;
  if (!owned_) return;
  t_current = previous_;
  auto context = std::move(owned_);
  Vote vote = context->LastVote();
  bool commit = vote == Vote::Complete || (vote == Vote::None && !failed);
  if (commit) {
    context->Commit();
  } else {
    context->Rollback();
  }
}

}  // namespace tsa
