#include "runtime/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <filesystem>
#include <mutex>
#include <sstream>

#include <toml++/toml.h>

#include "runtime/error.h"

namespace fs = std::filesystem;

namespace tsa {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool ParseBool(const std::string& name, const std::string& v) {
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off" || v.empty()) return false;
  Raise(err::InvalidArgument, {}, "Invalid setting " + name + ": expected true or false, got '" + v + "'");
}

int ParseInt(const std::string& name, const std::string& v) {
  try {
    size_t used = 0;
    long n = std::stol(v, &used);
    if (used != v.size() || n < 0 || n > 1'000'000'000) throw std::out_of_range(v);
    return static_cast<int>(n);
  } catch (const std::exception&) {
    Raise(err::InvalidArgument, {}, "Invalid setting " + name + ": expected a non-negative whole number, got '" + v + "'");
  }
}

// The TOML file, read with every key checked: a key the engine does not
// know or a value of the wrong type is refused with the file, line and key,
// rather than ignored so that a default silently applies.
class ConfigFile {
 public:
  explicit ConfigFile(std::string path) : path_(std::move(path)) {}

  const toml::table& Parse() {
    std::error_code ec;
    if (fs::is_directory(path_, ec)) {
      Raise(err::FileNotFound, {}, "Cannot read the configuration file " + path_ + ": it is a folder");
    }
    errno = 0;
    std::ifstream in(path_, std::ios::binary);
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), {});
    if (!in || in.bad()) {
      const int code = errno ? errno : EIO;
      Raise(code == EACCES ? err::PermissionDenied : err::FileNotFound, {},
            "Cannot read the configuration file " + path_ + ": " + std::strerror(code));
    }
    try {
      table_ = toml::parse(text, path_);
    } catch (const toml::parse_error& e) {
      std::ostringstream msg;
      msg << "Invalid configuration file " << path_ << " at line " << e.source().begin.line << ": "
          << e.description();
      Raise(err::InvalidArgument, {}, msg.str());
    }
    return table_;
  }

  // Refuses any key of `table` not among `known`.
  void Check(const toml::table& table, const std::string& prefix, std::initializer_list<std::string_view> known) {
    for (auto& [key, node] : table) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
        Fail(node, Qualified(prefix, key.str()), "is not a setting");
      }
    }
  }

  std::optional<std::string> Text(const toml::table& table, const std::string& prefix, std::string_view key) {
    const toml::node* n = table.get(key);
    if (!n) return std::nullopt;
    if (!n->is_string()) Fail(*n, Qualified(prefix, key), "must be a quoted text");
    return n->value<std::string>();
  }

  // A quoted text that must be one of `allowed`.
  std::optional<std::string> Choice(const toml::table& table, const std::string& prefix, std::string_view key,
                                    std::initializer_list<std::string_view> allowed) {
    std::optional<std::string> v = Text(table, prefix, key);
    if (v && std::find(allowed.begin(), allowed.end(), *v) == allowed.end()) {
      std::string names;
      for (std::string_view a : allowed) names += (names.empty() ? "\"" : ", \"") + std::string(a) + "\"";
      Fail(*table.get(key), Qualified(prefix, key), "must be one of " + names + ", not \"" + *v + "\"");
    }
    return v;
  }

  std::optional<bool> Bool(const toml::table& table, const std::string& prefix, std::string_view key) {
    const toml::node* n = table.get(key);
    if (!n) return std::nullopt;
    if (!n->is_boolean()) Fail(*n, Qualified(prefix, key), "must be true or false");
    return n->value<bool>();
  }

  std::optional<int64_t> Number(const toml::table& table, const std::string& prefix, std::string_view key, int64_t min,
                                int64_t max) {
    const toml::node* n = table.get(key);
    if (!n) return std::nullopt;
    if (!n->is_integer()) Fail(*n, Qualified(prefix, key), "must be a whole number");
    int64_t v = *n->value<int64_t>();
    if (v < min || v > max) {
      Fail(*n, Qualified(prefix, key),
           "must lie between " + std::to_string(min) + " and " + std::to_string(max) + ", not " + std::to_string(v));
    }
    return v;
  }

  const toml::table* Table(const toml::table& table, const std::string& prefix, std::string_view key) {
    const toml::node* n = table.get(key);
    if (!n) return nullptr;
    if (!n->is_table()) Fail(*n, Qualified(prefix, key), "must be a section");
    return n->as_table();
  }

 private:
  static std::string Qualified(const std::string& prefix, std::string_view key) {
    return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
  }

  [[noreturn]] void Fail(const toml::node& node, const std::string& key, const std::string& what) {
    std::ostringstream msg;
    msg << "Invalid configuration file " << path_ << " at line " << node.source().begin.line << ": " << key << " "
        << what;
    Raise(err::InvalidArgument, {}, msg.str());
  }

  std::string path_;
  toml::table table_;
};

