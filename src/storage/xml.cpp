#include "storage/xml.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "runtime/error.h"
#include "runtime/xml_chars.h"

namespace tsa {

namespace xmldetail {

// Parse options: entities and character references, CDATA, attribute
// whitespace conversion (escaped line ends survive it), line ends kept as
// written, and a whitespace-only text kept when it is an element's only
// content (a description of blanks must read back as blanks).
constexpr unsigned kParseOptions = (pugi::parse_default | pugi::parse_ws_pcdata_single) & ~pugi::parse_eol;
constexpr unsigned kFormat = pugi::format_raw | pugi::format_no_declaration;

// The target of all handles of one element.
struct Slot {
  std::shared_ptr<DocState> doc;
  pugi::xml_node node;  // null once the element is removed
  ~Slot();
};

struct DocState : std::enable_shared_from_this<DocState> {
  pugi::xml_document doc;
  // The slot of every element that has live handles.
  std::unordered_map<pugi::xml_node_struct*, std::weak_ptr<Slot>> handles;
  std::string lastError;
  // Counts the changes of the document (see XmlDoc::Generation).
  uint64_t generation = 0;
  // The size of the markup last read or written: what the next one reserves.
  size_t sizeHint = 0;

  std::shared_ptr<Slot> Handle(pugi::xml_node node) {
    auto& entry = handles[node.internal_object()];
    if (auto slot = entry.lock()) return slot;
    auto slot = std::make_shared<Slot>();
    slot->doc = shared_from_this();
    slot->node = node;
    entry = slot;
    return slot;
  }

  XmlElement Element(pugi::xml_node node) { return XmlElement(Handle(node)); }

  // Handles of `root` and everything below it become null.
  void Forget(pugi::xml_node root) {
    if (handles.empty()) return;
    Walk(root, [&](pugi::xml_node n) {
      auto it = handles.find(n.internal_object());
      if (it == handles.end()) return;
      if (auto slot = it->second.lock()) slot->node = pugi::xml_node();
      handles.erase(it);
    });
  }

  void ForgetAll() {
    for (auto& [node, weak] : handles)
      if (auto slot = weak.lock()) slot->node = pugi::xml_node();
    handles.clear();
  }

  // Pre-order walk of a subtree, without recursion.
  template <class F>
  static void Walk(pugi::xml_node root, F&& visit) {
    pugi::xml_node cur = root;
    while (cur) {
      visit(cur);
      if (cur.first_child()) {
        cur = cur.first_child();
        continue;
      }
      while (cur != root && !cur.next_sibling()) cur = cur.parent();
      if (cur == root) break;
      cur = cur.next_sibling();
    }
  }
};

Slot::~Slot() {
  if (!node || !doc) return;
  auto it = doc->handles.find(node.internal_object());
  if (it != doc->handles.end() && it->second.expired()) doc->handles.erase(it);
}

}  // namespace xmldetail

using xmldetail::DocState;
using xmldetail::Slot;

namespace {

[[noreturn]] void RaiseNotSet(std::string_view what) {
  Raise(err::ObjectNotSet, {}, "Object variable not set: " + std::string(what));
}

void RequireNoNul(std::string_view text, std::string_view what) {
  if (text.find('\0') != std::string_view::npos) {
    Raise(err::InvalidProcedureCall, {},
          "Invalid procedure call or argument: " + std::string(what) + " holds a NUL character, which XML cannot store");
  }
  // Stored, such a character would make a document that no conforming
  // parser reads (a control character is written as a reference, which is
  // not well-formed either).
  if (std::optional<XmlCharFault> fault = FindCharacterXmlCannotHold(text)) {
    Raise(err::InvalidProcedureCall, {},
          "Invalid procedure call or argument: " + std::string(what) + " " + DescribeXmlCharFault(*fault));
  }
}

// The last line of defence: texts are checked when they are set, but a
// document loaded from an older store may hold what no parser accepts.
// Writing it would hand every reader a document that is not XML, so it is
// refused instead; the consistency checks name the node.
void RequireWellFormed(const std::string& markup) {
  if (std::optional<XmlCharFault> fault = FindCharacterMarkupCannotHold(markup)) {
    Raise(err::DocumentNotWritable, {},
          "The document is not written: it holds " + fault->what + " at byte " + std::to_string(fault->byte) +
              ", which an XML document cannot hold (Tree.Validate names the node; edit its texts)");
  }
}

pugi::xpath_node_set Select(pugi::xml_node context, std::string_view xpath) {
  std::string expression(xpath);
  try {
    pugi::xpath_query query(expression.c_str());
    pugi::xpath_node_set set = context.select_nodes(query);
    set.sort();
    return set;
  } catch (const pugi::xpath_exception& e) {
    Raise(err::InvalidProcedureCall, {},
          "Invalid XPath expression \"" + expression + "\": " + e.result().description());
  }
}

pugi::xml_node SelectFirst(pugi::xml_node context, std::string_view xpath) {
  pugi::xpath_node_set set = Select(context, xpath);
  for (const auto& n : set)
    if (n.node() && n.node().type() == pugi::node_element) return n.node();
  return {};
}

std::vector<XmlElement> Wrap(DocState& state, const pugi::xpath_node_set& set) {
  std::vector<XmlElement> out;
  out.reserve(set.size());
  for (const auto& n : set)
    if (n.node() && n.node().type() == pugi::node_element) out.push_back(state.Element(n.node()));
  return out;
}

bool IsSelfOrAncestor(pugi::xml_node candidate, pugi::xml_node node) {
  for (pugi::xml_node n = node; n; n = n.parent())
    if (n == candidate) return true;
  return false;
}

// Appends the markup straight to a string: no stream buffer in between.
class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override { out_.append(static_cast<const char*>(data), size); }

