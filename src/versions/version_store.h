// Published versions: every publication of a tree is kept as a numbered
// version (1, 2, ...), with its rows and document compressed, who published
// it (the acting login of the current caller; "" without one), when (UTC,
// ISO 8601), the comment and whether findings of severity "error" were
// overridden. The newest version is the published copy itself.
//
// A tree published before it had any version (born published by
// CreateEmptyTree, or published by an engine without versions) first gets
// the copy being replaced kept as a version without a publisher or time, so
// every publication keeps what it replaces.
//
// After each publication only the newest `[versions] keep` versions of the
// tree are kept (Settings::versionsKept, default 50; 0 turns versions off);
// numbers are never reused. Everything runs in the caller's transaction, through bound
// parameters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "repository/unused_entities.h"
#include "versions/tree_copy.h"

namespace tsa::versions {

struct PublicationNote {
  std::string comment;
  bool forced = false;
};

struct VersionInfo {
  int32_t version = 0;
  std::string publishedBy;
  std::string publishedAt;
  std::string comment;
  bool forced = false;
};

// Publishing, step 1, before the working rows replace the published ones:
// keeps the published copy when the tree has no version yet.
void KeepUnversionedCopy(int32_t treeType, int32_t id);
// Publishing, step 2, after the rows were replaced: keeps the published
// rows with `document` (the markup being published) as the next version,
// then prunes.
void RecordPublication(int32_t treeType, int32_t id, const std::string& document, const PublicationNote& note);

// The tree's versions, newest first.
std::vector<VersionInfo> ListVersions(int32_t treeType, int32_t id);
// A version's rows and document; 1400 when the tree has no such version.
TreeCopy LoadVersion(int32_t treeType, int32_t id, int32_t version);
// Forgets every version of a tree (the tree is deleted).
void ForgetVersions(int32_t treeType, int32_t id);

// Records what the versions kept before their entities were recorded show
// (see TREEVERSIONENTITIES), through `session`; returns how many it indexed.
int IndexUnindexedVersions(db::Session& session);
// Removes the entities that neither a node nor a kept version shows (see
// tsa::RemoveUnusedEntities); a restored version finds its own entities.
UnusedEntities RemoveUnusedEntities(bool dryRun, int waitSeconds = 30);

}  // namespace tsa::versions
