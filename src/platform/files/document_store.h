// The document store: every read and write of a document file goes through
// here, so that document files commit and roll back together with the rows
// of the transaction that writes them.
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
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/components.h"

namespace tsa {

// The built-in store on the local file system.
class FileDocumentStore : public IDocumentStore {
 public:
  bool Exists(const std::string& path) override;
  std::string Load(const std::string& path) override;
  void Save(const std::string& path, const std::string& contents) override;
  void Copy(const std::string& source, const std::string& target) override;
  void Move(const std::string& source, const std::string& target) override;
  void Delete(const std::string& path) override;
};

// The store in force: the component registered as "Korventa.DocumentStore"
// (created within the current context), else the built-in one.
std::shared_ptr<IDocumentStore> DocumentStore();

// Registers the built-in store under "Korventa.DocumentStore".
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

struct StoreRecovery {
  int renamed = 0;          // staged files put in place
  int deleted = 0;          // documents deleted
  int batchesCleared = 0;   // transactions whose intents were finished and removed
  int orphansRemoved = 0;   // temporaries without an intent removed
  int failures = 0;         // intents that could not be finished (kept for the next run)
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
