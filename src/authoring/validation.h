// Argument checks shared by the facade's members. Every public member runs
// them before it writes anything, so a bad argument is refused with an error
// that names it instead of failing half-way through the work.
#pragma once

#include <cstdint>
#include <string_view>

namespace tsa {

// A tree type where a node table is needed: 1 (product tree) or 2
// (template). Anything else raises 1200 naming the argument and the value.
void ValidateTreeType(std::string_view name, int32_t value);

// A user login: not empty, not blanks only, and free of control characters.
// Otherwise raises 1200 naming the argument.
void ValidateUser(std::string_view name, std::string_view value);

// A text that ends up in a tree document (a template's name or comment):
// free of NUL and of the other control characters no document can hold
// (tab, line feed and carriage return are fine). Otherwise raises 1200.
void ValidateDocumentText(std::string_view name, std::string_view value);

// A visibility list a caller passes ("", ";" or ";12;40;7;"); anything else
// raises 1201 naming the argument, the text and what is wrong with it.
void ValidateVisibilities(std::string_view name, std::string_view value);

}  // namespace tsa
