// The configuration file as the engine reads it at start-up: a TOML file
// with every key and value checked.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "runtime/settings.h"

using namespace tsa;

namespace {

// The file is one kept in memory, rewritten for every input and read through
// its /proc name: nothing reaches a disk, nothing is left behind.
int g_fd = -1;
std::string g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  // Settings from the environment would change what the file decides.
  for (const char* name : {"TSAUTHOR_CONFIG", "TSAUTHOR_DATA_DIR", "TSAUTHOR_HELVIX_URI", "TSAUTHOR_KCATALOG_URI",
                           "TSAUTHOR_INSTALL_DIR", "TSAUTHOR_LOG_FILE", "TSAUTHOR_LOG_STDERR", "TSAUTHOR_LISTEN",
                           "TSAUTHOR_PORT", "TSAUTHOR_TOKEN", "TSAUTHOR_THREADS", "TSAUTHOR_WEB_ROOT",
                           "TSAUTHOR_PASSWORD_HASH_COST", "TSAUTHOR_DOCUMENT_CACHE_MB", "TSAUTHOR_DOCUMENT_STORE",
                           "TSAUTHOR_DOCUMENT_WRITE_THROUGH"}) {
    ::unsetenv(name);
  }
  g_fd = ::memfd_create("tsauthor.toml", 0);
  if (g_fd < 0) fuzz::Finding("no file in memory", "memfd_create failed");
  g_file = "/proc/self/fd/" + std::to_string(g_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (::ftruncate(g_fd, 0) != 0 || (size && ::pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size))) {
    fuzz::Finding("cannot write the file in memory", g_file);
  }
  fuzz::Refusable([&] {
    Settings s = LoadSettings(g_file, std::filesystem::temp_directory_path().string());
    if (s.port <= 0 || s.port > 65535) fuzz::Finding("a port out of range accepted", std::to_string(s.port));
    if (s.threads <= 0) fuzz::Finding("no threads", std::to_string(s.threads));
    if (s.maxJsonDepth <= 0) fuzz::Finding("a JSON depth below 1 accepted", std::to_string(s.maxJsonDepth));
  });
  return 0;
}
