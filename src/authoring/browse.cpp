#include "authoring/browse.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "components/catalog.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "model/tree.h"
#include "platform/db/connection.h"
#include "runtime/caller.h"
#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/error.h"
#include "storage/document_cache.h"
#include "storage/tree_types.h"

namespace tsa {

namespace {

using nlohmann::json;

constexpr const char* kCatalog = "HXSvcTroubleshooting.Browse.Catalog";
constexpr const char* kProducts = "HXSvcTroubleshooting.Browse.Products";
constexpr const char* kTemplates = "HXSvcTroubleshooting.Browse.Templates";
constexpr const char* kTree = "HXSvcTroubleshooting.Browse.Tree";
constexpr const char* kSearch = "HXSvcTroubleshooting.Browse.SearchEntities";

constexpr int32_t kDefaultLimit = 50;
constexpr int32_t kMaxLimit = 200;
// Longer search texts find nothing a shorter part of them would not, and
// the databases refuse LIKE patterns far beyond it.
constexpr size_t kMaxSearchCharacters = 1000;

// One read: read-only, except in web-farm mode, where loading a tree may
// first fetch its document from the shared folder, which writes.
template <typename Body>
auto Read(const char* label, Body body) {
  auto trapped = [&] { return Trapped(label, body); };
  if (RunReadOnly([] { return GetWebFarmLocation().has_value(); })) return RunTransactional(trapped);
  return RunReadOnly(trapped);
}

// Unicode's full case folding of a UTF-8 text (bytes that are not UTF-8
// become U+FFFD).
std::string FoldCase(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .foldCase(U_FOLD_CASE_DEFAULT)
      .toUTF8String(out);
  return out;
}

void ValidateTreeType(int32_t treeType) {
  if (treeType != storage::kProductTree && treeType != storage::kTemplateTree) {
    RaiseInvalidArgument("i_lTreeType", "must be 1 (product tree) or 2 (template), not " + std::to_string(treeType));
  }
}

// A check-out date as stored (local time, "YYYY-MM-DD hh:mm:ss") as an
// ISO 8601 UTC text; a text of another form is passed on as it is.
std::string UtcText(const db::Value& stored) {
  if (stored.IsNull()) return {};
  std::string text = stored.ToText();
  if (text.size() > 19 && text[19] == '.') text.resize(19);  // fractions of a second
  try {
    const std::time_t t = std::chrono::system_clock::to_time_t(ParseNowText(text));
    std::tm parts{};
    gmtime_r(&t, &parts);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return out;
  } catch (const Error&) {
    return text;
  }
}

struct CheckOutRecord {
  std::string login;
  std::string since;  // ISO 8601 UTC; empty when the record has no date
};

std::optional<CheckOutRecord> ReadCheckOut(int32_t treeType, int32_t id) {
  return WithHelvixSession([&](db::Session& s, const db::Dialect& d) -> std::optional<CheckOutRecord> {
    auto r = s.Query("SELECT LOGIN, TDATE FROM TSCHANGECONTROL WHERE ID = " + d.Placeholder(1) +
                         " AND TREETEM = " + d.Placeholder(2),
                     {db::Value(id), db::Value(treeType)});
    if (r.rows.empty()) return std::nullopt;
    return CheckOutRecord{r.rows[0][0].ToText(), UtcText(r.rows[0][1])};
  });
}

// --- state of every tree of a type ---

struct TreeState {
  int64_t nodes = 0;
  std::optional<int64_t> workingNodes;
  std::optional<CheckOutRecord> checkOut;
};

// Two grouped counts and the check-out records: three statements for all
// trees of the type.
std::map<int32_t, TreeState> ReadTreeStates(int32_t treeType) {
  return WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    std::map<int32_t, TreeState> states;
    std::map<int32_t, int64_t> working;
    for (const bool workingCopy : {false, true}) {
      const storage::TableAndKey tk = storage::GetTreeTableAndKey(treeType, workingCopy);
      auto r = s.Query("SELECT " + tk[1] + ", COUNT(*) FROM " + tk[0] + " GROUP BY " + tk[1]);
      for (const auto& row : r.rows) {
        if (workingCopy) {
          working[row[0].ToInt32()] = row[1].ToInt64();
        } else {
          states[row[0].ToInt32()].nodes = row[1].ToInt64();
        }
      }
    }
    auto r = s.Query("SELECT ID, LOGIN, TDATE FROM TSCHANGECONTROL WHERE TREETEM = " + d.Placeholder(1),
                     {db::Value(treeType)});
    for (const auto& row : r.rows) {
      const int32_t id = row[0].ToInt32();
      auto w = working.find(id);
      if (w == working.end() && !states.count(id)) continue;  // a record without a tree
      TreeState& state = states[id];
      state.checkOut = CheckOutRecord{row[1].ToText(), UtcText(row[2])};
      state.workingNodes = w == working.end() ? 0 : w->second;
    }
    // Rows only in the working copy (a tree made from another, not yet published).
    for (const auto& [id, count] : working) {
      if (!states.count(id)) states[id].nodes = 0;
    }
    return states;
  });
}

