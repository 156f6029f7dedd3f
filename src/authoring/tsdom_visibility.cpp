// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

void TSDOM::SynchronizeVisibilitiesforTree(int32_t, int32_t, const StringDict&, const StringDict&) { NotYet("SynchronizeVisibilitiesforTree"); }

std::string TSDOM::SearchVisibilityandUpdate(std::string, std::string) { NotYet("SearchVisibilityandUpdate"); }

std::string TSDOM::AppendVisibilityInOrder(std::string, std::string) { NotYet("AppendVisibilityInOrder"); }

void TSDOM::SynchronizeVisibilitiesInXML(int32_t, const StringDict&, const StringDict&) { NotYet("SynchronizeVisibilitiesInXML"); }

void TSDOM::UpdateVisibilitiesForRootNode(int32_t, std::string) { NotYet("UpdateVisibilitiesForRootNode"); }

}  // namespace tsa
