// Tree files as an import reads them: the text (JSON with a depth limit and
// without a key twice), then everything the file says checked against
// itself, the child-type rule and a small catalog, for both tree types.
// What the text parser accepts must survive being written and read again,
// and what the reader accepts must be a tree: every node once, each after
// its parent.
#include <cstdint>
#include <set>
#include <string>

#include "authoring/exchange_reader.h"
#include "authoring/tree_exchange.h"
#include "fuzz_support.h"
#include "storage/tree_types.h"
#include "versions/version_errors.h"

using namespace tsa;

namespace {

// Visibilities 1 to 5 named "v1" to "v5"; categories 10 to 12.
const ExchangeCatalog kCatalog{
    [](int32_t id) -> std::optional<std::string> {
      if (id < 1 || id > 5) return std::nullopt;
      return "v" + std::to_string(id);
    },
    [](int32_t id) { return id >= 10 && id <= 12; }};

void CheckPlan(const ExchangePlan& plan, const nlohmann::json& file) {
  if (plan.nodes.size() != file.at("nodes").size()) fuzz::Finding("nodes lost or added by the reader", "");
  std::set<int32_t> placed{0};
  for (const ExchangeNode& n : plan.nodes) {
    if (!placed.count(n.parent)) fuzz::Finding("a node before its parent", n.path);
    if (!placed.insert(n.id).second) fuzz::Finding("a node placed twice", n.path);
  }
}

}  // namespace

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

  for (int32_t treeType : {storage::kProductTree, storage::kTemplateTree}) {
    try {
      CheckPlan(ReadExchangeFile(file, treeType, kCatalog), file);
    } catch (const Error& e) {
      if (e.number() < err::ExchangeMalformed || e.number() > err::ExchangeChildType) {
        fuzz::Finding("a tree file refused outside 1410-1415", e.description());
      }
      fuzz::CheckRefusal(e);
    }
  }
  return 0;
}
