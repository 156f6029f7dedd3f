#include "versions/tree_copy.h"

#include <charconv>

#include "components/connections.h"
#include "components/file_handling.h"
#include "platform/db/connection.h"
#include "platform/files/document_store.h"
#include "runtime/components.h"
#include "runtime/error.h"
#include "storage/documents.h"
#include "storage/tree_types.h"
#include "versions/version_errors.h"

namespace tsa::versions {

namespace {

const storage::TableAndKey& Table(int32_t treeType, bool workingCopy) {
  static const storage::TableAndKey tables[2][2] = {
      {storage::GetTreeTableAndKey(storage::kProductTree, false), storage::GetTreeTableAndKey(storage::kProductTree, true)},
      {storage::GetTreeTableAndKey(storage::kTemplateTree, false),
       storage::GetTreeTableAndKey(storage::kTemplateTree, true)}};
  if (treeType != storage::kProductTree && treeType != storage::kTemplateTree) {
    RaiseInvalidArgument("i_lTreeType", "must be 1 (product tree) or 2 (template), not " + std::to_string(treeType));
  }
  return tables[treeType == storage::kProductTree ? 0 : 1][workingCopy ? 1 : 0];
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) Raise(err::VersionDamaged, {}, "A stored version's rows end inside an escape");
    switch (text[i]) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: out += text[i];
    }
  }
  return out;
}

int32_t Number(std::string_view field) {
  int32_t value = 0;
  auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) {
    Raise(err::VersionDamaged, {}, "A stored version's rows hold a field that is not a number");
  }
  return value;
}

}  // namespace

