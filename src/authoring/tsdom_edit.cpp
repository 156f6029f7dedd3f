// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

int32_t TSDOM::AddChildNew(int32_t, int32_t, int32_t, int32_t, std::string, std::string, std::string, std::string, int32_t, std::string) { NotYet("AddChildNew"); }

int32_t TSDOM::AddChildFromRep(int32_t, int32_t, int32_t, int32_t, int32_t, std::string, std::string, int32_t, std::string) { NotYet("AddChildFromRep"); }

void TSDOM::SaveNode(int32_t, int32_t, int32_t, int32_t, std::string, std::string, bool, std::string, bool, std::string, int32_t, std::string) { NotYet("SaveNode"); }

int32_t TSDOM::DeleteNode(int32_t, int32_t, int32_t, std::string) { NotYet("DeleteNode"); }

void TSDOM::MoveNode(int32_t, int32_t, int32_t, int32_t, std::string) { NotYet("MoveNode"); }

}  // namespace tsa
