// tsauthor: the engine's command-line front end.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <iterator>

#include "accounts/call_guard.h"
#include "cli/commands.h"
#include "cli/export_commands.h"
#include "components/catalog.h"
#include "platform/files/document_store.h"
#include "runtime/caller.h"
#include "cli/document_commands.h"
#include "cli/maintenance_commands.h"
#include "runtime/allocator.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "runtime/settings.h"
#include "server/api_doc.h"
#include "server/http_server.h"
#include "server/json_rpc.h"
#include "server/rpc_client.h"
#include "storage/schema.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage = R"(usage: tsauthor [--config FILE] [--data-dir DIR] <command> [arguments]

Commands:
  init        create the data folder and the databases with their schema
              (safe to run again; existing data is kept)
  serve       run the JSON-RPC service (POST /rpc) until SIGINT or SIGTERM
  call METHOD [PARAMS] [--url URL] [--token TOKEN] [--as LOGIN]
              call a method, e.g. TSDOM.CheckOut, with arguments as JSON:
              named '{"i_lTreeType":1,"i_lID":7,"i_sUserId":"ann"}' or
              positional '[1,7,"ann"]' ("-" reads them from standard input);
              in-process (as the account LOGIN with --as, else as the local
              administrator "local:<OS user>"), or on a running service with
              --url (as the token's account)
  catalog load FILE
              load products, categories and visibilities from a JSON file
  user ...    accounts and personal tokens, with or without a running service:
%USER%  audit ...   the audit trail:
%AUDIT%  export TYPE/ID [--working] [--output FILE]
              write a tree (TYPE 1 or product, 2 or template) as one JSON
              file: the published copy, or the working copy
  import FILE --as TYPE/ID [--reuse-texts]
              create a published tree from an exported file ("-" reads
              standard input); --reuse-texts uses existing repository
              entities with the same type and texts
  maintenance remove-unused-entities [--dry-run]
              remove (or list) the repository entities that no node and no
              kept version refers to
  documents import|export
              copy the current document files into the database store
              (idempotent), or write the database's documents to files
  api-doc     print the API reference (Markdown)
  version     print the version
  help        print this text

Options:
  --config FILE    configuration file (default: $TSAUTHOR_CONFIG, else
                   <data folder>/tsauthor.toml)
  --data-dir DIR   data folder (default: $TSAUTHOR_DATA_DIR, else
                   $XDG_DATA_HOME/tsauthor, else ~/.local/share/tsauthor)
)";