std::vector<NodeRecord> ReadCopyRows(int32_t treeType, int32_t id, bool workingCopy) {
  const storage::TableAndKey& table = Table(treeType, workingCopy);
  ConnectionPtr connection = GetHelvixConnection();
  db::ResultSet result;
  try {
    result = connection->session().Query(
        "SELECT NODEID, REPTYPE, REPID, DEPTH, SEQUENCE, PNODEID, PRETREE, VISIBILITY, FAQS, HYPERLINK FROM " +
            table[0] + " WHERE " + table[1] + " = " + connection->dialect().Placeholder(1) + " ORDER BY NODEID",
        {db::Value(id)});
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
  std::vector<NodeRecord> rows;
  rows.reserve(result.rows.size());
  for (const auto& r : result.rows) {
    NodeRecord n;
    n.nodeId = r[0].ToInt32();
    n.repType = r[1].ToInt32();
    n.repId = r[2].ToInt32();
    n.depth = r[3].ToInt32();
    n.sequence = r[4].ToInt32();
    n.parentId = r[5].ToInt32();
    n.preTree = r[6].ToText();
    n.visibility = r[7].IsNull() ? std::string() : r[7].ToText();
    n.faqs = r[8].IsNull() ? std::string() : r[8].ToText();
    n.hyperlink = r[9].ToInt32();
    rows.push_back(std::move(n));
  }
  return rows;
}

void WriteCopyRows(int32_t treeType, int32_t id, bool workingCopy, const std::vector<NodeRecord>& rows) {
  const storage::TableAndKey& table = Table(treeType, workingCopy);
  ConnectionPtr connection = GetHelvixConnection();
  try {
    db::Session& session = connection->session();
    const db::Dialect& d = connection->dialect();
    session.Execute("DELETE FROM " + table[0] + " WHERE " + table[1] + " = " + d.Placeholder(1), {db::Value(id)});
    std::string insert = "INSERT INTO " + table[0] + " (" + table[1] +
                         ", NODEID, REPTYPE, REPID, DEPTH, SEQUENCE, PNODEID, PRETREE, VISIBILITY, FAQS, HYPERLINK)"
                         " VALUES (";
    for (int i = 1; i <= 11; ++i) insert += (i > 1 ? ", " : "") + d.Placeholder(i);
    insert += ")";
    for (const NodeRecord& n : rows) {
      session.Execute(insert, {db::Value(id), db::Value(n.nodeId), db::Value(n.repType), db::Value(n.repId),
                               db::Value(n.depth), db::Value(n.sequence), db::Value(n.parentId),
                               db::Value(n.preTree), db::Value(n.visibility), db::Value(n.faqs),
                               db::Value(n.hyperlink)});
    }
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
}

std::optional<std::string> ReadCopyDocument(int32_t treeType, int32_t id, bool workingCopy) {
  const int32_t category = storage::DocumentCategory(treeType, workingCopy);
  auto files = CreateInContext<IFileHandling>(progid::FileHandling);
  const FileNameDict names = files->GetFileNames(id, {category});
  const auto* item = names.Find(category);
  if (!item || item->empty()) return std::nullopt;
  const std::string name = CurrentFileName(names, category);
  const std::string path = storage::GetXMLPath(treeType, name, workingCopy);
  auto store = DocumentStore();
  if (!store->Exists(path)) {
    if (auto shared = GetWebFarmLocation()) files->FetchFile(*shared, name, path, category, id, treeType);
  }
  return store->Load(path);
}

std::optional<TreeCopy> ReadCopy(int32_t treeType, int32_t id, bool workingCopy) {
  TreeCopy copy;
  copy.rows = ReadCopyRows(treeType, id, workingCopy);
  if (copy.rows.empty()) return std::nullopt;
  std::optional<std::string> document = ReadCopyDocument(treeType, id, workingCopy);
  if (!document) return std::nullopt;
  copy.document = std::move(*document);
  return copy;
}

std::string EncodeRows(const std::vector<NodeRecord>& rows) {
  std::string out;
  out.reserve(rows.size() * 48);
  for (const NodeRecord& n : rows) {
    for (int32_t v : {n.nodeId, n.repType, n.repId, n.depth, n.sequence, n.parentId}) {
      out += std::to_string(v);
      out += '\t';
    }
    out += Escape(n.preTree) + '\t' + Escape(n.visibility) + '\t' + Escape(n.faqs) + '\t';
    out += std::to_string(n.hyperlink);
    out += '\n';
  }
  return out;
}

std::vector<NodeRecord> DecodeRows(const std::string& text) {
  std::vector<NodeRecord> rows;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) Raise(err::VersionDamaged, {}, "A stored version's rows end in the middle of a row");
    std::string_view line(text.data() + start, end - start);
    std::vector<std::string_view> fields;
    size_t at = 0;
    while (true) {
      size_t tab = line.find('\t', at);
      fields.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
      if (tab == std::string_view::npos) break;
      at = tab + 1;
    }
    if (fields.size() != 10) Raise(err::VersionDamaged, {}, "A stored version's row does not have ten fields");
    NodeRecord n;
    n.nodeId = Number(fields[0]);
    n.repType = Number(fields[1]);
    n.repId = Number(fields[2]);
    n.depth = Number(fields[3]);
    n.sequence = Number(fields[4]);
    n.parentId = Number(fields[5]);
    n.preTree = Unescape(fields[6]);
    n.visibility = Unescape(fields[7]);
    n.faqs = Unescape(fields[8]);
    n.hyperlink = Number(fields[9]);
    rows.push_back(std::move(n));
    start = end + 1;
  }
  return rows;
}

std::optional<std::string> CheckOutHolder(int32_t treeType, int32_t id) {
  ConnectionPtr connection = GetHelvixConnection();
  db::ResultSet result;
  try {
    const db::Dialect& d = connection->dialect();
    result = connection->session().Query(
        "SELECT LOGIN FROM TSCHANGECONTROL WHERE ID = " + d.Placeholder(1) + " AND TREETEM = " + d.Placeholder(2),
        {db::Value(id), db::Value(treeType)});
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
  CloseConnection(connection);
  if (result.rows.empty()) return std::nullopt;
  return result.rows[0][0].ToText();
}

}  // namespace tsa::versions
