// The document store: immediate and staged changes, commit and abort,
// crashes at every step of a commit followed by recovery.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "runtime/faults.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

class DocumentStoreTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) const { return (fs::path(env.DataDir()) / relative).string(); }

  static void Write(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
  }
  static std::optional<std::string> Read(const std::string& path) {
    if (!fs::is_regular_file(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<std::string> Temporaries() const {
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(env.DataDir()))
      if (IsStoreTemporary(e.path().filename().string()) && !IsStoreSpare(e.path().filename().string()))
        found.push_back(e.path().string());
    return found;
  }

  // Intents of changes not yet in place (finished ones are removed first).
  int64_t IntentCount() const {
    RemoveFinishedIntents();
    auto c = GetHelvixConnection();
    auto rs = c->OpenRecordset("SELECT COUNT(*) AS N FROM DOCUMENTINTENTS");
    int64_t n = rs->Field("N").ToInt64();
    rs->Close();
    CloseConnection(c);
    return n;
  }

  // A row written in the same transaction as the documents.
  static void InsertMarker(const std::string& name) {
    auto c = GetHelvixConnection();
    c->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) +
               ", 'v', 'String')");
    CloseConnection(c);
  }
  static bool MarkerExists(const std::string& name) { return GetParameterValues({name}).Exists(name); }

  static int32_t ErrorNumber(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }

  test::TestEnv env;
  FileDocumentStore store;
};

TEST_F(DocumentStoreTest, ImmediateChangesTakeEffectAtOnceWithoutLeftovers) {
  const std::string a = Path("documents/TS/Enduser/Trees/1_0.xml");
  const std::string b = Path("documents/TS/Manager/Trees/1_1.xml");
  const std::string c = Path("elsewhere/deep/1_1.xml");

  store.Save(a, "<Node NID=\"0\"/>");  // creates the missing folders
  EXPECT_EQ(Read(a), "<Node NID=\"0\"/>");
  EXPECT_TRUE(store.Exists(a));
  store.Save(a, "second");
  EXPECT_EQ(store.Load(a), "second");

  Write(b, "old manager");
  store.Copy(a, b);  // replaces the target
  EXPECT_EQ(Read(b), "second");
  EXPECT_EQ(Read(a), "second");

  store.Save(b, "edited");
  Write(c, "in the way");
  store.Move(b, c);
  EXPECT_FALSE(store.Exists(b));
  EXPECT_EQ(Read(c), "edited");

  store.Delete(c);
  EXPECT_FALSE(fs::exists(c));
  EXPECT_FALSE(store.Exists(Path("documents/TS/Enduser/Trees")));  // a folder is not a file
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(DocumentStoreTest, FailuresCarryTheClassicNumbers) {
  const std::string missingFile = Path("docs/9_0.xml");
  fs::create_directories(Path("docs"));
  EXPECT_EQ(ErrorNumber([&] { store.Load(missingFile); }), err::FileNotFound);
  EXPECT_EQ(ErrorNumber([&] { store.Load(Path("nofolder/9_0.xml")); }), err::PathNotFound);
  EXPECT_EQ(ErrorNumber([&] { store.Delete(missingFile); }), err::FileNotFound);
  EXPECT_EQ(ErrorNumber([&] { store.Move(missingFile, Path("docs/9_1.xml")); }), err::FileNotFound);
  EXPECT_EQ(ErrorNumber([&] { store.Copy(missingFile, Path("docs/9_1.xml")); }), err::FileNotFound);
  EXPECT_EQ(ErrorNumber([&] { store.Load(Path("docs")); }), err::FileNotFound);  // a folder

  // A file where a folder has to be.
  Write(Path("plain"), "x");
  EXPECT_EQ(ErrorNumber([&] { store.Save(Path("plain/9_0.xml"), "x"); }), err::PathNotFound);

  if (::geteuid() != 0) {
    fs::create_directories(Path("locked"));
    fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(ErrorNumber([&] { store.Save(Path("locked/9_0.xml"), "x"); }), err::PermissionDenied);
    fs::permissions(Path("locked"), fs::perms::owner_all);
  }
}

// Makes a folder refuse changes for its lifetime: by its permissions, or
// (for the superuser, whom they do not stop) by a read-only mount of it.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& folder) : folder_(folder) {
    if (::geteuid() != 0) {
      fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
      usable_ = true;
    } else if (::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      mounted_ = true;
      usable_ = ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_) ::umount(folder_.c_str());
    else if (usable_) fs::permissions(folder_, fs::perms::owner_all);
  }
  bool usable() const { return usable_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  bool usable_ = false;
};

