#include "storage/visibility.h"

#include <charconv>

#include <cstdio>
#include <vector>

#include "components/catalog.h"
#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/components.h"
#include "runtime/error.h"

namespace tsa::storage {

namespace {

// The platform's Split: "" gives no piece; otherwise every piece between
// separators, empty ones included.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  while (true) {
    size_t pos = text.find(';', start);
    if (pos == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

// The entries of a list: the pieces from the second to the last but one.
std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> pieces = Split(list);
  if (pieces.size() < 3) return {};
  return {pieces.begin() + 1, pieces.end() - 1};
}

// Replaces every occurrence, scanning left to right without overlaps.
std::string ReplaceAll(const std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  std::string out;
  size_t start = 0;
  while (true) {
    size_t pos = text.find(what, start);
    if (pos == std::string::npos) break;
    out.append(text, start, pos - start);
    out += with;
    start = pos + what.size();
  }
  out.append(text, start, std::string::npos);
  return out;
}

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// A text for an error description: control characters shown as \xNN, long
// texts shortened.
std::string Shown(std::string_view text) {
  constexpr size_t kMax = 200;
  std::string out;
  for (size_t i = 0; i < text.size() && i < kMax; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kMax) out += "...";
  return out;
}

const char* EntryProblem(std::string_view entry) {
  for (char ch : entry) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == ' ') return "a blank";
    if (c == '"') return "a quote";
    if (c == '\'') return "an apostrophe";
    if (c == '<') return "\"<\"";
    if (c == '>') return "\">\"";
    if (c == '&') return "\"&\"";
    if (c < 0x20 || c == 0x7F) return "a control character";
  }
  return nullptr;
}

std::string SqlEntry(const std::string& entry) { return ReplaceAll(entry, "'", "''"); }

bool IsNodeTable(const std::string& table, const std::string& key) {
  return ((table == "DIAGNOSTICS" || table == "DIAGNOSTICS_TEMP") && key == "PRODUCTID") ||
         ((table == "TEMPLATE" || table == "TEMPLATE_TEMP") && key == "TEMPLATEID");
}

}  // namespace

void ValidateVisibilityList(std::string_view argumentName, std::string_view list) {
  if (list.empty() || list == ";") return;
  auto fail = [&](const std::string& why) {
    RaiseInvalidArgument(argumentName, "\"" + Shown(list) + "\" is not a visibility list (" + why + ")",
                         err::InvalidVisibilityList);
  };
  if (list.front() != ';') fail("it does not start with \";\"");
  if (list.back() != ';') fail("it does not end with \";\"");
  size_t start = 1;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    std::string_view entry = list.substr(start, end - start);
    if (entry.empty()) fail("it holds an empty entry");
    if (const char* problem = EntryProblem(entry)) {
      fail("entry \"" + Shown(entry) + "\" holds " + problem);
    }
    // Entries are visibility identifiers: every member that takes a list
    // refuses the same ones.
    int32_t value = 0;
    auto [last, ec] = std::from_chars(entry.data(), entry.data() + entry.size(), value);
    if (ec != std::errc() || last != entry.data() + entry.size()) {
      fail("entry \"" + Shown(entry) + "\" is not a 32-bit integer in decimal");
    }
    start = end + 1;
  }
}

StringDict getDeltaVisibility(const std::string& oldList, const std::string& newList) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.getDeltaVisibility", [&] {
    StringDict delta;
    std::string oldTrim = TrimBlanks(oldList);
    std::string newTrim = TrimBlanks(newList);
    if (oldTrim == newTrim) {
      delta.Add("Add", "");
      delta.Add("Remove", "");
    } else if (oldTrim == ";") {
      delta.Add("Add", newList);
      delta.Add("Remove", "");
    } else if (newTrim == ";") {
      delta.Add("Add", "");
      delta.Add("Remove", oldList);
    } else {
      std::string remove = ";";
      std::string rest = newList;
      for (const std::string& entry : Entries(oldList)) {
        std::string item = ";" + entry + ";";
        if (rest.find(item) != std::string::npos) {
          rest = ReplaceAll(rest, item, ";");
        } else {
          remove += entry + ";";
        }
      }
      if (remove == ";") remove.clear();
      delta.Add("Add", rest);
      delta.Add("Remove", remove);
    }
    return delta;
  });
}

