// The file-handling service: current names per tree and category, their
// transactions, refused names, and the shared location of a web farm.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "components/connections.h"
#include "components/file_handling.h"
#include "components/value_formatting.h"
#include "platform/files/document_store.h"
#include "runtime/context.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

class FileHandlingTest : public ::testing::Test {
 protected:
  // The service's files are what these tests look at.
  FileHandlingTest() {
    test::TestEnv::UseDocumentFiles();
    RegisterFileHandlingComponent();
  }

  std::shared_ptr<IFileHandling> Service() { return CreateInContext<IFileHandling>(progid::FileHandling); }

  std::string Local(const std::string& folder, const std::string& name) const {
    return (fs::path(env.DataDir()) / "documents/TS" / folder / name).string();
  }
  std::string Shared() const { return (fs::path(env.DataDir()) / "shared").string(); }

  static void Write(const std::string& path, const std::string& contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
  }
  static std::optional<std::string> Read(const std::string& path) {
    if (!fs::is_regular_file(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static void SetParameter(const std::string& name, const std::string& value) {
    auto c = GetHelvixConnection();
    c->Execute("DELETE FROM PARAMETERS WHERE PARAM_NAME = " + FormatSqlText(name));
    c->Execute("INSERT INTO PARAMETERS (PARAM_NAME, PARAM_VALUE, PARAM_TYPE) VALUES (" + FormatSqlText(name) + ", " +
               FormatSqlText(value) + ", 'String')");
    CloseConnection(c);
  }
  void EnableWebFarm() {
    SetParameter("Webfarm Implemented", "True");
    SetParameter("FTPPath", Shared());
  }

  std::string NameOf(int32_t id, int32_t category) {
    auto names = Service()->GetFileNames(id, {category});
    return names.Exists(category) ? CurrentFileName(names, category) : std::string();
  }

  static int32_t ErrorNumber(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }

  test::TestEnv env;
};

TEST_F(FileHandlingTest, NamesAreRecordedPerTreeAndCategory) {
  auto fh = Service();
  Write(Local("Enduser/Trees", "12_0.xml"), "e");
  Write(Local("Manager/Trees", "12_1.xml"), "m");
  Write(Local("Enduser/Templates", "12_0.xml"), "t");
  fh->AddFile(Local("Enduser/Trees", "12_0.xml"), 12, 9, 1);
  fh->AddFile(Local("Manager/Trees", "12_1.xml"), 12, 8, 1);
  fh->AddFile(Local("Enduser/Templates", "12_0.xml"), 12, 17, 2);

  auto names = fh->GetFileNames(12, {9, 8, 16, 9});
  EXPECT_EQ(names.Count(), 2u);  // only the categories known, each once
  EXPECT_EQ(names.Keys(), (std::vector<int32_t>{9, 8}));
  EXPECT_EQ(CurrentFileName(names, 9), "12_0.xml");
  EXPECT_EQ(CurrentFileName(names, 8), "12_1.xml");
  EXPECT_EQ(ErrorNumber([&] { CurrentFileName(names, 16); }), err::SubscriptOutOfRange);
  EXPECT_EQ(NameOf(12, 17), "12_0.xml");
  EXPECT_EQ(fh->GetFileNames(13, {9, 8}).Count(), 0u);
  EXPECT_EQ(fh->GetFileNames(12, {}).Count(), 0u);

  // A newer version replaces the name; removing a name that is not current
  // changes nothing; removing the current one forgets it.
  Write(Local("Enduser/Trees", "12_1.xml"), "e2");
  fh->AddFile(Local("Enduser/Trees", "12_1.xml"), 12, 9, 1);
  EXPECT_EQ(NameOf(12, 9), "12_1.xml");
  fh->RemoveFile("12_0.xml", 12, 9, 1);
  EXPECT_EQ(NameOf(12, 9), "12_1.xml");
  fh->RemoveFile("12_1.xml", 12, 9, 1);
  EXPECT_EQ(NameOf(12, 9), "");

  fh->DeleteFiles(12, {9, 8});
  EXPECT_EQ(fh->GetFileNames(12, {9, 8}).Count(), 0u);
  EXPECT_EQ(NameOf(12, 17), "12_0.xml");  // other categories stay
  EXPECT_TRUE(fs::exists(Local("Manager/Trees", "12_1.xml")));  // local files are the caller's
}

TEST_F(FileHandlingTest, NamesCommitAndRollBackWithTheTransaction) {
  const std::string path = Local("Enduser/Trees", "5_0.xml");
  RunTransactional([&] {
    DocumentStore()->Save(path, "<Node/>");
    Service()->AddFile(path, 5, 9, 1);  // sees the staged file
    EXPECT_EQ(NameOf(5, 9), "5_0.xml");
    AbortTransaction();
  });
  EXPECT_EQ(NameOf(5, 9), "");
  EXPECT_FALSE(fs::exists(path));

  RunTransactional([&] {
    DocumentStore()->Save(path, "<Node/>");
    Service()->AddFile(path, 5, 9, 1);
  });
  EXPECT_EQ(NameOf(5, 9), "5_0.xml");
  EXPECT_EQ(Read(path), "<Node/>");

  EXPECT_THROW(RunTransactional([&] {
                 Service()->RemoveFile("5_0.xml", 5, 9, 1);
                 Service()->DeleteFiles(5, {9});
                 Raise(1, "test", "failure after the names changed");
               }),
               Error);
  EXPECT_EQ(NameOf(5, 9), "5_0.xml");
}

TEST_F(FileHandlingTest, NamesThatAreNotPlainDocumentNamesAreRefused) {
  Write(Local("Enduser/Trees", "abc.xml"), "x");
  Write(Local("Enduser/Trees", "1_0.xml"), "x");
  auto fh = Service();
  for (const std::string& bad : {std::string("../1_0.xml"), std::string("1_0.xml/.."), std::string("a/1_0.xml"),
                                 std::string("1_0.txt"), std::string("1-0.xml"), std::string("_0.xml"),
                                 std::string("1_.xml"), std::string(""), std::string("1_0.xml ")}) {
    EXPECT_EQ(ErrorNumber([&] { fh->RemoveFile(bad, 1, 9, 1); }), err::InvalidFileName) << bad;
    EXPECT_EQ(ErrorNumber([&] { fh->FetchFile(Shared(), bad, Local("Enduser/Trees", "1_0.xml"), 9, 1, 1); }),
              err::InvalidFileName)
        << bad;
  }
  EXPECT_EQ(ErrorNumber([&] { fh->AddFile(Local("Enduser/Trees", "abc.xml"), 1, 9, 1); }), err::InvalidFileName);
  EXPECT_EQ(ErrorNumber([&] { fh->AddFile("documents/1_0.xml", 1, 9, 1); }), err::InvalidFileName);
  EXPECT_EQ(ErrorNumber([&] { fh->AddFile(Local("Enduser/../Enduser/Trees", "1_0.xml"), 1, 9, 1); }),
            err::InvalidFileName);
  // The local path must name the file that is fetched.
  EXPECT_EQ(ErrorNumber([&] { fh->FetchFile(Shared(), "1_0.xml", Local("Enduser/Trees", "2_0.xml"), 9, 1, 1); }),
            err::InvalidFileName);
  EXPECT_EQ(ErrorNumber([&] { fh->AddFile(Local("Enduser/Trees", "3_0.xml"), 3, 9, 1); }), err::FileNotFound);
  EXPECT_EQ(fh->GetFileNames(1, {9}).Count(), 0u);

  // The error is reported with the service's label and keeps its number.
  try {
    fh->RemoveFile("../1_0.xml", 1, 9, 1);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(e.description().find("METHOD: HXSvcCommonMTS.FileHandling.RemoveFile caught: "), std::string::npos);
  }
}

TEST_F(FileHandlingTest, AWebFarmSharesDocumentsThroughTheSharedLocation) {
  EnableWebFarm();
  auto fh = Service();
  const std::string enduser = Local("Enduser/Trees", "7_0.xml");
  const std::string sharedEnduser = Shared() + "/Enduser/Trees/7_0.xml";
  Write(enduser, "published");
  fh->AddFile(enduser, 7, 9, 1);
  EXPECT_EQ(Read(sharedEnduser), "published");

  // Another node: its local copy is missing or stale until fetched.
  const std::string otherNode = (fs::path(env.DataDir()) / "node2/TS/Enduser/Trees/7_0.xml").string();
  EXPECT_TRUE(fh->FetchFile(Shared() + "/", "7_0.xml", otherNode, 9, std::nullopt, 1));
  EXPECT_EQ(Read(otherNode), "published");
  Write(sharedEnduser, "republished");
  EXPECT_TRUE(fh->FetchFile(Shared(), "7_0.xml", otherNode, 9, 7, 1));
  EXPECT_EQ(Read(otherNode), "republished");

  // Nothing shared: true only when a local copy exists.
  EXPECT_FALSE(fh->FetchFile(Shared(), "8_0.xml", Local("Enduser/Trees", "8_0.xml"), 9, 8, 1));
  Write(Local("Enduser/Templates", "8_0.xml"), "local only");
  EXPECT_TRUE(fh->FetchFile(Shared(), "8_0.xml", Local("Enduser/Templates", "8_0.xml"), 17, 8, 2));

  // A new version replaces the shared copy of the old one.
  const std::string next = Local("Enduser/Trees", "7_1.xml");
  Write(next, "version 1");
  fh->RemoveFile("7_0.xml", 7, 9, 1);
  EXPECT_FALSE(fs::exists(sharedEnduser));
  fh->AddFile(next, 7, 9, 1);
  EXPECT_EQ(Read(Shared() + "/Enduser/Trees/7_1.xml"), "version 1");

  // Manager documents have their own folder; forgetting them removes the
  // shared copies as well.
  const std::string manager = Local("Manager/Trees", "7_2.xml");
  Write(manager, "editing");
  fh->AddFile(manager, 7, 8, 1);
  EXPECT_EQ(Read(Shared() + "/Manager/Trees/7_2.xml"), "editing");
  fh->DeleteFiles(7, {9, 8});
  EXPECT_FALSE(fs::exists(Shared() + "/Manager/Trees/7_2.xml"));
  EXPECT_FALSE(fs::exists(Shared() + "/Enduser/Trees/7_1.xml"));
}

TEST_F(FileHandlingTest, SharedCopiesFollowTheTransaction) {
  EnableWebFarm();
  const std::string path = Local("Enduser/Templates", "3_0.xml");
  RunTransactional([&] {
    DocumentStore()->Save(path, "template");
    Service()->AddFile(path, 3, 17, 2);
    AbortTransaction();
  });
  EXPECT_FALSE(fs::exists(Shared() + "/Enduser/Templates/3_0.xml"));
  EXPECT_EQ(NameOf(3, 17), "");

  // A store that fails makes the whole call fail, names included.
  class FailingStore : public FileDocumentStore {
   public:
    void Copy(const std::string&, const std::string& target) override {
      Raise(err::PermissionDenied, "test", "Permission denied: " + target);
    }
  };
  ScopedRegistration failing(progid::DocumentStore, [] { return std::make_shared<FailingStore>(); });
  EXPECT_THROW(RunTransactional([&] {
                 DocumentStore()->Save(path, "template");
                 Service()->AddFile(path, 3, 17, 2);
               }),
               Error);
  EXPECT_EQ(NameOf(3, 17), "");
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(FileHandlingTest, WebFarmParametersAreChecked) {
  Write(Local("Enduser/Trees", "4_0.xml"), "x");
  SetParameter("Webfarm Implemented", "0");
  Service()->AddFile(Local("Enduser/Trees", "4_0.xml"), 4, 9, 1);  // off: names only
  EXPECT_FALSE(fs::exists(Shared()));

  SetParameter("Webfarm Implemented", "maybe");
  EXPECT_EQ(ErrorNumber([&] { Service()->AddFile(Local("Enduser/Trees", "4_0.xml"), 4, 9, 1); }), err::TypeMismatch);
  SetParameter("Webfarm Implemented", "-1");  // on, but nowhere to share
  EXPECT_EQ(ErrorNumber([&] { Service()->AddFile(Local("Enduser/Trees", "4_0.xml"), 4, 9, 1); }), err::PathNotFound);
  SetParameter("FTPPath", "relative/share");
  EXPECT_EQ(ErrorNumber([&] { Service()->AddFile(Local("Enduser/Trees", "4_0.xml"), 4, 9, 1); }),
            err::InvalidFileName);
}

}  // namespace
}  // namespace tsa
