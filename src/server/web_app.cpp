#include "server/web_app.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "server/tree_reads.h"

namespace tsa::server {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSource = "tsauthor.web";
constexpr size_t kMaxFiles = 10000;
constexpr size_t kMaxBytes = size_t{256} << 20;
constexpr std::string_view kImmutable = "public, max-age=31536000, immutable";
constexpr std::string_view kNotBuilt =
    "The web app is not built. Run `make web` (or `npm --prefix web run build`), then restart `tsauthor serve`.\n";

struct FileType {
  std::string_view extension;
  std::string_view contentType;
  bool compressible;
};

constexpr FileType kTypes[] = {
    {".html", "text/html; charset=utf-8", true},
    {".js", "text/javascript; charset=utf-8", true},
    {".mjs", "text/javascript; charset=utf-8", true},
    {".css", "text/css; charset=utf-8", true},
    {".svg", "image/svg+xml", true},
    {".json", "application/json", true},
    {".map", "application/json", true},
    {".webmanifest", "application/manifest+json", true},
    {".txt", "text/plain; charset=utf-8", true},
    {".png", "image/png", false},
    {".ico", "image/x-icon", false},
    {".woff2", "font/woff2", false},
};

const FileType& TypeOf(const fs::path& file) {
  static constexpr FileType kOther{"", "application/octet-stream", false};
  const std::string extension = file.extension().string();
  for (const FileType& t : kTypes)
    if (extension == t.extension) return t;
  return kOther;
}

// A strong tag from the bytes themselves (64-bit FNV-1a and the length), so
// that the same build gives the same tags across restarts.
std::string TagOf(const std::string& bytes, bool gzip) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "\"%016llx-%zx%s\"", static_cast<unsigned long long>(h), bytes.size(),
                gzip ? "-gz" : "");
  return text;
}

std::string ReadWhole(const fs::path& file) {
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  std::string bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), {});
  if (!in || in.bad()) {
    const int code = errno ? errno : EIO;
    Raise(kWebAppUnreadable, kSource,
          "Cannot read the web app's file " + file.string() + ": " + std::strerror(code));
  }
  return bytes;
}

[[noreturn]] void TooLarge(const std::string& root) {
  Raise(kWebAppTooLarge, kSource,
        "The web app's folder " + root + " holds more than " + std::to_string(kMaxFiles) + " files or " +
            std::to_string(kMaxBytes >> 20) + " MiB: set [web] root to the built app (web/dist)");
}

void LogLine(const std::string& text) noexcept {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(kSource, text, 1);
  } catch (...) {
  }
}

bool Hidden(const fs::path& relative) {
  for (const auto& part : relative)
    if (!part.empty() && part.native().front() == '.') return true;
  return false;
}

void AddCommonHeaders(WebAppAnswer& a) {
  a.headers.emplace_back("Content-Security-Policy", std::string(kWebAppPolicy));
  a.headers.emplace_back("X-Content-Type-Options", "nosniff");
  a.headers.emplace_back("Referrer-Policy", "same-origin");
}

}  // namespace

WebApp WebApp::Load(const std::string& root) { return Load(root, CurrentSettings().webServeSourceMaps); }

WebApp WebApp::Load(const std::string& root, bool serveSourceMaps) {
  WebApp app;
  app.root_ = root;
  std::error_code ec;
  if (root.empty() || !fs::is_regular_file(fs::path(root) / "index.html", ec)) return app;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) Raise(kWebAppUnreadable, kSource, "Cannot read the web app's folder " + root + ": " + ec.message());
  auto leaveOut = [&](const fs::path& file, const std::string& why) {
    ++app.leftOut_;
    LogLine("The web app's file " + file.string() + " is not served: " + why);
  };
  size_t total = 0;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::path relative = it->path().lexically_relative(root);
    std::error_code kind;  // a dangling link, say: not a file, and no reason to stop
    if (Hidden(relative)) {
      if (it->is_directory(kind)) it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(kind)) continue;
    if (it->is_symlink(kind)) {
      // Whatever the link says, the file it reaches must lie in the folder.
      std::error_code resolved;
      const fs::path target = fs::canonical(it->path(), resolved);
      const fs::path inside = target.lexically_relative(realRoot);
      if (resolved || inside.empty() || *inside.begin() == "..") {
        leaveOut(it->path(), "it is a link to a file outside the app's folder");
        continue;
      }
    }
    if (!serveSourceMaps && it->path().extension() == ".map") {
      ++app.leftOut_;
      continue;
    }
    if (app.files_.size() >= kMaxFiles) TooLarge(root);
    File f;
    const FileType& type = TypeOf(it->path());
    f.contentType = type.contentType;
    auto bytes = std::make_shared<const std::string>(ReadWhole(it->path()));
    total += bytes->size();
    if (total > kMaxBytes) TooLarge(root);
    f.etag = TagOf(*bytes, false);
    if (type.compressible && bytes->size() > 256) {
      auto packed = Gzip(*bytes, 9);
      if (packed->size() < bytes->size()) {
        f.gzipped = std::move(packed);
        f.gzipEtag = TagOf(*bytes, true);
      }
    }
    f.bytes = std::move(bytes);
    const std::string url = "/" + relative.generic_string();
    f.immutable = url.rfind("/assets/", 0) == 0;
    app.files_.emplace(url, std::move(f));
  }
  if (ec) {
    Raise(kWebAppUnreadable, kSource, "Cannot read the web app's folder " + root + ": " + ec.message());
  }
  app.built_ = true;
  return app;
}

WebAppAnswer WebApp::Answer(std::string_view path, const std::string& ifNoneMatch,
                            const std::string& acceptEncoding) const {
  WebAppAnswer a;
  AddCommonHeaders(a);
  if (!built_) {
    a.status = 404;
    a.contentType = "text/plain; charset=utf-8";
    a.body = std::make_shared<const std::string>(kNotBuilt);
    return a;
  }
  if (path.empty() || path == "/") path = "/index.html";
  auto found = files_.find(path);
  if (found == files_.end()) {
    const std::string_view last = path.substr(path.rfind('/') + 1);
    if (last.find('.') != std::string_view::npos) {
      a.status = 404;
      a.contentType = "text/plain; charset=utf-8";
      a.body = std::make_shared<const std::string>("No such file\n");
      return a;
    }
    // A route of the app: the page that runs it.
    found = files_.find(std::string_view("/index.html"));
  }
  const File& f = found->second;
  const bool gzip = f.gzipped && AcceptsGzip(acceptEncoding);
  const std::string& etag = gzip ? f.gzipEtag : f.etag;
  a.headers.emplace_back("ETag", etag);
  a.headers.emplace_back("Cache-Control", f.immutable ? std::string(kImmutable) : std::string("no-cache"));
  if (f.gzipped) a.headers.emplace_back("Vary", "Accept-Encoding");
  if (IfNoneMatchNames(ifNoneMatch, etag)) {
    a.status = 304;
    return a;
  }
  if (gzip) a.headers.emplace_back("Content-Encoding", "gzip");
  a.contentType = f.contentType;
  a.body = gzip ? f.gzipped : f.bytes;
  return a;
}

}  // namespace tsa::server
