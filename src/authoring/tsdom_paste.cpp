// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

void TSDOM::Paste(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, std::string, std::string) { NotYet("Paste"); }

std::string TSDOM::GetVisibilitiesToAdd(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, std::string) { NotYet("GetVisibilitiesToAdd"); }

}  // namespace tsa
