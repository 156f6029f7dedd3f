// tsauthor: the engine's command-line front end.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "platform/files/document_store.h"
#include "service/error.h"
#include "service/registry.h"
#include "service/settings.h"
#include "storage/schema.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage = R"(usage: tsauthor [--config FILE] [--data-dir DIR] <command> [arguments]

Commands:
  init        create the data folder and the databases with their schema
              (safe to run again; existing data is kept)
  version     print the version
  help        print this text

Options:
  --config FILE    configuration file (default: $TSAUTHOR_CONFIG, else
                   <data folder>/tsauthor.toml)
  --data-dir DIR   data folder (default: $TSAUTHOR_DATA_DIR, else
                   $XDG_DATA_HOME/tsauthor, else ~/.local/share/tsauthor)
)";

struct Options {
  std::string configFile;
  std::string dataDir;
  std::string command;
  std::vector<std::string> args;
};

// Parses global options; returns false (after printing why) on bad input.
bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tsauthor: option %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (o.command.empty() && (a == "--config" || a == "-c")) {
      const char* v = value("--config");
      if (!v) return false;
      o.configFile = v;
    } else if (o.command.empty() && a == "--data-dir") {
      const char* v = value("--data-dir");
      if (!v) return false;
      o.dataDir = v;
    } else if (o.command.empty() && (a == "-h" || a == "--help")) {
      o.command = "help";
    } else if (o.command.empty() && a.rfind("-", 0) == 0) {
      std::fprintf(stderr, "tsauthor: unknown option %s\n%s", a.c_str(), kUsage);
      return false;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  return true;
}

// A connection URI fit for printing: a password in it is replaced by "***".
std::string Redacted(const std::string& uri) {
  auto scheme = uri.find("://");
  if (scheme == std::string::npos) return uri;
  auto at = uri.find('@', scheme + 3);
  auto slash = uri.find('/', scheme + 3);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return uri;
  auto colon = uri.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return uri;
  return uri.substr(0, colon + 1) + "***" + uri.substr(at);
}

void PrintError(const tsa::ErrorInfo& e) {
  std::fprintf(stderr, "tsauthor: error %d (%s): %s\n", e.number, e.source.c_str(), e.description.c_str());
}

const tsa::Settings& Configure(const Options& o) {
  tsa::SetCurrentSettings(tsa::LoadSettings(o.configFile, o.dataDir));
  tsa::RegisterAllComponents();
  return tsa::CurrentSettings();
}

int CmdInit(const Options& o) {
  const tsa::Settings& s = Configure(o);
  fs::create_directories(s.dataDir);
  fs::create_directories(fs::path(s.logFile).parent_path());
  tsa::storage::CreateSchema(s.HelvixUri(), s.KCatalogUri());
  // Finish document changes a crash left behind.
  tsa::StoreRecovery r = tsa::RecoverDocumentStore();
  if (r.renamed || r.deleted || r.orphansRemoved || r.failures) {
    std::printf("recovered documents: %d put in place, %d deleted, %d leftovers removed, %d failed\n", r.renamed,
                r.deleted, r.orphansRemoved, r.failures);
  }
  std::printf("data folder:      %s\n", s.dataDir.c_str());
  std::printf("configuration:    %s%s\n", s.configFile.c_str(), fs::exists(s.configFile) ? "" : " (not present; defaults in use)");
  std::printf("service database: %s\n", Redacted(s.HelvixUri()).c_str());
  std::printf("catalog database: %s\n", Redacted(s.KCatalogUri()).c_str());
  std::printf("log file:         %s\n", s.logFile.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  if (o.command.empty() || o.command == "help") {
    std::fputs(kUsage, o.command.empty() ? stderr : stdout);
    return o.command.empty() ? 2 : 0;
  }
  try {
    if (o.command == "version") {
      std::puts("tsauthor 0.1.0");
      return 0;
    }
    if (o.command == "init") return CmdInit(o);
    std::fprintf(stderr, "tsauthor: unknown command '%s'\n%s", o.command.c_str(), kUsage);
    return 2;
  } catch (...) {
    PrintError(tsa::CurrentError());
    return 1;
  }
}
