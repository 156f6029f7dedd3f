#include "components/catalog.h"

#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/xml_chars.h"

namespace tsa {

namespace {

bool IsDecimal(const std::string& s) {
  size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i == s.size() || s.size() > 11) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

int32_t CategoryNumber(const std::string& id) {
  if (IsDecimal(id)) {
    long long v = std::stoll(id);
    if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
      return static_cast<int32_t>(v);
    }
  }
  RaiseInvalidArgument("categoryIds", "\"" + id + "\" is not a category identifier");
}

}  // namespace

// --- KCatalog.Catalog ---

StringDict Catalog::GetVisibilitiesForCategories(const std::vector<std::string>& categoryIds) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "KCatalog.Catalog.GetVisibilitiesForCategories",
      [&] {
        StringDict visibilities;
        if (categoryIds.empty()) return visibilities;
        std::string in;
        for (const std::string& id : categoryIds) {
          if (!in.empty()) in += ", ";
          in += std::to_string(FormatSqlNumber(CategoryNumber(id)));
        }
        connection = GetKCatalogConnection();
        recordset = connection->OpenRecordset(
            "SELECT DISTINCT cv.VISIBILITYID AS VISIBILITYID, v.NAME AS NAME FROM CATEGORYVISIBILITIES cv"
            " LEFT JOIN VISIBILITIES v ON v.VISIBILITYID = cv.VISIBILITYID"
            " WHERE cv.CATEGORYID IN (" + in + ") ORDER BY VISIBILITYID");
        for (; !recordset->IsEOF(); recordset->MoveNext()) {
          const db::Value& name = recordset->Field("NAME");
          visibilities.Add(recordset->Field("VISIBILITYID").ToText(), name.IsNull() ? std::string() : name.ToText());
        }
        CloseRecordset(recordset);
        CloseConnection(connection);
        return visibilities;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

// --- KCatalog.Product ---

std::string CatalogProduct::GetProductDescription(int32_t productId) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "KCatalog.Product.GetProductDescription",
      [&] {
        connection = GetKCatalogConnection();
        recordset = connection->OpenRecordset("SELECT DESCRIPTION FROM PRODUCTS WHERE PRODUCTID = " +
                                              std::to_string(FormatSqlNumber(productId)));
        if (recordset->IsEOF()) {
          Raise(err::ProductNotFound, "KCatalog.Product",
                "The catalog has no product " + std::to_string(productId));
        }
        std::string description = recordset->Field("DESCRIPTION").ToText();
        CloseRecordset(recordset);
        CloseConnection(connection);
        return description;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

StringDict CatalogProduct::GetProductCategoriesForProduct(int32_t productId) {
  ConnectionPtr connection;
  RecordsetPtr recordset;
  return Trapped(
      "KCatalog.Product.GetProductCategoriesForProduct",
      [&] {
        StringDict categories;
        connection = GetKCatalogConnection();
        recordset = connection->OpenRecordset("SELECT CATEGORYID FROM PRODUCTSBYCATEGORY WHERE PRODUCTID=" +
                                              std::to_string(FormatSqlNumber(productId)) + " ORDER BY CATEGORYID");
        for (; !recordset->IsEOF(); recordset->MoveNext()) {
          std::string key = recordset->Field("CATEGORYID").ToText();
          if (!categories.Exists(key)) categories.Add(key, "");
        }
        CloseRecordset(recordset);
        CloseConnection(connection);
        return categories;
      },
      [&] {
        CloseRecordset(recordset);
        CloseConnection(connection);
      });
}

// --- listings ---

namespace {

std::vector<CatalogEntry> Entries(const db::ResultSet& rows) {
  std::vector<CatalogEntry> out;
  out.reserve(rows.rows.size());
  for (const auto& row : rows.rows) {
    out.push_back({row[0].ToInt32(), row[1].IsNull() ? std::string() : row[1].ToText(), {}});
  }
  return out;
}

// Adds the pairs (owner, linked) of `rows`, ordered by owner, to the
// entries, which are ordered by identifier.
void Link(std::vector<CatalogEntry>& entries, const db::ResultSet& rows) {
  auto it = entries.begin();
  for (const auto& row : rows.rows) {
    const int32_t owner = row[0].ToInt32();
    while (it != entries.end() && it->id < owner) ++it;
    if (it == entries.end()) break;
    if (it->id == owner) it->links.push_back(row[1].ToInt32());
  }
}

}  // namespace

CatalogListing ReadCatalogListing() {
  return Trapped("KCatalog.Catalog.ReadCatalogListing", [] {
    return WithKCatalogSession([](db::Session& s, const db::Dialect&) {
      CatalogListing listing;
      listing.visibilities = Entries(s.Query("SELECT VISIBILITYID, NAME FROM VISIBILITIES ORDER BY VISIBILITYID"));
      listing.categories = Entries(s.Query("SELECT CATEGORYID, NAME FROM CATEGORIES ORDER BY CATEGORYID"));
      Link(listing.categories, s.Query("SELECT CATEGORYID, VISIBILITYID FROM CATEGORYVISIBILITIES"
                                       " ORDER BY CATEGORYID, VISIBILITYID"));
      listing.products = Entries(s.Query("SELECT PRODUCTID, DESCRIPTION FROM PRODUCTS ORDER BY PRODUCTID"));
      Link(listing.products,
           s.Query("SELECT PRODUCTID, CATEGORYID FROM PRODUCTSBYCATEGORY ORDER BY PRODUCTID, CATEGORYID"));
      return listing;
    });
  });
}

std::vector<CatalogEntry> FindProducts(const std::string& text) {
  return Trapped("KCatalog.Catalog.FindProducts", [&] {
    return WithKCatalogSession([&](db::Session& s, const db::Dialect& d) {
      if (text.empty()) return Entries(s.Query("SELECT PRODUCTID, DESCRIPTION FROM PRODUCTS ORDER BY PRODUCTID"));
      std::string sql = "SELECT PRODUCTID, DESCRIPTION FROM PRODUCTS WHERE LOWER(DESCRIPTION) LIKE LOWER(CAST(" +
                        d.Placeholder(1) + " AS TEXT)) ESCAPE '" + std::string(1, kLikeEscape) + "'";
      std::vector<db::Value> params{db::Value(LikeContainsPattern(text))};
      if (IsDecimal(text)) {
        const long long id = std::stoll(text);
        if (id >= std::numeric_limits<int32_t>::min() && id <= std::numeric_limits<int32_t>::max()) {
          sql += " OR PRODUCTID = " + d.Placeholder(2);
          params.emplace_back(static_cast<int32_t>(id));
        }
      }
      return Entries(s.Query(sql + " ORDER BY PRODUCTID", params));
    });
  });
}

// --- catalog files ---

namespace {

using Entity = CatalogFileEntry;

// Catalog files are flat: three arrays of small objects. Anything deeper is
// refused before it is built (and before a message would write it out).
constexpr int kMaxFileDepth = 64;

// A value as a message shows it: compact, and cut short when long.
std::string Shown(const nlohmann::json& v) {
  constexpr size_t kMax = 80;
  std::string text = v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (text.size() > kMax) text = text.substr(0, kMax) + "...";
  return text;
}

class FileReader {
 public:
  explicit FileReader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& problem) const {
    Raise(err::InvalidCatalogFile, "KCatalog.Catalog",
          "Catalog file \"" + path_ + "\": " + (where.empty() ? "" : where + ": ") + problem);
  }

  std::string ReadText() const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) Raise(err::FileNotFound, "KCatalog.Catalog", "File not found: \"" + path_ + "\"");
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  nlohmann::json Parse(std::string_view text) const {
    // The parser would end the text at a NUL character and ignore the rest.
    if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
      Fail("", "not valid JSON: a NUL character at byte " + std::to_string(nul + 1));
    }
    int depth = 0;
    auto limit = [&](int, nlohmann::json::parse_event_t event, nlohmann::json&) {
      using Event = nlohmann::json::parse_event_t;
      if (event == Event::object_start || event == Event::array_start) {
        if (++depth > kMaxFileDepth) Fail("", "nested deeper than " + std::to_string(kMaxFileDepth) + " levels");
      } else if (event == Event::object_end || event == Event::array_end) {
        --depth;
      }
      return true;
    };
    try {
      return nlohmann::json::parse(text, limit);
    } catch (const nlohmann::json::exception& e) {
      Fail("", std::string("not valid JSON: ") + e.what());
    }
  }

  int32_t Id(const nlohmann::json& v, const std::string& where, const std::string& what) const {
    if (!v.is_number_integer()) Fail(where, what + " must be an integer, not " + Shown(v));
    if (v.is_number_unsigned() ? v.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                               : (v.get<int64_t>() < 0 || v.get<int64_t>() > std::numeric_limits<int32_t>::max())) {
      Fail(where, what + " must be between 0 and 2147483647, not " + Shown(v));
    }
    return static_cast<int32_t>(v.get<int64_t>());
  }

  std::string Text(const nlohmann::json& entry, const char* key, const std::string& where) const {
    auto it = entry.find(key);
    if (it == entry.end()) Fail(where, std::string("\"") + key + "\" is missing");
    if (!it->is_string()) Fail(where, std::string("\"") + key + "\" must be a text, not " + Shown(*it));
    std::string text = it->get<std::string>();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
      Fail(where, std::string("\"") + key + "\" must not be empty");
    }
    if (text.find('\0') != std::string::npos) Fail(where, std::string("\"") + key + "\" holds a NUL character");
    // Visibility names end up in tree documents and every answer about them.
    if (auto fault = FindCharacterXmlCannotHold(text)) Fail(where, std::string("\"") + key + "\" " + DescribeXmlCharFault(*fault));
    return text;
  }

  // One section: an array of objects with "id", a name key and optionally a
  // list of linked identifiers.
  std::vector<Entity> Section(const nlohmann::json& root, const char* section, const char* nameKey,
                              const char* linksKey) const {
    std::vector<Entity> entities;
    auto it = root.find(section);
    if (it == root.end()) return entities;
    if (!it->is_array()) Fail(section, "must be an array");
    std::set<int32_t> seen;
    for (size_t i = 0; i < it->size(); ++i) {
      const nlohmann::json& entry = (*it)[i];
      std::string where = std::string(section) + "[" + std::to_string(i) + "]";
      if (!entry.is_object()) Fail(where, "must be an object");
      for (auto field = entry.begin(); field != entry.end(); ++field) {
        if (field.key() != "id" && field.key() != nameKey && (!linksKey || field.key() != linksKey)) {
          Fail(where, "unknown key \"" + field.key() + "\"");
        }
      }
      auto id = entry.find("id");
      if (id == entry.end()) Fail(where, "\"id\" is missing");
      Entity e;
      e.id = Id(*id, where, "\"id\"");
      e.where = where + " (id " + std::to_string(e.id) + ")";
      if (!seen.insert(e.id).second) Fail(e.where, "the id appears twice in \"" + std::string(section) + "\"");
      e.name = Text(entry, nameKey, e.where);
      if (linksKey) {
        auto links = entry.find(linksKey);
        if (links != entry.end()) {
          if (!links->is_array()) Fail(e.where, std::string("\"") + linksKey + "\" must be an array");
          std::set<int32_t> linked;
          for (const auto& l : *links) {
            int32_t target = Id(l, e.where, std::string("an entry of \"") + linksKey + "\"");
            if (!linked.insert(target).second) {
              Fail(e.where, std::string("\"") + linksKey + "\" lists " + std::to_string(target) + " twice");
            }
            e.links.push_back(target);
          }
        }
      }
      entities.push_back(std::move(e));
    }
    return entities;
  }

 private:
  std::string path_;
};

