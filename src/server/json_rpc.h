// JSON-RPC 2.0 over the callable classes: requests and batches in, the
// response text out. Independent of the transport.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/error.h"

namespace tsa::server {

class Metrics;

// The codes JSON-RPC reserves for protocol errors.
namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kServerError = -32000;  // an engine error whose number falls in the reserved range
}  // namespace rpc

// The deepest nesting of arrays and objects in a JSON text (1 for "{}"),
// counted without parsing; stops early once it passes `stopAbove`.
int JsonNestingDepth(std::string_view text, int stopAbove = 1 << 30);

// Parses a JSON text, refusing an object that names a key twice (which
// would otherwise silently take the last value): json::parse_error for
// malformed text, DuplicateKey for a repeated key.
struct DuplicateKey : std::runtime_error {
  explicit DuplicateKey(const std::string& key)
      : std::runtime_error("the key \"" + key + "\" appears twice in one object") {}
};
nlohmann::json ParseJsonStrict(std::string_view text);

// Parses a JSON text whose nesting may not exceed `maxDepth`. Raises an
// InvalidArgument error naming `what` when it is malformed, too deep or
// names a key twice in one object.
nlohmann::json ParseJsonLimited(std::string_view text, int maxDepth, std::string_view what = "JSON");

// The code an engine error is answered with: its number, unless that falls in
// the range JSON-RPC reserves (-32768..-32000) or is 0.
int EngineErrorCode(int32_t number);

// The "error" member for an engine error: code, message = full description,
// data = {number, source, description}.
nlohmann::json EngineErrorObject(const ErrorInfo& e);

// Dumps JSON as compact text; invalid UTF-8 in texts is replaced, not fatal.
std::string DumpJson(const nlohmann::json& value);

struct RpcReply {
  // The response text; empty when every call was a notification.
  std::optional<std::string> body;
  // The methods called, for the access log ("TSDOM.AddChildNew", joined with
  // "," for a batch and cut short for long ones).
  std::string methods;
  // Every call answered (at least one) failed with 1622, the database being
  // busy: nothing was done, and the whole request may be sent again.
  bool busy = false;
};

class RpcEndpoint {
 public:
  struct Limits {
    int maxDepth = 64;         // nesting of the request text
    size_t maxBatch = 1000;    // calls in one batch
  };

  explicit RpcEndpoint(Limits limits, Metrics* metrics = nullptr) : limits_(limits), metrics_(metrics) {}

  // Answers one request text (a single call or a batch). Each call runs on
  // the calling thread; the classes open their own transaction contexts.
  RpcReply Handle(std::string_view body) const;

 private:
  // Calls answered, and of those the ones answered 1622.
  struct Tally {
    size_t answered = 0;
    size_t busy = 0;
  };
  std::optional<nlohmann::json> HandleCall(const nlohmann::json& request, std::string& methods, Tally& tally) const;

  Limits limits_;
  Metrics* metrics_;
};

}  // namespace tsa::server
