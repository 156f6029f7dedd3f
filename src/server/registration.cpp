// Registration of every class and platform component of the engine under
// its ProgID.
#include <mutex>

#include "service/configuration.h"
#include "service/log.h"
#include "service/registry.h"
#include "service/value_formatter.h"

namespace tsa {

void RegisterAllComponents() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Platform components.
    RegisterLogComponent();
    RegisterConfigurationComponent();
    RegisterValueFormatterComponent();
  });
}

}  // namespace tsa
