// Settings: the TOML file, the environment and what an operator gets told
// when either is wrong.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "runtime/error.h"
#include "runtime/settings.h"

namespace fs = std::filesystem;

namespace tsa {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    dir_ = fs::temp_directory_path() / ("tsa-settings-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  ~SettingsTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Write(const std::string& text) {
    std::string path = (dir_ / "tsauthor.toml").string();
    std::ofstream(path) << text;
    return path;
  }

  // The description of the error loading `text` raises ("" when it loads).
  std::string Refusal(const std::string& text) {
    std::string file = Write(text);
    try {
      LoadSettings(file, (dir_ / "data").string());
    } catch (const Error& e) {
      EXPECT_EQ(e.info().number, err::InvalidArgument) << e.info().description;
      EXPECT_NE(e.info().description.find(file), std::string::npos) << e.info().description;
      return e.info().description;
    }
    return {};
  }

  fs::path dir_;
  ScopedEnv noDataDir_{"TSAUTHOR_DATA_DIR", nullptr};
  ScopedEnv noPort_{"TSAUTHOR_PORT", nullptr};
  ScopedEnv noWebRoot_{"TSAUTHOR_WEB_ROOT", nullptr};
};

TEST_F(SettingsTest, AWellFormedFileIsRead) {
  Settings s = LoadSettings(Write("install_dir = \"/srv/x\"\n[log]\nstderr = true\n[server]\nport = 9000\n"
                                  "threads = 2\nmax_body_bytes = 4096\n[connections.Helvix]\nHelvix = \"sqlite:/a.db\"\n"),
                            (dir_ / "data").string());
  EXPECT_EQ(s.installDir, "/srv/x");
  EXPECT_TRUE(s.logToStderr);
  EXPECT_EQ(s.port, 9000);
  EXPECT_EQ(s.threads, 2);
  EXPECT_EQ(s.maxBodyBytes, 4096u);
  EXPECT_EQ(s.HelvixUri(), "sqlite:/a.db");
}

TEST_F(SettingsTest, AValueOfTheWrongTypeIsRefusedNamingTheKey) {
  // Read silently as the default, a quoted port or a Boolean written as
  // text would leave the operator guessing why the file has no effect.
  EXPECT_NE(Refusal("[server]\nport = \"9000\"\n").find("server.port"), std::string::npos);
  EXPECT_NE(Refusal("[log]\nstderr = \"yes\"\n").find("log.stderr"), std::string::npos);
  EXPECT_NE(Refusal("data_dir = 5\n").find("data_dir"), std::string::npos);
  EXPECT_NE(Refusal("[connections.Helvix]\nHelvix = 1\n").find("connections.Helvix.Helvix"), std::string::npos);
  EXPECT_NE(Refusal("log = \"x\"\n").find("log"), std::string::npos);
  // A misspelt store must not quietly fall back to another one.
  EXPECT_NE(Refusal("[documents]\nstore = \"databse\"\n").find("documents.store"), std::string::npos);
}

TEST_F(SettingsTest, AnUnknownKeyIsRefusedNamingIt) {
  EXPECT_NE(Refusal("datadir = \"/srv\"\n").find("datadir"), std::string::npos);
  EXPECT_NE(Refusal("[sever]\nport = 9000\n").find("sever"), std::string::npos);
  EXPECT_NE(Refusal("[server]\nlisten_address = \"0.0.0.0\"\n").find("server.listen_address"), std::string::npos);
  EXPECT_NE(Refusal("[log]\nfiles = \"/x\"\n").find("log.files"), std::string::npos);
  EXPECT_NE(Refusal("[versions]\nkept = 3\n").find("versions.kept"), std::string::npos);
}

TEST_F(SettingsTest, NumbersOutOfRangeAreRefusedNotWrapped) {
  // 2^32 + 8470 used to be cut to 32 bits and served on port 8470.
  EXPECT_NE(Refusal("[server]\nport = 4294975766\n").find("server.port"), std::string::npos);
  EXPECT_NE(Refusal("[server]\nport = 0\n").find("server.port"), std::string::npos);
  // A negative body limit used to turn into no limit at all.
  EXPECT_NE(Refusal("[server]\nmax_body_bytes = -1\n").find("server.max_body_bytes"), std::string::npos);
  EXPECT_NE(Refusal("[server]\nthreads = -3\n").find("server.threads"), std::string::npos);
  EXPECT_NE(Refusal("[server]\nrequest_timeout_seconds = 0\n").find("server.request_timeout_seconds"),
            std::string::npos);
  EXPECT_NE(Refusal("[server]\nmax_json_depth = 0\n").find("server.max_json_depth"), std::string::npos);
  // A depth this large overflowed a worker's stack while the request was parsed.
  EXPECT_NE(Refusal("[server]\nmax_json_depth = 100000\n").find("server.max_json_depth"), std::string::npos);
  EXPECT_NE(Refusal("[versions]\nkeep = -1\n").find("versions.keep"), std::string::npos);
}