json StateJson(const std::map<int32_t, TreeState>& states, int32_t id) {
  auto it = states.find(id);
  if (it == states.end()) return nullptr;
  const TreeState& s = it->second;
  return {{"nodes", s.nodes},
          {"checkedOutBy", s.checkOut ? json(s.checkOut->login) : json(nullptr)},
          {"checkedOutSince", s.checkOut && !s.checkOut->since.empty() ? json(s.checkOut->since) : json(nullptr)},
          {"workingNodes", s.workingNodes ? json(*s.workingNodes) : json(nullptr)}};
}

// --- the tree as JSON text ---

// Bytes of a valid UTF-8 sequence at `i`, 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

// JSON written through a cursor into a buffer of its own. The caller makes
// room once for a whole piece (a node, a header) with an upper bound of what
// it writes; the writes themselves check nothing. The buffer grows without
// clearing the memory it adds: a large tree is a few megabytes of small
// pieces, and clearing them first cost as much as writing them.
class JsonOut {
 public:
  explicit JsonOut(size_t expected) { Grow(std::max<size_t>(expected, 4096)); }
  JsonOut(const JsonOut&) = delete;
  JsonOut& operator=(const JsonOut&) = delete;

  // At least `more` bytes free after the cursor.
  void Room(size_t more) {
    if (capacity_ - used_ < more) Grow(std::max(capacity_ * 2, used_ + more));
  }
  std::string_view Text() const { return {data_.get(), used_}; }

