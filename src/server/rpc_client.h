// Calling methods by name: in this process, or on a running service over
// JSON-RPC. Both answer the same way: the method's result as JSON, or the
// engine's error raised as tsa::Error with its number, source and
// description.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tsa::server {

// Numbers of the client's own failures (the call did not reach the engine or
// its answer could not be read).
namespace rpcerr {
inline constexpr int32_t Unreachable = 1290;  // no connection, or no answer in time
inline constexpr int32_t BadResponse = 1291;  // not a JSON-RPC answer, or an HTTP error
}  // namespace rpcerr

struct RemoteOptions {
  int connectTimeoutSeconds = 10;
  int timeoutSeconds = 600;  // reading the answer of one call
};

// Calls `method` ("TSDOM.AddChildNew") with `params` (an object of named
// arguments, an array of positional ones, or null) on the service at `url`
// ("http://127.0.0.1:8470", optionally with a path; "/rpc" when none).
// `token`, when not empty, is sent as a bearer token. An error answer is
// raised as tsa::Error: an engine error with the number, source and
// description of the answer's data, a protocol error with its JSON-RPC code
// and message; 401 as PermissionDenied (70).
nlohmann::json CallRemote(const std::string& url, std::string_view method, const nlohmann::json& params,
                          const std::string& token = {}, const RemoteOptions& options = {});

// Calls `method` in this process, reaching every member whose arguments and
// result are plain values. Raises what the member raises; MethodNotFound and
// InvalidParams (server/methods.h) when the name or the arguments do not fit.
nlohmann::json CallLocal(std::string_view method, const nlohmann::json& params);

// Parses the arguments text given on a command line ("" for none). Raises
// InvalidArgument for malformed JSON, nesting beyond `maxDepth`, or a value
// that is neither an object nor an array.
nlohmann::json ParseParams(std::string_view text, int maxDepth = 64);

}  // namespace tsa::server