std::string MergeVisibilities(const std::string& list, const std::string& other) {
  std::string add = getDeltaVisibility(list, other).Item("Add");
  if (add.empty()) add = ";";
  if (list.empty()) {
    Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: cannot merge into an empty text");
  }
  std::string result = list.substr(0, list.size() - 1) + add;
  return result.empty() ? ";" : result;
}

std::string RemoveVisibilities(const std::string& list, const std::string& toRemove) {
  if (toRemove.empty()) return list;
  std::string result = list;
  for (const std::string& entry : Entries(toRemove)) result = ReplaceAll(result, ";" + entry + ";", ";");
  return result;
}

std::string AppendVisibilities(const std::string& list, const std::string& toAppend) {
  if (TrimBlanks(toAppend).empty()) return list;
  // An empty list is the list ";": appending to "" must not lose the leading
  // separator.
  std::string base = TrimBlanks(list).empty() ? std::string(";") : list;
  return base + toAppend.substr(1);
}

std::string GetRemoveVisibilitySQL(const std::string& toRemove) {
  std::string expression = "VISIBILITY";
  if (toRemove.empty()) return expression;
  for (const std::string& entry : Entries(toRemove)) {
    expression = "Replace(" + expression + ",';" + SqlEntry(entry) + ";',';')";
  }
  return expression;
}

std::string GetAddVisibilitySQL(const std::string& toAdd) {
  if (TrimBlanks(toAdd).empty()) return {};
  return std::string(HelvixDialect().Concat()) + "'" + SqlEntry(toAdd.substr(1)) + "'";
}

std::string GetNOdeVisibilitiesFromDB(const TableAndKey& tableAndKey, int32_t treeId, int32_t nodeId) {
  return GetNOdeVisibilitiesFromDB(tableAndKey[0], tableAndKey[1], treeId, nodeId);
}

std::string GetNOdeVisibilitiesFromDB(const std::string& table, const std::string& keyColumn, int32_t treeId,
                                      int32_t nodeId) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "HXSvcTroubleshooting.TSUtilities.GetNOdeVisibilitiesFromDB",
      [&] {
        if (!IsNodeTable(table, keyColumn)) {
          RaiseInvalidArgument("tableAndKey", "\"" + Shown(table) + "\", \"" + Shown(keyColumn) +
                                                  "\" is not a node table and its key column");
        }
        std::string tree = std::to_string(FormatSqlNumber(treeId));
        std::string node = std::to_string(FormatSqlNumber(nodeId));
        connection = GetHelvixConnection();
        recordset = connection->OpenRecordset("SELECT VISIBILITY FROM " + table + " WHERE " + keyColumn + " = " + tree +
                                              " AND NODEID = " + node);
        if (recordset->IsEOF()) Raise(err::NodeNotFound);
        std::string visibility = recordset->Field("VISIBILITY").ToText();
        CloseRecordset(recordset);
        CloseConnection(connection);
        return visibility;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

std::string GetProductDesc(int32_t productId) {
  return Trapped("HXSvcTroubleshooting.TSUtilities.GetProductDesc", [&] {
    auto product = CreateObject<ICatalogProduct>(progid::CatalogProduct);
    return product->GetProductDescription(productId);
  });
}

StringDict GetProductCategoriesForProduct(int32_t productId) {
  auto product = CreateObject<ICatalogProduct>(progid::CatalogProduct);
  return product->GetProductCategoriesForProduct(productId);
}

std::string GetProductCategoryList(int32_t productId) {
  std::string list = ";";
  for (const auto& [key, item] : GetProductCategoriesForProduct(productId)) list += key + ";";
  return list;
}

std::string GetVisibilitiesofProduct(int32_t productId) {
  return Trapped("HXSvcTroubleshooting.TSUtillities.GetVisibilitiesofProduct", [&] {
    StringDict categories = GetProductCategoriesForProduct(productId);
    auto catalog = CreateObject<ICatalog>(progid::Catalog);
    StringDict visibilities = catalog->GetVisibilitiesForCategories(categories.Keys());
    std::string list = ";";
    for (const auto& [key, item] : visibilities) list += key + ";";
    return list;
  });
}

}  // namespace tsa::storage