  // A literal: its size is known here, so the copy is a few moves.
  template <size_t N>
  void Lit(const char (&text)[N]) {
    std::memcpy(At(), text, N - 1);
    used_ += N - 1;
  }
  void Raw(std::string_view text) {
    std::memcpy(At(), text.data(), text.size());
    used_ += text.size();
  }
  static constexpr size_t kIntRoom = 20;  // "-9223372036854775808"
  void Int(int64_t v) { used_ = static_cast<size_t>(std::to_chars(At(), At() + kIntRoom, v).ptr - data_.get()); }
  // The room a JSON string of `size` bytes may need: six characters out for
  // one in at most, and the quotes.
  static constexpr size_t StrRoom(size_t size) { return size * 6 + 2; }
  // A JSON string; bytes that are not UTF-8 become U+FFFD.
  void Str(std::string_view s) {
    char* q = At();
    *q++ = '"';
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end) {
      // Runs of plain characters are copied eight at a time when possible.
      while (end - p >= 8 && PlainWord(p)) {
        std::memcpy(q, p, 8);
        q += 8;
        p += 8;
      }
      if (p == end) break;
      const unsigned char c = static_cast<unsigned char>(*p);
      if (kPlain[c]) {
        *q++ = static_cast<char>(c);
        ++p;
        continue;
      }
      if (c >= 0x80) {
        const size_t n = Utf8Length(std::string_view(p, static_cast<size_t>(end - p)), 0);
        if (n == 0) {
          q = Copy(q, "\\ufffd");
          ++p;
        } else {
          std::memcpy(q, p, n);
          q += n;
          p += n;
        }
        continue;
      }
      switch (c) {
        case '"': q = Copy(q, "\\\""); break;
        case '\\': q = Copy(q, "\\\\"); break;
        case '\n': q = Copy(q, "\\n"); break;
        case '\r': q = Copy(q, "\\r"); break;
        case '\t': q = Copy(q, "\\t"); break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          q = Copy(q, "\\u00");
          *q++ = kHex[c >> 4];
          *q++ = kHex[c & 15];
        }
      }
      ++p;
    }
    *q++ = '"';
    used_ = static_cast<size_t>(q - data_.get());
  }

 private:
  static constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
  }();
  // Whether eight bytes are all plain: none below 0x20, none from 0x80, no
  // quote and no backslash (the usual bytewise tests done on a whole word).
  static bool PlainWord(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const auto zeroByte = [](uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    const uint64_t control = (w - kOnes * 0x20) & ~w & kHigh;  // a byte below 0x20
    const uint64_t quote = zeroByte(w ^ (kOnes * '"'));
    const uint64_t backslash = zeroByte(w ^ (kOnes * '\\'));
    return ((w & kHigh) | control | quote | backslash) == 0;
  }
  template <size_t N>
  static char* Copy(char* q, const char (&text)[N]) {
    std::memcpy(q, text, N - 1);
    return q + N - 1;
  }
  char* At() { return data_.get() + used_; }
  void Grow(size_t capacity) {
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (used_) std::memcpy(bigger.get(), data_.get(), used_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

// A whole attribute value as a decimal integer ("-" and digits, in range),
// else `fallback`. Read up to its terminating NUL in one go: the walk below
// reads four of them for every node.
int64_t IntValue(const char* text, int64_t fallback) {
  const bool negative = *text == '-';
  const char* p = text + (negative ? 1 : 0);
  if (*p < '0' || *p > '9') return fallback;
  // 2^63 - 1 and 2^63 both have these first eighteen digits.
  constexpr uint64_t kTenth = ((uint64_t{1} << 63) - 1) / 10;
  const uint64_t lastDigit = negative ? 8 : 7;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const auto digit = static_cast<uint64_t>(*p - '0');
    if (v > kTenth || (v == kTenth && digit > lastDigit)) return fallback;
    v = v * 10 + digit;
  }
  if (*p != '\0') return fallback;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

int64_t IntAttribute(const pugi::xml_node& node, const char* name, int64_t fallback) {
  const pugi::xml_attribute a = node.attribute(name);
  return a ? IntValue(a.value(), fallback) : fallback;
}

// An element's or attribute's name compared inline: the walk below does it
// for every attribute and child of every node.
template <size_t N>
bool Named(const char* name, const char (&expected)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (name[i] != expected[i]) return false;  // the terminating NUL included
  return true;
}

pugi::xml_node NextNode(pugi::xml_node n) {
  for (n = n.next_sibling(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_element && Named(n.name(), "Node")) return n;
  }
  return {};
}

// The FAQ lists of the copy's rows that hold any, by node identifier; a
// node without one in the result has ";" (or no list at all).
std::unordered_map<int64_t, std::string> ReadFaqs(int32_t treeType, int32_t id, bool workingCopy) {
  return WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
    const storage::TableAndKey tk = storage::GetTreeTableAndKey(treeType, workingCopy);
    auto r = s.Query("SELECT NODEID, FAQS FROM " + tk[0] + " WHERE " + tk[1] + " = " + d.Placeholder(1) +
                         " AND FAQS <> " + d.Placeholder(2),
                     {db::Value(id), db::Value(";")});
    std::unordered_map<int64_t, std::string> faqs;
    faqs.reserve(r.rows.size());
    for (auto& row : r.rows) faqs.emplace(row[0].ToInt64(), row[1].ToText());
    return faqs;
  });
}

// The node elements below `root` and itself as JSON, in document order;
// iterative, so a deep tree needs no deep stack. Each element's attributes
// and children are walked once.
int64_t AppendNodes(JsonOut& out, const pugi::xml_node& root,
                    const std::unordered_map<int64_t, std::string>& faqs) {
  int64_t count = 0;
  // Writes the node up to its children's "[" and returns its first child node.
  auto open = [&](const pugi::xml_node& n) {
    ++count;
    int64_t nodeId = 0, type = 0, repId = 0, hyperlink = -1;
    std::string_view list;
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
      const char* name = a.name();
      switch (name[0]) {  // the first letter tells the five apart
        case 'N':
          if (Named(name, "NID")) nodeId = IntValue(a.value(), 0);
          break;
        case 'R':
          if (Named(name, "RTP")) {
            type = IntValue(a.value(), 0);
          } else if (Named(name, "RID")) {
            repId = IntValue(a.value(), 0);
          }
          break;
        case 'V':
          if (Named(name, "VISB")) list = a.value();
          break;
        case 'H':
          if (Named(name, "HYP")) hyperlink = IntValue(a.value(), -1);
          break;
        default:
          break;
      }
    }
    std::string_view shortText, longText;
    pugi::xml_node firstChild;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      const char* name = c.name();
      if (Named(name, "Node")) {
        firstChild = c;
        break;
      }
      if (Named(name, "sd")) shortText = c.text().get();
      if (Named(name, "ld")) longText = c.text().get();
    }
    std::string_view faqList = ";";
    if (!faqs.empty()) {  // most trees have few lists, many none
      if (auto f = faqs.find(nodeId); f != faqs.end()) faqList = f->second;
    }
    // The punctuation, four numbers and the strings; each visibility (one
    // letter at least) takes six characters a letter, its quotes and a comma.
    out.Room(128 + 4 * JsonOut::kIntRoom + JsonOut::StrRoom(shortText.size()) +
             JsonOut::StrRoom(longText.size()) + JsonOut::StrRoom(faqList.size()) + 9 * list.size());
    out.Lit("{\"id\":");
    out.Int(nodeId);
    out.Lit(",\"type\":");
    out.Int(type);
    out.Lit(",\"repId\":");
    out.Int(repId);
    out.Lit(",\"short\":");
    out.Str(shortText);
    out.Lit(",\"long\":");
    out.Str(longText);
    out.Lit(",\"visibilities\":[");
    bool first = true;
    for (size_t pos = 0; pos < list.size();) {
      size_t end = list.find(';', pos);
      if (end == std::string_view::npos) end = list.size();
      if (end > pos) {
        if (!first) out.Lit(",");
        first = false;
        out.Str(list.substr(pos, end - pos));
      }
      pos = end + 1;
    }
    out.Lit("],\"faqs\":");
    out.Str(faqList);
    out.Lit(",\"hyperlink\":");
    out.Int(hyperlink);
    out.Lit(",\"children\":[");
    return firstChild;
  };
  std::vector<pugi::xml_node> openElements;
  pugi::xml_node next = open(root);
  openElements.push_back(root);
  bool firstChild = true;
  while (!openElements.empty()) {
    if (next) {
      if (!firstChild) {
        out.Room(1);
        out.Lit(",");
      }
      openElements.push_back(next);
      next = open(next);
      firstChild = true;
      continue;
    }
    out.Room(2);
    out.Lit("]}");
    const pugi::xml_node done = openElements.back();
    openElements.pop_back();
    if (!openElements.empty()) next = NextNode(done);
    firstChild = false;
  }
  return count;
}