TEST_F(SettingsTest, VersionsKeptDefaultToFiftyAndZeroTurnsThemOff) {
  EXPECT_EQ(LoadSettings(Write(""), (dir_ / "data").string()).versionsKept, 50);
  EXPECT_EQ(LoadSettings(Write("[versions]\nkeep = 0\n"), (dir_ / "data").string()).versionsKept, 0);
}

TEST_F(SettingsTest, TreesAreAtMost256LevelsDeepUnlessTheFileSaysOtherwise) {
  EXPECT_EQ(LoadSettings(Write(""), (dir_ / "data").string()).maxTreeDepth, 256);
  EXPECT_EQ(LoadSettings(Write("[trees]\nmax_depth = 40\n"), (dir_ / "data").string()).maxTreeDepth, 40);
  EXPECT_NE(Refusal("[trees]\nmax_depth = 0\n").find("trees.max_depth"), std::string::npos);
  EXPECT_NE(Refusal("[trees]\nmax_depth = 10001\n").find("trees.max_depth"), std::string::npos);
}

TEST_F(SettingsTest, TheWebAppsFolderComesFromTheFileOrTheEnvironmentElseWebDist) {
  // The default is where `make web` leaves the app, seen from the folder
  // `make run` starts in; a relative setting is taken from there too.
  EXPECT_EQ(LoadSettings(Write(""), (dir_ / "data").string()).webRoot, (fs::current_path() / "web" / "dist").string());
  EXPECT_EQ(LoadSettings(Write("[web]\nroot = \"app/../site\"\n"), (dir_ / "data").string()).webRoot,
            (fs::current_path() / "site").string());
  ScopedEnv env("TSAUTHOR_WEB_ROOT", "/srv/app");
  EXPECT_EQ(LoadSettings(Write("[web]\nroot = \"/srv/other\"\n"), (dir_ / "data").string()).webRoot, "/srv/app");
  EXPECT_NE(Refusal("[web]\nroot = 1\n").find("web.root"), std::string::npos);
  EXPECT_NE(Refusal("[web]\nfolder = \"x\"\n").find("web.folder"), std::string::npos);
  // Source maps stay private unless asked for.
  EXPECT_FALSE(LoadSettings(Write(""), (dir_ / "data").string()).webServeSourceMaps);
  EXPECT_TRUE(LoadSettings(Write("[web]\nserve_source_maps = true\n"), (dir_ / "data").string()).webServeSourceMaps);
}

TEST_F(SettingsTest, SignInPausesAreReadWithTheirLimits) {
  const Settings s = LoadSettings(Write("[auth]\nsign_in_address_failures_before_delay = 50\n"
                                        "sign_in_delay_max_seconds = 3600\n"),
                                  (dir_ / "data").string());
  EXPECT_EQ(s.auth.signInAddressFailuresBeforeDelay, 50);
  EXPECT_EQ(s.auth.signInDelayMaxSeconds, 3600);
  EXPECT_NE(Refusal("[auth]\nsign_in_delay_max_seconds = 0\n").find("auth.sign_in_delay_max_seconds"),
            std::string::npos);
}

TEST_F(SettingsTest, TheEnvironmentOverridesTheFilesDataFolder) {
  std::string file = Write("data_dir = \"" + (dir_ / "from-file").string() + "\"\n");
  {
    Settings s = LoadSettings(file);
    EXPECT_EQ(s.dataDir, (dir_ / "from-file").string());
  }
  ScopedEnv env("TSAUTHOR_DATA_DIR", (dir_ / "from-env").c_str());
  Settings s = LoadSettings(file);
  EXPECT_EQ(s.dataDir, (dir_ / "from-env").string());
  EXPECT_EQ(s.HelvixUri(), "sqlite:" + (dir_ / "from-env" / "helvix.db").string());
}

TEST_F(SettingsTest, AFileThatCannotBeReadIsReportedAsSuch) {
  // A folder where the file should be: it exists but cannot be read.
  fs::create_directories(dir_ / "folder.toml");
  try {
    LoadSettings((dir_ / "folder.toml").string(), (dir_ / "data").string());
    FAIL() << "a configuration file that cannot be read was accepted";
  } catch (const Error& e) {
    EXPECT_NE(e.info().description.find((dir_ / "folder.toml").string()), std::string::npos) << e.info().description;
    EXPECT_EQ(e.info().description.find("line 0"), std::string::npos) << e.info().description;
  }
}

}  // namespace
}  // namespace tsa
