// Repository entities: the texts (short and long description) that nodes
// show, one table per repository type.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime/dictionary.h"
#include "runtime/registry.h"

namespace tsa {

class Repository : public Component {
 public:
  int32_t AddRepEntity(int32_t i_lRepType, const std::string& i_sSDesc, const std::string& i_sLDesc);
  // "NAME" and "DETAIL" of an entity; 1012 when there is none.
  StringDict getRepEntityDetails(int32_t i_lRepType, int32_t i_lRepID);
  void UpdateRepEntityOnlyDB(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sSDesc,
                             const std::string& i_sLDesc);
  // Updates the entity and the texts shown in every document.
  void UpdateRepEntity(int32_t i_lRepType, int32_t i_lRepID, const std::string& i_sSDesc, const std::string& i_sLDesc);
  // Deletes an entity that no node uses; 1013 when one does.
  bool DeleteRepEntity(int32_t i_lRepType, int32_t i_lRepID);
  // Every node of every tree and template, published and working copies,
  // that shows the entity, one page at a time (see repository/where_used.cpp).
  nlohmann::json WhereUsed(int32_t i_lRepType, int32_t i_lRepID, int32_t i_lOffset, int32_t i_lLimit);

  const DispatchTable* Dispatch() const override;
};

using RepositoryPtr = std::shared_ptr<Repository>;

// Creates a Repository by its ProgID.
RepositoryPtr CreateRepositoryObject();

void RegisterRepositoryClass();

}  // namespace tsa