uint64_t Fnv1a(std::string_view text, uint64_t h = 1469598103934665603ull) {
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool IsReaderOnly(const Caller& caller) {
  std::string role = caller.role;
  for (char& c : role) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return role == "reader";
}

}  // namespace

void ClearTreeJsonCache() { storage::ClearRenditions(); }

TreeJson RenderTreeJson(int32_t treeType, int32_t id, const std::string& view, const std::string& reader,
                        const std::function<bool(const std::string& tag)>& unchanged) {
  ValidateTreeType(treeType);
  if (view != "" && view != "published" && view != "working") {
    RaiseInvalidArgument("i_sView", "must be \"\" (what you see), \"published\" or \"working\", not \"" +
                                        view.substr(0, 40) + "\"");
  }
  const std::optional<CheckOutRecord> checkOut = ReadCheckOut(treeType, id);
  bool working = false;
  if (view == "working") {
    if (!checkOut) {
      Raise(err::NoWorkingCopyToShow, kTree,
            std::string(treeType == storage::kProductTree ? "Product tree " : "Template ") + std::to_string(id) +
                " is not checked out by anybody, so it has no working copy to show");
    }
    const Caller* caller = CurrentCaller();
    if (caller && IsReaderOnly(*caller) && caller->ActingLogin() != checkOut->login) {
      Raise(err::WorkingCopyRefused, kTree,
            "Only the user who holds the check-out (" + checkOut->login +
                ") or an author, publisher or admin may see a working copy; readers see the published copy");
    }
    working = true;
  } else if (view.empty()) {
    working = checkOut && checkOut->login == reader;
  }

  TreePtr tree = CreateTreeObject();
  // Loaded as the holder for the working copy and as nobody for the
  // published one: the load decides which document that is.
  tree->load(treeType, id, working ? checkOut->login : std::string());

  // What the answer depends on besides the document: the copy shown and the check-out record.
  std::string tag;
  if (std::optional<FileIdentity> identity = storage::LoadedIdentity(tree->DocumentPath())) {
    uint64_t state = Fnv1a(working ? "w" : "p");
    if (checkOut) state = Fnv1a(checkOut->since, Fnv1a(checkOut->login + '\n', state));
    char text[128];
    std::snprintf(text, sizeof text, "\"j%llx-%llx-%llx-%llx-%llx\"", static_cast<unsigned long long>(identity->device),
                  static_cast<unsigned long long>(identity->inode), static_cast<unsigned long long>(identity->size),
                  static_cast<unsigned long long>(identity->modifiedNs), static_cast<unsigned long long>(state));
    tag = text;
  }
  TreeJson result{tag, nullptr};
  if (!tag.empty() && unchanged && unchanged(tag)) return result;
  if (!tag.empty()) {
    // Kept in the document cache, one copy for every reader (one text per
    // document path and view: the path says the copy).
    result.text = storage::FindRendition(tree->DocumentPath() + "\n(json)", tag);
    if (result.text) return result;
  }

  const pugi::xml_node root = tree->TreeDOM().DocumentElement().Raw();
  const auto faqs = ReadFaqs(treeType, id, working);
  // About the markup's size: a little less text per node, a little more punctuation.
  size_t expected = 0;
  if (const auto identity = storage::LoadedIdentity(tree->DocumentPath())) {
    expected = static_cast<size_t>(identity->size) + static_cast<size_t>(identity->size) / 4;
  }
  JsonOut nodes(expected);
  const int64_t count = AppendNodes(nodes, root, faqs);

  JsonOut head(256);
  head.Room(256 + JsonOut::StrRoom(checkOut ? checkOut->login.size() + checkOut->since.size() : 0));
  head.Lit("{\"treeType\":");
  head.Int(treeType);
  head.Lit(",\"id\":");
  head.Int(id);
  working ? head.Lit(",\"view\":\"working\"") : head.Lit(",\"view\":\"published\"");
  head.Lit(",\"checkedOutBy\":");
  checkOut ? head.Str(checkOut->login) : head.Lit("null");
  head.Lit(",\"checkedOutSince\":");
  checkOut && !checkOut->since.empty() ? head.Str(checkOut->since) : head.Lit("null");
  head.Lit(",\"topType\":");
  if (treeType == storage::kTemplateTree) {
    const pugi::xml_node top = root.child("Node");
    head.Int(top ? IntAttribute(top, "RTP", storage::kTopTypeEmpty) : storage::kTopTypeEmpty);
  } else {
    head.Lit("null");
  }
  head.Lit(",\"nodeCount\":");
  head.Int(count);
  head.Lit(",\"root\":");

  // The one copy of the text into the string that is kept and served.
  auto text = std::make_shared<std::string>();
  text->reserve(head.Text().size() + nodes.Text().size() + 1);
  text->append(head.Text()).append(nodes.Text()).push_back('}');
  result.text = std::move(text);
  if (!tag.empty()) result.text = storage::KeepRendition(tree->DocumentPath() + "\n(json)", tag, std::move(result.text));
  return result;
}

