// Registration of every class and platform component of the engine under
// its ProgID.
#include <mutex>

#include "authoring/tsdom.h"
#include "model/node.h"
#include "model/tree.h"
#include "repository/repository.h"
#include "service/catalog.h"
#include "platform/files/document_store.h"
#include "service/configuration.h"
#include "service/file_handling.h"
#include "service/log.h"
#include "service/nonmts_tsdom.h"
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
    RegisterDocumentStoreComponent();
    RegisterFileHandlingComponent();
    // Sibling components of the product family.
    RegisterCatalogComponents();
    RegisterNonMtsComponent();
    // The engine's classes.
    RegisterTSDOMClass();
    RegisterNodeClass();
    RegisterTreeClass();
    RegisterRepositoryClass();
  });
}

}  // namespace tsa
