// The configuration component ("Korventa.Configuration"), answering from the
// process settings.
#pragma once

#include "runtime/components.h"

namespace tsa {

class Configuration : public IConfiguration {
 public:
  void SelectSection(const std::string& section, int32_t flags) override;
  std::string GetConnectionString(const std::string& name) override;
  std::string getInstallDir() override;

 private:
  std::string section_;
};

void RegisterConfigurationComponent();

}  // namespace tsa
