#include "authoring/exchange_reader.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "authoring/tree_exchange.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "runtime/xml_chars.h"
#include "storage/tree_types.h"
#include "storage/xml.h"
#include "versions/version_errors.h"

namespace tsa {

namespace {

using nlohmann::json;

constexpr int kMaxDepth = 64;
constexpr const char* kFormat = "tsauthor-tree";

constexpr std::pair<const char*, int32_t> kTypeNames[] = {{"category", storage::kRepCategory},
                                                         {"question", storage::kRepQuestion},
                                                         {"answer", storage::kRepAnswer},
                                                         {"action", storage::kRepAction}};

[[noreturn]] void Refuse(int32_t number, const std::string& path, const std::string& problem) {
  Raise(number, {}, "The tree file cannot be imported: " + path + " " + problem);
}

const json& Member(const json& object, const char* key, const std::string& path) {
  auto it = object.find(key);
  if (it == object.end()) Refuse(err::ExchangeMalformed, path + "." + key, "is missing");
  return *it;
}

void OnlyKeys(const json& object, std::initializer_list<const char*> keys, const std::string& path) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) {
      Refuse(err::ExchangeMalformed, path + "." + it.key(), "is not a member this format knows");
    }
  }
}

const json& Object(const json& value, const std::string& path) {
  if (!value.is_object()) Refuse(err::ExchangeMalformed, path, "must be an object");
  return value;
}

const json& Array(const json& value, const std::string& path) {
  if (!value.is_array()) Refuse(err::ExchangeMalformed, path, "must be an array");
  return value;
}

int32_t Int(const json& value, const std::string& path) {
  if (value.is_number_unsigned() && value.get<uint64_t>() <= INT32_MAX) return static_cast<int32_t>(value.get<uint64_t>());
  if (value.is_number_integer() && value.get<int64_t>() >= INT32_MIN && value.get<int64_t>() <= INT32_MAX) {
    return static_cast<int32_t>(value.get<int64_t>());
  }
  Refuse(err::ExchangeMalformed, path, "must be a whole number that fits in 32 bits");
}

// A text that goes into a document: free of the characters none can hold.
std::string DocumentText(const json& value, const std::string& path) {
  if (!value.is_string()) Refuse(err::ExchangeMalformed, path, "must be a text");
  std::string text = value.get<std::string>();
  if (auto fault = FindCharacterXmlCannotHold(text)) Refuse(err::ExchangeMalformed, path, DescribeXmlCharFault(*fault));
  return text;
}

}  // namespace

