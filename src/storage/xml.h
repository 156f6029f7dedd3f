// The XML DOM of tree documents: documents and element handles on pugixml.
//
// An `XmlDoc` is a reference to one document and an `XmlElement` a reference
// to one element of it; copies of either refer to the same thing, and an
// element keeps its document alive. Element handles follow their element:
// when an element is moved, into another place of its document or into
// another document, every handle of it and of the elements below it refers to
// the moved element afterwards. When an element is removed (RemoveChild,
// SetText, a new load of its document, a new document element), the handles
// of it and of everything below it become null.
//
// A document and its handles belong to one thread at a time.
//
// A null handle (an element that was never found, or was removed) answers
// IsNull() with true; every other operation on it raises error 91, as using
// an object reference that is not set does.
//
// Serialisation: documents are written compactly (no indentation, no added
// whitespace) and without an XML declaration, in UTF-8. Loading keeps a text
// that consists of whitespace only when it is the element's only content and
// keeps line ends as written, so every attribute value and every text set
// through this API reads back identically after a save and a load.
#pragma once

#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace tsa {

namespace xmldetail {
struct DocState;
struct Slot;
}  // namespace xmldetail

class XmlElement;

class XmlDoc {
 public:
  // A null reference (no document).
  XmlDoc() = default;
  // A new, empty document.
  static XmlDoc Create();

  bool IsNull() const { return state_ == nullptr; }
  explicit operator bool() const { return !IsNull(); }

  // Replace the content of the document with that of a file or a string.
  // Complete when they return. Failure (missing or unreadable file, markup
  // that is not well formed, not exactly one top-level element) returns
  // false, leaves the document empty and raises nothing; LastError() says
  // why. Handles of the former content become null.
  bool Load(const std::string& path);
  bool LoadXml(std::string_view markup);
  const std::string& LastError() const;

  // Writes the document to a file, replacing it. The file is written beside
  // the target and renamed over it, so readers never see a partial file.
  // Raises 76 (path not found), 70 (permission denied) or 51 on failure.
  // Save and Xml raise 1217 and write nothing for a document that holds a
  // character XML cannot hold (one loaded that way: setters refuse them).
  void Save(const std::string& path) const;
  // The markup of the whole document.
  std::string Xml() const;

  // The top-level element, or a null handle for an empty document.
  XmlElement DocumentElement() const;
  // Creates an empty element as the document element, replacing any.
  XmlElement CreateDocumentElement(std::string_view name);
  // Moves `element` (from any document) here as the document element,
  // replacing the present one; returns its handle (the same handle).
  XmlElement SetDocumentElement(const XmlElement& element);

  // XPath 1.0, evaluated with the document as context node. Only elements
  // are returned; selections are in document order. An expression that does
  // not compile raises 5 with the reason.
  XmlElement SelectSingleNode(std::string_view xpath) const;
  std::vector<XmlElement> SelectNodes(std::string_view xpath) const;

  // The elements named `name`, anywhere in the document, that carry
  // `attribute` with a value `match` accepts; in document order. A plain
  // walk, for the scans over every node of a large tree that XPath answers
  // by first gathering all of them.
  std::vector<XmlElement> ElementsWhere(std::string_view name, std::string_view attribute,
                                        const std::function<bool(std::string_view)>& match) const;

  // The element at the end of a path of ';'-separated attribute values
  // (";0;5;9;"): the document element when it is named `name` and carries
  // `attribute` = the first value, then its child so named and carrying the
  // next, and so on; a null handle when a step finds none. What
  // /Node[@NID="0"]/Node[@NID="5"]/... selects, in time proportional to the
  // children along the path and without XPath's limit on the number of steps.
  XmlElement ElementAtPath(std::string_view name, std::string_view attribute, std::string_view path) const;

  // A number that changes with every change of the document's content
  // through this API (loads included), so that a holder can tell whether
  // the document is still as it was when it looked.
  uint64_t Generation() const;
  // Whether this reference is the only one: no other XmlDoc and no element
  // handle refers to the document. A document that some other object still
  // holds is not handed to another thread.
  bool IsSoleReference() const { return state_ && state_.use_count() == 1; }

  bool operator==(const XmlDoc& other) const { return state_ == other.state_; }