TEST_F(DocumentStoreTest, AFolderThatRefusesChangesFailsTheOperationWithNothingHalfDone) {
  const std::string locked = Path("locked/1_0.xml"), elsewhere = Path("open/1_0.xml"), other = Path("open/2_0.xml");
  Write(locked, "kept");
  ReadOnlyFolder readOnly(Path("locked"));
  if (!readOnly.usable()) GTEST_SKIP() << "no way to make a folder read-only here";

  // At once: the move fails before the copy is written.
  EXPECT_EQ(ErrorNumber([&] { store.Move(locked, elsewhere); }), err::PermissionDenied);
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_EQ(Read(locked), "kept");
  EXPECT_EQ(ErrorNumber([&] { store.Save(locked, "new"); }), err::PermissionDenied);
  EXPECT_EQ(ErrorNumber([&] { store.Delete(locked); }), err::PermissionDenied);

  // Staged: a refused deletion or move stages nothing; the transaction
  // still sees the file and its other changes commit.
  RunTransactional([&] {
    store.Save(other, "other");
    EXPECT_EQ(ErrorNumber([&] { store.Delete(locked); }), err::PermissionDenied);
    EXPECT_TRUE(store.Exists(locked));
    EXPECT_EQ(store.Load(locked), "kept");
    EXPECT_EQ(ErrorNumber([&] { store.Move(locked, elsewhere); }), err::PermissionDenied);
    EXPECT_TRUE(store.Exists(locked));
    EXPECT_FALSE(store.Exists(elsewhere));
  });
  EXPECT_EQ(Read(other), "other");
  EXPECT_EQ(Read(locked), "kept");
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, UnsafePathsAreRefused) {
  for (const std::string& bad :
       {std::string(), std::string("documents/1_0.xml"), Path("documents/../../etc/passwd"), Path("a/..") + "/1_0.xml",
        Path("docs/1_0.xml.tsa-tmp-0123456789abcdef"), Path("docs/1_0") + std::string(1, '\0') + ".xml"}) {
    EXPECT_EQ(ErrorNumber([&] { store.Exists(bad); }), err::InvalidFileName) << bad;
    EXPECT_EQ(ErrorNumber([&] { store.Save(bad, "x"); }), err::InvalidFileName) << bad;
    EXPECT_EQ(ErrorNumber([&] { store.Move(Path("docs/1_0.xml"), bad); }), err::InvalidFileName) << bad;
  }
  EXPECT_EQ(ErrorNumber([&] { store.Save(Path("docs/"), "x"); }), err::InvalidFileName);
  EXPECT_FALSE(fs::exists(Path("docs")));
}

