// The web app's files, served by the HTTP layer at every path that is not
// one of the engine's endpoints.
//
// The built app (index.html, and Vite's content-hashed files below
// assets/) is read into memory once, when the service starts: a table of
// URL path -> bytes, content type, a strong entity tag made from the bytes,
// and a gzip copy for the types that compress. A request is answered from
// that table alone and never reaches the file system, so no request path
// can lead out of the folder, whatever dots or escapes it holds.
//
//   known file                    its bytes; below /assets/ cached for a year
//                                 (the names change with the content),
//                                 everything else revalidated (no-cache)
//   unknown, last segment no dot  index.html: a route of the app itself
//   unknown, with a dot           404
//   app not built                 404 in plain text saying how to build it
//
// Every answer carries a Content-Security-Policy that admits no inline
// script, and nosniff and same-origin referrer headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsa::server {

// Error numbers of the web app's files (1620-1629).
inline constexpr int32_t kWebAppUnreadable = 1620;  // a file of the app's folder could not be read
inline constexpr int32_t kWebAppTooLarge = 1621;    // the folder holds more files or bytes than an app would

// The policy every page of the app is served with.
inline constexpr std::string_view kWebAppPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "font-src 'self'; object-src 'none'; base-uri 'self'; frame-ancestors 'none'; form-action 'self'";

// What every other answer (JSON, XML, text) carries: nothing in it is a page
// to render, frame or sniff as one.
inline constexpr std::string_view kApiPolicy = "default-src 'none'; frame-ancestors 'none'";
inline constexpr std::string_view kApiSecurityHeaders =
    "X-Content-Type-Options: nosniff\r\nContent-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n";

// One answer of the app's files, independent of the HTTP library.
struct WebAppAnswer {
  int status = 200;
  std::string contentType;
  std::shared_ptr<const std::string> body;  // empty for 304
  std::vector<std::pair<std::string, std::string>> headers;
};

class WebApp {
 public:
  // No app: every path answers that it is not built.
  WebApp() = default;

  // Reads every regular file below `root` (hidden ones left out). A root
  // without index.html is an app not built. Raises kWebAppUnreadable when a
  // file cannot be read and kWebAppTooLarge beyond 10,000 files or 256 MiB
  // (a root pointing at the wrong folder).
  //
  // Source maps (*.map) are left out unless `serveSourceMaps` ([web]
  // serve_source_maps, off by default: they give away the app's sources).
  // A symbolic link is read only when it resolves to a file inside the
  // folder; links to directories are not followed. What is left out is
  // logged.
  static WebApp Load(const std::string& root);
  static WebApp Load(const std::string& root, bool serveSourceMaps);

  bool Built() const { return built_; }
  const std::string& Root() const { return root_; }
  size_t FileCount() const { return files_.size(); }
  // Files of the folder left out: links leading out of it, and source maps.
  size_t LeftOut() const { return leftOut_; }

  // The answer to GET or HEAD of `path` (the request target without its
  // query, as sent), given the request's If-None-Match and Accept-Encoding.
  WebAppAnswer Answer(std::string_view path, const std::string& ifNoneMatch,
                      const std::string& acceptEncoding) const;

 private:
  struct File {
    std::string contentType;
    std::shared_ptr<const std::string> bytes;
    std::shared_ptr<const std::string> gzipped;  // null when it would not be smaller
    std::string etag;
    std::string gzipEtag;
    bool immutable = false;
  };

  std::string root_;
  bool built_ = false;
  size_t leftOut_ = 0;
  std::map<std::string, File, std::less<>> files_;  // by URL path: "/index.html", "/assets/x.js"
};

}  // namespace tsa::server
