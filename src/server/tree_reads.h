// The read endpoints a front end needs: a tree's document and one node's
// properties, as a given user sees them.
//
// The document read answers the stored file as it is, without serialising
// the document again (the tree is still loaded, which checks who sees which
// copy and that the file parses; the parsed-document cache makes that cheap
// after the first read). The bytes come with a strong entity tag made from
// the document's identity (platform/files: device, inode, size, modification
// time of the file; with the documents in the database their version, size
// and stamp), which changes with every write of the document. A client that
// sends that tag in If-None-Match gets 304 without the bytes; a client that
// accepts gzip gets them compressed, compressed once per file (with a tag of
// their own, as a different representation). The bytes and their gzip copy
// are held once per version in the document cache (storage/document_cache.h)
// and shared by every reader.
//
// What the HTTP layer does with a reply of ReadTreeFor: send `sharedBody`
// (shared by every client reading the same file, never copied per client)
// with `Content-Type`, `ETag: <etag>`, `Vary: Accept-Encoding`,
// `Cache-Control: no-cache` (revalidate each time), and
// `Content-Encoding: <contentEncoding>` when set; for status 304 the same
// headers and no body. It passes the request's If-None-Match and
// Accept-Encoding headers as they came.
#pragma once

#include <memory>
#include <string>

#include "server/http_server.h"

namespace tsa::server {

// Request headers the document read looks at, as the client sent them.
struct ReadConditions {
  std::string ifNoneMatch;
  std::string acceptEncoding;
};

// Answers GET /trees/{type}/{id}/document and /trees/{type}/{id}/nodes/{n}.
// The document comes in `sharedBody` with its `etag` (and
// `contentEncoding`), or as status 304 when `ifNoneMatch` names the tag.
HttpReply ReadTreeFor(const TreeReadRequest& request, const ReadConditions& conditions);

// The same without conditions, with the document's bytes in `body`: the
// handler of the present HTTP layer.
HttpReply ReadTree(const TreeReadRequest& request);

// Whether an If-None-Match value names `etag` ("*" names every tag; weak
// tags compare by their opaque part, as RFC 9110 has it for this header).
bool IfNoneMatchNames(const std::string& ifNoneMatch, const std::string& etag);

// Whether an Accept-Encoding value accepts gzip (q=0 refuses it).
bool AcceptsGzip(const std::string& acceptEncoding);

// `data` as one gzip member. Level 1 (the default) gives most of the gain
// for a fraction of the time; bytes compressed once and kept may take 9.
std::shared_ptr<const std::string> Gzip(const std::string& data, int level = 1);

}  // namespace tsa::server
