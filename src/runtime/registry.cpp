#include "runtime/registry.h"

#include <algorithm>
#include <cctype>

namespace tsa {

namespace {
std::string Key(std::string_view progId) {
  std::string k(progId);
  std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return std::tolower(c); });
  return k;
}
}  // namespace

Registry& Registry::Instance() {
  static Registry registry;
  return registry;
}

void Registry::Register(std::string_view progId, ComponentFactory factory) {
  std::lock_guard lock(mutex_);
  factories_[Key(progId)] = std::move(factory);
}

void Registry::Unregister(std::string_view progId) {
  std::lock_guard lock(mutex_);
  factories_.erase(Key(progId));
}

bool Registry::IsRegistered(std::string_view progId) const {
  std::lock_guard lock(mutex_);
  return factories_.count(Key(progId)) != 0;
}

ComponentFactory Registry::Find(std::string_view progId) const {
  std::lock_guard lock(mutex_);
  auto it = factories_.find(Key(progId));
  return it == factories_.end() ? ComponentFactory{} : it->second;
}

std::shared_ptr<Component> Registry::Create(std::string_view progId) const {
  ComponentFactory factory = Find(progId);
  if (!factory) {
    Raise(err::CannotCreateObject, {}, "Cannot create object: no class is registered as '" + std::string(progId) + "'");
  }
  auto instance = factory();
  if (!instance) {
    Raise(err::CannotCreateObject, {}, "Cannot create object: the factory of '" + std::string(progId) + "' gave nothing");
  }
  return instance;
}

ScopedRegistration::ScopedRegistration(std::string_view progId, ComponentFactory factory)
    : progId_(progId), previous_(Registry::Instance().Find(progId)) {
  Registry::Instance().Register(progId, std::move(factory));
}

ScopedRegistration::~ScopedRegistration() {
  if (previous_) {
    Registry::Instance().Register(progId_, std::move(previous_));
  } else {
    Registry::Instance().Unregister(progId_);
  }
}

}  // namespace tsa
