// Repository entities that nothing refers to any longer, and their removal.
//
// An entity (a row of REPTSCATEGORY, REPQUESTION, REPANSWER or REPACTION)
// is referred to by the nodes that show it: rows of the published and
// working copies of product trees and templates. A node saved with new
// texts and without propagation gets an entity of its own and leaves its
// former one behind, used by nothing when no other node shows it: such
// entities accumulate at the rate of those saves (one per save).
//
// RemoveUnusedEntities deletes the entities that nothing refers to, in one
// transaction that first shuts out every other transaction using the
// entity tables (SQLite: the write lock; PostgreSQL: ACCESS EXCLUSIVE locks
// on the four tables, taken without waiting and retried, so that it never
// holds a lock while waiting for one). A transaction that read an entity
// to show it in a new node therefore either finished first (its node is
// seen and the entity kept) or reads after the removal (and finds no
// entity, error 1012), never a node whose entity was removed under it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tsa {

// The SQL condition that holds for the row `alias` of the entity table of
// `repType` while something still refers to it: a node of any copy of any
// tree, or a node of a kept version (TREEVERSIONENTITIES, kept by the
// versions beside each version). The one place that says what keeps an
// entity.
std::string EntityStillReferenced(int32_t repType, const std::string& alias);

struct UnusedEntities {
  struct Table {
    std::string table;
    int32_t repType = 0;
    std::vector<int32_t> ids;  // removed (or, on a dry run, removable)
  };
  std::vector<Table> tables;
  bool dryRun = false;
  int64_t Total() const;
};

namespace db {
class Session;
}

// Finds the entities nothing refers to and, unless `dryRun`, removes them.
// `beforeScan` runs first in the same transaction, with the tables held
// (the versions bring their record of what they show up to date there).
// Raises 1500 when the entity tables stay busy for `waitSeconds`.
UnusedEntities RemoveUnusedEntities(bool dryRun, const std::function<void(db::Session&)>& beforeScan = {},
                                    int waitSeconds = 30);

}  // namespace tsa
