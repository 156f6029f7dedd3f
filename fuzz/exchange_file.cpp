// Tree files as an import reads their text: the JSON with its depth limit
// and without a key twice. What it accepts must survive being written out
// and read again, as an export followed by an import does.
#include <cstdint>
#include <string>

#include "authoring/tree_exchange.h"
#include "fuzz_support.h"
#include "versions/version_errors.h"

using namespace tsa;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nlohmann::json file;
  try {
    file = ParseExchangeText(fuzz::AsText(data, size));
  } catch (const Error& e) {
    if (e.number() != err::ExchangeMalformed) fuzz::Finding("a tree file refused with another number", e.description());
    fuzz::CheckRefusal(e);
    return 0;
  }
  const std::string written = file.dump();
  try {
    if (ParseExchangeText(written) != file) fuzz::Finding("a file changes when written and read", written);
  } catch (const Error& e) {
    fuzz::Finding("a file written from an accepted one is refused", e.description());
  }
  return 0;
}