ExchangePlan ReadExchangeFile(const json& file, int32_t treeType, const ExchangeCatalog& catalog, int maxDepth) {
  Object(file, "$");
  const json& format = Member(file, "format", "$");
  if (format != kFormat) Refuse(err::ExchangeFormatVersion, "$.format", "must be \"tsauthor-tree\"");
  const json& version = Member(file, "formatVersion", "$");
  if (!version.is_number_integer() || version.get<int64_t>() != kExchangeFormatVersion) {
    Refuse(err::ExchangeFormatVersion, "$.formatVersion",
           "is " + version.dump() + "; this engine reads format version " + std::to_string(kExchangeFormatVersion));
  }
  OnlyKeys(file, {"format", "formatVersion", "treeType", "product", "template", "visibilities", "nodes"}, "$");
  const json& type = Member(file, "treeType", "$");
  if (type != "product" && type != "template") Refuse(err::ExchangeMalformed, "$.treeType", "must be \"product\" or \"template\"");

  ExchangePlan plan;
  if (file.contains("product")) {
    const json& product = Object(file["product"], "$.product");
    OnlyKeys(product, {"id", "name"}, "$.product");
    Int(Member(product, "id", "$.product"), "$.product.id");
    DocumentText(Member(product, "name", "$.product"), "$.product.name");
  }
  if (file.contains("template")) {
    const json& t = Object(file["template"], "$.template");
    OnlyKeys(t, {"id", "name", "comment", "productCategory"}, "$.template");
    Int(Member(t, "id", "$.template"), "$.template.id");
    ExchangeTemplateInfo info{DocumentText(Member(t, "name", "$.template"), "$.template.name"),
                      DocumentText(Member(t, "comment", "$.template"), "$.template.comment"),
                      Int(Member(t, "productCategory", "$.template"), "$.template.productCategory")};
    if (info.productCategory != 0 && !catalog.hasCategory(info.productCategory)) {
      Refuse(err::ExchangeNotInCatalog, "$.template.productCategory",
             "names the product category " + std::to_string(info.productCategory) + ", which the catalog lacks");
    }
    if (treeType == storage::kTemplateTree) plan.templateInfo = info;
  }

  // Visibilities: each known to the catalog under the same name.
  std::set<int32_t> listed;
  const json& visibilities = Array(Member(file, "visibilities", "$"), "$.visibilities");
  for (size_t i = 0; i < visibilities.size(); ++i) {
    const std::string path = "$.visibilities[" + std::to_string(i) + "]";
    const json& v = Object(visibilities[i], path);
    OnlyKeys(v, {"id", "name"}, path);
    const int32_t id = Int(Member(v, "id", path), path + ".id");
    const json& name = Member(v, "name", path);
    DocumentText(name, path + ".name");
    if (!listed.insert(id).second) Refuse(err::ExchangeMalformed, path + ".id", "lists visibility " + std::to_string(id) + " a second time");
    const std::optional<std::string> known = catalog.visibilityName(id);
    if (!known) {
      Refuse(err::ExchangeNotInCatalog, path, "names visibility " + std::to_string(id) + " (" + name.dump() + "), which the catalog lacks");
    }
    if (*known != name.get<std::string>()) {
      Refuse(err::ExchangeNotInCatalog, path,
             "names visibility " + std::to_string(id) + " " + name.dump() + ", but the catalog's visibility " +
                 std::to_string(id) + " is " + json(*known).dump());
    }
  }

  // Nodes, as written.
  std::vector<ExchangeNode> written;
  std::map<int32_t, size_t> byId;
  const json& nodes = Array(Member(file, "nodes", "$"), "$.nodes");
  for (size_t i = 0; i < nodes.size(); ++i) {
    ExchangeNode n;
    n.path = "$.nodes[" + std::to_string(i) + "]";
    const json& o = Object(nodes[i], n.path);
    OnlyKeys(o, {"id", "parent", "type", "entity", "short", "long", "visibilities", "faqs", "hyperlink"}, n.path);
    n.id = Int(Member(o, "id", n.path), n.path + ".id");
    if (n.id <= 0) Refuse(err::ExchangeMalformed, n.path + ".id", "must be greater than 0 (0 is the root)");
    if (!byId.emplace(n.id, i).second) Refuse(err::ExchangeMalformed, n.path + ".id", "repeats node " + std::to_string(n.id));
    n.parent = Int(Member(o, "parent", n.path), n.path + ".parent");
    const json& t = Member(o, "type", n.path);
    for (const auto& [name, value] : kTypeNames) {
      if (t == name) n.repType = value;
    }
    if (n.repType == 0) Refuse(err::ExchangeMalformed, n.path + ".type", "must be \"category\", \"question\", \"answer\" or \"action\"");
    if (o.contains("entity") && !o["entity"].is_null()) n.entity = Int(o["entity"], n.path + ".entity");
    n.sd = DocumentText(Member(o, "short", n.path), n.path + ".short");
    n.ld = DocumentText(Member(o, "long", n.path), n.path + ".long");
    n.faqs = DocumentText(Member(o, "faqs", n.path), n.path + ".faqs");
    const json& vis = Array(Member(o, "visibilities", n.path), n.path + ".visibilities");
    for (size_t k = 0; k < vis.size(); ++k) {
      const std::string vpath = n.path + ".visibilities[" + std::to_string(k) + "]";
      const int32_t id = Int(vis[k], vpath);
      if (!listed.count(id)) Refuse(err::ExchangeMalformed, vpath, "names visibility " + std::to_string(id) + ", which $.visibilities does not list");
      n.visibilities.push_back(id);
    }
    const json& hyperlink = Member(o, "hyperlink", n.path);
    if (!hyperlink.is_null()) n.hyperlink = Int(hyperlink, n.path + ".hyperlink");
    written.push_back(std::move(n));
  }

  // References, then the shape: every node reached from the root.
  std::map<int32_t, std::vector<size_t>> children;  // parent id -> indexes in file order
  for (size_t i = 0; i < written.size(); ++i) {
    const ExchangeNode& n = written[i];
    if (n.parent != 0 && !byId.count(n.parent)) {
      Refuse(err::ExchangeDanglingNode, n.path + ".parent", "names node " + std::to_string(n.parent) + ", which is not in the file");
    }
    if (n.hyperlink && !byId.count(*n.hyperlink)) {
      Refuse(err::ExchangeDanglingNode, n.path + ".hyperlink",
             "names node " + std::to_string(*n.hyperlink) + ", which is not in the file");
    }
    children[n.parent].push_back(i);
  }
  std::vector<bool> reached(written.size(), false);
  std::vector<size_t> stack;
  auto push = [&](int32_t parent) {
    auto it = children.find(parent);
    if (it == children.end()) return;
    for (auto c = it->second.rbegin(); c != it->second.rend(); ++c) stack.push_back(*c);
  };
  push(0);
  while (!stack.empty()) {
    const size_t i = stack.back();
    stack.pop_back();
    reached[i] = true;
    plan.nodes.push_back(written[i]);
    push(written[i].id);
  }
  for (size_t i = 0; i < written.size(); ++i) {
    if (!reached[i]) {
      Refuse(err::ExchangeCycle, written[i].path + ".parent",
             "is part of a circle of parents that never reaches the root");
    }
  }

  // The child-type rule of the receiving tree; a template's top level is
  // all categories or no categories.
  std::optional<int32_t> topType;
  if (treeType == storage::kTemplateTree) topType = storage::kTopTypeEmpty;
  std::map<int32_t, int32_t> typeOf{{0, storage::kRepRoot}};
  std::map<int32_t, int> depthOf{{0, 0}};
  for (const ExchangeNode& n : plan.nodes) {
    typeOf[n.id] = n.repType;
    // Parents come first: the plan is in document order.
    const int depth = depthOf[n.id] = depthOf.at(n.parent) + 1;
    if (depth > maxDepth) {
      Refuse(err::TreeTooDeep, n.path + ".parent",
             "puts the node " + std::to_string(depth) + " levels below the root; trees may be at most " +
                 std::to_string(maxDepth) + " levels deep (setting [trees] max_depth)");
    }
    const int32_t parentType = typeOf.at(n.parent);
    if (!storage::TypeMatch(parentType, n.repType, parentType == storage::kRepRoot ? topType : std::nullopt)) {
      Refuse(err::ExchangeChildType, n.path + ".type",
             std::string("is \"") + ExchangeTypeName(n.repType) + "\", which is not allowed under " +
                 (n.parent == 0 ? std::string("the root of this tree type")
                                : "a node of type \"" + std::string(ExchangeTypeName(parentType)) + "\""));
    }
    if (parentType == storage::kRepRoot && topType) topType = n.repType;
  }

  // Nodes sharing an entity show its texts.
  std::map<std::pair<int32_t, int32_t>, const ExchangeNode*> entities;
  for (const ExchangeNode& n : plan.nodes) {
    if (!n.entity) continue;
    auto [it, added] = entities.emplace(std::make_pair(n.repType, *n.entity), &n);
    if (!added && (it->second->sd != n.sd || it->second->ld != n.ld)) {
      Refuse(err::ExchangeMalformed, n.path + ".entity",
             "shares entity " + std::to_string(*n.entity) + " with " + it->second->path + " but shows other texts");
    }
  }
  return plan;
}


