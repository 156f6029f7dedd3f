// Visibility lists: entries each followed by ";", the whole preceded by ";"
// (";12;40;7;"); the empty list is ";" and most operations also take "".
// Entries are compared as text, whole, between separators. Operations on
// lists, the SQL expressions that do the same inside the database, one
// node's list from the database, and a product's description, categories and
// visibilities from the catalog.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/dictionary.h"
#include "storage/tree_types.h"

namespace tsa::storage {

// Checks a visibility list passed by a caller: "", ";" or ";" followed by
// entries each ending in ";", every entry a 32-bit integer in decimal (an
// optional "-", then digits). Otherwise raises 1201 naming the argument, the
// text and what is wrong with it. Every member that takes a list checks it
// here.
void ValidateVisibilityList(std::string_view argumentName, std::string_view list);

// The difference of two lists: "Add" what the new list has and the old
// lacks, "Remove" what the old has and the new lacks (each a list or "").
// Label "HXSvcTroubleshooting.TSUtilities.getDeltaVisibility".
StringDict getDeltaVisibility(const std::string& oldList, const std::string& newList);

// The list with the entries of `other` that it lacks appended. The list must
// not be "" (error 5).
std::string MergeVisibilities(const std::string& list, const std::string& other);

// The list without the entries of `toRemove` ("" removes nothing).
std::string RemoveVisibilities(const std::string& list, const std::string& toRemove);

// The list with the entries of `toAppend` appended, not de-duplicated
// (blank appends nothing). An empty list counts as ";".
std::string AppendVisibilities(const std::string& list, const std::string& toAppend);

// SQL expression of the column VISIBILITY with the entries removed:
// ";3;7;" -> Replace(Replace(VISIBILITY,';3;',';'),';7;',';').
std::string GetRemoveVisibilitySQL(const std::string& toRemove);

// SQL suffix appending entries to a list expression, with the service
// database's concatenation: ";8;9;" -> " || '8;9;'"; blank -> "".
std::string GetAddVisibilitySQL(const std::string& toAdd);

// One node's list from a node table. `tableAndKey` is the node table and its
// key column, as GetTreeTableAndKey gives them (one of the four node tables).
// No row: error 1006. Label
// "HXSvcTroubleshooting.TSUtilities.GetNOdeVisibilitiesFromDB".
std::string GetNOdeVisibilitiesFromDB(const TableAndKey& tableAndKey, int32_t treeId, int32_t nodeId);
std::string GetNOdeVisibilitiesFromDB(const std::string& table, const std::string& keyColumn, int32_t treeId,
                                      int32_t nodeId);

// The product's description from the catalog's product class.
// Label "HXSvcTroubleshooting.TSUtilities.GetProductDesc".
std::string GetProductDesc(int32_t productId);

// The product's category identifiers (keys, in ascending order; items
// empty), from the catalog's product class.
StringDict GetProductCategoriesForProduct(int32_t productId);

// ";" followed by each category identifier and ";" (";" for none).
std::string GetProductCategoryList(int32_t productId);

// The visibilities granted through the product's categories, as a list
// (";" for none). Label "HXSvcTroubleshooting.TSUtillities.GetVisibilitiesofProduct".
std::string GetVisibilitiesofProduct(int32_t productId);

}  // namespace tsa::storage