// --- the members ---

json Browse::Catalog() {
  return Read(kCatalog, [] {
    const CatalogListing listing = ReadCatalogListing();
    json out = {{"visibilities", json::array()}, {"categories", json::array()}, {"products", json::array()}};
    for (const CatalogEntry& v : listing.visibilities) {
      out["visibilities"].push_back({{"id", std::to_string(v.id)}, {"name", v.name}});
    }
    std::map<int32_t, const std::vector<int32_t>*> granted;
    for (const CatalogEntry& c : listing.categories) {
      json ids = json::array();
      for (int32_t v : c.links) ids.push_back(std::to_string(v));
      out["categories"].push_back({{"id", c.id}, {"name", c.name}, {"visibilities", std::move(ids)}});
      granted[c.id] = &c.links;
    }
    for (const CatalogEntry& p : listing.products) {
      std::set<int32_t> visibilities;
      for (int32_t c : p.links) {
        if (auto it = granted.find(c); it != granted.end()) visibilities.insert(it->second->begin(), it->second->end());
      }
      json ids = json::array();
      for (int32_t v : visibilities) ids.push_back(std::to_string(v));
      out["products"].push_back(
          {{"id", p.id}, {"description", p.name}, {"categories", p.links}, {"visibilities", std::move(ids)}});
    }
    return out;
  });
}