std::mutex g_mutex;
Settings g_settings;
bool g_loaded = false;

}  // namespace

std::string Settings::HelvixUri() const {
  auto s = connections.find("Helvix");
  if (s != connections.end()) {
    auto c = s->second.find("Helvix");
    if (c != s->second.end()) return c->second;
  }
  return {};
}

std::string Settings::KCatalogUri() const {
  auto s = connections.find("KVServer");
  if (s != connections.end()) {
    auto c = s->second.find("KCatalog");
    if (c != s->second.end()) return c->second;
  }
  return {};
}

std::string DefaultDataDir() {
  if (auto d = Env("TSAUTHOR_DATA_DIR"); !d.empty()) return d;
  if (auto x = Env("XDG_DATA_HOME"); !x.empty()) return (fs::path(x) / "tsauthor").string();
  if (auto h = Env("HOME"); !h.empty()) return (fs::path(h) / ".local/share/tsauthor").string();
  return (fs::current_path() / "tsauthor-data").string();
}

Settings LoadSettings(const std::string& configFile, const std::string& dataDirOverride) {
  Settings s;
  s.dataDir = dataDirOverride.empty() ? DefaultDataDir() : dataDirOverride;
  s.dataDir = fs::absolute(s.dataDir).lexically_normal().string();
  if (s.dataDir.size() > 1 && s.dataDir.back() == '/') s.dataDir.pop_back();

  s.configFile = configFile;
  if (s.configFile.empty()) s.configFile = Env("TSAUTHOR_CONFIG");
  if (s.configFile.empty()) s.configFile = (fs::path(s.dataDir) / "tsauthor.toml").string();

  std::string helvix, kcatalog, installDir, logFile;
  if (fs::exists(s.configFile)) {
    ConfigFile file(s.configFile);
    const toml::table& t = file.Parse();
    file.Check(t, "", {"data_dir", "install_dir", "log", "connections", "server", "auth", "versions", "cache", "web",
                    "documents", "trees"});
    // The data folder given on the command line or in the environment wins.
    if (auto v = file.Text(t, "", "data_dir"); v && dataDirOverride.empty() && Env("TSAUTHOR_DATA_DIR").empty()) {
      s.dataDir = fs::absolute(*v).lexically_normal().string();
    }
    installDir = file.Text(t, "", "install_dir").value_or(std::string());
    if (const toml::table* log = file.Table(t, "", "log")) {
      file.Check(*log, "log", {"file", "stderr"});
      logFile = file.Text(*log, "log", "file").value_or(std::string());
      s.logToStderr = file.Bool(*log, "log", "stderr").value_or(false);
    }
    if (const toml::table* sections = file.Table(t, "", "connections")) {
      for (auto& [section, names] : *sections) {
        const std::string sectionName(section.str());
        const toml::table* nt = file.Table(*sections, "connections", sectionName);
        for (auto& [name, uri] : *nt) {
          if (auto u = file.Text(*nt, "connections." + sectionName, std::string(name.str()))) {
            s.connections[sectionName][std::string(name.str())] = *u;
          }
        }
      }
    }
    helvix = s.connections["Helvix"]["Helvix"];
    kcatalog = s.connections["KVServer"]["KCatalog"];
    if (const toml::table* versions = file.Table(t, "", "versions")) {
      file.Check(*versions, "versions", {"keep"});
      s.versionsKept = static_cast<int>(file.Number(*versions, "versions", "keep", 0, 100000).value_or(s.versionsKept));
    }
    if (const toml::table* trees = file.Table(t, "", "trees")) {
      file.Check(*trees, "trees", {"max_depth"});
      s.maxTreeDepth = static_cast<int>(file.Number(*trees, "trees", "max_depth", 1, 10000).value_or(s.maxTreeDepth));
    }
    if (const toml::table* server = file.Table(t, "", "server")) {
      file.Check(*server, "server",
                 {"listen", "port", "token", "threads", "max_body_bytes", "max_json_depth", "request_timeout_seconds",
                  "header_timeout_seconds", "keep_alive_timeout_seconds", "send_timeout_seconds",
                  "min_send_bytes_per_second", "max_connections", "max_connections_per_address"});
      s.listenAddress = file.Text(*server, "server", "listen").value_or(s.listenAddress);
      s.port = static_cast<int>(file.Number(*server, "server", "port", 1, 65535).value_or(s.port));
      s.token = file.Text(*server, "server", "token").value_or(std::string());
      s.threads = static_cast<int>(file.Number(*server, "server", "threads", 1, 4096).value_or(s.threads));
      s.maxBodyBytes = static_cast<size_t>(
          file.Number(*server, "server", "max_body_bytes", 1, int64_t{1} << 40).value_or(int64_t(s.maxBodyBytes)));
      // Deeper texts would overflow a thread's stack while parsed or printed.
      s.maxJsonDepth = static_cast<int>(file.Number(*server, "server", "max_json_depth", 1, 1000).value_or(s.maxJsonDepth));
      s.requestTimeoutSeconds = static_cast<int>(
          file.Number(*server, "server", "request_timeout_seconds", 1, 86400).value_or(s.requestTimeoutSeconds));
      s.headerTimeoutSeconds = static_cast<int>(
          file.Number(*server, "server", "header_timeout_seconds", 1, 86400).value_or(s.headerTimeoutSeconds));
      s.keepAliveTimeoutSeconds = static_cast<int>(
          file.Number(*server, "server", "keep_alive_timeout_seconds", 1, 86400).value_or(s.keepAliveTimeoutSeconds));
      s.sendTimeoutSeconds = static_cast<int>(
          file.Number(*server, "server", "send_timeout_seconds", 1, 86400).value_or(s.sendTimeoutSeconds));
      s.minSendBytesPerSecond = static_cast<size_t>(file.Number(*server, "server", "min_send_bytes_per_second", 1,
                                                                int64_t{1} << 40)
                                                        .value_or(int64_t(s.minSendBytesPerSecond)));
      s.maxConnections = static_cast<size_t>(
          file.Number(*server, "server", "max_connections", 0, 1000000).value_or(int64_t(s.maxConnections)));
      s.maxConnectionsPerAddress = static_cast<size_t>(file.Number(*server, "server", "max_connections_per_address", 0,
                                                                   1000000)
                                                           .value_or(int64_t(s.maxConnectionsPerAddress)));
    }
    if (const toml::table* auth = file.Table(t, "", "auth")) {
      file.Check(*auth, "auth",
                 {"service_login", "service_role", "metrics_need_identity", "secure_cookies", "session_idle_minutes",
                  "session_max_hours", "sign_in_failures_before_delay", "sign_in_address_failures_before_delay",
                  "sign_in_delay_seconds", "sign_in_delay_max_seconds",
                  "audit_retention_days", "password_hash_cost"});
      Settings::Auth& a = s.auth;
      a.serviceLogin = file.Text(*auth, "auth", "service_login").value_or(a.serviceLogin);
      a.serviceRole = file.Text(*auth, "auth", "service_role").value_or(a.serviceRole);
      a.metricsNeedIdentity = file.Bool(*auth, "auth", "metrics_need_identity").value_or(a.metricsNeedIdentity);
      a.secureCookies = file.Bool(*auth, "auth", "secure_cookies").value_or(a.secureCookies);
      a.sessionIdleMinutes = static_cast<int>(
          file.Number(*auth, "auth", "session_idle_minutes", 1, 525600).value_or(a.sessionIdleMinutes));
      a.sessionMaxHours =
          static_cast<int>(file.Number(*auth, "auth", "session_max_hours", 1, 8760).value_or(a.sessionMaxHours));
      a.signInFailuresBeforeDelay = static_cast<int>(
          file.Number(*auth, "auth", "sign_in_failures_before_delay", 1, 1000).value_or(a.signInFailuresBeforeDelay));
      a.signInAddressFailuresBeforeDelay = static_cast<int>(
          file.Number(*auth, "auth", "sign_in_address_failures_before_delay", 1, 100000)
              .value_or(a.signInAddressFailuresBeforeDelay));
      a.signInDelaySeconds = static_cast<int>(
          file.Number(*auth, "auth", "sign_in_delay_seconds", 1, 86400).value_or(a.signInDelaySeconds));
      a.signInDelayMaxSeconds = static_cast<int>(
          file.Number(*auth, "auth", "sign_in_delay_max_seconds", 1, 86400).value_or(a.signInDelayMaxSeconds));
      a.auditRetentionDays = static_cast<int>(
          file.Number(*auth, "auth", "audit_retention_days", 0, 36500).value_or(a.auditRetentionDays));
      a.passwordHashCost = file.Text(*auth, "auth", "password_hash_cost").value_or(a.passwordHashCost);
    }
    if (const toml::table* web = file.Table(t, "", "web")) {
      file.Check(*web, "web", {"root", "serve_source_maps"});
      s.webRoot = file.Text(*web, "web", "root").value_or(std::string());
      s.webServeSourceMaps = file.Bool(*web, "web", "serve_source_maps").value_or(s.webServeSourceMaps);
    }
    if (const toml::table* cache = file.Table(t, "", "cache")) {
      file.Check(*cache, "cache", {"documents_mb"});
      s.documentCacheBytes = static_cast<size_t>(file.Number(*cache, "cache", "documents_mb", 0, int64_t{1} << 20)
                                                     .value_or(int64_t(s.documentCacheBytes >> 20)))
                             << 20;
    }
    if (const toml::table* database = file.Table(t, "", "database")) {
      file.Check(*database, "database", {"lock_wait_seconds"});
      s.lockWaitSeconds = static_cast<int>(
          file.Number(*database, "database", "lock_wait_seconds", 0, 3600).value_or(s.lockWaitSeconds));
    }
    if (const toml::table* documents = file.Table(t, "", "documents")) {
      file.Check(*documents, "documents", {"store", "write_through"});
      s.documentStore = file.Choice(*documents, "documents", "store", {"database", "files"}).value_or(s.documentStore);
      s.documentWriteThrough = file.Bool(*documents, "documents", "write_through").value_or(s.documentWriteThrough);
    }
  }

  // Environment overrides.
  if (auto v = Env("TSAUTHOR_HELVIX_URI"); !v.empty()) helvix = v;
  if (auto v = Env("TSAUTHOR_KCATALOG_URI"); !v.empty()) kcatalog = v;
  if (auto v = Env("TSAUTHOR_INSTALL_DIR"); !v.empty()) installDir = v;
  if (auto v = Env("TSAUTHOR_LOG_FILE"); !v.empty()) logFile = v;
  if (auto v = Env("TSAUTHOR_LOG_STDERR"); !v.empty()) s.logToStderr = ParseBool("TSAUTHOR_LOG_STDERR", v);
  if (auto v = Env("TSAUTHOR_LISTEN"); !v.empty()) s.listenAddress = v;
  if (auto v = Env("TSAUTHOR_PORT"); !v.empty()) s.port = ParseInt("TSAUTHOR_PORT", v);
  if (auto v = Env("TSAUTHOR_TOKEN"); !v.empty()) s.token = v;
  if (auto v = Env("TSAUTHOR_THREADS"); !v.empty()) s.threads = ParseInt("TSAUTHOR_THREADS", v);
  if (auto v = Env("TSAUTHOR_WEB_ROOT"); !v.empty()) s.webRoot = v;
  if (auto v = Env("TSAUTHOR_PASSWORD_HASH_COST"); !v.empty()) s.auth.passwordHashCost = v;
  if (auto v = Env("TSAUTHOR_DOCUMENT_CACHE_MB"); !v.empty()) {
    s.documentCacheBytes = static_cast<size_t>(ParseInt("TSAUTHOR_DOCUMENT_CACHE_MB", v)) << 20;
  }

  if (auto v = Env("TSAUTHOR_MAX_TREE_DEPTH"); !v.empty()) {
    s.maxTreeDepth = ParseInt("TSAUTHOR_MAX_TREE_DEPTH", v);
    if (s.maxTreeDepth < 1 || s.maxTreeDepth > 10000) {
      Raise(err::InvalidArgument, {}, "Invalid setting TSAUTHOR_MAX_TREE_DEPTH: expected 1 to 10000, got " + v);
    }
  }
  if (auto v = Env("TSAUTHOR_LOCK_WAIT_SECONDS"); !v.empty()) {
    s.lockWaitSeconds = ParseInt("TSAUTHOR_LOCK_WAIT_SECONDS", v);
    if (s.lockWaitSeconds < 0 || s.lockWaitSeconds > 3600)
      Raise(err::InvalidArgument, {}, "Invalid setting TSAUTHOR_LOCK_WAIT_SECONDS: between 0 and 3600 seconds");
  }
  if (auto v = Env("TSAUTHOR_DOCUMENT_STORE"); !v.empty()) s.documentStore = v;
  if (auto v = Env("TSAUTHOR_DOCUMENT_WRITE_THROUGH"); !v.empty()) {
    s.documentWriteThrough = ParseBool("TSAUTHOR_DOCUMENT_WRITE_THROUGH", v);
  }
  if (!s.documentStore.empty() && s.documentStore != "database" && s.documentStore != "files") {
    Raise(err::InvalidArgument, {},
          "Invalid setting TSAUTHOR_DOCUMENT_STORE: '" + s.documentStore + "' (\"database\" or \"files\")");
  }

  // Defaults: SQLite databases in the data folder.
  const fs::path data(s.dataDir);
  if (helvix.empty()) helvix = "sqlite:" + (data / "helvix.db").string();
  if (kcatalog.empty()) kcatalog = "sqlite:" + (data / "kcatalog.db").string();
  s.connections["Helvix"]["Helvix"] = helvix;
  s.connections["KVServer"]["KCatalog"] = kcatalog;
  s.installDir = installDir.empty() ? s.dataDir : installDir;
  s.webRoot = fs::absolute(s.webRoot.empty() ? fs::path("web") / "dist" : fs::path(s.webRoot)).lexically_normal().string();
  s.logFile = logFile.empty() ? (data / "logs" / "tsauthor.log").string() : logFile;

  if (s.port <= 0 || s.port > 65535) Raise(err::InvalidArgument, {}, "Invalid setting server.port: " + std::to_string(s.port));
  if (s.threads <= 0) s.threads = 1;
  return s;
}

const Settings& CurrentSettings() {
  std::lock_guard lock(g_mutex);
  if (!g_loaded) {
    g_settings = LoadSettings();
    g_loaded = true;
  }
  return g_settings;
}

void SetCurrentSettings(Settings settings) {
  std::lock_guard lock(g_mutex);
  g_settings = std::move(settings);
  g_loaded = true;
}

}  // namespace tsa
