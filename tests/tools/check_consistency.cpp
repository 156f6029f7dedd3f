// Checks that the rows and the documents of every tree in a data folder
// agree (both copies of each tree), e.g. after the service was killed in
// the middle of its work and restarted:
//
//   tsa_check_consistency [DATA_DIR]     (default: as tsauthor finds it)
//
// Prints one line per inconsistent copy and exits 1 when there is any.
#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "components/connections.h"
#include "components/value_formatting.h"
#include "platform/db/connection.h"
#include "runtime/registry.h"
#include "runtime/settings.h"
#include "storage/tree_types.h"
#include "support/consistency.h"

int main(int argc, char** argv) {
  try {
    tsa::SetCurrentSettings(tsa::LoadSettings({}, argc > 1 ? argv[1] : ""));
    tsa::RegisterAllComponents();
    std::set<std::pair<int32_t, int32_t>> trees;
    auto c = tsa::GetHelvixConnection();
    for (int32_t type : {tsa::storage::kProductTree, tsa::storage::kTemplateTree}) {
      for (bool working : {false, true}) {
        auto [table, key] = tsa::storage::GetTreeTableAndKey(type, working);
        auto rs = c->OpenRecordset("SELECT DISTINCT " + key + " AS ID FROM " + table);
        for (; !rs->IsEOF(); rs->MoveNext()) trees.emplace(type, rs->Field("ID").ToInt32());
        rs->Close();
      }
    }
    tsa::CloseConnection(c);
    int bad = 0, copies = 0;
    for (auto [type, id] : trees) {
      for (bool working : {false, true}) {
        auto [table, key] = tsa::storage::GetTreeTableAndKey(type, working);
        auto c2 = tsa::GetHelvixConnection();
        auto rs = c2->OpenRecordset("SELECT COUNT(*) AS N FROM " + table + " WHERE " + key + " = " + std::to_string(id));
        bool present = rs->Field("N").ToInt64() > 0;
        rs->Close();
        tsa::CloseConnection(c2);
        if (!present) continue;
        ++copies;
        ::testing::AssertionResult r = tsa::test::TreeCopyIsConsistent(type, id, working);
        if (!r) {
          ++bad;
          std::printf("%s\n", r.message());
        }
      }
    }
    std::printf("%d tree copies checked, %d inconsistent\n", copies, bad);
    return bad == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tsa_check_consistency: %s\n", e.what());
    return 2;
  }
}