TEST_F(DocumentStoreTest, StagedChangesAreSeenInsideAndPublishedOnCommit) {
  const std::string a = Path("d/1_0.xml"), b = Path("d/2_0.xml"), c = Path("d/3_0.xml"), moved = Path("e/3_0.xml"),
                    copy = Path("e/1_0.xml"), fresh = Path("new/folder/4_0.xml");
  Write(a, "a-old");
  Write(b, "b-old");
  Write(c, "c-old");

  RunTransactional([&] {
    store.Save(a, "a-new");
    store.Delete(b);
    store.Move(c, moved);
    store.Copy(a, copy);
    store.Save(fresh, "fresh");

    // The transaction sees its own changes ...
    EXPECT_EQ(store.Load(a), "a-new");
    EXPECT_FALSE(store.Exists(b));
    EXPECT_EQ(ErrorNumber([&] { store.Load(b); }), err::FileNotFound);
    EXPECT_FALSE(store.Exists(c));
    EXPECT_EQ(store.Load(moved), "c-old");
    EXPECT_EQ(store.Load(copy), "a-new");
    EXPECT_TRUE(store.Exists(fresh));
    // One file, however its path is spelled.
    EXPECT_EQ(store.Load(Path("d/./1_0.xml")), "a-new");
    EXPECT_EQ(store.Load(Path("d//1_0.xml")), "a-new");
    EXPECT_FALSE(store.Exists(Path("d/.//2_0.xml")));
    EXPECT_FALSE(store.Exists(fresh + "/"));
    // ... the disk does not, yet.
    EXPECT_EQ(Read(a), "a-old");
    EXPECT_EQ(Read(b), "b-old");
    EXPECT_EQ(Read(c), "c-old");
    EXPECT_FALSE(fs::exists(moved));
    EXPECT_FALSE(fs::exists(fresh));
  });

  EXPECT_EQ(Read(a), "a-new");
  EXPECT_FALSE(fs::exists(b));
  EXPECT_FALSE(fs::exists(c));
  EXPECT_EQ(Read(moved), "c-old");
  EXPECT_EQ(Read(copy), "a-new");
  EXPECT_EQ(Read(fresh), "fresh");
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, AbortLeavesEveryFileAsItWasAndNoTemporaries) {
  const std::string a = Path("d/1_0.xml"), b = Path("d/2_0.xml"), c = Path("d/3_0.xml");
  Write(a, "a-old");
  Write(b, "b-old");
  RunTransactional([&] {
    InsertMarker("aborted");
    store.Save(a, "a-new");
    store.Delete(b);
    store.Move(a, c);
    store.Save(Path("n/5_0.xml"), "x");
    AbortTransaction();
  });
  EXPECT_FALSE(MarkerExists("aborted"));
  EXPECT_EQ(Read(a), "a-old");
  EXPECT_EQ(Read(b), "b-old");
  EXPECT_FALSE(fs::exists(c));
  EXPECT_FALSE(fs::exists(Path("n/5_0.xml")));
  EXPECT_TRUE(Temporaries().empty());

  // An error that ends the call rolls the files back as well.
  EXPECT_THROW(RunTransactional([&] {
                 store.Save(a, "half");
                 Raise(1, "test", "failure after a staged save");
               }),
               Error);
  EXPECT_EQ(Read(a), "a-old");
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(DocumentStoreTest, ChainedChangesToOnePathEndInTheLastState) {
  const std::string a = Path("d/1_0.xml"), b = Path("d/1_1.xml");
  Write(a, "old");
  RunTransactional([&] {
    store.Delete(a);
    store.Save(a, "recreated");  // a deletion followed by a save is a replacement
    store.Move(a, b);
    store.Save(a, "again");  // a new file under the moved-away name
    store.Copy(b, a);        // replaced once more
    EXPECT_EQ(store.Load(a), "recreated");
    EXPECT_EQ(store.Load(b), "recreated");
    EXPECT_EQ(ErrorNumber([&] { store.Delete(Path("d/none.xml")); }), err::FileNotFound);
  });
  EXPECT_EQ(Read(a), "recreated");
  EXPECT_EQ(Read(b), "recreated");
  EXPECT_TRUE(Temporaries().empty());

  // Saving and then deleting a file that never existed leaves nothing.
  RunTransactional([&] {
    store.Save(Path("d/9_0.xml"), "short-lived");
    store.Delete(Path("d/9_0.xml"));
  });
  EXPECT_FALSE(fs::exists(Path("d/9_0.xml")));
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, AStagedFileMovedToAnotherFolderIsStagedNextToItsNewName) {
  // Put in place by a rename, the staged content must lie in the target's
  // folder, which may be on another file system than the source's.
  const std::string a = Path("d/1_0.xml"), b = Path("e/1_0.xml"), c = Path("d/2_0.xml");
  Write(c, "c-old");
  RunTransactional([&] {
    auto inFolder = [&](const std::string& folder) {
      int n = 0;
      for (const std::string& temp : Temporaries()) n += fs::path(temp).parent_path() == fs::path(Path(folder));
      return n;
    };
    store.Save(a, "staged");
    store.Move(a, b);
    EXPECT_EQ(inFolder("d"), 0);
    EXPECT_EQ(inFolder("e"), 1);
    store.Save(c, "c-new");
    store.Move(c, b);  // onto the path just staged
    EXPECT_EQ(inFolder("d"), 1) << "only the link that deletes c at commit";
    EXPECT_EQ(inFolder("e"), 1);
    EXPECT_EQ(store.Load(b), "c-new");
    EXPECT_FALSE(store.Exists(a));
    EXPECT_FALSE(store.Exists(c));
  });
  EXPECT_FALSE(fs::exists(a));
  EXPECT_FALSE(fs::exists(c));
  EXPECT_EQ(Read(b), "c-new");
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

// One transaction that writes a row and changes five documents; a crash at
// each step of its commit, then recovery. Afterwards every document must be
// wholly old or wholly new, and new exactly when the row committed.
TEST_F(DocumentStoreTest, ACrashAtAnyStepRecoversToOldOrNewConsistentWithTheRows) {
  const std::vector<std::string> steps = {"after-temp-write", "after-prepare",  "after-db-commit", "after-rename-1",
                                          "after-rename-2",   "after-rename-3", "after-rename-4",  "after-rename-5",
                                          "after-apply",      "none"};
  int run = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step);
    const std::string dir = Path("run" + std::to_string(++run));
    const std::string replaced = dir + "/1_0.xml", created = dir + "/2_0.xml", deleted = dir + "/3_0.xml",
                      movedFrom = dir + "/4_0.xml", movedTo = dir + "/sub/4_0.xml";
    Write(replaced, "replaced-old");
    Write(deleted, "deleted-old");
    Write(movedFrom, "moved");
    const std::string marker = "marker-" + std::to_string(run);

    bool fired = false;
    auto previous = SetCrashHookForTest([&](const std::string& s) {
      if (s != step || fired) return false;
      fired = true;
      return true;
    });
    try {
      RunTransactional([&] {
        InsertMarker(marker);
        store.Save(replaced, "replaced-new");
        store.Save(created, "created");
        store.Delete(deleted);
        store.Move(movedFrom, movedTo);
      });
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::InternalError);
    }
    SetCrashHookForTest(previous);
    EXPECT_EQ(fired, step != "none");

    StoreRecovery r = RecoverDocumentStore();
    EXPECT_FALSE(r.orphanScanSkipped);
    EXPECT_EQ(r.failures, 0);

    if (MarkerExists(marker)) {
      EXPECT_EQ(Read(replaced), "replaced-new");
      EXPECT_EQ(Read(created), "created");
      EXPECT_FALSE(fs::exists(deleted));
      EXPECT_FALSE(fs::exists(movedFrom));
      EXPECT_EQ(Read(movedTo), "moved");
    } else {
      EXPECT_EQ(Read(replaced), "replaced-old");
      EXPECT_FALSE(fs::exists(created));
      EXPECT_EQ(Read(deleted), "deleted-old");
      EXPECT_EQ(Read(movedFrom), "moved");
      EXPECT_FALSE(fs::exists(movedTo));
    }
    EXPECT_EQ(MarkerExists(marker), step != "after-temp-write" && step != "after-prepare");
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(IntentCount(), 0);
  }
}

