// Process-wide settings: where data lives and how the databases are reached.
//
// Read once at start-up from a TOML file, then from TSAUTHOR_* environment
// variables, over built-in defaults that work out of the box. The
// configuration component ("Korventa.Configuration") answers from here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tsa {

namespace err {
// A node would lie deeper below its root than [trees] max_depth allows.
inline constexpr int32_t TreeTooDeep = 1218;
}  // namespace err

struct Settings {
  std::string dataDir;     // data folder; databases, documents and logs live below it
  std::string configFile;  // the TOML file read (may not exist)
  std::string installDir;  // "installation directory": documents lie below it
  std::string logFile;     // JSON lines, one per entry
  bool logToStderr = false;
  // Connection URIs by section and name: {"Helvix": {"Helvix": uri}, "KVServer": {"KCatalog": uri}}.
  std::map<std::string, std::map<std::string, std::string>> connections;

  // Network service.
  std::string listenAddress = "127.0.0.1";
  int port = 8470;
  std::string token;  // bearer token; required to listen beyond loopback
  int threads = 8;
  size_t maxBodyBytes = 1 << 20;
  int maxJsonDepth = 64;
  int requestTimeoutSeconds = 30;    // a whole request, from its first byte
  int headerTimeoutSeconds = 10;     // its request line and headers
  int keepAliveTimeoutSeconds = 5;   // idle between requests
  int sendTimeoutSeconds = 10;       // an answer: this, plus its size at the minimum rate
  size_t minSendBytesPerSecond = 64 * 1024;
  // 0: derived from the open-file limit (server/http_server.h).
  size_t maxConnections = 0;
  size_t maxConnectionsPerAddress = 0;
  // The built web app the service serves at / ([web] root); by default
  // web/dist below the working directory, as `make run` leaves it.
  std::string webRoot;
  bool webServeSourceMaps = false;  // [web] serve_source_maps: *.map files of the app are served

  // Accounts, sign-in and the audit trail ([auth]; see src/accounts/).
  struct Auth {
    std::string serviceLogin = "service";  // the login of [server] token
    std::string serviceRole = "admin";
    bool metricsNeedIdentity = true;       // GET /metrics needs a signed-in caller
    bool secureCookies = false;            // the service is reached over HTTPS: cookies get Secure
    int sessionIdleMinutes = 30;           // a browser session ends after this long unused
    int sessionMaxHours = 12;              // and this long after sign-in in any case
    int signInFailuresBeforeDelay = 5;     // failed sign-ins of one login from one address before a pause
    int signInAddressFailuresBeforeDelay = 20;  // failed sign-ins from one address, any login
    int signInDelaySeconds = 60;           // the first pause; each further failure doubles it
    int signInDelayMaxSeconds = 900;       // up to this
    int auditRetentionDays = 365;          // older audit rows are removed; 0 keeps them all
    // Argon2id cost of new password hashes: "interactive" (default),
    // "moderate" or "sensitive"; "test-minimum" is for test suites only.
    std::string passwordHashCost = "interactive";
  } auth;
  // Published versions kept per tree ([versions] keep); older ones are
  // pruned, and 0 keeps none (publishing records no versions).
  int versionsKept = 50;
  // How deep a node may lie below its tree's root ([trees] max_depth): add,
  // paste, template grafts and import refuse to go deeper (1218).
  int maxTreeDepth = 256;
  // Memory the parsed tree documents kept between calls may take
  // (storage/document_cache.h); 0 keeps none.
  size_t documentCacheBytes = size_t{256} << 20;
  // How long a write waits for a lock another connection holds before it
  // is answered "busy, try again" ([database] lock_wait_seconds;
  // platform/db/lock_wait.h).
  int lockWaitSeconds = 5;
  // Where the current documents are kept ([documents] store): "database"
  // (in the service database, written in the transaction of the rows),
  // "files" (the document files in the data folder), or "" for the
  // default: "database" when the service database is PostgreSQL, "files"
  // otherwise.
  std::string documentStore;
  // With the database store: also write each committed document to its
  // file in the data folder, for readers outside the engine
  // ([documents] write_through).
  bool documentWriteThrough = false;

  std::string HelvixUri() const;
  std::string KCatalogUri() const;
};

// Loads settings: defaults, then the TOML file (`configFile` if not empty,
// else $TSAUTHOR_CONFIG, else <data folder>/tsauthor.toml), then environment
// variables. `dataDir` if not empty overrides everything for the data folder.
// Raises an error naming the file and line for a malformed file, and the
// key for an unknown setting or a value of the wrong type or range.
Settings LoadSettings(const std::string& configFile = {}, const std::string& dataDir = {});

// The settings in force for this process.
const Settings& CurrentSettings();
void SetCurrentSettings(Settings settings);

// The default data folder: $TSAUTHOR_DATA_DIR, else
// $XDG_DATA_HOME/tsauthor, else ~/.local/share/tsauthor.
std::string DefaultDataDir();

}  // namespace tsa
