#include "authoring/validation.h"

#include <optional>
#include <string>

#include "runtime/error.h"
#include "runtime/xml_chars.h"
#include "storage/tree_types.h"
#include "storage/visibility.h"
#include "storage/xml.h"

namespace tsa {

void ValidateTreeType(std::string_view name, int32_t value) {
  if (value == storage::kProductTree || value == storage::kTemplateTree) return;
  RaiseInvalidArgument(name, "must be 1 (product tree) or 2 (template), got " + std::to_string(value));
}

void ValidateUser(std::string_view name, std::string_view value) {
  if (value.find_first_not_of(" \t") == std::string_view::npos) {
    RaiseInvalidArgument(name, "a user login must not be empty");
  }
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) RaiseInvalidArgument(name, "a user login must not hold control characters");
  }
}

void ValidateDocumentText(std::string_view name, std::string_view value) {
  if (value.find('\0') != std::string_view::npos) RaiseInvalidArgument(name, "the text holds a NUL character");
  if (std::optional<XmlCharFault> fault = FindCharacterXmlCannotHold(value)) {
    RaiseInvalidArgument(name, "the text " + DescribeXmlCharFault(*fault));
  }
}

void ValidateVisibilities(std::string_view name, std::string_view value) {
  storage::ValidateVisibilityList(name, value);
}

}  // namespace tsa