// The calls of one committed save that decide what a crash leaves behind,
// in the order they were made. A sweep that fails each call in turn cannot
// notice a sync that is never made, or one made too late; this can.
std::vector<std::string> DurabilityCallsOfSave(const std::string& path, const std::string& contents) {
  faults::Plan plan;
  plan.record = true;
  {
    faults::ScopedPlan recording(plan);
    RunTransactional([&] { DocumentStore()->Save(path, contents); });
  }
  std::vector<std::string> kept;
  for (const faults::Call call : faults::Recorded()) {
    switch (call) {
      case faults::Call::Write:
      case faults::Call::Sync:
      case faults::Call::Commit:
      case faults::Call::Rename:
      case faults::Call::SyncFolder:
        kept.push_back(faults::CallName(call));
        break;
      default:
        break;
    }
  }
  return kept;
}

// The staged file is synced before the commit (a committed intent must
// never name bytes that are not on disk), and the folder after the rename
// (the new name must be durable before the intent is forgotten). SQLite's
// committing call syncs the log itself, before any file is put in place.
TEST_F(DocumentStoreTest, ACommittedSaveSyncsTheContentBeforeTheCommitAndTheNameAfterTheRename) {
  test::TestEnv::UseDocumentFiles();
  ASSERT_FALSE(DocumentsInDatabase());
  const std::string path = Path("documents/TS/Manager/Trees/7_1.xml");
  Write(path, "old");
  // The store's first transaction on a folder names its owner (a file of
  // its own): made elsewhere, so that only the save is recorded below.
  RunTransactional([&] { DocumentStore()->Save(Path("documents/elsewhere.xml"), "x"); });

  std::vector<std::string> commit = {"commit"};
  if (!test::TestEnv::IsPostgres()) commit.push_back("fsync");
  auto expected = [&](std::vector<std::string> beforeCommit) {
    beforeCommit.insert(beforeCommit.end(), commit.begin(), commit.end());
    beforeCommit.insert(beforeCommit.end(), {"rename", "folder sync"});
    return beforeCommit;
  };
  // The first save in a folder writes a temporary whose name no folder sync
  // has covered yet; the sync after its rename prepares a spare for the next.
  EXPECT_EQ(DurabilityCallsOfSave(path, "first"), expected({"write", "fsync", "folder sync"}));
  EXPECT_EQ(DurabilityCallsOfSave(path, "second"), expected({"write", "fsync"}));
  EXPECT_EQ(Read(path), "second");
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, ACrashDuringAnImmediateSaveLeavesTheOldFileAndRecoveryClearsTheTemporary) {
  const std::string a = Path("d/1_0.xml");
  Write(a, "old");
  auto previous = SetCrashHookForTest([](const std::string& s) { return s == "after-temp-write"; });
  EXPECT_THROW(store.Save(a, "new"), Error);
  SetCrashHookForTest(previous);
  EXPECT_EQ(Read(a), "old");
  EXPECT_EQ(Temporaries().size(), 1u);
  EXPECT_EQ(RecoverDocumentStore().orphansRemoved, 1);
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(Read(a), "old");
}

