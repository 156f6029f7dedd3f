// What every fuzz target shares: the engine's log kept quiet, and the rule
// that tells an answer from a finding.
//
// A parser that meets damaged input must refuse it with an engine error
// whose description a user can act on. Anything else is a finding and ends
// the run: a crash or sanitizer report, an exception other than the
// engine's escaping, or an engine error that merely wraps a foreign
// exception ("Internal error: ...", "Subscript out of range: ..."), which
// means a library failed where the engine should have looked first.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/registry.h"

namespace tsa::fuzz {

class QuietLog : public ILog {
 public:
  void WriteEntry(const std::string&, const std::string&, int32_t) override {}
};

// Error entries go nowhere instead of to a log file below the data folder.
inline void QuietTheLog() {
  Registry::Instance().Register(progid::Log, [] { return std::make_shared<QuietLog>(); });
}

[[noreturn]] inline void Finding(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "FINDING: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Checks an engine error raised for damaged input. A foreign exception that
// reached the engine's handlers keeps the number and the opening words it
// was given there (runtime/error.cpp), at the start of the description or
// after a handler's " caught: ".
inline void CheckRefusal(const Error& e) {
  const std::string& d = e.description();
  if (d.empty()) Finding("an error without a description", std::to_string(e.number()));
  struct Wrapped {
    int32_t number;
    std::string_view opening;
  };
  for (const Wrapped& w : {Wrapped{err::InternalError, "Internal error: "},
                           Wrapped{err::SubscriptOutOfRange, "Subscript out of range: "},
                           Wrapped{err::TypeMismatch, "Type mismatch: "},
                           Wrapped{err::InvalidProcedureCall, "Invalid procedure call or argument: "},
                           Wrapped{err::Overflow, "Overflow: "}, Wrapped{err::OutOfMemory, "Out of memory"}}) {
    if (e.number() != w.number) continue;
    if (d.rfind(w.opening, 0) == 0 || d.find(" caught: " + std::string(w.opening)) != std::string::npos) {
      Finding("a foreign failure passed off as an answer", d);
    }
  }
}

// Runs `body`; an engine error is a refusal and is checked, anything else
// escapes to libFuzzer.
template <class Body>
void Refusable(Body&& body) {
  try {
    body();
  } catch (const Error& e) {
    CheckRefusal(e);
  }
}

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tsa::fuzz
