// The documents kept in the service database: committed and rolled back
// with the rows, versions that identify one content, and a change over a
// version the transaction did not see refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/files/database_store.h"
#include "runtime/context.h"
#include "runtime/settings.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

class DatabaseStoreTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) const { return (fs::path(env.DataDir()) / relative).string(); }

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
  DatabaseDocumentStore store;
};

TEST_F(DatabaseStoreTest, ChangesCommitWithTheRowsAndRollBackWithThem) {
  const std::string a = Path("TS/Manager/Trees/7_1.xml"), b = Path("TS/Enduser/Trees/7_0.xml");
  store.Save(b, "published");
  RunTransactional([&] {
    InsertMarker("one");
    store.Save(a, "working");
    store.Delete(b);
    // The transaction sees its own changes; the staged identity is the
    // one the document has once committed.
    EXPECT_EQ(store.Load(a), "working");
    EXPECT_FALSE(store.Exists(b));
    EXPECT_EQ(ErrorNumber([&] { store.Load(b); }), err::FileNotFound);
    EXPECT_FALSE(store.CurrentIdentity(a));
  });
  EXPECT_TRUE(MarkerExists("one"));
  EXPECT_EQ(store.Load(a), "working");
  EXPECT_FALSE(store.Exists(b));
  EXPECT_FALSE(fs::exists(a)) << "the database holds the document, not the data folder";

  EXPECT_THROW(RunTransactional([&] {
                 InsertMarker("two");
                 store.Save(a, "lost");
                 store.Move(a, b);
                 Raise(err::InternalError, "test", "abandoned");
               }),
               Error);
  EXPECT_FALSE(MarkerExists("two"));
  EXPECT_EQ(store.Load(a), "working");
  EXPECT_FALSE(store.Exists(b));

  std::optional<FileIdentity> staged;
  RunTransactional([&] {
    store.Save(a, store.Load(a) + "+more");
    staged = store.StagedIdentity(a);
  });
  ASSERT_TRUE(staged);
  EXPECT_EQ(store.CurrentIdentity(a), staged);
  std::optional<FileIdentity> read;
  EXPECT_EQ(store.LoadIdentified(a, read), "working+more");
  EXPECT_EQ(read, staged);
}

// Large documents are compressed with lz4 on PostgreSQL, whether the
// schema could set it on the column or each write has to ask for it.
TEST_F(DatabaseStoreTest, LargeDocumentsAreCompressedWithLz4EitherWay) {
  if (!test::TestEnv::IsPostgres()) GTEST_SKIP() << "PostgreSQL only";
  auto c = GetHelvixConnection();
  auto query = [&](const std::string& sql) {
    auto rs = c->OpenRecordset(sql);
    return rs->IsEOF() ? std::string() : rs->Field("V").ToText();
  };
  if (query("SELECT 'yes' AS V FROM pg_settings WHERE name = 'default_toast_compression' AND 'lz4' = ANY(enumvals)")
          .empty()) {
    CloseConnection(c);
    GTEST_SKIP() << "this server has no lz4";
  }
  // A column left with the server's default, as a database made before
  // finds it where the service's role may not alter the table.
  c->Execute("ALTER TABLE DOCUMENTS ALTER COLUMN CONTENT SET COMPRESSION default");
  std::string big;
  for (int i = 0; big.size() < (size_t{256} << 10); ++i) big += "<Node id=\"" + std::to_string(i) + "\"/>";
  const std::string a = Path("TS/Manager/Trees/8_1.xml");
  RunTransactional([&] { store.Save(a, big); });
  EXPECT_EQ(query("SELECT pg_column_compression(CONTENT) AS V FROM DOCUMENTS WHERE PATH = 'TS/Manager/Trees/8_1.xml'"),
            "lz4");
  CloseConnection(c);
  EXPECT_EQ(store.Load(a), big);
}

TEST_F(DatabaseStoreTest, AnIdentityNeverComesBackForOtherContent) {
  // A kept parsed copy or a client's tag is trusted on its identity alone:
  // deleting a document and writing it again, or writing it twice in one
  // transaction, must not give an identity seen before.
  const std::string a = Path("TS/Enduser/Trees/3_0.xml");
  store.Save(a, "first");
  const auto first = store.CurrentIdentity(a);
  store.Delete(a);
  EXPECT_FALSE(store.CurrentIdentity(a));
  store.Save(a, "first");
  const auto again = store.CurrentIdentity(a);
  ASSERT_TRUE(first && again);
  EXPECT_NE(*first, *again);
  EXPECT_GT(again->inode, first->inode);

  std::optional<FileIdentity> afterFirstSave;
  RunTransactional([&] {
    store.Save(a, "x");
    afterFirstSave = store.StagedIdentity(a);
    store.Save(a, "y");
  });
  EXPECT_NE(store.CurrentIdentity(a), afterFirstSave);
  EXPECT_EQ(store.Load(a), "y");
}