 private:
  std::string& out_;
};

std::string Serialize(const pugi::xml_node& node, size_t expected = 0) {
  std::string out;
  out.reserve(expected);
  StringWriter writer(out);
  node.print(writer, "", xmldetail::kFormat, pugi::encoding_utf8);
  RequireWellFormed(out);
  return out;
}

int32_t NumberForErrno(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return err::PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return err::PermissionDenied;
    default:
      return err::InternalError;
  }
}

[[noreturn]] void RaiseWriteFailure(const std::string& path, int code) {
  Raise(NumberForErrno(code), {}, "Cannot write the document file \"" + path + "\": " + std::strerror(code));
}

// Writes `data` to `path` through a temporary file in the same folder.
void WriteFileReplacing(const std::string& path, const std::string& data) {
  static std::atomic<unsigned> counter{0};
  std::string temp = path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) RaiseWriteFailure(path, errno);
  auto fail = [&](int code) {
    ::close(fd);
    ::unlink(temp.c_str());
    RaiseWriteFailure(path, code);
  };
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    RaiseWriteFailure(path, code);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temp.c_str());
    RaiseWriteFailure(path, code);
  }
}

// The core of every move: `slot`'s element goes below `parent` of `dest`,
// before `before` (null: last).
void MoveInto(Slot& slot, DocState& dest, pugi::xml_node parent, pugi::xml_node before) {
  pugi::xml_node node = slot.node;
  DocState& source = *slot.doc;
  ++source.generation;
  ++dest.generation;
  if (before && before.parent() != parent) {
    Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the reference node is not a child of the new parent");
  }
  if (&source == &dest) {
    if (IsSelfOrAncestor(node, parent)) {
      Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: an element cannot be moved below itself");
    }
    if (before == node) return;  // already in place
    pugi::xml_node moved = before ? parent.insert_move_before(node, before) : parent.append_move(node);
    if (!moved) Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the element cannot be moved there");
    return;
  }
  pugi::xml_node copy = before ? parent.insert_copy_before(node, before) : parent.append_copy(node);
  if (!copy) Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the element cannot be copied there");
  // Every handle below the original now refers to its copy.
  std::shared_ptr<DocState> destShared = dest.shared_from_this();
  std::shared_ptr<DocState> keepSource = source.shared_from_this();  // `slot.doc` changes below
  if (!source.handles.empty()) {
    pugi::xml_node s = node;
    pugi::xml_node d = copy;
    while (s) {
      auto it = source.handles.find(s.internal_object());
      if (it != source.handles.end()) {
        if (auto moved = it->second.lock()) {
          moved->doc = destShared;
          moved->node = d;
          dest.handles[d.internal_object()] = moved;
        }
        source.handles.erase(it);
      }
      if (s.first_child()) {
        s = s.first_child();
        d = d.first_child();
        continue;
      }
      while (s != node && !s.next_sibling()) {
        s = s.parent();
        d = d.parent();
      }
      if (s == node) break;
      s = s.next_sibling();
      d = d.next_sibling();
    }
  }
  node.parent().remove_child(node);
}

}  // namespace

