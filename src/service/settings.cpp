#include "service/settings.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

#include <toml++/toml.h>

#include "service/error.h"

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
    toml::table t;
    try {
      t = toml::parse_file(s.configFile);
    } catch (const toml::parse_error& e) {
      std::ostringstream msg;
      msg << "Invalid configuration file " << s.configFile << " at line " << e.source().begin.line << ": "
          << e.description();
      Raise(err::InvalidArgument, {}, msg.str());
    }
    if (dataDirOverride.empty()) {
      if (auto v = t["data_dir"].value<std::string>()) s.dataDir = fs::absolute(*v).lexically_normal().string();
    }
    installDir = t["install_dir"].value_or(std::string());
    logFile = t["log"]["file"].value_or(std::string());
    s.logToStderr = t["log"]["stderr"].value_or(false);
    helvix = t["connections"]["Helvix"]["Helvix"].value_or(std::string());
    kcatalog = t["connections"]["KVServer"]["KCatalog"].value_or(std::string());
    if (auto* sections = t["connections"].as_table()) {
      for (auto& [section, names] : *sections) {
        if (auto* nt = names.as_table()) {
          for (auto& [name, uri] : *nt) {
            if (auto u = uri.value<std::string>()) s.connections[std::string(section.str())][std::string(name.str())] = *u;
          }
        }
      }
    }
    s.listenAddress = t["server"]["listen"].value_or(s.listenAddress);
    s.port = static_cast<int>(t["server"]["port"].value_or(int64_t{s.port}));
    s.token = t["server"]["token"].value_or(std::string());
    s.threads = static_cast<int>(t["server"]["threads"].value_or(int64_t{s.threads}));
    // A limit of zero or less would refuse every request or, cast to a size,
    // lift the limit altogether.
    auto positive = [&](const char* key, int64_t fallback) {
      int64_t v = t["server"][key].value_or(fallback);
      if (v <= 0 || v > INT32_MAX) {
        Raise(err::InvalidArgument, {},
              std::string("Invalid setting server.") + key + ": expected a positive whole number, got " +
                  std::to_string(v));
      }
      return v;
    };
    s.maxBodyBytes = static_cast<size_t>(positive("max_body_bytes", int64_t(s.maxBodyBytes)));
    s.maxJsonDepth = static_cast<int>(positive("max_json_depth", s.maxJsonDepth));
    s.requestTimeoutSeconds = static_cast<int>(positive("request_timeout_seconds", s.requestTimeoutSeconds));
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

  // Defaults: SQLite databases in the data folder.
  const fs::path data(s.dataDir);
  if (helvix.empty()) helvix = "sqlite:" + (data / "helvix.db").string();
  if (kcatalog.empty()) kcatalog = "sqlite:" + (data / "kcatalog.db").string();
  s.connections["Helvix"]["Helvix"] = helvix;
  s.connections["KVServer"]["KCatalog"] = kcatalog;
  s.installDir = installDir.empty() ? s.dataDir : installDir;
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
