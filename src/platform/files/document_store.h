// The document store: every read and write of a document file goes through
// here, so that document files commit and roll back together with the rows
// of the transaction that writes them.
//
// Sync points of a committed save (three): the staged file is synced
// before the intents are written (its content must be durable before a
// committed intent can name it); the database commit syncs the intents with
// the rows; after the rename the folder is synced (the new name must be
// durable before the intent may be forgotten). The staged file's *name* is
// made durable ahead of time: the store writes into a spare temporary whose
// name an earlier folder sync already covered (each post-commit folder sync
// also creates the next spare in that folder); only a save that finds no
// spare, a victim link and a new folder need a folder sync before the
// commit. Finished intents are not removed by a commit of their own: the
// next transaction of the process that carries document changes deletes
// them with its own intents. A finished intent read back meanwhile is
// harmless (its temporary or victim is gone, so redoing it changes nothing).
//
// Outside a transaction context each change is made at once and atomically:
// the new content is written to a temporary file next to the target, synced,
// renamed over the target, and the folder is synced.
//
// Inside a context changes are staged. A save or copy writes (and syncs) a
// temporary file next to its target; a deletion links the current file to a
// temporary name (the "victim", which lets a later redo tell that file from a
// newer one); moves combine the two. Reads in the same context see the staged
// state. When the context commits, the store first records one intent per
// pending change in DOCUMENTINTENTS through the context's own session, so
// the intents commit atomically with the rows; after the databases committed
// it applies the changes (renames, deletions), syncs the folders and clears
// the intents. When the context rolls back the temporaries are removed and
// nothing else changes.
//
// Another process on the same data folder may have committed changes to a
// document without having put them in place yet (or it died first). Before
// a transaction reads or stages a document it finishes the committed
// intents that name it, so it never sees an older file than its rows do.
//
// After a crash RecoverDocumentStore() finishes the intents that a committed
// transaction left (each step can be redone safely) and removes temporaries
// that no intent names, so every document is either as it was or as the
// committed transaction wrote it.
//
// Intents belong to the documents folder that wrote them: each folder has
// an owner identifier (a random name kept in the folder, kStoreOwnerFile),
// and a batch's name begins with it. Processes on the same folder finish
// each other's intents; a server on another machine whose folder merely has
// the same path never touches them, so it cannot forget an intent whose
// staged file only its owner has. Every clean-up is logged.
//
// With the documents in the database (platform/files/database_store.h)
// the files are not involved at all: see DocumentsInDatabase().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/components.h"

namespace tsa {

// Which file a document is: its device and inode, size and modification
// time. The store never rewrites a file in place (every save makes a new
// file that is renamed over the old), so while the identity of the file at a
// path stays the same its content does too; a change made behind the
// store's back changes at least the modification time.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A store whose documents have an identity that a kept parsed copy or a
// client's tag can be checked against: equal identities, equal content.
// The file store answers a file's identity; the database store answers
// (device 0, inode = the document's version, size, modifiedNs = the
// random stamp of that version).
class IdentifiedDocumentStore : public IDocumentStore {
 public:
  // For holders of parsed copies (storage/document_cache.h):
  // As Load, and `identity` names the version read; it is reset when the
  // content came from this transaction's staged changes.
  virtual std::string LoadIdentified(const std::string& path, std::optional<FileIdentity>& identity) = 0;
  // The identity of what a Load would read now, after the same preparation
  // (committed changes of other processes finished first); nothing when
  // this transaction staged a change to the path or no document is there.
  virtual std::optional<FileIdentity> CurrentIdentity(const std::string& path) = 0;
  // The identity of what this transaction staged for the path, which takes
  // the path's place on commit; nothing when none is staged.
  virtual std::optional<FileIdentity> StagedIdentity(const std::string& path) = 0;
};

// The built-in store on the local file system.
class FileDocumentStore : public IdentifiedDocumentStore {
 public:
  bool Exists(const std::string& path) override;
  std::string Load(const std::string& path) override;
  void Save(const std::string& path, const std::string& contents) override;
  void Copy(const std::string& source, const std::string& target) override;
  void Move(const std::string& source, const std::string& target) override;
  void Delete(const std::string& path) override;

