// Do a tree's rows and its document describe the same tree?
//
// The check reads the rows of one copy of a tree (published or working) and
// that copy's current document (the name the file-handling service knows,
// read through the document store), and compares:
//   - the root: one row with NODEID 0 (REPTYPE 0, REPID 0, DEPTH 0, SEQUENCE
//     0, PNODEID -1, PRETREE ";") and the document element (a Node with NID,
//     RID, RTP "0", PRID the tree identifier, FAQ "0", VISB = its VISIBILITY);
//   - the same node identifiers in rows and elements, each once;
//   - every element a Node whose first two children are sd and ld, followed
//     by its child Node elements only;
//   - every element under the element of its row's PNODEID, the children of
//     every element in ascending SEQUENCE order (gaps allowed);
//   - NID/RID/RTP/HYP/VISB equal to NODEID/REPID/REPTYPE/HYPERLINK/VISIBILITY,
//     FAQ the flag of FAQS, no PRID below the root;
//   - DEPTH and PRETREE equal to the element's depth and ancestry;
//   - sd/ld equal to NAME/DETAIL of the node's repository entity.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <source_location>
#include <string>

namespace tsa::test {

// The copy `user` sees: the working copy when the user holds the tree
// checked out, else the published copy. Every problem found is listed.
::testing::AssertionResult TreeIsConsistent(int32_t treeType, int32_t id, const std::string& user);

// One copy, chosen explicitly.
::testing::AssertionResult TreeCopyIsConsistent(int32_t treeType, int32_t id, bool workingCopy);

// A non-fatal failure at the caller's line when TreeIsConsistent fails.
void ExpectTreeConsistent(int32_t treeType, int32_t id, const std::string& user,
                          std::source_location where = std::source_location::current());

}  // namespace tsa::test
