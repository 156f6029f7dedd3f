// Parsed tree documents kept between calls, shared by the service's threads.
//
// A tree document is loaded through LoadTreeDocument and written through
// SaveTreeDocument. A document once parsed is kept under its path together
// with the identity of the file it was parsed from (platform/files:
// device, inode, size and modification time). A later load asks the store
// for the identity of the file it would read now (after finishing what
// other processes committed) and uses the kept copy only when the two are
// equal; any other process's commit or a change made behind the store's
// back gives the file another identity, and the document is parsed again.
//
// A kept copy is lent to one transaction at a time: the load takes it out,
// the transaction works on it, and it comes back when the transaction
// ends: after a commit as the transaction saved it (under the identity of
// the file the save staged, which is the file at the path once the commit
// is applied), after a rollback only when the transaction did not change it
// (a changed copy is dropped and the file parsed again next time). A copy
// that changed after its last save, or that some object still refers to
// when the transaction ends, is not kept.
//
// The copies kept are bounded by `documentCacheBytes` (settings), counted as
// three times the markup's size (the markup plus pugixml's nodes), the
// least recently used going first. Only the built-in stores are cached
// (files, or the database, where the identity is the document's version),
// and only inside a transaction context.
//
// Beside the parsed copies, within the same budget and order, the cache
// holds what readers are sent of a document version ("renditions": the
// stored bytes, their gzip copy, the tree as JSON), immutable and shared:
// every reader of one version is sent the one copy, holding a reference to
// it while its answer leaves, never a copy of its own. A rendition pushed
// out of the budget while readers still hold it is still found by the next
// reader of that version, so that a version is never held twice; it goes
// when its last reader is done. Memory for documents is therefore the
// budget, plus the versions pushed out while still being sent (once each).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/files/document_store.h"
#include "storage/xml.h"

namespace tsa::storage {

// Loads the tree document at `path` into `doc` (a new document). Returns
// false when it does not parse (doc.LastError() says why); raises as the
// store's Load does when the file cannot be read.
bool LoadTreeDocument(const std::string& path, XmlDoc& doc);

// As LoadTreeDocument, except that when this transaction saved the
// document at `path` (SaveTreeDocument) and has not changed it since, `doc`
// becomes that very document rather than a new parse of the staged file:
// for a caller that rewrites a document the transaction may have saved
// already (propagation of new texts), whose changes the first holder must
// see anyway.
bool LoadTreeDocumentSavedHere(const std::string& path, XmlDoc& doc);

// Writes `doc` through the store to `path`, in the current transaction.
void SaveTreeDocument(const std::string& path, const XmlDoc& doc);

// The identity of the file that this transaction's LoadTreeDocument of
// `path` read (or whose parsed copy it took), while the document is
// unchanged since; nothing otherwise, also when documents are not cached.
// What a reader renders from the document is what that file holds.
std::optional<FileIdentity> LoadedIdentity(const std::string& path);

// The rendition kept under `key` (a document and a form, e.g. its path and
// "gzip") when it is of `version` (the entity tag of its content); null
// otherwise.
std::shared_ptr<const std::string> FindRendition(const std::string& key, const std::string& version);

// Keeps `bytes` as the rendition `key` of `version` and returns the copy to
// send: `bytes`, or the equal copy another reader kept first.
std::shared_ptr<const std::string> KeepRendition(const std::string& key, const std::string& version,
                                                 std::shared_ptr<const std::string> bytes);

// Drops every kept rendition (tests and benchmarks measure the first read).
void ClearRenditions();

struct DocumentCacheStats {
  size_t entries = 0;
  size_t renditions = 0;  // of the entries
  size_t bytes = 0;      // as counted against the budget
  uint64_t hits = 0;     // loads answered by a kept copy
  uint64_t misses = 0;   // loads that parsed the file
  uint64_t evictions = 0;
};
DocumentCacheStats DocumentCacheStatistics();

// Drops every kept copy.
void ClearDocumentCache();

}  // namespace tsa::storage
