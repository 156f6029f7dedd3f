// "Versions": a tree's published versions by name — the list, one version's
// document, what changed between two copies, and restoring a version as the
// working copy of the user who holds the tree.
//
// A copy is named by text: a version number ("3"), "published" or
// "working". Each member is one unit of work in its own or its caller's
// transaction and votes like the facade's members.
//
// Restore and the repository: a restored node keeps its entity when the
// entity still exists with the texts the version showed. When the entity was
// deleted since, or its texts were changed since (in every tree, by a
// propagating save), the node gets a new entity with the version's texts, so
// the working copy shows what the version showed, no node points at a
// missing entity, and other trees that share the changed entity keep its
// present texts. Nodes of the version that shared one entity share one new
// entity. Visibilities are restored as they were; a visibility the catalog
// no longer gives the product is then reported by Tree.Validate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "runtime/registry.h"

namespace tsa {

inline constexpr std::string_view kVersionsProgId = "HXSvcTroubleshooting.Versions";

class Versions : public Component {
 public:
  // [{version, publishedBy, publishedAt, comment, forced}], newest first.
  nlohmann::json List(int32_t i_lTreeType, int32_t i_lID);
  // The version's document (XML markup).
  std::string Get(int32_t i_lTreeType, int32_t i_lID, int32_t i_lVersion);
  // The changes from one copy to another (see versions/tree_diff.h).
  nlohmann::json Diff(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sFrom, const std::string& i_sTo);
  // The version becomes the working copy of the user, who must hold the
  // tree's check-out (1003 otherwise).
  void Restore(int32_t i_lTreeType, int32_t i_lID, int32_t i_lVersion, const std::string& i_sUserId);

  const DispatchTable* Dispatch() const override;
};

void RegisterVersionsClass();

}  // namespace tsa
