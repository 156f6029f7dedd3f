// One tree (a product tree or a template) as one user sees it: the document
// loaded for that user, nodes bound to rows and elements, and the tree-level
// operations check-out, publishing, deletion and reordering.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "model/node.h"
#include "components/file_handling.h"
#include "runtime/registry.h"
#include "storage/xml.h"
#include "versions/version_store.h"

namespace tsa {

// The file name of a tree's published document among `names` (as the
// file-handling service gives them). A tree that was never created, or was
// deleted, has none: error 1002 saying that the tree does not exist, with
// the file-handling service's report (9) inside.
std::string PublishedFileName(const FileNameDict& names, int32_t treeType, int32_t id);

// Where a tree's document is for a user: the working copy when the user
// holds the tree checked out, else the published document. In web-farm mode
// both are first fetched from the shared folder, which writes.
struct TreeDocumentPlace {
  std::string path;
  bool checkedOut = false;
};
TreeDocumentPlace LocateTreeDocument(int32_t treeType, int32_t id, const std::string& user);

class Tree : public Component {
 public:
  // Read-only properties.
  bool Checkedout() const { return checkedout_; }
  int32_t TreeType() const { return treeType_; }
  int32_t TemplateTopType() const { return templateTopType_; }
  // The document held (the reference, not a copy) and its replacement.
  XmlDoc TreeDOM() const { return treeDOM_; }
  void TreeDOM(XmlDoc document) { treeDOM_ = std::move(document); }
  // The tree identifier given to load (not a property of the interface).
  int32_t ID() const { return id_; }
  // The file load read the document from (not a property of the interface).
  const std::string& DocumentPath() const { return documentPath_; }

  void load(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId);
  NodePtr createNode(int32_t i_lRepType, const std::string& i_sSDesc, const std::string& i_sLDesc,
                     const std::string& i_sVisibilities, const std::string& i_sFAQs, int32_t i_lHyperlinkNodeID);
  NodePtr createNodeFromRep(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sVisibilities,
                            const std::string& i_sFAQs, int32_t i_lHyperlinkNodeID);
  NodePtr getNode(int32_t i_lNodeID);
  // Writes the document to the copy the user sees; always returns nothing.
  void save();

  // Check-out and publishing: need no load.
  void CheckOut(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId, std::string& o_sOwner);
  void Publish(int32_t i_lTreeType, int32_t i_lID);
  // Publishing with a comment: the published copy becomes the tree's next
  // version carrying the note (Publish keeps an empty note).
  void Publish(int32_t i_lTreeType, int32_t i_lID, const versions::PublicationNote& note);

  // The findings about the copy the user sees (see model/tree_validation.h),
  // as JSON: [{severity, rule, node, message}].
  nlohmann::json Validate(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sUserId);

  // Deletion and reordering of nodes of the loaded working copy.
  int32_t DeleteNode(int32_t i_lNodeID);
  void MoveNode(int32_t i_lNodeID, int32_t i_lDirection);

  const DispatchTable* Dispatch() const override;

  // Inside a transaction context: serialises this call with every other one
  // that loads or changes the same tree, until the transaction ends.
  static void LockTree(int32_t treeType, int32_t id);

 private:
  int32_t id_ = 0;
  XmlDoc treeDOM_;
  int32_t treeType_ = 0;
  int32_t templateTopType_ = 0;
  bool checkedout_ = false;
  std::string documentPath_;
};

using TreePtr = std::shared_ptr<Tree>;

// Creates a Tree by its ProgID.
TreePtr CreateTreeObject();

// True when a check-out record of this tree names this user.
bool IsCheckedOut(int32_t treeType, int32_t id, const std::string& user);

void RegisterTreeClass();

}  // namespace tsa
