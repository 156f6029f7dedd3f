// JSON-RPC request texts as the service reads them: the depth check and the
// strict parse (no key twice), then the arguments bound to members of every
// shape the dispatch tables declare and converted as the members read them.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "server/json_rpc.h"

using namespace tsa;
using nlohmann::json;

namespace {

constexpr int kMaxDepth = 64;  // the service's default

int Depth(const json& v) {
  if (!v.is_structured()) return 0;
  int deepest = 0;
  for (const json& item : v) deepest = std::max(deepest, Depth(item));
  return deepest + 1;
}

std::vector<MethodSpec> Members() {
  auto member = [](std::string name, std::vector<ParamSpec> params) {
    MethodSpec m;
    m.name = std::move(name);
    m.params = std::move(params);
    return m;
  };
  return {
      member("Nothing", {}),
      member("AddChildNew", {{"i_lTreeType", ArgType::Long}, {"i_lID", ArgType::Long}, {"i_sUserId", ArgType::String},
                             {"i_bPublish", ArgType::Bool, false, true}}),
      member("Save", {{"i_oAttributes", ArgType::Dict}, {"io_lNewId", ArgType::Long, true}, {"io_sMessage", ArgType::String, true}}),
      member("Anything", {{"value", ArgType::Variant}, {"more", ArgType::Variant, false, true}}),
      member("Internal", {{"self", ArgType::Object, false, true}}),
  };
}

void Read(const ParamSpec& p, const json& v) {
  switch (p.type) {
    case ArgType::Long:
      (void)dispatch::Long(v);
      break;
    case ArgType::String:
      (void)dispatch::Text(v);
      break;
    case ArgType::Bool:
      (void)dispatch::Bool(v);
      break;
    case ArgType::Dict:
      (void)dispatch::ToJson(dispatch::Dict(v));
      break;
    case ArgType::Object:
    case ArgType::Variant:
      (void)server::DumpJson(v);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  json request;
  try {
    request = server::ParseJsonLimited(text, kMaxDepth, "request");
  } catch (const Error& e) {
    fuzz::CheckRefusal(e);
    return 0;
  }
  // The quick count that guards the parser must agree with what was parsed.
  if (server::JsonNestingDepth(text) != Depth(request)) {
    fuzz::Finding("the nesting count disagrees with the parse", std::to_string(Depth(request)));
  }
  // What the service answers with must parse again as the same value.
  const std::string dumped = server::DumpJson(request);
  if (server::ParseJsonStrict(dumped) != request) fuzz::Finding("a value changes when written and read", dumped);

  static const std::vector<MethodSpec> members = Members();
  std::vector<const json*> calls;
  if (request.is_array()) {
    for (const json& call : request) calls.push_back(&call);
  } else {
    calls.push_back(&request);
  }
  for (const json* call : calls) {
    const json* params = call;
    if (call->is_object()) {
      auto it = call->find("params");
      if (it != call->end()) params = &*it;
    }
    for (const MethodSpec& m : members) {
      fuzz::Refusable([&] {
        DispatchArgs args = BindArguments(m, *params);
        if (args.size() != m.params.size()) fuzz::Finding("arguments lost in binding", m.name);
        for (size_t i = 0; i < args.size(); ++i) Read(m.params[i], args[i]);
      });
    }
  }
  return 0;
}