 private:
  friend class XmlElement;
  friend XmlElement MoveElement(const XmlElement&, const XmlElement&, const XmlElement&);
  explicit XmlDoc(std::shared_ptr<xmldetail::DocState> state) : state_(std::move(state)) {}
  xmldetail::DocState& State() const;

  std::shared_ptr<xmldetail::DocState> state_;
};

class XmlElement {
 public:
  // A null handle.
  XmlElement() = default;

  // True for a null handle and for a handle whose element was removed.
  bool IsNull() const;
  explicit operator bool() const { return !IsNull(); }

  // The document the element belongs to now.
  XmlDoc OwnerDocument() const;
  std::string Name() const;

  // An attribute's value, or nullopt when the element has no such attribute.
  std::optional<std::string> GetAttribute(std::string_view name) const;
  bool HasAttribute(std::string_view name) const;
  // Sets an attribute: an existing one keeps its place, a new one is added
  // after the others. Any text is allowed; it is escaped when written. A
  // character XML cannot hold (NUL, other controls but tab, line feed and
  // carriage return, U+FFFE, U+FFFF, surrogates, bytes that are not UTF-8)
  // raises 5, as SetText does.
  void SetAttribute(std::string_view name, std::string_view value);
  void RemoveAttribute(std::string_view name);

  // The text of the element: the concatenated text below it.
  std::string Text() const;
  // Replaces everything below the element by one text (none for ""); the
  // text it holds already changes nothing.
  void SetText(std::string_view text);
  // Text of the first child element with this name; 91 when there is none.
  std::string ChildText(std::string_view childName) const;
  void SetChildText(std::string_view childName, std::string_view text);

  // XPath 1.0 with this element as context node ("./sd", "./Node[@NID!='3']",
  // "./descendant-or-self::Node"; absolute paths start at the document).
  XmlElement SelectSingleNode(std::string_view xpath) const;
  std::vector<XmlElement> SelectNodes(std::string_view xpath) const;

  // The parent element; null for the document element.
  XmlElement Parent() const;
  // The child elements, all or those with a name, in order.
  std::vector<XmlElement> ChildElements(std::string_view name = {}) const;
  // Creates an empty child element after the present children.
  XmlElement AppendNewChild(std::string_view name);

  // Moves `child` (from this document or another) to the end of this
  // element's children / before `reference`, a child of this element (a null
  // reference appends). Returns the handle of the moved element, which is
  // `child` itself: handles follow the element. See MoveElement.
  XmlElement AppendChild(const XmlElement& child);
  XmlElement InsertBefore(const XmlElement& child, const XmlElement& reference);
  // Removes a child element with everything below it; its handles become null.
  // 5 when `child` is not a child of this element.
  void RemoveChild(const XmlElement& child);

  // The element's own markup, with everything below it.
  std::string Xml() const;

  // Same element (two null handles are equal).
  bool operator==(const XmlElement& other) const;

  // The underlying pugixml node (null for a null handle). Changing the tree
  // through it bypasses handle tracking: read only.
  pugi::xml_node Raw() const;

 private:
  friend class XmlDoc;
  friend struct xmldetail::DocState;
  friend XmlElement MoveElement(const XmlElement&, const XmlElement&, const XmlElement&);
  explicit XmlElement(std::shared_ptr<xmldetail::Slot> slot) : slot_(std::move(slot)) {}
  // The live node; raises 91 for a null handle.
  pugi::xml_node Node() const;
  xmldetail::DocState& Doc() const;

  std::shared_ptr<xmldetail::Slot> slot_;
};

// The one operation that moves an element, within its document or into
// another: `element` becomes a child of `newParent`, before `before` (a child
// of `newParent`) or last when `before` is null. Within one document the node
// itself moves; between documents it is copied into the destination and the
// original removed from its document (leaving that document empty when it was
// its document element). Either way every handle of the element and of the
// elements below it refers to the moved element afterwards, and the handle
// returned is the element's. Raises 91 for null handles and 5 when the
// element would move below itself or `before` is not a child of `newParent`.
XmlElement MoveElement(const XmlElement& element, const XmlElement& newParent, const XmlElement& before = {});

// The first character of `text` that an XML document cannot hold (a control
// character other than tab, line feed and carriage return, NUL included),
// written as a reference; nothing when every character can be stored.
std::optional<int> CharacterXmlCannotHold(std::string_view text);

}  // namespace tsa
