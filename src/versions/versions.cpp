#include "versions/versions.h"

#include <charconv>

#include "runtime/context.h"
#include "runtime/dispatch.h"
#include "runtime/dispatch_values.h"
#include "runtime/error.h"
#include "storage/tree_types.h"
#include "versions/tree_diff.h"
#include "versions/version_errors.h"
#include "versions/version_store.h"

namespace tsa {

namespace {

using nlohmann::json;

constexpr const char* kList = "HXSvcTroubleshooting.Versions.List";
constexpr const char* kGet = "HXSvcTroubleshooting.Versions.Get";
constexpr const char* kDiff = "HXSvcTroubleshooting.Versions.Diff";

void ValidateTreeType(int32_t treeType) {
  if (treeType != storage::kProductTree && treeType != storage::kTemplateTree) {
    RaiseInvalidArgument("i_lTreeType", "must be 1 (product tree) or 2 (template), not " + std::to_string(treeType));
  }
}

// A unit of work that votes complete on success and abort on failure.
template <typename Body>
auto Unit(const char* label, Body body) {
  return RunTransactional([&] {
    return Trapped(
        label,
        [&] {
          auto result = body();
          CompleteTransaction();
          return result;
        },
        [] { AbortTransaction(); });
  });
}

versions::TreeCopy NamedCopy(int32_t treeType, int32_t id, const std::string& name, const char* argument) {
  if (name == "published" || name == "working") {
    const bool working = name == "working";
    std::optional<versions::TreeCopy> copy = versions::ReadCopy(treeType, id, working);
    if (!copy) {
      Raise(err::NoSuchCopy, {},
            "Tree " + std::to_string(id) + " of tree type " + std::to_string(treeType) + " has no " + name +
                " copy to compare");
    }
    return *copy;
  }
  int32_t version = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), version);
  if (name.empty() || ec != std::errc() || end != name.data() + name.size() || version < 1) {
    RaiseInvalidArgument(argument, "must be a version number, \"published\" or \"working\"");
  }
  return versions::LoadVersion(treeType, id, version);
}

}  // namespace

json Versions::List(int32_t i_lTreeType, int32_t i_lID) {
  return Unit(kList, [&] {
    ValidateTreeType(i_lTreeType);
    json out = json::array();
    for (const versions::VersionInfo& v : versions::ListVersions(i_lTreeType, i_lID)) {
      out.push_back({{"version", v.version},
                     {"publishedBy", v.publishedBy},
                     {"publishedAt", v.publishedAt},
                     {"comment", v.comment},
                     {"forced", v.forced}});
    }
    return out;
  });
}

std::string Versions::Get(int32_t i_lTreeType, int32_t i_lID, int32_t i_lVersion) {
  return Unit(kGet, [&] {
    ValidateTreeType(i_lTreeType);
    return versions::LoadVersion(i_lTreeType, i_lID, i_lVersion).document;
  });
}

json Versions::Diff(int32_t i_lTreeType, int32_t i_lID, const std::string& i_sFrom, const std::string& i_sTo) {
  return Unit(kDiff, [&] {
    ValidateTreeType(i_lTreeType);
    const versions::TreeCopy from = NamedCopy(i_lTreeType, i_lID, i_sFrom, "i_sFrom");
    const versions::TreeCopy to = NamedCopy(i_lTreeType, i_lID, i_sTo, "i_sTo");
    return versions::DiffCopies(from, to);
  });
}

const DispatchTable* Versions::Dispatch() const {
  static const DispatchTable table = [] {
    DispatchTable t;
    t.Add(Bind<&Versions::List>(
        "List", {"i_lTreeType", "i_lID"},
        "The tree's published versions, newest first: version, publishedBy, publishedAt, comment, forced."));
    t.Add(
        Bind<&Versions::Get>("Get", {"i_lTreeType", "i_lID", "i_lVersion"}, "The document of one published version."));
    t.Add(Bind<&Versions::Diff>(
        "Diff", {"i_lTreeType", "i_lID", "i_sFrom", "i_sTo"},
        "The changes node by node between two copies: a version number, \"published\" or \"working\"."));
    t.Add(Bind<&Versions::Restore>("Restore", {"i_lTreeType", "i_lID", "i_lVersion", "i_sUserId"},
                                   "Makes a published version the working copy of the user, who holds the check-out."));
    return t;
  }();
  return &table;
}

void RegisterVersionsClass() {
  Registry::Instance().Register(kVersionsProgId, [] { return std::make_shared<Versions>(); });
}

}  // namespace tsa
