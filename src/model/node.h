// A node of one tree while a request works on it: the values of its row and
// its element in the tree's document. Its operations write both together.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/registry.h"
#include "storage/xml.h"

namespace tsa {

class Node : public Component {
 public:
  // Properties: the row's values and the element; setting one stores the
  // value only.
  int32_t NodeID = 0;
  int32_t RepType = 0;
  int32_t RepID = 0;
  std::string Visibilities;
  int32_t ParentNodeID = 0;
  int32_t Depth = 0;
  int32_t Sequence = 0;
  std::string PreTree;
  XmlElement NodeDOM;
  int32_t ID = 0;
  int32_t TreeType = 0;
  int32_t TemplateTopType = 0;
  std::string FAQs;
  int32_t HyperlinkNodeID = 0;

  // Makes a newly created node the last child of this one: position, row
  // and element.
  void AppendChild(Node& iChildNode);

  // Writes a changed node: texts, visibility, FAQs, hyperlink, entity.
  // Returns whether anything changed.
  bool save(int32_t i_lRepID, const std::string& i_sSDesc, const std::string& i_sLDesc, bool i_bPropogateContent,
            const std::string& i_sVisibilities, bool i_bPropogateVisibDown, const std::string& i_sFAQs,
            int32_t i_lHyperlinkNodeID);

  // The visibility list a template's root keeps after this top-level node
  // adds and removes entries.
  std::string GetTemplateRootVisib(const std::string& i_sVisToAdd, const std::string& i_sVisToRemove);

  // Copies the subtree of `i_oSrcNode` (from a separately loaded tree) below
  // this node.
  void Paste(Node& i_oSrcNode, const std::string& i_sSelectedVisibToAdd, const std::string& i_sUserId);

  const DispatchTable* Dispatch() const override;

 private:
  void CreateNewNodeinDB(Node& iChildNode);
  // A pasted row's path: `path` without the source's own path `oldPrefix`,
  // each remaining identifier moved by `offset`, below the new parent.
  static std::string CalculatePreTree(const std::string& path, const std::string& oldPrefix,
                                      const std::string& newParentPath, const std::string& newParentId,
                                      int32_t offset);

  // Pieces of the statements that save writes.
  static std::string StatementHead(const std::string& table);
  static std::string VisibilityAssignment(const std::string& value);
  static std::string FaqAssignment(const std::string& list);
  static std::string HyperlinkAssignment(int32_t target);
  static std::string EntityAssignment(int32_t repId);
  std::string NodeCondition(const std::string& keyColumn) const;
  std::string SubtreeCondition(const std::string& keyColumn) const;

  // Changes of this node's element made by save.
  void SetDescriptions(const std::string& sDesc, const std::string& lDesc);
  void SetEntityAttribute(const std::string& repId);
  void SetVisibilityAttribute(const std::string& list);
  void SetHyperlinkAttribute(int32_t target);
  void SetFaqFlag(const std::string& list);

  // The repository entity behind save.
  static int32_t CreateEntity(int32_t repType, const std::string& sDesc, const std::string& lDesc);
  static void UpdateEntity(int32_t repType, int32_t repId, const std::string& sDesc, const std::string& lDesc);

  // Whether two ";"-delimited lists differ, order included.
  static bool ListChanged(const std::string& oldList, const std::string& newList);
};

using NodePtr = std::shared_ptr<Node>;

// Creates a Node by its ProgID.
NodePtr CreateNodeObject();

// Raises 1218 when a node at `depth` (the root lies at 0) would lie deeper
// than trees may ([trees] max_depth): every place that gives a node a depth
// asks here before it writes a row.
void RequireDepthWithinLimit(int64_t depth);

void RegisterNodeClass();

}  // namespace tsa
