// Checks before publishing: findings about one copy of a tree.
//
// Each finding is {severity, rule, node, message}; severity "error" blocks
// TSDOM.PublishWithComment unless forced, "warning" does not. The rules are
// the table in tree_validation.cpp, one function each; a new rule is one
// function and one line there:
//   broken-hyperlink      error    a hyperlink to a node the copy lacks
//   no-audience           warning  a node below the root with an empty visibility list
//   unknown-visibility    error    a visibility the catalog does not give the product
//   empty-category        warning  a category without children
//   unanswered-question   warning  a question without an answer below it
//   empty-short-text      error    a node below the root with a blank short text
//   sequence              error    siblings whose sequence numbers are not 1..n
//   rows-document         error    rows and document that disagree
//   xml-characters        error    a text or attribute holding a character XML cannot hold
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsa {

struct Finding {
  std::string severity;  // "error" or "warning"
  std::string rule;
  int32_t node = -1;     // the node concerned; -1 for the tree as a whole
  std::string message;
};

// The findings about a copy, in rule order, then by node. A copy without
// rows has none.
std::vector<Finding> ValidateTreeCopy(int32_t treeType, int32_t id, bool workingCopy);

bool HasErrors(const std::vector<Finding>& findings);
nlohmann::json ToJson(const std::vector<Finding>& findings);

}  // namespace tsa