  std::string LoadIdentified(const std::string& path, std::optional<FileIdentity>& identity) override;
  std::optional<FileIdentity> CurrentIdentity(const std::string& path) override;
  std::optional<FileIdentity> StagedIdentity(const std::string& path) override;
};

// Whether the documents are kept in the service database ([documents]
// store; by default on PostgreSQL) rather than in files.
bool DocumentsInDatabase();

// The folder below which all documents lie: the installation directory,
// else the data folder.
std::string DocumentsRootFolder();

// Writes a file at once (temporary, sync, rename, folder sync) or deletes
// it, outside any transaction: for copies the database store writes
// through, and for exports.
void WriteDocumentFileNow(const std::string& path, const std::string& contents);
void DeleteDocumentFileNow(const std::string& path);

// Reads a file of the documents folder as it is on disk (no intents are
// finished first); raises as Load does.
std::string ReadDocumentFileNow(const std::string& path);

// The store in force: the component registered as "Korventa.DocumentStore"
// (created within the current context), else the built-in one for the
// settings (database or files).
std::shared_ptr<IDocumentStore> DocumentStore();

// Registers the built-in store under "Korventa.DocumentStore": the database
// store when DocumentsInDatabase(), else the file store.
void RegisterDocumentStoreComponent();

// Refuses (error 1202) a path that is empty, not absolute, holds a ".."
// component or a NUL character, or names a temporary file of the store.
void CheckDocumentPath(const std::string& path);

// Temporary files of the store are named <target name> + this marker + 16
// hexadecimal digits.
inline constexpr std::string_view kStoreTempMarker = ".tsa-tmp-";
bool IsStoreTemporary(std::string_view fileName);

// The name of the lock file in the documents folder. Every transaction with
// staged changes holds it shared; the removal of orphaned temporaries needs
// it exclusively.
inline constexpr std::string_view kStoreLockFile = ".tsa-store.lock";

// Spare temporaries (see the sync points above) are named this, followed by
// the temporary marker and 16 hexadecimal digits: they are temporaries of
// the store like any other.
inline constexpr std::string_view kStoreSpareName = ".tsa-spare";
bool IsStoreSpare(std::string_view fileName);

// The file in the documents folder holding the folder's owner identifier.
inline constexpr std::string_view kStoreOwnerFile = ".tsa-store-owner";
// The owner identifier of the documents folder `root` (32 hexadecimal
// digits), created on first use.
std::string StoreOwnerOf(const std::string& root);

// Removes now, in a transaction of its own, the intents of this process's
// finished batches that are still waiting for the next batch to take them
// away (the service calls it when it stops; tests before they count intents).
void RemoveFinishedIntents();

struct StoreRecovery {
  int renamed = 0;          // staged files put in place
  int deleted = 0;          // documents deleted
  int batchesCleared = 0;   // transactions whose intents were finished and removed
  int orphansRemoved = 0;   // temporaries without an intent removed
  int sparesRemoved = 0;    // spare temporaries (empty, made ahead of time) removed
  int failures = 0;         // intents that could not be finished (kept for the next run)
  int foreignBatches = 0;   // batches of other documents folders, left to their owners
  bool orphanScanSkipped = false;  // another transaction was under way: temporaries left alone
};

// Finishes what committed transactions left undone and removes orphaned
// temporaries below `documentsRoot` (default: the installation directory,
// below which all documents lie). Called at start-up and by the commands
// that open the store. Without a configured service database it does
// nothing. Raises when the database cannot be read.
StoreRecovery RecoverDocumentStore(const std::string& documentsRoot = {});

// Test hook for simulated crashes. The hook is asked at each named step;
// when it answers true the store behaves as if the process died right
// there: it abandons the transaction's file work without running the rest
// and without cleaning up (a step reached inside an operation or while
// preparing also raises error 51, so the transaction rolls back its rows as
// a crash would). Steps:
//   "after-temp-write"  a temporary file was written (staged or immediate)
//   "after-prepare"     intents inserted, databases not yet committed
//   "after-db-commit"   databases committed, no file changed yet
//   "after-rename-N"    the N-th change (from 1; renames first, then
//                       deletions) was applied
//   "after-apply"       every change applied, intents not yet cleared
// Returns the hook in force before; an empty hook switches crashes off.
using CrashHook = std::function<bool(const std::string& step)>;
CrashHook SetCrashHookForTest(CrashHook hook);

}  // namespace tsa
