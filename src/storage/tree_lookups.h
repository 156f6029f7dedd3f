// "HXSvcTroubleShootingNonMTS.TSDOM": template names and comments, and
// whether a tree exists, read outside any transaction.
//
// It reads on a connection of its own in autocommit mode, also when called
// inside a transaction context, so it sees what other transactions have
// committed and never the caller's uncommitted rows.
#pragma once

#include <cstdint>

#include "runtime/components.h"
#include "runtime/dictionary.h"

namespace tsa {

class INonMtsTSDOM : public Component {
 public:
  // "Name" and "Comment" of the template's TEMPLATEINFO row (null columns
  // read as ""); error 1211 when the template has no row.
  virtual StringDict getTemplateInfo(int32_t templateId) = 0;
  // True when the tree has rows in its published or working-copy table
  // (tree type 1: DIAGNOSTICS, DIAGNOSTICS_TEMP; 2: TEMPLATE, TEMPLATE_TEMP);
  // false for any other tree type.
  virtual bool TreeExists(int32_t id, int32_t treeType) = 0;
};

class NonMtsTSDOM : public INonMtsTSDOM {
 public:
  StringDict getTemplateInfo(int32_t templateId) override;
  bool TreeExists(int32_t id, int32_t treeType) override;
  // Members by name: getTemplateInfo(templateId) -> {"Name", "Comment"},
  // TreeExists(id, treeType) -> Boolean.
  const DispatchTable* Dispatch() const override;
};

// Registers "HXSvcTroubleShootingNonMTS.TSDOM".
void RegisterNonMtsComponent();

}  // namespace tsa
