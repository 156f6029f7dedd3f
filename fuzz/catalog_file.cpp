// Catalog files as `tsauthor catalog load` reads them, up to the point
// where the database would be written: the JSON, its sections and entries,
// identifiers and links.
#include <cstdint>
#include <set>
#include <string>

#include "components/catalog.h"
#include "fuzz_support.h"

using namespace tsa;

namespace {

void CheckSection(const std::vector<CatalogFileEntry>& entries) {
  std::set<int32_t> ids;
  for (const CatalogFileEntry& e : entries) {
    if (e.id < 0) fuzz::Finding("a negative identifier accepted", e.where);
    if (!ids.insert(e.id).second) fuzz::Finding("an identifier accepted twice", e.where);
    if (e.name.find_first_not_of(" \t\r\n") == std::string::npos) fuzz::Finding("an empty name accepted", e.where);
    if (e.name.find('\0') != std::string::npos) fuzz::Finding("a NUL in a name accepted", e.where);
    std::set<int32_t> links(e.links.begin(), e.links.end());
    if (links.size() != e.links.size()) fuzz::Finding("a link accepted twice", e.where);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    CatalogFile file = ParseCatalogFile(fuzz::AsText(data, size), "catalog.json");
    CheckSection(file.visibilities);
    CheckSection(file.categories);
    CheckSection(file.products);
  } catch (const Error& e) {
    if (e.number() != err::InvalidCatalogFile) fuzz::Finding("a catalog file refused with another number", e.description());
    fuzz::CheckRefusal(e);
  }
  return 0;
}
