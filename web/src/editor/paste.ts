import type { TreeRef } from "../api/edit";
import type { NodeType, TreeNode } from "../api/types";
import type { ClipboardEntry } from "./clipboard";
import { isWithin, TYPE_NAMES, type NodePlace } from "./treeModel";

/** Why the clipboard's node cannot be pasted below `dst`, or null when it can. */
export function pasteProblem(
  entry: ClipboardEntry,
  tree: TreeRef,
  dst: TreeNode,
  childTypes: NodeType[],
  places: Map<number, NodePlace>,
): string | null {
  if (!childTypes.includes(entry.type)) {
    return `A ${TYPE_NAMES[entry.type].toLowerCase()} cannot go below this ${TYPE_NAMES[dst.type].toLowerCase()}.`;
  }
  const sameTree = entry.treeType === tree.treeType && entry.id === tree.id;
  if (entry.mode === "cut" && sameTree && places.has(entry.nodeId) && isWithin(places, dst.id, entry.nodeId)) {
    return "A cut node cannot be pasted below itself.";
  }
  if (sameTree && !places.has(entry.nodeId)) return "The node on the clipboard is no longer in this tree.";
  return null;
}