json Browse::Products(const std::string& i_sFilter) {
  return Read(kProducts, [&] {
    const std::vector<CatalogEntry> products = FindProducts(i_sFilter);
    const std::map<int32_t, TreeState> states = ReadTreeStates(storage::kProductTree);
    json out = json::array();
    for (const CatalogEntry& p : products) {
      out.push_back({{"id", p.id}, {"description", p.name}, {"tree", StateJson(states, p.id)}});
    }
    return out;
  });
}

json Browse::Templates() {
  return Read(kTemplates, [] {
    auto rows = WithHelvixSession([](db::Session& s, const db::Dialect&) {
      return s.Query("SELECT TEMPLATEID, NAME, COMMENT, PRODUCTCATEGORY FROM TEMPLATEINFO ORDER BY TEMPLATEID");
    });
    const std::map<int32_t, TreeState> states = ReadTreeStates(storage::kTemplateTree);
    json out = json::array();
    auto text = [](const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); };
    for (const auto& row : rows.rows) {
      const int32_t id = row[0].ToInt32();
      out.push_back({{"id", id},
                     {"name", text(row[1])},
                     {"comment", text(row[2])},
                     {"productCategory", row[3].IsNull() ? json(nullptr) : json(row[3].ToInt32())},
                     {"tree", StateJson(states, id)}});
    }
    return out;
  });
}

json Browse::Tree(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sView) {
  const Caller* caller = CurrentCaller();
  const std::string reader = caller ? caller->ActingLogin() : std::string();
  TreeJson rendered = Read(kTree, [&] { return RenderTreeJson(i_lTreeType, i_lID, i_sView, reader); });
  return json::parse(*rendered.text);
}