// --- XmlDoc ---

XmlDoc XmlDoc::Create() { return XmlDoc(std::make_shared<DocState>()); }

DocState& XmlDoc::State() const {
  if (!state_) RaiseNotSet("the XML document is null");
  return *state_;
}

namespace {

bool FinishLoad(DocState& s, const pugi::xml_parse_result& result, const std::string& what) {
  if (!result) {
    s.lastError = what + ": " + result.description() + " at offset " + std::to_string(result.offset);
    s.doc.reset();
    return false;
  }
  int elements = 0;
  for (pugi::xml_node n : s.doc.children())
    if (n.type() == pugi::node_element) ++elements;
  if (elements != 1) {
    s.lastError = what + ": the document must have exactly one top-level element, it has " + std::to_string(elements);
    s.doc.reset();
    return false;
  }
  s.lastError.clear();
  return true;
}

}  // namespace

bool XmlDoc::Load(const std::string& path) {
  DocState& s = State();
  s.ForgetAll();
  ++s.generation;
  if (path.find('\0') != std::string::npos) {
    s.doc.reset();
    s.lastError = "the path holds a NUL character";
    return false;
  }
  pugi::xml_parse_result result = s.doc.load_file(path.c_str(), xmldetail::kParseOptions, pugi::encoding_auto);
  return FinishLoad(s, result, "\"" + path + "\"");
}

bool XmlDoc::LoadXml(std::string_view markup) {
  DocState& s = State();
  s.ForgetAll();
  ++s.generation;
  s.sizeHint = markup.size();
  pugi::xml_parse_result result =
      s.doc.load_buffer(markup.data(), markup.size(), xmldetail::kParseOptions, pugi::encoding_utf8);
  return FinishLoad(s, result, "markup");
}

const std::string& XmlDoc::LastError() const { return State().lastError; }

uint64_t XmlDoc::Generation() const { return State().generation; }

void XmlDoc::Save(const std::string& path) const {
  if (path.find('\0') != std::string::npos) {
    Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the path holds a NUL character");
  }
  WriteFileReplacing(path, Xml());
}

std::string XmlDoc::Xml() const {
  DocState& s = State();
  std::string out;
  out.reserve(s.sizeHint + s.sizeHint / 16);
  StringWriter writer(out);
  s.doc.save(writer, "", xmldetail::kFormat, pugi::encoding_utf8);
  s.sizeHint = out.size();
  RequireWellFormed(out);
  return out;
}

XmlElement XmlDoc::DocumentElement() const {
  DocState& s = State();
  pugi::xml_node root = s.doc.document_element();
  if (!root) return {};
  return s.Element(root);
}

XmlElement XmlDoc::CreateDocumentElement(std::string_view name) {
  DocState& s = State();
  ++s.generation;
  for (pugi::xml_node n = s.doc.first_child(); n;) {
    pugi::xml_node next = n.next_sibling();
    if (n.type() == pugi::node_element) {
      s.Forget(n);
      s.doc.remove_child(n);
    }
    n = next;
  }
  pugi::xml_node root = s.doc.append_child(std::string(name).c_str());
  if (!root) Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: cannot create the element");
  return s.Element(root);
}

XmlElement XmlDoc::SetDocumentElement(const XmlElement& element) {
  DocState& s = State();
  pugi::xml_node node = element.Node();
  if (s.doc.document_element() == node && element.slot_->doc.get() == &s) return element;
  ++s.generation;
  MoveInto(*element.slot_, s, s.doc, pugi::xml_node());
  // Drop every other top-level element (the former document element).
  for (pugi::xml_node n = s.doc.first_child(); n;) {
    pugi::xml_node next = n.next_sibling();
    if (n.type() == pugi::node_element && n != element.slot_->node) {
      s.Forget(n);
      s.doc.remove_child(n);
    }
    n = next;
  }
  return element;
}

