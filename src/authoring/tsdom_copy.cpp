// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

void TSDOM::createTreeFromTree(int32_t, int32_t, int32_t, int32_t, std::string) { NotYet("createTreeFromTree"); }

}  // namespace tsa
