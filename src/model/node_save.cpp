// Node::save: a placeholder until node saving is built.
#include "model/node.h"

#include "service/error.h"

namespace tsa {

bool Node::save(int32_t, const std::string&, const std::string&, bool, const std::string&, bool, const std::string&,
                int32_t) {
  Raise(err::MethodNotSupported, {}, "Node.save is not implemented yet");
}

}  // namespace tsa
