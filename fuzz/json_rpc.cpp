// JSON-RPC request texts as the service reads them: the depth check and the
// strict parse (no key twice), then the arguments bound to members of every
// shape the dispatch tables declare and converted as the members read them.
// Every text the binding accepts must go into a document that the XML writer
// writes back well-formed.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/xml_chars.h"
#include "server/json_rpc.h"
#include "storage/xml.h"

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

// Writes the texts of an accepted argument into a document and back.
void WriteAsDocument(const json& v) {
  XmlDoc doc = XmlDoc::Create();
  XmlElement root = doc.CreateDocumentElement("Node");
  std::vector<std::string> texts;
  std::vector<const json*> pending{&v};
  while (!pending.empty()) {
    const json* item = pending.back();
    pending.pop_back();
    if (item->is_string()) texts.push_back(item->get<std::string>());
    if (item->is_object()) {
      for (auto it = item->begin(); it != item->end(); ++it) {
        texts.push_back(it.key());
        pending.push_back(&it.value());
      }
    } else if (item->is_array()) {
      for (const json& element : *item) pending.push_back(&element);
    }
  }
  try {
    for (const std::string& t : texts) {
      XmlElement e = root.AppendNewChild("sd");
      e.SetText(t);
      e.SetAttribute("VISB", t);
    }
  } catch (const Error& e) {
    fuzz::Finding("an accepted argument is refused by the document", e.description());
  }
  std::string markup;
  try {
    markup = doc.Xml();
  } catch (const Error& e) {
    fuzz::Finding("the writer refuses a document of accepted arguments", e.description());
  }
  if (auto fault = FindCharacterMarkupCannotHold(markup)) fuzz::Finding("the writer wrote markup XML cannot hold", fault->what);
  XmlDoc again = XmlDoc::Create();
  if (!again.LoadXml(markup)) fuzz::Finding("a document of accepted arguments does not parse", again.LastError());
  std::vector<XmlElement> read = again.DocumentElement().ChildElements("sd");
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i >= read.size() || read[i].Text() != texts[i] || read[i].GetAttribute("VISB") != texts[i]) {
      fuzz::Finding("an accepted argument reads back otherwise", texts[i]);
    }
  }
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
        for (size_t i = 0; i < args.size(); ++i) {
          Read(m.params[i], args[i]);
          if (m.params[i].type != ArgType::Object) WriteAsDocument(args[i]);
        }
      });
    }
  }
  return 0;
}