TEST_F(DocumentStoreTest, RedoneDeletionNeverRemovesANewerFile) {
  // The deletion was applied but its intent not yet cleared when the
  // process died; afterwards the document was written anew.
  const std::string a = Path("d/1_0.xml");
  Write(a, "old");
  auto previous = SetCrashHookForTest([](const std::string& s) { return s == "after-apply"; });
  RunTransactional([&] { store.Delete(a); });
  SetCrashHookForTest(previous);
  EXPECT_FALSE(fs::exists(a));
  EXPECT_EQ(IntentCount(), 1);

  store.Save(a, "newer");
  StoreRecovery r = RecoverDocumentStore();
  EXPECT_EQ(r.deleted, 0);
  EXPECT_EQ(r.batchesCleared, 1);
  EXPECT_EQ(Read(a), "newer");
  EXPECT_EQ(IntentCount(), 0);

  // The deletion committed but never ran, and the document was replaced
  // since: the replacement is the later change and stays.
  const std::string b = Path("d/2_0.xml");
  Write(b, "old");
  previous = SetCrashHookForTest([](const std::string& s) { return s == "after-db-commit"; });
  RunTransactional([&] { store.Delete(b); });
  SetCrashHookForTest(previous);
  EXPECT_EQ(Read(b), "old");
  store.Save(b, "replacement");
  r = RecoverDocumentStore();
  EXPECT_EQ(r.deleted, 0);
  EXPECT_EQ(Read(b), "replacement");
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, ACommittedChangeAnotherProcessLeftUnappliedIsFinishedBeforeTheNextTransactionUsesTheFile) {
  // Another engine process on the same data folder committed its rows and
  // intents, then died (or stalls) before putting its files in place. A
  // later transaction sees those rows, so it must see those files too, and
  // its own, newer change must not be undone when recovery runs later.
  const std::string read = Path("d/1_0.xml"), blind = Path("d/2_0.xml"), created = Path("d/3_0.xml");
  Write(read, "v1");
  Write(blind, "b1");
  auto previous = SetCrashHookForTest([](const std::string& s) { return s == "after-db-commit"; });
  RunTransactional([&] {
    store.Save(read, "v2");
    store.Save(blind, "b2");
    store.Save(created, "c");
  });
  SetCrashHookForTest(previous);
  ASSERT_EQ(Read(read), "v1");  // committed, not yet applied
  ASSERT_GT(IntentCount(), 0);

  RunTransactional([&] {
    EXPECT_TRUE(store.Exists(created));
    EXPECT_EQ(store.Load(read), "v2");
    store.Save(read, store.Load(read) + "+v3");
    store.Save(blind, "b3");  // replaced without being read first
  });
  EXPECT_EQ(Read(read), "v2+v3");
  EXPECT_EQ(Read(blind), "b3");
  EXPECT_EQ(Read(created), "c");

  StoreRecovery r = RecoverDocumentStore();
  EXPECT_EQ(r.failures, 0);
  EXPECT_EQ(Read(read), "v2+v3");
  EXPECT_EQ(Read(blind), "b3");
  EXPECT_EQ(Read(created), "c");
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

TEST_F(DocumentStoreTest, AChangeThatFailsAfterTheCommitIsFinishedByRecovery) {
  const std::string a = Path("d/1_0.xml"), b = Path("e/2_0.xml");
  RunTransactional([&] {
    store.Save(a, "a");
    store.Save(b, "b");
    // Something takes the target's place before the commit applies it.
    fs::create_directories(b + "/in-the-way");
  });
  EXPECT_EQ(Read(a), "a");  // the other change is not held back
  EXPECT_FALSE(Read(b).has_value());
  EXPECT_GT(IntentCount(), 0);
  bool logged = false;
  for (const auto& line : env.LogLines()) logged = logged || line.find("could not be applied") != std::string::npos;
  EXPECT_TRUE(logged);

  fs::remove_all(b);
  StoreRecovery r = RecoverDocumentStore();
  EXPECT_EQ(r.renamed, 1);
  EXPECT_EQ(Read(b), "b");
  EXPECT_EQ(IntentCount(), 0);
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(DocumentStoreTest, RecoveryRemovesOrphansButSparesARunningTransaction) {
  const std::string orphan = Path("documents/TS/Manager/Trees/7_1.xml.tsa-tmp-00112233445566ff");
  const std::string lookalike = Path("documents/TS/Manager/Trees/7_1.xml.tsa-tmp-notatemp");
  Write(orphan, "left by a crash");
  Write(lookalike, "an operator's file");

  const std::string a = Path("d/1_0.xml");
  RunTransactional([&] {
    store.Save(a, "staged");
    // Another command recovers while this transaction is under way: its
    // staged file must survive.
    std::optional<StoreRecovery> r;
    std::thread other([&] { r = RecoverDocumentStore(); });
    other.join();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->orphanScanSkipped);
    EXPECT_TRUE(fs::exists(orphan));
  });
  EXPECT_EQ(Read(a), "staged");

  StoreRecovery r = RecoverDocumentStore();
  EXPECT_FALSE(r.orphanScanSkipped);
  EXPECT_EQ(r.orphansRemoved, 1);
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_TRUE(fs::exists(lookalike));
}

TEST_F(DocumentStoreTest, RecoveryLeavesTheIntentsOfAnotherDocumentsFolderToTheirOwner) {
  // A server committed and died before its renames; a server on another
  // machine whose documents folder has the same path starts meanwhile. Its
  // recovery must neither forget the intent nor take the staged file for an
  // orphan: only the owner can finish them.
  const std::string a = Path("d/1_0.xml");
  Write(a, "old");
  auto previous = SetCrashHookForTest([](const std::string& s) { return s == "after-db-commit"; });
  RunTransactional([&] {
    InsertMarker("committed");
    store.Save(a, "new");
  });
  SetCrashHookForTest(previous);
  ASSERT_TRUE(MarkerExists("committed"));

  const std::string ownerFile = Path(std::string(kStoreOwnerFile));
  const std::optional<std::string> mine = Read(ownerFile);
  ASSERT_TRUE(mine);
  std::ofstream(ownerFile, std::ios::trunc) << std::string(32, 'f') << "\n";  // the other machine's folder
  StoreRecovery other = RecoverDocumentStore();
  EXPECT_EQ(other.foreignBatches, 1);
  EXPECT_EQ(other.renamed + other.orphansRemoved + other.batchesCleared, 0);
  RunTransactional([&] { EXPECT_EQ(store.Load(a), "old"); });  // its own file, not the owner's intent
  EXPECT_EQ(Temporaries().size(), 1u);
  EXPECT_EQ(IntentCount(), 1);

  std::ofstream(ownerFile, std::ios::trunc) << *mine;  // the owner restarts
  StoreRecovery own = RecoverDocumentStore();
  EXPECT_EQ(own.renamed, 1);
  EXPECT_EQ(own.foreignBatches, 0);
  EXPECT_EQ(Read(a), "new");
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
  bool logged = false;
  for (const auto& line : env.LogLines()) logged = logged || line.find("Recovery finished") != std::string::npos;
  EXPECT_TRUE(logged) << "the clean-up is logged";
}

TEST_F(DocumentStoreTest, TamperedIntentsAreNotFollowed) {
  const std::string victim = Path("keep/1_0.xml");
  Write(victim, "precious");
  auto c = GetHelvixConnection();
  c->Execute("INSERT INTO DOCUMENTINTENTS (BATCH, SEQ, OPERATION, SOURCE, TARGET) VALUES ('x', 1, 'RENAME', " +
             FormatSqlText(victim) + ", " + FormatSqlText(Path("keep/2_0.xml")) + ")");
  c->Execute("INSERT INTO DOCUMENTINTENTS (BATCH, SEQ, OPERATION, SOURCE, TARGET) VALUES ('y', 1, 'DELETE', NULL, " +
             FormatSqlText(Path("keep/../keep/1_0.xml")) + ")");
  CloseConnection(c);
  StoreRecovery r = RecoverDocumentStore();
  EXPECT_EQ(r.failures, 2);
  EXPECT_EQ(Read(victim), "precious");
  EXPECT_FALSE(fs::exists(Path("keep/2_0.xml")));
}

TEST_F(DocumentStoreTest, ConcurrentTransactionsOnDifferentDocumentsAllCommit) {
  constexpr int kThreads = 4, kRounds = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        RunTransactional([&] {
          store.Save(Path("c/" + std::to_string(t) + "_" + std::to_string(i) + ".xml"), std::to_string(i));
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i)
      EXPECT_EQ(Read(Path("c/" + std::to_string(t) + "_" + std::to_string(i) + ".xml")), std::to_string(i));
  EXPECT_TRUE(Temporaries().empty());
  EXPECT_EQ(IntentCount(), 0);
}

}  // namespace
}  // namespace tsa
