#include "storage/document_cache.h"

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "runtime/settings.h"

namespace tsa::storage {

namespace {

constexpr const char* kEnlistKey = "tsa.DocumentCache";

size_t CostOf(size_t markupBytes) { return 3 * markupBytes; }

// The kept copies, least recently used last.
class Cache {
 public:
  static Cache& Instance() {
    static Cache cache;
    return cache;
  }

  // Takes the copy kept for `path` when it was parsed from `identity`.
  std::optional<XmlDoc> Take(const std::string& path, const FileIdentity& identity) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(path);
    if (it == index_.end() || !(it->second->identity == identity)) {
      ++stats_.misses;
      if (it != index_.end()) Drop(it->second);  // stale: the file changed
      return std::nullopt;
    }
    ++stats_.hits;
    XmlDoc doc = std::move(*it->second->doc);
    Drop(it->second);
    return doc;
  }

  void Put(const std::string& path, const FileIdentity& identity, XmlDoc doc, size_t cost) {
    const size_t budget = CurrentSettings().documentCacheBytes;
    std::lock_guard lock(mutex_);
    if (auto it = index_.find(path); it != index_.end()) Drop(it->second);
    if (cost > budget) return;
    MakeRoom(cost, budget);
    lru_.push_front(Entry{path, identity, std::move(doc), {}, {}, cost});
    index_[path] = lru_.begin();
    stats_.bytes += cost;
    stats_.entries = lru_.size();
  }

  std::shared_ptr<const std::string> FindRendition(const std::string& key, const std::string& version) {
    std::lock_guard lock(mutex_);
    if (auto it = index_.find(RenditionKey(key)); it != index_.end() && it->second->version == version) {
      lru_.splice(lru_.begin(), lru_, it->second);  // most recently used
      return it->second->bytes;
    }
    return Sent(key, version);
  }

  std::shared_ptr<const std::string> KeepRendition(const std::string& key, const std::string& version,
                                                   std::shared_ptr<const std::string> bytes) {
    const size_t budget = CurrentSettings().documentCacheBytes;
    std::lock_guard lock(mutex_);
    const std::string indexKey = RenditionKey(key);
    if (auto it = index_.find(indexKey); it != index_.end()) {
      // Another reader kept the same version first: everybody shares that copy.
      if (it->second->version == version) return it->second->bytes;
      Drop(it->second);
    }
    if (auto sent = Sent(key, version)) return sent;
    // Remembered while anybody still sends it, kept or not.
    PruneSent();
    sent_[key] = Sending{version, bytes};
    const size_t cost = bytes->size();
    if (cost > budget) return bytes;
    MakeRoom(cost, budget);
    lru_.push_front(Entry{indexKey, {}, std::nullopt, version, bytes, cost});
    index_[indexKey] = lru_.begin();
    stats_.bytes += cost;
    stats_.entries = lru_.size();
    ++stats_.renditions;
    return bytes;
  }

  void ClearRenditions() {
    std::lock_guard lock(mutex_);
    for (auto it = lru_.begin(); it != lru_.end();) {
      auto next = std::next(it);
      if (it->bytes) Drop(it);
      it = next;
    }
    sent_.clear();
  }

  DocumentCacheStats Stats() {
    std::lock_guard lock(mutex_);
    return stats_;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    lru_.clear();
    index_.clear();
    sent_.clear();
    stats_.bytes = 0;
    stats_.entries = 0;
    stats_.renditions = 0;
  }

 private:
  // A parsed document (`doc`) or a rendition (`bytes`).
  struct Entry {
    std::string key;  // the path, or RenditionKey of a rendition's key
    FileIdentity identity;
    std::optional<XmlDoc> doc;
    std::string version;
    std::shared_ptr<const std::string> bytes;
    size_t cost = 0;
  };
  // A rendition handed out, by its key: still found while a reader holds it,
  // after it left the cache.
  struct Sending {
    std::string version;
    std::weak_ptr<const std::string> bytes;
  };

  // Renditions and paths never meet: a path holds no line break.
  static std::string RenditionKey(const std::string& key) { return "\n" + key; }

  std::shared_ptr<const std::string> Sent(const std::string& key, const std::string& version) {
    auto it = sent_.find(key);
    if (it == sent_.end() || it->second.version != version) return nullptr;
    return it->second.bytes.lock();
  }

  // Forgets the renditions nobody holds any more, once there are many.
  void PruneSent() {
    if (sent_.size() < 2 * lru_.size() + 64) return;
    for (auto it = sent_.begin(); it != sent_.end();) it = it->second.bytes.expired() ? sent_.erase(it) : std::next(it);
  }

  void MakeRoom(size_t cost, size_t budget) {
    while (stats_.bytes + cost > budget && !lru_.empty()) {
      Drop(std::prev(lru_.end()));
      ++stats_.evictions;
    }
  }

  void Drop(std::list<Entry>::iterator it) {
    stats_.bytes -= it->cost;
    if (it->bytes) --stats_.renditions;
    index_.erase(it->key);
    lru_.erase(it);
    stats_.entries = lru_.size();
  }

  std::mutex mutex_;
  std::list<Entry> lru_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  std::unordered_map<std::string, Sending> sent_;
  DocumentCacheStats stats_;
};

// The documents one transaction loaded or saved, returned to the cache when
// it ends.
class Lent : public Enlistment {
 public:
  struct Record {
    XmlDoc doc;
    uint64_t generation = 0;  // the document as it was loaded or saved
    FileIdentity identity;    // of the file it was loaded from, or of the staged file
    size_t cost = 0;
    bool saved = false;
  };