bool RowExists(db::Connection& connection, const std::string& table, const std::string& key, int32_t id) {
  auto rs = connection.OpenRecordset("SELECT " + key + " FROM " + table + " WHERE " + key + " = " +
                                     std::to_string(FormatSqlNumber(id)));
  bool found = !rs->IsEOF();
  rs->Close();
  return found;
}

}  // namespace

CatalogFile ParseCatalogFile(std::string_view text, const std::string& path) {
  FileReader reader(path);
  nlohmann::json root = reader.Parse(text);
  if (!root.is_object()) reader.Fail("", "the file must hold one JSON object");
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (it.key() != "visibilities" && it.key() != "categories" && it.key() != "products") {
      reader.Fail("", "unknown section \"" + it.key() + "\"");
    }
  }
  CatalogFile file;
  file.visibilities = reader.Section(root, "visibilities", "name", nullptr);
  file.categories = reader.Section(root, "categories", "name", "visibilities");
  file.products = reader.Section(root, "products", "description", "categories");
  return file;
}

CatalogLoadResult LoadCatalogFile(const std::string& path) {
  return Trapped("KCatalog.Catalog.LoadCatalogFile", [&] {
    FileReader reader(path);
    CatalogFile file = ParseCatalogFile(reader.ReadText(), path);
    const std::vector<Entity>& visibilities = file.visibilities;
    const std::vector<Entity>& categories = file.categories;
    const std::vector<Entity>& products = file.products;

    std::set<int32_t> fileVisibilities;
    for (const auto& v : visibilities) fileVisibilities.insert(v.id);
    std::set<int32_t> fileCategories;
    for (const auto& c : categories) fileCategories.insert(c.id);

    return RunTransactional([&] {
      ConnectionPtr connection = GetKCatalogConnection();
      const db::Dialect& d = connection->dialect();
      const std::string p1 = d.Placeholder(1), p2 = d.Placeholder(2);
      auto upsert = [&](const std::string& table, const std::string& key, const std::string& column,
                        const Entity& e) {
        connection->Execute("INSERT INTO " + table + " (" + key + ", " + column + ") VALUES (" + p1 + ", " + p2 +
                                ") ON CONFLICT (" + key + ") DO UPDATE SET " + column + " = excluded." + column,
                            {db::Value(e.id), db::Value(e.name)});
      };
      auto relink = [&](const std::string& table, const std::string& ownerKey, const std::string& targetKey,
                        const Entity& e) {
        connection->Execute("DELETE FROM " + table + " WHERE " + ownerKey + " = " + p1, {db::Value(e.id)});
        for (int32_t target : e.links) {
          connection->Execute("INSERT INTO " + table + " (" + ownerKey + ", " + targetKey + ") VALUES (" + p1 + ", " +
                                  p2 + ")",
                              {db::Value(e.id), db::Value(target)});
        }
      };

      for (const auto& v : visibilities) upsert("VISIBILITIES", "VISIBILITYID", "NAME", v);
      for (const auto& c : categories) {
        for (int32_t v : c.links) {
          if (!fileVisibilities.count(v) && !RowExists(*connection, "VISIBILITIES", "VISIBILITYID", v)) {
            reader.Fail(c.where, "visibility " + std::to_string(v) + " is neither in the file nor in the catalog");
          }
        }
        upsert("CATEGORIES", "CATEGORYID", "NAME", c);
        relink("CATEGORYVISIBILITIES", "CATEGORYID", "VISIBILITYID", c);
      }
      for (const auto& p : products) {
        for (int32_t c : p.links) {
          if (!fileCategories.count(c) && !RowExists(*connection, "CATEGORIES", "CATEGORYID", c)) {
            reader.Fail(p.where, "category " + std::to_string(c) + " is neither in the file nor in the catalog");
          }
        }
        upsert("PRODUCTS", "PRODUCTID", "DESCRIPTION", p);
        relink("PRODUCTSBYCATEGORY", "PRODUCTID", "CATEGORYID", p);
      }
      CloseConnection(connection);
      CatalogLoadResult result;
      result.visibilities = static_cast<int>(visibilities.size());
      result.categories = static_cast<int>(categories.size());
      result.products = static_cast<int>(products.size());
      return result;
    });
  });
}

void RegisterCatalogComponents() {
  Registry::Instance().Register(progid::Catalog, [] { return std::make_shared<Catalog>(); });
  Registry::Instance().Register(progid::CatalogProduct, [] { return std::make_shared<CatalogProduct>(); });
}

}  // namespace tsa
