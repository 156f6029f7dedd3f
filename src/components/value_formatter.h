// The value-formatting component: SQL literals for the dialect of the
// service database.
#pragma once

#include "platform/db/dialect.h"
#include "runtime/components.h"

namespace tsa {

class ValueFormatter : public IValueFormatter {
 public:
  explicit ValueFormatter(const db::Dialect& dialect) : dialect_(dialect) {}
  std::string FormatNumber(int32_t value) override;
  std::string FormatText(const std::string& value) override;
  std::string FormatValue(const std::string& value) override;
  std::string FormatLikePattern(const std::string& pattern) override;

 private:
  const db::Dialect& dialect_;
};

void RegisterValueFormatterComponent();

}  // namespace tsa
