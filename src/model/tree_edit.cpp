// Tree::DeleteNode and Tree::MoveNode: placeholders until node deletion and
// reordering are built.
#include "model/tree.h"

#include "service/error.h"

namespace tsa {

int32_t Tree::DeleteNode(int32_t) { Raise(err::MethodNotSupported, {}, "Tree.DeleteNode is not implemented yet"); }

void Tree::MoveNode(int32_t, int32_t) { Raise(err::MethodNotSupported, {}, "Tree.MoveNode is not implemented yet"); }

}  // namespace tsa
