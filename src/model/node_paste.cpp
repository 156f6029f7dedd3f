// Node::Paste: a placeholder until subtree paste is built.
#include "model/node.h"

#include "service/error.h"

namespace tsa {

void Node::Paste(Node&, const std::string&, const std::string&) {
  Raise(err::MethodNotSupported, {}, "Node.Paste is not implemented yet");
}

}  // namespace tsa
