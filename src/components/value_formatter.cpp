#include "components/value_formatter.h"

#include "components/connections.h"
#include "components/value_formatting.h"

namespace tsa {

std::string ValueFormatter::FormatNumber(int32_t value) { return std::to_string(value); }
std::string ValueFormatter::FormatText(const std::string& value) { return dialect_.TextLiteral(value); }
std::string ValueFormatter::FormatValue(const std::string& value) { return dialect_.TextLiteral(value); }
std::string ValueFormatter::FormatLikePattern(const std::string& pattern) { return dialect_.LikePattern(pattern); }

void RegisterValueFormatterComponent() {
  Registry::Instance().Register(progid::ValueFormatter,
                                [] { return std::make_shared<ValueFormatter>(HelvixDialect()); });
}

}  // namespace tsa
