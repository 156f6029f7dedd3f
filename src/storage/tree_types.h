// Tree types, repository types, the child-type rule, node identifier
// allocation and a template's top type.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsa::storage {

inline constexpr int32_t kProductTree = 1;
inline constexpr int32_t kTemplateTree = 2;

inline constexpr int32_t kRepRoot = 0;
inline constexpr int32_t kRepCategory = 1;
inline constexpr int32_t kRepQuestion = 2;
inline constexpr int32_t kRepAnswer = 3;
inline constexpr int32_t kRepAction = 4;
// A template's top type while it has no top-level node.
inline constexpr int32_t kTopTypeEmpty = 10;

// Document categories towards the file-handling service.
inline constexpr int32_t kCategoryProductManager = 8;
inline constexpr int32_t kCategoryProductEnduser = 9;
inline constexpr int32_t kCategoryTemplateManager = 16;
inline constexpr int32_t kCategoryTemplateEnduser = 17;

// {node table, key column}; both empty for an unknown tree type.
using TableAndKey = std::array<std::string, 2>;
TableAndKey GetTreeTableAndKey(int32_t treeType, bool workingCopy);

// The repository table of types 1..4; for any other type logs and returns "".
std::string getRepTable(int32_t repType);

// The repository types allowed under a parent of the given type.
std::vector<std::string> GetValidChildTypes(int32_t parentType, std::optional<int32_t> topType = std::nullopt);
bool TypeMatch(int32_t parentType, int32_t childType, std::optional<int32_t> topType = std::nullopt);

// The highest NODEID of the tree's working copy.
int32_t getMaxNodeID(int32_t treeType, int32_t treeId);
// The repository type of any top-level node of a template; 10 without one.
int32_t GetTemplateTopType(int32_t templateId, bool workingCopy);

// Inside a transaction context: serialises this call with every other one
// that loads or changes the same tree, until the transaction ends.
void LockTree(int32_t treeType, int32_t id);

// The manager (check-out) or end-user document category of a tree type.
int32_t DocumentCategory(int32_t treeType, bool manager);

}  // namespace tsa::storage
