// One copy of a tree (published or working) as data: its node rows and its
// document's markup, read inside the caller's transaction, and the rows as
// a compact text for keeping them with a version.
//
// Rows are read through bound parameters; the document is the copy's
// current file as the file-handling service names it, read through the
// document store (fetched from the shared location first in web-farm mode
// when it is missing locally).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsa::versions {

// One row of a node table, without the tree key.
struct NodeRecord {
  int32_t nodeId = 0;
  int32_t repType = 0;
  int32_t repId = 0;
  int32_t depth = 0;
  int32_t sequence = 0;
  int32_t parentId = -1;
  std::string preTree;
  std::string visibility;
  std::string faqs;
  int32_t hyperlink = -1;

  bool operator==(const NodeRecord&) const = default;
};

struct TreeCopy {
  std::vector<NodeRecord> rows;  // by NODEID
  std::string document;          // the document's markup
};

// The rows of a copy, by NODEID (empty when the copy has none).
std::vector<NodeRecord> ReadCopyRows(int32_t treeType, int32_t id, bool workingCopy);
// The markup of the copy's current document, or nothing when none is registered.
std::optional<std::string> ReadCopyDocument(int32_t treeType, int32_t id, bool workingCopy);
// Both; nothing when the copy has no rows or no document.
std::optional<TreeCopy> ReadCopy(int32_t treeType, int32_t id, bool workingCopy);

// Replaces the rows of a copy by `rows`.
void WriteCopyRows(int32_t treeType, int32_t id, bool workingCopy, const std::vector<NodeRecord>& rows);

// Rows as text (one line per row, fields separated by tabs, texts escaped)
// and back; DecodeRows raises 1402 for a text EncodeRows did not make.
std::string EncodeRows(const std::vector<NodeRecord>& rows);
std::vector<NodeRecord> DecodeRows(const std::string& text);

// Who holds the tree's check-out, if anyone.
std::optional<std::string> CheckOutHolder(int32_t treeType, int32_t id);

}  // namespace tsa::versions