json Browse::SearchEntities(const std::string& i_sText, int32_t i_lRepType, int32_t i_lOffset, int32_t i_lLimit) {
  return Read(kSearch, [&] {
    if (i_lRepType < 0 || i_lRepType > storage::kRepAction) {
      RaiseInvalidArgument("i_lRepType", "must be 0 (all types) or 1 to 4, not " + std::to_string(i_lRepType));
    }
    if (i_lOffset < 0) RaiseInvalidArgument("i_lOffset", "must not be negative");
    if (i_lLimit < 1 || i_lLimit > kMaxLimit) {
      RaiseInvalidArgument("i_lLimit", "must be between 1 and " + std::to_string(kMaxLimit));
    }
    // A NUL ends the pattern early in one database and matches everything.
    if (i_sText.find('\0') != std::string::npos) RaiseInvalidArgument("i_sText", "holds a NUL character");
    const size_t characters = static_cast<size_t>(std::count_if(
        i_sText.begin(), i_sText.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    if (characters > kMaxSearchCharacters) {
      RaiseInvalidArgument("i_sText", "is " + std::to_string(characters) + " characters long; a search text may have at most " +
                                          std::to_string(kMaxSearchCharacters));
    }
    return WithHelvixSession([&](db::Session& s, const db::Dialect& d) {
      std::string from;
      for (int32_t type = storage::kRepCategory; type <= storage::kRepAction; ++type) {
        if (i_lRepType != 0 && type != i_lRepType) continue;
        if (!from.empty()) from += " UNION ALL ";
        from += "SELECT " + std::to_string(type) + " AS REPTYPE, ID, NAME, DETAIL FROM " + storage::getRepTable(type);
      }
      auto text = [](const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); };
      auto item = [&](const std::vector<db::Value>& row) {
        return json{{"repType", row[0].ToInt32()}, {"repId", row[1].ToInt32()}, {"short", text(row[2])},
                    {"long", text(row[3])}};
      };
      json items = json::array();
      if (i_sText.empty()) {
        const auto total = s.Query("SELECT COUNT(*) FROM (" + from + ") E", {});
        const auto rows = s.Query("SELECT REPTYPE, ID, NAME, DETAIL FROM (" + from + ") E ORDER BY REPTYPE, ID LIMIT " +
                                      d.Placeholder(1) + " OFFSET " + d.Placeholder(2),
                                  {db::Value(i_lLimit), db::Value(i_lOffset)});
        for (const auto& row : rows.rows) items.push_back(item(row));
        return json{{"total", total.rows.empty() ? 0 : total.rows[0][0].ToInt64()}, {"items", std::move(items)}};
      }
      // Matching ignores case the way Unicode folds it ("STRASSE" finds
      // "Straße", "ΣΊΣΥΦΟΣ" finds "σίσυφος"), the same on either database:
      // the texts are folded here, not by the database's LOWER, which is
      // ASCII only on one of them. A search reads every entity of the types
      // asked for once; so did the LIKE it replaces.
      const std::string needle = FoldCase(i_sText);
      const auto rows = s.Query("SELECT REPTYPE, ID, NAME, DETAIL FROM (" + from + ") E ORDER BY REPTYPE, ID", {});
      int64_t total = 0;
      for (const auto& row : rows.rows) {
        if (FoldCase(text(row[2])).find(needle) == std::string::npos &&
            FoldCase(text(row[3])).find(needle) == std::string::npos) {
          continue;
        }
        if (total >= i_lOffset && items.size() < static_cast<size_t>(i_lLimit)) items.push_back(item(row));
        ++total;
      }
      return json{{"total", total}, {"items", std::move(items)}};
    });
  });
}

const DispatchTable* Browse::Dispatch() const {
  using namespace dispatch;
  static const DispatchTable table = [] {
    DispatchTable t;
    auto self = [](Component& c) -> Browse& { return static_cast<Browse&>(c); };
    t.Add(Bind<&Browse::Catalog>(
        "Catalog",
        "The catalog: {visibilities: [{id, name}], categories: [{id, name, visibilities}], products: [{id, "
        "description, categories, visibilities}]}, each ordered by id; visibility identifiers are texts."));
    t.Add(Bind<&Browse::Products>(
        "Products", {Optional("i_sFilter")},
        "The products ordered by id: [{id, description, tree: null | {nodes, checkedOutBy, checkedOutSince, "
        "workingNodes}}]; a filter keeps those whose description contains it (ignoring case) or whose id it is."));
    t.Add(Bind<&Browse::Templates>(
        "Templates",
        "The templates ordered by id: [{id, name, comment, productCategory, tree}], tree as in Products."));
    t.Add(Bind<&Browse::Tree>(
        "Tree", {"i_lTreeType", "i_lID", Optional("i_sView")},
        "The tree as JSON in document order: {treeType, id, view, checkedOutBy, checkedOutSince, topType, "
        "nodeCount, root: {id, type, repId, short, long, visibilities, faqs, hyperlink, children}}; i_sView \"\" "
        "(what you see), \"published\" or \"working\" (the holder's working copy; 1600 when nobody holds it, 1601 "
        "for a reader who does not)."));
    // An omitted limit is not the same as 0, which is refused: written out.
    t.Add({"SearchEntities",
           {{"i_sText", ArgType::String},
            {"i_lRepType", ArgType::Long},
            {"i_lOffset", ArgType::Long, false, true},
            {"i_lLimit", ArgType::Long, false, true}},
           ArgType::Variant,
           false,
           [self](Component& c, DispatchArgs& a) -> json {
             return self(c).SearchEntities(Text(a[0]), Long(a[1]), Long(a[2]),
                                           a[3].is_null() ? kDefaultLimit : Long(a[3]));
           },
           "Repository entities whose short or long text contains i_sText (ignoring case; \"\" = all) of type "
           "i_lRepType (0 = all four), ordered by type and id: {total, items: [{repType, repId, short, long}]} from "
           "i_lOffset (default 0), at most i_lLimit (default 50, 1 to 200). i_sText may have at most 1000 "
           "characters (1200); a NUL, like any character XML cannot hold, is refused (1216)."});
    return t;
  }();
  return &table;
}

void RegisterBrowseClass() {
  Registry::Instance().Register(kBrowseProgId, [] { return std::make_shared<Browse>(); });
}

}  // namespace tsa
