// Moving an installation's documents into the database and back.
#include "storage/document_transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/files/database_store.h"
#include "runtime/settings.h"
#include "storage/tree_types.h"
#include "support/consistency.h"
#include "support/test_env.h"
#include "support/tree_fixture.h"

namespace fs = std::filesystem;

namespace tsa::storage {
namespace {

void UseStore(const std::string& store) {
  Settings s = CurrentSettings();
  s.documentStore = store;
  SetCurrentSettings(s);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DocumentTransferTest, ImportOnceThenEditInTheDatabaseAndExportBack) {
  test::TestEnv env;
  UseStore("files");
  test::CreateProductTree(7);
  ASSERT_EQ(test::CheckOut(kProductTree, 7, "ann"), "");
  test::AddNode(kProductTree, 7, "ann", {});
  const std::string working = test::DocumentPath(kProductTree, *test::DocumentName(kProductTree, 7, true), true);
  const std::string published = test::DocumentPath(kProductTree, *test::DocumentName(kProductTree, 7, false), false);

  DocumentTransfer first = ImportDocumentFiles();
  EXPECT_EQ(first.copied, 2);
  EXPECT_EQ(first.missing, 0);
  DocumentTransfer again = ImportDocumentFiles();
  EXPECT_EQ(again.copied, 0);
  EXPECT_EQ(again.alreadyThere, 2);

  // From now on the database holds the documents: the files are left behind.
  UseStore("database");
  EXPECT_TRUE(test::TreeCopyIsConsistent(kProductTree, 7, true));
  test::AddNode(kProductTree, 7, "ann", {.sd = "in the database"});
  EXPECT_TRUE(test::TreeCopyIsConsistent(kProductTree, 7, true));
  EXPECT_EQ(FileText(working).find("in the database"), std::string::npos);

  // An import run again keeps the database's newer copy.
  DocumentTransfer late = ImportDocumentFiles();
  EXPECT_EQ(late.copied, 0);
  EXPECT_EQ(late.differing, 1);
  EXPECT_EQ(late.notes.size(), 1u);

  DocumentTransfer out = ExportDocumentFiles();
  EXPECT_EQ(out.copied, 1);
  EXPECT_EQ(out.alreadyThere, 1);
  DatabaseDocumentStore database;
  EXPECT_EQ(FileText(working), database.Load(working));
  EXPECT_EQ(FileText(published), database.Load(published));
  UseStore("files");
  EXPECT_TRUE(test::TreeCopyIsConsistent(kProductTree, 7, true));

  fs::remove(published);
  UseStore("database");
  EXPECT_EQ(ImportDocumentFiles().missing, 1);
}

}  // namespace
}  // namespace tsa::storage
