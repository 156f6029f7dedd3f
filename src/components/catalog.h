// The catalog component: products, their categories and the visibilities
// that categories grant, in the catalog database.
//
//   PRODUCTS (PRODUCTID, DESCRIPTION)
//   CATEGORIES (CATEGORYID, NAME)
//   VISIBILITIES (VISIBILITYID, NAME)
//   PRODUCTSBYCATEGORY (CATEGORYID, PRODUCTID)
//   CATEGORYVISIBILITIES (CATEGORYID, VISIBILITYID)
//
// "KCatalog.Catalog" answers which visibilities a set of categories grants;
// "KCatalog.Product" describes one product. Both read through the catalog
// connection, inside the caller's transaction when there is one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/components.h"
#include "runtime/dictionary.h"

namespace tsa {

// "KCatalog.Catalog".
class ICatalog : public Component {
 public:
  // The visibilities granted through any of the categories: keys are the
  // visibility identifiers in decimal, in ascending order; items are the
  // visibilities' names. Category identifiers must be decimal integers
  // (error 1200 otherwise); an empty array gives an empty dictionary.
  virtual StringDict GetVisibilitiesForCategories(const std::vector<std::string>& categoryIds) = 0;
};

// "KCatalog.Product".
class ICatalogProduct : public Component {
 public:
  // The product's description; error 1210 for a product the catalog lacks.
  virtual std::string GetProductDescription(int32_t productId) = 0;
  // The product's category identifiers in decimal, ascending, items empty.
  // Label "KCatalog.Product.GetProductCategoriesForProduct".
  virtual StringDict GetProductCategoriesForProduct(int32_t productId) = 0;
};

class Catalog : public ICatalog {
 public:
  StringDict GetVisibilitiesForCategories(const std::vector<std::string>& categoryIds) override;
};

class CatalogProduct : public ICatalogProduct {
 public:
  std::string GetProductDescription(int32_t productId) override;
  StringDict GetProductCategoriesForProduct(int32_t productId) override;
};

// The whole catalog for front ends that list it, each list ordered by
// identifier: a visibility's `links` are empty, a category's are the
// visibilities it grants, a product's its categories (all ascending).
struct CatalogEntry {
  int32_t id = 0;
  std::string name;  // a product's description
  std::vector<int32_t> links;
};
struct CatalogListing {
  std::vector<CatalogEntry> visibilities;
  std::vector<CatalogEntry> categories;
  std::vector<CatalogEntry> products;
};
// Reads it in the caller's transaction, one statement per table.
CatalogListing ReadCatalogListing();
// The products (`links` empty) whose description contains `text` ignoring
// case, or whose identifier is `text` in decimal; every product for an
// empty text. Ordered by identifier.
std::vector<CatalogEntry> FindProducts(const std::string& text);

// What a catalog file load changed.
struct CatalogLoadResult {
  int visibilities = 0;
  int categories = 0;
  int products = 0;
};

// Fills the catalog database from a JSON file, in one transaction:
//
//   {"visibilities": [{"id": 1, "name": "Customers"}],
//    "categories":   [{"id": 10, "name": "Printers", "visibilities": [1, 2]}],
//    "products":     [{"id": 7, "description": "Laser printer 5", "categories": [10]}]}
//
// Every section is optional. Identifiers are non-negative 32-bit integers;
// names and descriptions non-empty texts. Entries are inserted or updated by
// identifier; the visibilities of a listed category and the categories of a
// listed product become exactly those listed ([] when the key is absent).
// A category or product may refer to visibilities or categories of the file
// or already in the database. Entities not in the file stay as they are, so
// loading the same file twice changes nothing. Any problem raises 1212 naming
// the entry, and nothing is written; a missing file raises 53.
CatalogLoadResult LoadCatalogFile(const std::string& path);

// A catalog file read and checked against itself, before anything is
// written: each section's entries in file order, `links` being a category's
// visibilities or a product's categories, `where` the entry for messages
// ("categories[2] (id 10)").
struct CatalogFileEntry {
  int32_t id = 0;
  std::string name;
  std::vector<int32_t> links;
  std::string where;
};
struct CatalogFile {
  std::vector<CatalogFileEntry> visibilities;
  std::vector<CatalogFileEntry> categories;
  std::vector<CatalogFileEntry> products;
};
// Reads the text of a catalog file; `path` names it in messages. Any problem
// (not JSON, nested deeper than 64 levels, an unknown key, a wrong or
// repeated value) raises 1212 naming the entry.
CatalogFile ParseCatalogFile(std::string_view text, const std::string& path);

// Registers "KCatalog.Catalog" and "KCatalog.Product".
void RegisterCatalogComponents();

}  // namespace tsa
