// Tree documents: where their files lie, how their names are versioned, how
// a node's element is addressed from its PreTree path, and how node elements
// are built.
//
// A node element is one `Node` element with the attributes NID, RID, RTP,
// VISB, then PRID (root) or HYP (other nodes), then FAQ, followed by the
// children `sd` (short description), `ld` (long description) and the child
// nodes in sibling order.
#pragma once

#include <cstdint>
#include <string>

#include "storage/xml.h"

namespace tsa::storage {

// Full path of a document file: installation directory + "/" + the parameter
// "DataFileRelativePath" (normalised) + "/TS/" + "Manager" | "Enduser" + "/"
// + "Trees" (tree type 1) | "Templates" (any other) + "/" + file name.
// The file name must be a bare name (no "/", "\", NUL, not "." or "..");
// the empty name is allowed and yields the folder followed by "/".
// Label "HXSvcTroubleshooting.TSUtilities.GetXMLPath".
std::string GetXMLPath(int32_t treeType, const std::string& fileName, bool manager);

// The next version of a document file name: "12_3.xml" -> "12_4.xml";
// leading zeros vanish, pieces after a second "_" are dropped. A name shorter
// than four characters fails with 5, one without "_" with 9, a version that
// is not a decimal number with 13, a version that overflows with 6.
// Label "HXSvcTroubleshooting.TSUtilities.IncrementFileVersion".
std::string IncrementFileVersion(const std::string& fileName);

// The XPath of a node's element from its path with the node itself appended:
// ";0;5;9;" -> /Node[@NID="0"]/Node[@NID="5"]/Node[@NID="9"]; ";" and "" give
// "". Every entry must be a decimal integer (error 1200 otherwise), so nothing
// but numbers reaches the expression.
// Label "HXSvcTroubleshooting.TSUtilities.getXPATHfromPreTree".
std::string getXPATHfromPreTree(const std::string& path);

// The document element parsed from markup, in a document of its own. Markup
// that does not parse yields a null element, not an error.
// Label "HXSvcTroubleshooting.TSUtilities.GetNodeDOM".
XmlElement GetNodeDOM(const std::string& markup);

// "0" when the FAQ list with leading and trailing blanks removed is ";",
// "1" otherwise.
std::string FaqFlag(const std::string& faqs);

// A new node element in a document of its own: NID, RID, RTP, VISB, HYP, FAQ
// (from the FAQ list), then empty <sd/> and <ld/>. Values are set through the
// DOM, so any text is stored safely.
XmlElement NewNodeElement(int32_t nodeId, int32_t repId, int32_t repType, const std::string& visibilities,
                          int32_t hyperlinkNodeId, const std::string& faqs);

// A new root element in a document of its own (the document element):
// NID "0", RID "0", RTP "0", VISB, PRID (the tree identifier), FAQ "0", then
// empty <sd/> and <ld/>.
XmlElement NewRootElement(int32_t treeId, const std::string& visibilities);

}  // namespace tsa::storage
