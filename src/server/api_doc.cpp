#include "server/api_doc.h"

#include <algorithm>
#include <vector>

#include "accounts/roles.h"
#include "runtime/registry.h"

namespace tsa::server {

namespace {

const char* TypeText(ArgType t) {
  switch (t) {
    case ArgType::Long:
      return "32-bit integer";
    case ArgType::String:
      return "string";
    case ArgType::Bool:
      return "Boolean";
    case ArgType::Dict:
      return "object";
    case ArgType::Object:
      return "object reference";
    case ArgType::Variant:
      return "any value";
  }
  return "any value";
}

// Text for a table cell or a line: no line breaks, pipes escaped.
std::string Cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|') {
      out += "\\|";
    } else if (c == '\r' || c == '\n') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// The result type with its article: "a 32-bit integer", "an object".
std::string Value(ArgType t) { return t == ArgType::Variant ? "any value" : ArgTypeName(t); }

std::string ResultText(const MethodSpec& m) {
  std::vector<std::string> outs;
  for (const ParamSpec& p : m.params)
    if (p.out) outs.push_back("`" + p.name + "`");
  if (outs.empty()) return m.returnsNothing ? "nothing" : Value(m.result);
  std::string names;
  for (size_t i = 0; i < outs.size(); ++i) {
    if (i) names += i + 1 == outs.size() ? " and " : ", ";
    names += outs[i];
  }
  return "an object with `return` (" + std::string(m.returnsNothing ? "null" : Value(m.result)) + ") and " +
         (outs.size() == 1 ? "the in/out argument " : "the in/out arguments ") + names;
}

// Whether any member of a class could be reachable for an audience.
bool MayReach(const ClassEntry& cls, Audience audience) {
  return audience == Audience::Local || cls.name != "Node";
}

}  // namespace

std::string RenderApiReference(Audience audience) {
  std::string out;
  out += "# tsauthor methods\n\n";
  if (audience == Audience::Network) {
    out += "Methods are called with JSON-RPC 2.0 requests sent by `POST` to `/rpc` "
           "(`Content-Type: application/json`), or in process with `tsauthor call`. "
           "Name a method `Class.Member`; pass the arguments by name (an object) or in order (an array). "
           "An engine error is answered with its number as the error code and "
           "`data` = `{number, source, description}`.\n\n"
           "Every call needs an identity (a personal token, the service token or a browser session; see the "
           "README, \"Signing in\"), and the role each method names below or a higher one "
           "(reader < author < publisher < admin). A user argument (`i_sUserId`) may be left out: it is the "
           "signed-in account's login; naming another login is refused (1302) except for the service account.\n\n"
           "A call that writes and does not get a lock another connection holds within "
           "`[database] lock_wait_seconds` is answered with error 1622 and HTTP 503 with `Retry-After`: it "
           "did nothing, send it again (a batch is answered 503 only when every call in it was).\n";
  } else {
    out += "Methods callable in process with `tsauthor call`: every member whose arguments and result are "
           "plain values. Name a method `Class.Member`; pass the arguments by name (an object) or in order "
           "(an array).\n";
  }
  for (const ClassEntry& cls : CallableClasses()) {
    if (!MayReach(cls, audience)) continue;
    std::shared_ptr<Component> instance;
    if (ComponentFactory factory = Registry::Instance().Find(cls.progId)) instance = factory();
    const DispatchTable* table = instance ? instance->Dispatch() : nullptr;
    std::vector<const MethodSpec*> methods;
    if (table) {
      for (const MethodSpec& m : table->Methods())
        if (IsExposed(cls, m, audience)) methods.push_back(&m);
    }
    if (instance && methods.empty()) continue;  // nothing reachable for this audience
    out += "\n## " + std::string(cls.name) + "\n\n";
    out += "ProgID `" + std::string(cls.progId) + "`.\n";
    if (!instance) {
      out += "\n_Not available in this build._\n";
      continue;
    }
    for (const MethodSpec* m : methods) {
      out += "\n### " + std::string(cls.name) + "." + m->name + "\n\n";
      if (!m->summary.empty()) out += Cell(m->summary) + "\n\n";
      if (m->params.empty()) {
        out += "No arguments.\n\n";
      } else {
        out += "| Argument | Type | Direction |\n|---|---|---|\n";
        for (const ParamSpec& p : m->params) {
          std::string direction = p.out ? "in/out" : "in";
          if (p.optional) direction += ", optional";
          out += "| `" + p.name + "` | " + TypeText(p.type) + " | " + direction + " |\n";
        }
        out += "\n";
      }
      out += "Returns " + ResultText(*m) + ".\n";
      if (audience == Audience::Network) {
        out += "Needs the role `" +
               std::string(accounts::RoleName(accounts::RuleFor(std::string(cls.name) + "." + m->name).role)) + "`.\n";
      }
    }
  }
  return out;
}

}  // namespace tsa::server
