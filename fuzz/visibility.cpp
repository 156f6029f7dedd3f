// Visibility lists as callers send them: the check every member makes, and
// the list operations and SQL expressions on two lists, checked and not.
// The input is the two lists separated by a line feed.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "runtime/settings.h"
#include "storage/visibility.h"

using namespace tsa;

namespace {

bool Valid(const std::string& list) {
  try {
    storage::ValidateVisibilityList("list", list);
    return true;
  } catch (const Error& e) {
    if (e.number() != err::InvalidVisibilityList) fuzz::Finding("a list refused with another number", e.description());
    fuzz::CheckRefusal(e);
    return false;
  }
}

void MustBeList(const std::string& what, const std::string& list) {
  if (!Valid(list)) fuzz::Finding(what + " of two valid lists is not a list", list);
}

// The expression may hold quoted literals anywhere, but outside them only
// the words the engine writes: a caller's text never becomes SQL.
void CheckSql(const std::string& sql) {
  std::string outside;
  for (size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] != '\'') {
      outside += sql[i];
      continue;
    }
    for (++i;; ++i) {
      if (i >= sql.size()) fuzz::Finding("an unclosed literal in SQL", sql);
      if (sql[i] == '\'') {
        if (i + 1 < sql.size() && sql[i + 1] == '\'') {
          ++i;
          continue;
        }
        break;
      }
    }
  }
  for (std::string_view word : {"Replace(", "VISIBILITY", " || ", ",", ")"}) {
    for (size_t at; (at = outside.find(word)) != std::string::npos;) outside.erase(at, word.size());
  }
  if (!outside.empty()) fuzz::Finding("caller text outside SQL literals", sql);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietTheLog();
  // The SQL dialect comes from the service database's address; no file is read.
  Settings s;
  s.connections["Helvix"]["Helvix"] = "sqlite::memory:";
  SetCurrentSettings(s);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  const size_t split = text.find('\n');
  const std::string a(text.substr(0, split));
  const std::string b(split == std::string_view::npos ? std::string_view() : text.substr(split + 1));

  CheckSql(storage::GetRemoveVisibilitySQL(b));
  CheckSql(storage::GetAddVisibilitySQL(b));
  fuzz::Refusable([&] { (void)storage::getDeltaVisibility(a, b); });
  (void)storage::RemoveVisibilities(a, b);
  (void)storage::AppendVisibilities(a, b);

  if (!Valid(a) || !Valid(b)) return 0;
  StringDict delta = storage::getDeltaVisibility(a, b);
  for (const char* key : {"Add", "Remove"}) {
    if (!delta.Exists(key)) fuzz::Finding("a delta without its part", key);
    MustBeList(std::string("the delta's ") + key, delta.Item(key));
  }
  if (!a.empty()) MustBeList("a merge", storage::MergeVisibilities(a, b));
  MustBeList("a removal", storage::RemoveVisibilities(a, b));
  MustBeList("an append", storage::AppendVisibilities(a, b));
  return 0;
}
