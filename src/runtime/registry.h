// Creation of classes and platform components by ProgID.
//
// Every class of the engine and every platform component registers a factory
// under its ProgID; callers create instances through CreateObject, never
// directly, so a test can put a substitute in place for one test.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "runtime/error.h"

namespace tsa {

class DispatchTable;

// Base of everything created by ProgID.
class Component {
 public:
  virtual ~Component() = default;
  // The members reachable by name, or null for a component without any.
  virtual const DispatchTable* Dispatch() const { return nullptr; }
};

using ComponentFactory = std::function<std::shared_ptr<Component>()>;

class Registry {
 public:
  static Registry& Instance();

  // Registers (or replaces) the factory of a ProgID; case is ignored.
  void Register(std::string_view progId, ComponentFactory factory);
  void Unregister(std::string_view progId);
  bool IsRegistered(std::string_view progId) const;
  // Returns the factory registered before, or an empty one.
  ComponentFactory Find(std::string_view progId) const;

  // Creates an instance; error 429 when nothing is registered.
  std::shared_ptr<Component> Create(std::string_view progId) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, ComponentFactory> factories_;
};

// Creates a component by ProgID and asks it for the interface T; error 13
// (type mismatch) when the instance does not implement it.
template <class T>
std::shared_ptr<T> CreateObject(std::string_view progId) {
  auto instance = Registry::Instance().Create(progId);
  auto typed = std::dynamic_pointer_cast<T>(instance);
  if (!typed) {
    Raise(err::TypeMismatch, {}, "The component '" + std::string(progId) + "' does not support the requested interface");
  }
  return typed;
}

// Puts a substitute factory in place for the lifetime of the object and
// restores the previous registration afterwards.
class ScopedRegistration {
 public:
  ScopedRegistration(std::string_view progId, ComponentFactory factory);
  ~ScopedRegistration();
  ScopedRegistration(const ScopedRegistration&) = delete;
  ScopedRegistration& operator=(const ScopedRegistration&) = delete;

 private:
  std::string progId_;
  ComponentFactory previous_;
};

// Registers every class and platform component of the engine. Idempotent.
void RegisterAllComponents();

}  // namespace tsa