std::string Usage() {
  std::string text = kUsage;
  text.replace(text.find("%USER%"), 6, tsa::cli::kUserUsage);
  text.replace(text.find("%AUDIT%"), 7, tsa::cli::kAuditUsage);
  return text;
}

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
    } else if (o.command.empty() && a.rfind("-", 0) == 0 && a != "-") {
      std::fprintf(stderr, "tsauthor: unknown option %s\n%s", a.c_str(), Usage().c_str());
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
  // A file named on purpose must be there: running on the defaults instead
  // would put the data where nobody looks. Only the default file is optional.
  std::string named = o.configFile;
  if (named.empty()) {
    if (const char* c = std::getenv("TSAUTHOR_CONFIG")) named = c;
  }
  if (!named.empty() && !fs::exists(named)) {
    tsa::Raise(tsa::err::FileNotFound, {}, "Configuration file not found: " + named);
  }
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

int CmdServe(const Options& o) {
  tsa::TuneAllocator();
  const tsa::Settings& s = Configure(o);
  fs::create_directories(s.dataDir);
  tsa::storage::CreateSchema(s.HelvixUri(), s.KCatalogUri());
  tsa::RecoverDocumentStore();
  const int status = tsa::server::RunServer(s);
  try {
    tsa::RemoveFinishedIntents();
  } catch (...) {
    // Left for the next start's recovery.
  }
  return status;
}

int CmdCall(const Options& o) {
  std::string method, paramsText, url, token, as;
  for (size_t i = 0; i < o.args.size(); ++i) {
    const std::string& a = o.args[i];
    if ((a == "--url" || a == "--token" || a == "--as") && i + 1 < o.args.size()) {
      (a == "--url" ? url : a == "--token" ? token : as) = o.args[++i];
    } else if (a == "--url" || a == "--token" || a == "--as") {
      std::fprintf(stderr, "tsauthor: option %s needs a value\n", a.c_str());
      return 2;
    } else if (method.empty()) {
      method = a;
    } else if (paramsText.empty()) {
      paramsText = a;
    } else {
      std::fprintf(stderr, "tsauthor: call takes a method and one JSON argument; unexpected '%s'\n", a.c_str());
      return 2;
    }
  }
  if (method.empty()) {
    std::fprintf(stderr, "tsauthor: call needs a method, e.g. TSDOM.CheckOut\n%s", Usage().c_str());
    return 2;
  }
  if (!as.empty() && !url.empty()) {
    std::fprintf(stderr, "tsauthor: --as names the account of an in-process call; with --url the token decides\n");
    return 2;
  }
  if (paramsText == "-") paramsText.assign(std::istreambuf_iterator<char>(std::cin), {});
  if (token.empty()) {
    if (const char* t = std::getenv("TSAUTHOR_TOKEN")) token = t;
  }
  nlohmann::json params = paramsText.empty() ? nlohmann::json() : tsa::server::ParseParams(paramsText);
  nlohmann::json result;
  if (url.empty()) {
    Configure(o);
    tsa::RecoverDocumentStore();
    // --- accounts glue: the identity of an in-process call (accounts/call_guard.h) ---
    tsa::CallerScope caller(tsa::accounts::InProcessCaller(as));
    result = tsa::server::CallLocal(method, params);
  } else {
    result = tsa::server::CallRemote(url, method, params, token);
  }
  std::printf("%s\n", result.dump(2).c_str());
  return 0;
}

int CmdCatalog(const Options& o) {
  if (o.args.size() != 2 || o.args[0] != "load") {
    std::fprintf(stderr, "tsauthor: usage: tsauthor catalog load FILE\n");
    return 2;
  }
  const tsa::Settings& s = Configure(o);
  fs::create_directories(s.dataDir);
  tsa::storage::CreateSchema(s.HelvixUri(), s.KCatalogUri());
  tsa::CatalogLoadResult r = tsa::LoadCatalogFile(o.args[1]);
  std::printf("catalog loaded from %s: %d visibilities, %d categories, %d products\n", o.args[1].c_str(),
              r.visibilities, r.categories, r.products);
  return 0;
}

// --- accounts glue: tsauthor user / audit (cli/user_commands.cpp, cli/audit_commands.cpp) ---
int CmdAccounts(const Options& o) {
  auto open = [&o] {
    const tsa::Settings& s = Configure(o);
    fs::create_directories(s.dataDir);
    tsa::storage::CreateSchema(s.HelvixUri(), s.KCatalogUri());
  };
  return o.command == "user" ? tsa::cli::CmdUser(o.args, open) : tsa::cli::CmdAudit(o.args, open);
}

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  if (o.command.empty() || o.command == "help") {
    std::fputs(Usage().c_str(), o.command.empty() ? stderr : stdout);
    return o.command.empty() ? 2 : 0;
  }
  // "tsauthor <command> --help" explains rather than runs the command.
  for (const std::string& a : o.args) {
    if (a == "--help" || a == "-h") {
      std::fputs(Usage().c_str(), stdout);
      return 0;
    }
  }
  if ((o.command == "init" || o.command == "serve" || o.command == "version" || o.command == "api-doc") &&
      !o.args.empty()) {
    std::fprintf(stderr, "tsauthor: %s takes no arguments; unexpected '%s'\n%s", o.command.c_str(),
                 o.args[0].c_str(), Usage().c_str());
    return 2;
  }
  try {
    if (o.command == "version") {
      std::puts("tsauthor 0.1.0");
      return 0;
    }
    if (o.command == "init") return CmdInit(o);
    if (o.command == "serve") return CmdServe(o);
    if (o.command == "call") return CmdCall(o);
    if (o.command == "catalog") return CmdCatalog(o);
    if (o.command == "user" || o.command == "audit") return CmdAccounts(o);
    if (o.command == "export") return tsa::cli::CmdExport(o.args, [&] {
      Configure(o);
      tsa::RecoverDocumentStore();
    });
    if (o.command == "import") return tsa::cli::CmdImport(o.args, [&] {
      Configure(o);
      tsa::RecoverDocumentStore();
    });
    if (o.command == "documents") return tsa::cli::CmdDocuments(o.args, [&] {
      const tsa::Settings& s = Configure(o);
      fs::create_directories(s.dataDir);
      tsa::storage::CreateSchema(s.HelvixUri(), s.KCatalogUri());
      tsa::RecoverDocumentStore();
    });
    if (o.command == "maintenance") {
      Configure(o);
      return tsa::cli::RunMaintenance(o.args);
    }
    if (o.command == "api-doc") {
      Configure(o);
      std::fputs(tsa::server::RenderApiReference().c_str(), stdout);
      return 0;
    }
    std::fprintf(stderr, "tsauthor: unknown command '%s'\n%s", o.command.c_str(), Usage().c_str());
    return 2;
  } catch (...) {
    PrintError(tsa::CurrentError());
    return 1;
  }
}
