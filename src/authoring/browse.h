// "Browse": what a front end lists and shows, read without changing
// anything: the catalog, the products and templates with the state of their
// trees, one tree as JSON in document order, and repository entities found
// by text.
//
// Every member runs in a read-only transaction of its own (a writing one in
// web-farm mode, where loading a tree may fetch its document), so a read
// never waits for a writer and never holds one up.
//
// A tree as JSON comes from the document of the copy asked for (node order,
// structure, texts, visibilities, hyperlinks) and from the rows for what
// the document keeps only as a flag (the FAQ lists, one statement for the
// whole tree). The text is kept between calls under a tag made from the
// document file's identity, the copy shown and the tree's check-out record:
// every change of the answer changes one of them (an edit of a node's FAQ
// list saves the document again), so the same tag means the same text and
// serves as the HTTP entity tag.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/registry.h"

namespace tsa {

inline constexpr std::string_view kBrowseProgId = "HXSvcTroubleshooting.Browse";

namespace err {
inline constexpr int32_t NoWorkingCopyToShow = 1600;  // the working copy asked for, and nobody holds the tree
inline constexpr int32_t WorkingCopyRefused = 1601;   // a reader asked for somebody else's working copy
}  // namespace err

// A tree as JSON text and its tag.
struct TreeJson {
  // Empty when the document is not a stored file (changed in the calling
  // transaction, or a store other than the built-in one): nothing is kept.
  std::string tag;
  // Null when `unchanged` said the caller holds the text of `tag` already.
  std::shared_ptr<const std::string> text;
};

// Inside a transaction context: the tree as `reader` sees it (view ""),
// its published copy ("published") or the working copy of whoever holds it
// ("working"; 1600 when nobody does, 1601 for a caller with the role
// reader who does not hold it). Unknown tree: 1002. `unchanged`, when
// given, is asked with the tag before the text is made or looked up.
TreeJson RenderTreeJson(int32_t treeType, int32_t id, const std::string& view, const std::string& reader,
                        const std::function<bool(const std::string& tag)>& unchanged = {});

// Drops the kept texts, and every other rendition the document cache keeps
// (tests and benchmarks measure the first read).
void ClearTreeJsonCache();

class Browse : public Component {
 public:
  // {visibilities: [{id, name}], categories: [{id, name, visibilities}],
  //  products: [{id, description, categories, visibilities}]}.
  nlohmann::json Catalog();
  // [{id, description, tree: null | {nodes, checkedOutBy, checkedOutSince, workingNodes}}].
  nlohmann::json Products(const std::string& i_sFilter);
  // [{id, name, comment, productCategory, tree}].
  nlohmann::json Templates();
  // The tree as JSON for the calling user (see RenderTreeJson).
  nlohmann::json Tree(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sView);
  // {total, items: [{repType, repId, short, long}]}.
  nlohmann::json SearchEntities(const std::string& i_sText, int32_t i_lRepType, int32_t i_lOffset,
                                int32_t i_lLimit);

  const DispatchTable* Dispatch() const override;
};

void RegisterBrowseClass();

}  // namespace tsa