XmlElement XmlDoc::SelectSingleNode(std::string_view xpath) const {
  DocState& s = State();
  pugi::xml_node n = SelectFirst(s.doc, xpath);
  if (!n) return {};
  return s.Element(n);
}

std::vector<XmlElement> XmlDoc::SelectNodes(std::string_view xpath) const {
  DocState& s = State();
  return Wrap(s, Select(s.doc, xpath));
}

XmlElement XmlDoc::ElementAtPath(std::string_view name, std::string_view attribute, std::string_view path) const {
  DocState& s = State();
  const std::string wanted(name), key(attribute);
  pugi::xml_node at;  // null: above the document element
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(';', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view value = path.substr(start, end - start);
    start = end + 1;
    if (value.empty()) continue;
    pugi::xml_node found;
    for (pugi::xml_node c = at ? at.first_child() : s.doc.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element && wanted == c.name() && value == c.attribute(key.c_str()).value() &&
          c.attribute(key.c_str())) {
        found = c;
        break;
      }
    }
    if (!found) return {};
    at = found;
  }
  if (!at) return {};
  return s.Element(at);
}

std::vector<XmlElement> XmlDoc::ElementsWhere(std::string_view name, std::string_view attribute,
                                              const std::function<bool(std::string_view)>& match) const {
  struct Walker : pugi::xml_tree_walker {
    DocState& state;
    const std::string wanted, key;
    const std::function<bool(std::string_view)>& match;
    std::vector<XmlElement> found;
    Walker(DocState& s, std::string_view n, std::string_view a, const std::function<bool(std::string_view)>& m)
        : state(s), wanted(n), key(a), match(m) {}
    bool for_each(pugi::xml_node& node) override {
      if (node.type() == pugi::node_element && std::strcmp(node.name(), wanted.c_str()) == 0) {
        const pugi::xml_attribute a = node.attribute(key.c_str());
        if (a && match(a.value())) found.push_back(state.Element(node));
      }
      return true;
    }
  } walker(State(), name, attribute, match);
  walker.state.doc.traverse(walker);
  return std::move(walker.found);
}

// --- XmlElement ---

bool XmlElement::IsNull() const { return !slot_ || !slot_->node; }

pugi::xml_node XmlElement::Node() const {
  if (IsNull()) RaiseNotSet(slot_ ? "the element was removed from its document" : "the element is null");
  return slot_->node;
}

DocState& XmlElement::Doc() const {
  Node();
  return *slot_->doc;
}

pugi::xml_node XmlElement::Raw() const { return IsNull() ? pugi::xml_node() : slot_->node; }

XmlDoc XmlElement::OwnerDocument() const {
  Node();
  return XmlDoc(slot_->doc);
}

std::string XmlElement::Name() const { return Node().name(); }

std::optional<std::string> XmlElement::GetAttribute(std::string_view name) const {
  pugi::xml_attribute a = Node().attribute(std::string(name).c_str());
  if (!a) return std::nullopt;
  return std::string(a.value());
}

bool XmlElement::HasAttribute(std::string_view name) const {
  return static_cast<bool>(Node().attribute(std::string(name).c_str()));
}

void XmlElement::SetAttribute(std::string_view name, std::string_view value) {
  pugi::xml_node n = Node();
  RequireNoNul(value, "the value of attribute " + std::string(name));
  std::string key(name);
  pugi::xml_attribute a = n.attribute(key.c_str());
  ++slot_->doc->generation;
  if (!a) a = n.append_attribute(key.c_str());
  if (!a || !a.set_value(value.data(), value.size())) {
    Raise(err::OutOfMemory, {}, "Out of memory setting attribute " + key);
  }
}

void XmlElement::RemoveAttribute(std::string_view name) {
  pugi::xml_node n = Node();
  ++slot_->doc->generation;
  n.remove_attribute(std::string(name).c_str());
}

std::string XmlElement::Text() const {
  pugi::xml_node root = Node();
  std::string text;
  DocState::Walk(root, [&](pugi::xml_node n) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) text += n.value();
  });
  return text;
}

