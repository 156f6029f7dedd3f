// A dictionary that keeps its keys in insertion order, like the platform's
// scripting dictionary. Adding a key that exists is an error (457).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "runtime/error.h"

namespace tsa {

template <class K, class V>
class OrderedDict {
 public:
  void Add(const K& key, V item) {
    if (Exists(key)) Raise(457, {}, "This key is already associated with an element of this collection");
    entries_.emplace_back(key, std::move(item));
  }
  bool Exists(const K& key) const { return Find(key) != nullptr; }
  const V* Find(const K& key) const {
    for (const auto& e : entries_)
      if (e.first == key) return &e.second;
    return nullptr;
  }
  V* Find(const K& key) {
    for (auto& e : entries_)
      if (e.first == key) return &e.second;
    return nullptr;
  }
  // Reading a missing key yields an empty item (and, as with the platform's
  // dictionary, does not fail).
  V Item(const K& key) const {
    const V* v = Find(key);
    return v ? *v : V{};
  }
  V& operator[](const K& key) {
    if (V* v = Find(key)) return *v;
    entries_.emplace_back(key, V{});
    return entries_.back().second;
  }
  void Remove(const K& key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->first == key) {
        entries_.erase(it);
        return;
      }
  }
  size_t Count() const { return entries_.size(); }
  std::vector<K> Keys() const {
    std::vector<K> keys;
    for (const auto& e : entries_) keys.push_back(e.first);
    return keys;
  }
  const std::vector<std::pair<K, V>>& Entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<std::pair<K, V>> entries_;
};

using StringDict = OrderedDict<std::string, std::string>;

}  // namespace tsa
