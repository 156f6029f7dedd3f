// Not built yet: each member raises until its turn comes.
#include "authoring/tsdom.h"

namespace tsa {

namespace {
[[noreturn]] void NotYet(const char* member) {
  Raise(err::MethodNotSupported, {}, std::string("TSDOM.") + member + " is not implemented yet");
}
}  // namespace

void TSDOM::AddTemplateToNode(int32_t, int32_t, int32_t, int32_t, std::string, std::string, int32_t&) { NotYet("AddTemplateToNode"); }

int32_t TSDOM::CreateNewTemplateInfo(std::string, std::string, int32_t) { NotYet("CreateNewTemplateInfo"); }

void TSDOM::UpdateTemplateInfo(int32_t, std::string, std::string, int32_t) { NotYet("UpdateTemplateInfo"); }

void TSDOM::deleteTemplateInfo(int32_t&, std::string&) { NotYet("deleteTemplateInfo"); }

}  // namespace tsa
