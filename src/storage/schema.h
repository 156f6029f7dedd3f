// The tables of the service and catalog databases, created idempotently for
// the dialect of each database.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dialect.h"

namespace tsa::storage {

// The statements that create the service database's tables and indexes.
std::vector<std::string> ServiceSchema(const db::Dialect& dialect);
// The statements that create the catalog database's tables.
std::vector<std::string> CatalogSchema(const db::Dialect& dialect);

// Creates every table and index that is missing and presets the parameters;
// leaves existing tables and rows alone.
void CreateSchema(const std::string& helvixUri, const std::string& kcatalogUri);

// The preset value of the parameter "DataFileRelativePath".
inline constexpr const char* kDefaultDataFileRelativePath = "documents";

}  // namespace tsa::storage
