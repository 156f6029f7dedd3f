// A call from outside is one unit of work, also for the classes that run in
// their caller's transaction.
#include <gtest/gtest.h>

#include "platform/files/document_store.h"
#include "server/rpc_client.h"
#include "support/tree_fixture.h"

namespace tsa::server {
namespace {

// The built-in store, except that copying fails.
class CopyFails : public FileDocumentStore {
 public:
  void Copy(const std::string&, const std::string&) override { Raise(err::PermissionDenied, "test", "copy refused"); }
};

class CallAtomicityTest : public test::TreeTest {};

TEST_F(CallAtomicityTest, ACheckOutThatFailsHalfwayLeavesNoHolderAndNoWorkingCopy) {
  test::CreateProductTree(7);
  {
    ScopedRegistration failing(progid::DocumentStore, [] { return std::make_shared<CopyFails>(); });
    EXPECT_THROW(CallLocal("Tree.CheckOut", nlohmann::json::array({1, 7, "ann", ""})), Error);
  }
  EXPECT_FALSE(test::CheckOutHolder(test::kProduct, 7));
  EXPECT_TRUE(test::ReadRows(test::kProduct, 7, true).empty());
  // Once the store works again the check-out goes through whole.
  auto result = CallLocal("Tree.CheckOut", nlohmann::json::array({1, 7, "ann", ""}));
  EXPECT_EQ(result["o_sOwner"], "");
  EXPECT_EQ(test::CheckOutHolder(test::kProduct, 7), "ann");
  EXPECT_EQ(test::ReadRows(test::kProduct, 7, true).size(), 1u);
}

}  // namespace
}  // namespace tsa::server