TEST_F(DatabaseStoreTest, AChangeOverAVersionTheTransactionDidNotSeeIsRefusedWithItsRows) {
  const std::string a = Path("TS/Manager/Trees/5_1.xml"), created = Path("TS/Manager/Trees/6_1.xml");
  store.Save(a, "v1");
  // What another server commits between this transaction's read and its
  // commit, written here through the transaction's own session.
  auto otherServerCommits = [](const std::string& sql) {
    auto c = GetHelvixConnection();
    c->Execute(sql);
    CloseConnection(c);
  };
  int32_t number = ErrorNumber([&] {
    RunTransactional([&] {
      InsertMarker("stale");
      const std::string seen = store.Load(a);
      otherServerCommits("UPDATE DOCUMENTS SET VERSION = VERSION + 1, CONTENT = 'v2' WHERE PATH = 'TS/Manager/Trees/5_1.xml'");
      store.Save(a, seen + "+edit");
    });
  });
  EXPECT_EQ(number, docerr::ChangedMeanwhile);
  EXPECT_FALSE(MarkerExists("stale"));
  EXPECT_EQ(store.Load(a), "v1");

  // A document created by both at once: one of them wins, the other is refused.
  number = ErrorNumber([&] {
    RunTransactional([&] {
      EXPECT_FALSE(store.Exists(created));
      otherServerCommits("INSERT INTO DOCUMENTS (PATH, VERSION, SIZE, STAMP, CONTENT) VALUES ('TS/Manager/Trees/6_1.xml', 1, 5, 1, 'other')");
      store.Save(created, "mine");
    });
  });
  EXPECT_EQ(number, docerr::ChangedMeanwhile);
}

TEST_F(DatabaseStoreTest, ACrashAtAnyStepLeavesOldOrNewWhileAnotherServerRecoversMeanwhile) {
  // The document in the database and its web-farm copy (a file) in one
  // transaction, the process dying at each step; a server on another
  // machine whose folder has the same path runs its start-up recovery
  // before this one restarts.
  const fs::path shared = fs::path(env.DataDir()).parent_path() / (fs::path(env.DataDir()).filename().string() + "-farm");
  const std::string ownerFile = Path(std::string(kStoreOwnerFile));
  StoreOwnerOf(env.DataDir());
  std::string mine;
  std::getline(std::ifstream(ownerFile), mine);
  int run = 0;
  for (const std::string step : {"after-temp-write", "after-prepare", "after-db-commit", "after-rename-1", "after-apply",
                                 "none"}) {
    SCOPED_TRACE(step);
    const std::string name = std::to_string(++run) + "_1.xml";
    const std::string doc = Path("TS/Manager/Trees/" + name), copy = (shared / name).string();
    const std::string marker = "crash-" + std::to_string(run);
    auto previous = SetCrashHookForTest([&](const std::string& s) { return s == step; });
    try {
      RunTransactional([&] {
        InsertMarker(marker);
        store.Save(doc, "new");
        store.Save(copy, "copy");
      });
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::InternalError);
    }
    SetCrashHookForTest(previous);

    std::ofstream(ownerFile, std::ios::trunc) << std::string(32, 'e') << "\n";
    EXPECT_EQ(RecoverDocumentStore().batchesCleared, 0);
    std::ofstream(ownerFile, std::ios::trunc) << mine << "\n";
    EXPECT_EQ(RecoverDocumentStore().failures, 0);

    const bool committed = MarkerExists(marker);
    EXPECT_EQ(committed, step != "after-temp-write" && step != "after-prepare");
    EXPECT_EQ(store.Exists(doc), committed);
    if (committed) {
      EXPECT_EQ(store.Load(doc), "new");
    }
    EXPECT_EQ(fs::exists(copy), committed);
  }
  fs::remove_all(shared);
}

TEST_F(DatabaseStoreTest, ContentThatCannotBeKeptIsRefusedAndOtherFoldersStayFiles) {
  const std::string a = Path("TS/Manager/Trees/1_1.xml");
  EXPECT_EQ(ErrorNumber([&] { store.Save(a, std::string("ab\0cd", 5)); }), docerr::NotStorable);
  EXPECT_FALSE(store.Exists(a));

  // The shared folder of a web farm lies outside the documents folder.
  const fs::path outside = fs::path(env.DataDir()).parent_path() / (fs::path(env.DataDir()).filename().string() + "-shared");
  const std::string shared = (outside / "Manager" / "Trees" / "1_1.xml").string();
  RunTransactional([&] { store.Save(shared, "copy"); });
  std::ifstream in(shared);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "copy");
  fs::remove_all(outside);
}

TEST_F(DatabaseStoreTest, WriteThroughLeavesTheFilesAsTheDatabaseHasThem) {
  Settings s = CurrentSettings();
  s.documentWriteThrough = true;
  SetCurrentSettings(s);
  const std::string a = Path("TS/Enduser/Trees/2_0.xml"), b = Path("TS/Enduser/Trees/2_1.xml");
  RunTransactional([&] { store.Save(a, "published"); });
  RunTransactional([&] { store.Move(a, b); });
  EXPECT_FALSE(fs::exists(a));
  std::ifstream in(b);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "published");
  EXPECT_THROW(RunTransactional([&] {
                 store.Save(b, "rolled back");
                 Raise(err::InternalError, "test", "abandoned");
               }),
               Error);
  std::ifstream again(b);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "published");
}

}  // namespace
}  // namespace tsa
