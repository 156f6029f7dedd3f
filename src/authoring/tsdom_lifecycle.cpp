// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

void TSDOM::CreateEmptyTree(int32_t, int32_t) { NotYet("CreateEmptyTree"); }

void TSDOM::CheckOut(int32_t, int32_t, std::string, std::string&) { NotYet("CheckOut"); }

void TSDOM::Publish(int32_t, int32_t) { NotYet("Publish"); }

void TSDOM::deleteTree(int32_t, int32_t, std::string) { NotYet("deleteTree"); }

void TSDOM::UndoEditTree(int32_t, int32_t, std::string) { NotYet("UndoEditTree"); }

}  // namespace tsa