const char* ExchangeTypeName(int32_t repType) {
  for (const auto& [name, type] : kTypeNames) {
    if (type == repType) return name;
  }
  return "unknown";
}

json ParseExchangeText(std::string_view text) {
  // Keys seen per open object, to refuse a key given twice (the parser
  // would keep the last one silently).
  std::vector<std::set<std::string>> open;
  std::vector<std::string> where{"$"};
  int depth = 0;
  auto callback = [&](int level, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        if (++depth > kMaxDepth) Refuse(err::ExchangeMalformed, "$", "is nested deeper than 64");
        if (event == json::parse_event_t::object_start) open.emplace_back();
        break;
      case json::parse_event_t::object_end:
        open.pop_back();
        --depth;
        break;
      case json::parse_event_t::array_end:
        --depth;
        break;
      case json::parse_event_t::key:
        if (!open.back().insert(parsed.get<std::string>()).second) {
          Refuse(err::ExchangeMalformed, "member " + json(parsed.get<std::string>()).dump(),
                 "is given twice in one object (at nesting level " + std::to_string(level) + ")");
        }
        break;
      default:
        break;
    }
    return true;
  };
  // The parser would end the text at a NUL character and ignore the rest.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    Refuse(err::ExchangeMalformed, "$", "is not JSON: it holds a NUL character at byte " + std::to_string(nul + 1));
  }
  try {
    return json::parse(text.begin(), text.end(), callback);
  } catch (const json::exception& e) {
    // Malformed text, or a number no type can hold (1e400).
    Refuse(err::ExchangeMalformed, "$", std::string("is not JSON: ") + e.what());
  }
}

}  // namespace tsa