void XmlElement::SetText(std::string_view text) {
  pugi::xml_node n = Node();
  RequireNoNul(text, "the text of element " + std::string(n.name()));
  DocState& s = *slot_->doc;
  // The same text again changes nothing (and the document stays unchanged).
  pugi::xml_node only = n.first_child();
  if (text.empty() ? !only
                   : (only && !only.next_sibling() && only.type() == pugi::node_pcdata && text == only.value())) {
    return;
  }
  ++s.generation;
  while (pugi::xml_node child = n.first_child()) {
    s.Forget(child);
    n.remove_child(child);
  }
  if (text.empty()) return;
  pugi::xml_node t = n.append_child(pugi::node_pcdata);
  if (!t || !t.set_value(text.data(), text.size())) Raise(err::OutOfMemory, {}, "Out of memory setting a text");
}

std::string XmlElement::ChildText(std::string_view childName) const {
  pugi::xml_node child = Node().child(std::string(childName).c_str());
  if (!child) RaiseNotSet("the element " + Name() + " has no child element " + std::string(childName));
  return Doc().Element(child).Text();
}

void XmlElement::SetChildText(std::string_view childName, std::string_view text) {
  pugi::xml_node child = Node().child(std::string(childName).c_str());
  if (!child) RaiseNotSet("the element " + Name() + " has no child element " + std::string(childName));
  Doc().Element(child).SetText(text);
}

XmlElement XmlElement::SelectSingleNode(std::string_view xpath) const {
  pugi::xml_node n = SelectFirst(Node(), xpath);
  if (!n) return {};
  return Doc().Element(n);
}

std::vector<XmlElement> XmlElement::SelectNodes(std::string_view xpath) const {
  pugi::xml_node n = Node();
  return Wrap(*slot_->doc, Select(n, xpath));
}

XmlElement XmlElement::Parent() const {
  pugi::xml_node p = Node().parent();
  if (!p || p.type() != pugi::node_element) return {};
  return Doc().Element(p);
}

std::vector<XmlElement> XmlElement::ChildElements(std::string_view name) const {
  pugi::xml_node n = Node();
  DocState& s = *slot_->doc;
  std::vector<XmlElement> out;
  for (pugi::xml_node c : n.children()) {
    if (c.type() != pugi::node_element) continue;
    if (!name.empty() && name != c.name()) continue;
    out.push_back(s.Element(c));
  }
  return out;
}

XmlElement XmlElement::AppendNewChild(std::string_view name) {
  pugi::xml_node n = Node();
  ++slot_->doc->generation;
  pugi::xml_node c = n.append_child(std::string(name).c_str());
  if (!c) Raise(err::OutOfMemory, {}, "Out of memory creating an element");
  return slot_->doc->Element(c);
}

XmlElement XmlElement::AppendChild(const XmlElement& child) { return MoveElement(child, *this); }

XmlElement XmlElement::InsertBefore(const XmlElement& child, const XmlElement& reference) {
  return MoveElement(child, *this, reference);
}

void XmlElement::RemoveChild(const XmlElement& child) {
  pugi::xml_node n = Node();
  pugi::xml_node c = child.Node();
  if (c.parent() != n || child.slot_->doc != slot_->doc) {
    Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the node to remove is not a child of this element");
  }
  ++slot_->doc->generation;
  slot_->doc->Forget(c);
  n.remove_child(c);
}

std::string XmlElement::Xml() const {
  return Serialize(Node());
}

bool XmlElement::operator==(const XmlElement& other) const {
  if (IsNull() || other.IsNull()) return IsNull() && other.IsNull();
  return slot_->node == other.slot_->node;
}

std::optional<int> CharacterXmlCannotHold(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return c;
  }
  return std::nullopt;
}

XmlElement MoveElement(const XmlElement& element, const XmlElement& newParent, const XmlElement& before) {
  element.Node();
  pugi::xml_node parent = newParent.Node();
  pugi::xml_node ref;
  if (before.slot_) {
    ref = before.Node();
    if (before.slot_->doc != newParent.slot_->doc) {
      Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the reference node is not a child of the new parent");
    }
  }
  MoveInto(*element.slot_, *newParent.slot_->doc, parent, ref);
  return element;
}

}  // namespace tsa
