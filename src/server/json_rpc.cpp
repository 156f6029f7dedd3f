#include "server/json_rpc.h"

#include <chrono>

#include "platform/db/lock_wait.h"
#include "server/methods.h"
#include "server/metrics.h"

namespace tsa::server {

namespace {

using nlohmann::json;

constexpr size_t kMaxLoggedMethods = 200;  // characters of the access log's method list

json Response(const json& id) {
  json r = json::object();
  r["jsonrpc"] = "2.0";
  r["id"] = id;
  return r;
}

json ErrorResponse(const json& id, int code, std::string message, const ErrorInfo* data = nullptr) {
  json r = Response(id);
  json e = json::object();
  e["code"] = code;
  e["message"] = std::move(message);
  if (data) {
    e["data"] = json{{"number", data->number}, {"source", data->source}, {"description", data->description}};
  }
  r["error"] = std::move(e);
  return r;
}

void AppendMethod(std::string& methods, std::string_view name) {
  if (methods.size() >= kMaxLoggedMethods) return;  // already cut short
  if (!methods.empty()) methods += ',';
  methods += name;
  if (methods.size() > kMaxLoggedMethods) {
    methods.resize(kMaxLoggedMethods);
    methods += "...";
  }
}

bool ValidId(const json& id) { return id.is_string() || id.is_number() || id.is_null(); }

}  // namespace

std::optional<json> RpcEndpoint::HandleCall(const json& request, std::string& methods, Tally& tally) const {
  ++tally.answered;
  const auto start = std::chrono::steady_clock::now();
  std::string label = "invalid";
  bool failed = true;
  auto record = [&] {
    if (!metrics_) return;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    metrics_->RecordCall(label, took.count(), failed);
  };

  if (!request.is_object()) {
    AppendMethod(methods, "-");
    record();
    return ErrorResponse(nullptr, rpc::kInvalidRequest, "Invalid request: a call must be a JSON object");
  }
  auto idIt = request.find("id");
  const bool notification = idIt == request.end();
  const json id = (!notification && ValidId(*idIt)) ? *idIt : json(nullptr);
  auto invalid = [&](std::string why) {
    AppendMethod(methods, "-");
    record();
    return ErrorResponse(id, rpc::kInvalidRequest, "Invalid request: " + why);
  };
  if (!notification && !ValidId(*idIt)) return invalid("\"id\" must be a string, a number or null");
  auto version = request.find("jsonrpc");
  if (version == request.end() || *version != "2.0") return invalid("\"jsonrpc\" must be \"2.0\"");
  auto methodIt = request.find("method");
  if (methodIt == request.end() || !methodIt->is_string()) return invalid("\"method\" must be a string");
  auto paramsIt = request.find("params");
  static const json kNoParams;
  const json& params = paramsIt == request.end() ? kNoParams : *paramsIt;
  if (!params.is_null() && !params.is_array() && !params.is_object()) {
    return invalid("\"params\" must be an array or an object");
  }
  const std::string& name = methodIt->get_ref<const std::string&>();

  ResolvedMethod resolved;
  try {
    resolved = ResolveMethod(name, Audience::Network);
    label = resolved.QualifiedName();
    AppendMethod(methods, label);
  } catch (const MethodNotFound& e) {
    label = "unknown";
    AppendMethod(methods, "?");
    record();
    if (notification) return std::nullopt;
    return ErrorResponse(id, rpc::kMethodNotFound, "Method not found: " + e.description(), &e.info());
  }

  json result;
  try {
    Metrics::InFlight inFlight(metrics_);
    result = Invoke(resolved, params, Audience::Network);
    failed = false;
  } catch (const InvalidParams& e) {
    record();
    if (notification) return std::nullopt;
    return ErrorResponse(id, rpc::kInvalidParams, "Invalid params: " + e.description(), &e.info());
  } catch (...) {
    ErrorInfo e = CurrentError();
    if (e.number == err::DatabaseBusy) ++tally.busy;
    record();
    if (notification) return std::nullopt;
    json r = Response(id);
    r["error"] = EngineErrorObject(e);
    return r;
  }
  record();
  if (notification) return std::nullopt;
  json r = Response(id);
  r["result"] = std::move(result);
  return r;
}

RpcReply RpcEndpoint::Handle(std::string_view body) const {
  RpcReply reply;
  auto single = [&](json response) { reply.body = DumpJson(response); };
  auto protocolError = [&](int code, std::string message) {
    reply.methods.assign(1, '-');
    if (metrics_) metrics_->RecordCall("invalid", 0, true);
    single(ErrorResponse(nullptr, code, std::move(message)));
  };

  if (JsonNestingDepth(body, limits_.maxDepth) > limits_.maxDepth) {
    protocolError(rpc::kInvalidRequest,
                  "Invalid request: nested deeper than " + std::to_string(limits_.maxDepth) + " levels");
    return reply;
  }
  json request;
  try {
    request = ParseJsonStrict(body);
  } catch (const json::exception& e) {
    // Malformed text, or a number no type can hold (1e400).
    protocolError(rpc::kParseError, std::string("Parse error: ") + e.what());
    return reply;
  } catch (const DuplicateKey& e) {
    protocolError(rpc::kInvalidRequest, std::string("Invalid request: ") + e.what());
    return reply;
  }

  if (!request.is_array()) {
    Tally tally;
    if (auto r = HandleCall(request, reply.methods, tally)) single(std::move(*r));
    reply.busy = tally.busy > 0 && tally.busy == tally.answered;
    return reply;
  }
  if (request.empty()) {
    protocolError(rpc::kInvalidRequest, "Invalid request: an empty batch");
    return reply;
  }
  if (request.size() > limits_.maxBatch) {
    protocolError(rpc::kInvalidRequest, "Invalid request: a batch holds at most " +
                                            std::to_string(limits_.maxBatch) + " calls, got " +
                                            std::to_string(request.size()));
    return reply;
  }
  json responses = json::array();
  Tally tally;
  for (const json& call : request) {
    if (auto r = HandleCall(call, reply.methods, tally)) responses.push_back(std::move(*r));
  }
  reply.busy = tally.busy > 0 && tally.busy == tally.answered;
  if (!responses.empty()) reply.body = DumpJson(responses);
  return reply;
}

}  // namespace tsa::server
