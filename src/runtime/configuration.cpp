#include "runtime/configuration.h"

#include "runtime/settings.h"

namespace tsa {

void Configuration::SelectSection(const std::string& section, int32_t) { section_ = section; }

std::string Configuration::GetConnectionString(const std::string& name) {
  const Settings& s = CurrentSettings();
  auto sec = s.connections.find(section_);
  if (sec != s.connections.end()) {
    auto c = sec->second.find(name);
    if (c != sec->second.end()) return c->second;
  }
  Raise(err::InvalidArgument, "Korventa.Configuration",
        "No connection '" + name + "' in configuration section '" + section_ + "'");
}

std::string Configuration::getInstallDir() { return CurrentSettings().installDir; }

void RegisterConfigurationComponent() {
  Registry::Instance().Register(progid::Configuration, [] { return std::make_shared<Configuration>(); });
}

}  // namespace tsa
