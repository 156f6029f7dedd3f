// "Exchange": a tree as one self-contained JSON file, and a file made into
// a new published tree.
//
// The file (format version 1):
//
//   {"format": "tsauthor-tree", "formatVersion": 1, "treeType": "product",
//    "product": {"id": 7, "name": "Laser printer L200"},          product trees
//    "template": {"id": 3, "name": "...", "comment": "...",        templates
//                 "productCategory": 10},
//    "visibilities": [{"id": 1, "name": "Customers"}, ...],
//    "nodes": [{"id": 1, "parent": 0, "type": "category", "entity": 12,
//               "short": "Paper jams", "long": "", "visibilities": [1],
//               "faqs": ";", "hyperlink": null}, ...]}
//
// "nodes" holds every node below the root in document order; parent 0 is the
// root. The root itself is not in the file: it belongs to the tree that
// receives the content (a product's name and visibilities from the catalog,
// a template's name and comment from "template"). "visibilities" lists, with
// their catalog names, the visibilities the nodes name. "entity" groups the
// nodes that share one repository entity; it is an identifier of the
// exporting database only.
//
// Import validates the whole file before it writes anything, then creates
// the tree in one unit of work: the tree with its root (CreateEmptyTree),
// one new repository entity per entity of the file (or, when texts are
// reused, an existing entity of the same type with the same two texts), and
// the nodes as published rows and document. Nodes get the identifiers 1..n
// in document order; hyperlinks follow them. A template is imported into an
// existing information row (CreateNewTemplateInfo gives the identifier),
// which takes the file's name, comment and product category.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/registry.h"

namespace tsa {

inline constexpr std::string_view kExchangeProgId = "HXSvcTroubleshooting.Exchange";
inline constexpr int kExchangeFormatVersion = 1;

class Exchange : public Component {
 public:
  // The published copy, or the working copy (1401 when there is none).
  nlohmann::json Export(int32_t i_lTreeType, int32_t i_lID, bool i_bWorking);
  // `i_vFile` is the file's JSON text, or the file as a JSON object. Answers
  // {treeType, id, nodes, entitiesCreated, entitiesReused}.
  nlohmann::json Import(const nlohmann::json& i_vFile, int32_t i_lTreeType, int32_t i_lID, bool i_bReuseTexts);

  const DispatchTable* Dispatch() const override;
};

// Parses the text of an exchange file: refuses malformed JSON, a key twice
// in one object and nesting deeper than 64 with 1410.
nlohmann::json ParseExchangeText(std::string_view text);

void RegisterExchangeClass();

}  // namespace tsa
