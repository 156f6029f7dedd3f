// Reading a tree file (the format is in authoring/tree_exchange.h): the
// parsed file checked against itself, the child-type rule of the receiving
// tree type and the catalog, before an import writes anything. Reads only;
// the catalog is asked through the two questions of `ExchangeCatalog`.
// Every refusal raises an error of 1410-1415 naming the JSON path.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsa {

struct ExchangeTemplateInfo {
  std::string name, comment;
  int32_t productCategory = 0;
};

struct ExchangeNode {
  std::string path;  // "$.nodes[3]"
  int32_t id = 0;
  int32_t parent = 0;
  int32_t repType = 0;
  std::optional<int32_t> entity;
  std::string sd, ld, faqs;
  std::vector<int32_t> visibilities;
  std::optional<int32_t> hyperlink;
};

struct ExchangePlan {
  std::optional<ExchangeTemplateInfo> templateInfo;  // for a template tree
  std::vector<ExchangeNode> nodes;  // in document order (parents before children, siblings in file order)
};

struct ExchangeCatalog {
  // A visibility's name; nothing when the catalog lacks it.
  std::function<std::optional<std::string>(int32_t)> visibilityName;
  std::function<bool(int32_t)> hasCategory;
};

// "category", "question", "answer" or "action" for a node's repository
// type, "unknown" for another.
const char* ExchangeTypeName(int32_t repType);

// `maxDepth` is how deep a node may lie below the root ([trees] max_depth):
// a file with a deeper node is refused (1218) naming the node's parent.
ExchangePlan ReadExchangeFile(const nlohmann::json& file, int32_t treeType, const ExchangeCatalog& catalog,
                              int maxDepth = 256);

}  // namespace tsa
