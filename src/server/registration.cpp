// Registration of every class and platform component of the engine under
// its ProgID.
#include <mutex>

#include "accounts/admin_classes.h"
#include "authoring/browse.h"
#include "authoring/tree_exchange.h"
#include "authoring/tsdom.h"
#include "components/catalog.h"
#include "components/file_handling.h"
#include "components/value_formatter.h"
#include "model/node.h"
#include "model/tree.h"
#include "platform/files/document_store.h"
#include "repository/repository.h"
#include "runtime/configuration.h"
#include "runtime/log.h"
#include "runtime/registry.h"
#include "storage/tree_lookups.h"
#include "versions/versions.h"

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
    accounts::RegisterAccountsClasses();
    RegisterVersionsClass();
    RegisterExchangeClass();
    RegisterBrowseClass();
  });
}

}  // namespace tsa
