// Interfaces of the platform components and sibling components the engine
// creates by ProgID. Implementations live beside their subsystem and
// register themselves in RegisterAllComponents().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/dictionary.h"
#include "runtime/registry.h"

namespace tsa {

namespace progid {
inline constexpr std::string_view Log = "Korventa.Log";
inline constexpr std::string_view Configuration = "Korventa.Configuration";
inline constexpr std::string_view ValueFormatter = "HXSvcCommonMTS.SqlFormatter";
inline constexpr std::string_view FileHandling = "HXSvcCommonMTS.FileHandling";
inline constexpr std::string_view NonMtsTSDOM = "HXSvcTroubleShootingNonMTS.TSDOM";
inline constexpr std::string_view Catalog = "KCatalog.Catalog";
inline constexpr std::string_view CatalogProduct = "KCatalog.Product";
inline constexpr std::string_view Tree = "HXSvcTroubleshooting.Tree";
inline constexpr std::string_view Node = "HXSvcTroubleshooting.Node";
inline constexpr std::string_view Repository = "HXSvcTroubleshooting.Repository";
inline constexpr std::string_view TSDOM = "HXSvcTroubleShooting.TSDOM";
inline constexpr std::string_view DocumentStore = "Korventa.DocumentStore";
}  // namespace progid

// "Korventa.Log": one operation that writes an entry.
class ILog : public Component {
 public:
  virtual void WriteEntry(const std::string& source, const std::string& text, int32_t level) = 0;
};

// "Korventa.Configuration": sections of connection strings and the
// installation directory.
class IConfiguration : public Component {
 public:
  virtual void SelectSection(const std::string& section, int32_t flags) = 0;
  // The connection string of a name in the selected section.
  virtual std::string GetConnectionString(const std::string& name) = 0;
  virtual std::string getInstallDir() = 0;
};

// The value-formatting component: SQL literals for the service database's
// dialect.
class IValueFormatter : public Component {
 public:
  virtual std::string FormatNumber(int32_t value) = 0;                  // decimal text
  virtual std::string FormatText(const std::string& value) = 0;         // complete literal
  virtual std::string FormatValue(const std::string& value) = 0;        // complete literal
  virtual std::string FormatLikePattern(const std::string& pattern) = 0;  // trailing "*" = any
};

// "Korventa.DocumentStore": every operation on a document file. Paths are
// absolute. Inside a transaction context changes are staged and published
// when the context commits (nothing of them when it rolls back), and reads
// see the context's own staged changes; outside one each change takes
// effect at once, atomically. Copy and Move replace the target.
class IDocumentStore : public Component {
 public:
  virtual bool Exists(const std::string& path) = 0;
  virtual std::string Load(const std::string& path) = 0;
  virtual void Save(const std::string& path, const std::string& contents) = 0;
  virtual void Copy(const std::string& source, const std::string& target) = 0;
  virtual void Move(const std::string& source, const std::string& target) = 0;
  virtual void Delete(const std::string& path) = 0;
};

}  // namespace tsa
