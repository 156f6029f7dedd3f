// Trees for tests, made the way the engine makes them: product trees and
// templates created published with their root, checked out through
// Tree::CheckOut, nodes added through Tree::createNode, Node::AppendChild and
// Tree::save inside one transaction; and reads of rows, records and
// documents to check what the engine did.
//
// All helpers need a tsa::test::TestEnv alive (TreeTest provides one).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/tree_types.h"
#include "storage/xml.h"
#include "support/test_env.h"

namespace tsa::test {

inline constexpr int32_t kProduct = storage::kProductTree;
inline constexpr int32_t kTemplate = storage::kTemplateTree;

// Registers what trees need beside the engine's own classes when it is not
// registered yet (the file-handling service, the repository, Tree and
// Node). The helpers below call it; call it yourself before using the
// engine's classes directly without them.
void EnsureTreeComponents();

// --- creating trees ---------------------------------------------------------

// A published product tree with only its root: the root row
// (id,0,0,0,0,0,-1,';',visibilities,';',-1) in DIAGNOSTICS, the DIAGNOSTICSINFO
// row (id, categories, visibilities, '', ''), the end-user document
// "<id>_0.xml" (root element with PRID, `description` as sd, empty ld)
// saved through the document store and registered under category 9.
// Returns the product identifier.
int32_t CreateProductTree(int32_t productId, const std::string& visibilities = ";",
                          const std::string& description = "Product", const std::string& categories = ";");

// A published template with only its root: a TEMPLATEINFO row (identifier
// generated), the root row in TEMPLATE with the visibility list ";", and the
// end-user document "<id>_0.xml" (name as sd, comment as ld) registered under
// category 17. Returns the template identifier.
int32_t CreateTemplate(const std::string& name = "Template", const std::string& comment = "",
                       int32_t productCategory = 0);

// --- check-out and nodes ----------------------------------------------------

// Tree::CheckOut for the user, in a transaction of its own; returns
// o_sOwner ("" when the user has just been given the tree).
std::string CheckOut(int32_t treeType, int32_t id, const std::string& user);

// Tree::Publish in a transaction of its own.
void Publish(int32_t treeType, int32_t id);

// What AddNode creates.
struct NewNode {
  int32_t parent = 0;  // the parent's node identifier
  int32_t repType = storage::kRepQuestion;
  std::string sd = "short";
  std::string ld = "long";
  std::string visibilities = ";";
  std::string faqs = ";";
  int32_t hyperlink = -1;
};

// Adds a node to the working copy that `user` holds (check it out first):
// load, getNode(parent), createNode, AppendChild, save, in one transaction.
// Returns the new node identifier.
int32_t AddNode(int32_t treeType, int32_t id, const std::string& user, const NewNode& node);

// Adds `count` children below `parent` (sd "<prefix> 1", "<prefix> 2", ...);
// returns their identifiers in order.
std::vector<int32_t> AddChildren(int32_t treeType, int32_t id, const std::string& user, int32_t parent, int count,
                                 int32_t repType = storage::kRepQuestion, const std::string& prefix = "child");

// --- reading what is stored -------------------------------------------------

// One row of a node table, columns in table order.
struct NodeRow {
  int32_t treeId = 0;
  int32_t nodeId = 0;
  int32_t repType = 0;
  int32_t repId = 0;
  int32_t depth = 0;
  int32_t sequence = 0;
  int32_t parentId = 0;
  std::string preTree;
  std::string visibility;
  std::string faqs;
  int32_t hyperlink = 0;

  bool operator==(const NodeRow&) const = default;
};
void PrintTo(const NodeRow& row, std::ostream* os);

// The rows of a tree's published or working copy, by NODEID.
std::vector<NodeRow> ReadRows(int32_t treeType, int32_t id, bool workingCopy);
std::optional<NodeRow> ReadRow(int32_t treeType, int32_t id, int32_t nodeId, bool workingCopy);

// The LOGIN of the tree's check-out record, if there is one.
std::optional<std::string> CheckOutHolder(int32_t treeType, int32_t id);
// The number of check-out records of the tree (0 or 1 when all is well).
int CheckOutRecords(int32_t treeType, int32_t id);

// The VISIBILITY of the product's DIAGNOSTICSINFO row, if there is one.
std::optional<std::string> ProductInfoVisibility(int32_t productId);

// NAME and DETAIL of a repository entity, if there is one.
std::optional<std::pair<std::string, std::string>> RepEntity(int32_t repType, int32_t repId);

// The current document file name the file-handling service knows for the
// tree's manager or end-user document, if any.
std::optional<std::string> DocumentName(int32_t treeType, int32_t id, bool manager);
// The full local path of a document file of the tree type.
std::string DocumentPath(int32_t treeType, const std::string& fileName, bool manager);
// Whether the file exists (through the document store).
bool DocumentExists(int32_t treeType, const std::string& fileName, bool manager);
// The tree's current manager or end-user document, parsed; fails the test
// (and returns a null document) when there is none.
XmlDoc LoadDocument(int32_t treeType, int32_t id, bool manager);

// Writes `list` as a node's visibility list in the working copy: its row and
// its element in the manager document alike (lists that the engine's own
// calls refuse, such as a blank, can stand in stored data).
void SetWorkingList(int32_t treeType, int32_t id, int32_t nodeId, const std::string& list);

// Sets (or adds) a row of PARAMETERS.
void SetParameter(const std::string& name, const std::string& value);

// --- a test with an environment ----------------------------------------------

// A test with a fresh environment and the tree components registered.
class TreeTest : public ::testing::Test {
 protected:
  TreeTest() { EnsureTreeComponents(); }

  TestEnv env;
};

}  // namespace tsa::test