  void Loaded(const std::string& path, const XmlDoc& doc, const FileIdentity& identity, size_t cost) {
    if (records_.count(path)) return;  // the first copy of the transaction is the one that counts
    records_[path] = Record{doc, doc.Generation(), identity, cost, false};
  }

  void Saved(const std::string& path, const XmlDoc& doc, std::optional<FileIdentity> staged, size_t cost) {
    if (!staged) {
      records_.erase(path);
      return;
    }
    records_[path] = Record{doc, doc.Generation(), *staged, cost, true};
  }

  // The document this transaction saved at `path`, when it is unchanged
  // since and the staged file is still the one it saved.
  std::optional<XmlDoc> SavedUnchanged(const std::string& path, const std::optional<FileIdentity>& staged) const {
    auto it = records_.find(path);
    if (it == records_.end() || !it->second.saved || !staged || !(it->second.identity == *staged)) return std::nullopt;
    if (it->second.doc.Generation() != it->second.generation) return std::nullopt;
    return it->second.doc;
  }

  std::optional<FileIdentity> LoadedFrom(const std::string& path) const {
    auto it = records_.find(path);
    if (it == records_.end() || it->second.saved || it->second.doc.Generation() != it->second.generation) {
      return std::nullopt;
    }
    return it->second.identity;
  }

  void Committed() noexcept override { Return(true); }
  void RolledBack() noexcept override { Return(false); }

 private:
  void Return(bool committed) noexcept {
    try {
      for (auto& [path, r] : records_) {
        if (r.saved && !committed) continue;  // the file was never replaced
        if (r.doc.Generation() != r.generation) continue;  // changed since
        // Nobody else may still hold the document or one of its elements.
        XmlDoc doc = std::move(r.doc);
        if (!doc.IsSoleReference()) continue;
        Cache::Instance().Put(path, r.identity, std::move(doc), r.cost);
      }
    } catch (...) {
      // Not kept: the next load parses the file.
    }
    records_.clear();
  }

  std::map<std::string, Record> records_;
};

std::shared_ptr<Lent> CurrentLent() {
  ObjectContext* context = GetObjectContext();
  return context ? context->EnlistedOrNew<Lent>(kEnlistKey) : nullptr;
}

}  // namespace

bool LoadTreeDocument(const std::string& path, XmlDoc& doc) {
  auto store = DocumentStore();
  auto files = std::dynamic_pointer_cast<IdentifiedDocumentStore>(store);
  const bool caching = files && GetObjectContext() && CurrentSettings().documentCacheBytes > 0;
  if (!caching) {
    doc = XmlDoc::Create();
    return doc.LoadXml(store->Load(path));
  }
  if (std::optional<FileIdentity> identity = files->CurrentIdentity(path)) {
    if (std::optional<XmlDoc> kept = Cache::Instance().Take(path, *identity)) {
      doc = std::move(*kept);
      CurrentLent()->Loaded(path, doc, *identity, CostOf(static_cast<size_t>(identity->size)));
      return true;
    }
  }
  std::optional<FileIdentity> identity;
  const std::string markup = files->LoadIdentified(path, identity);
  doc = XmlDoc::Create();
  if (!doc.LoadXml(markup)) return false;
  if (identity) CurrentLent()->Loaded(path, doc, *identity, CostOf(markup.size()));
  return true;
}

bool LoadTreeDocumentSavedHere(const std::string& path, XmlDoc& doc) {
  auto files = std::dynamic_pointer_cast<IdentifiedDocumentStore>(DocumentStore());
  if (files && GetObjectContext()) {
    if (auto lent = std::dynamic_pointer_cast<Lent>(GetObjectContext()->Enlisted(kEnlistKey))) {
      if (std::optional<XmlDoc> saved = lent->SavedUnchanged(path, files->StagedIdentity(path))) {
        doc = std::move(*saved);
        return true;
      }
    }
  }
  return LoadTreeDocument(path, doc);
}

void SaveTreeDocument(const std::string& path, const XmlDoc& doc) {
  auto store = DocumentStore();
  const std::string markup = doc.Xml();
  store->Save(path, markup);
  auto files = std::dynamic_pointer_cast<IdentifiedDocumentStore>(store);
  if (!files || !GetObjectContext() || CurrentSettings().documentCacheBytes == 0) return;
  CurrentLent()->Saved(path, doc, files->StagedIdentity(path), CostOf(markup.size()));
}

std::optional<FileIdentity> LoadedIdentity(const std::string& path) {
  if (!GetObjectContext()) return std::nullopt;
  auto lent = std::dynamic_pointer_cast<Lent>(GetObjectContext()->Enlisted(kEnlistKey));
  return lent ? lent->LoadedFrom(path) : std::nullopt;
}

DocumentCacheStats DocumentCacheStatistics() { return Cache::Instance().Stats(); }

std::shared_ptr<const std::string> FindRendition(const std::string& key, const std::string& version) {
  if (CurrentSettings().documentCacheBytes == 0) return nullptr;
  return Cache::Instance().FindRendition(key, version);
}

std::shared_ptr<const std::string> KeepRendition(const std::string& key, const std::string& version,
                                                 std::shared_ptr<const std::string> bytes) {
  if (CurrentSettings().documentCacheBytes == 0 || !bytes) return bytes;
  return Cache::Instance().KeepRendition(key, version, std::move(bytes));
}

void ClearRenditions() { Cache::Instance().ClearRenditions(); }

void ClearDocumentCache() { Cache::Instance().Clear(); }

}  // namespace tsa::storage
