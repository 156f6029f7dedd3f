// What one audience sees of a tree, and where a customer stands while walking it.
//
// A node is seen by an audience when its own visibility list names the
// audience and so does every ancestor's: hiding a node hides its subtree,
// whatever the subtree's lists say. The model is built once per (tree,
// audience) and answers lookups by node id; components only render it.
import type { TreeNode } from "../api/types";

export interface SeenTree {
  /** The root as the audience sees it, or null when the root is hidden from it. */
  root: TreeNode | null;
  /** Every node the audience sees, by id, with its parent's id (-1 for the root). */
  byId: Map<number, { node: TreeNode; parent: number }>;
  /** How many nodes of the whole tree (root included) the audience sees. */
  seen: number;
  /** How many nodes the tree has (root included). */
  total: number;
}

/** `null` as the audience means every node, whatever its list (the author's view). */
export function seenBy(root: TreeNode, audience: string | null): SeenTree {
  const byId = new Map<number, { node: TreeNode; parent: number }>();
  let total = 0;
  // Iterative so that a deep tree cannot exhaust the stack.
  const stack: { node: TreeNode; parent: number; visible: boolean }[] = [
    { node: root, parent: -1, visible: true },
  ];
  while (stack.length > 0) {
    const { node, parent, visible } = stack.pop()!;
    total++;
    const mine = visible && (audience === null || node.visibilities.includes(audience));
    if (mine) byId.set(node.id, { node, parent });
    for (let i = node.children.length - 1; i >= 0; i--)
      stack.push({ node: node.children[i]!, parent: node.id, visible: mine });
  }
  return { root: byId.has(root.id) ? root : null, byId, seen: byId.size, total };
}

/** The children of a seen node that the audience sees too, in their order. */
export function seenChildren(tree: SeenTree, id: number): TreeNode[] {
  const entry = tree.byId.get(id);
  if (!entry) return [];
  return entry.node.children.filter((c) => tree.byId.has(c.id));
}

/** The ids from the root down to `id`, or null when the audience does not see `id`. */
export function pathTo(tree: SeenTree, id: number): number[] | null {
  if (!tree.byId.has(id)) return null;
  const path: number[] = [];
  for (let at = id; at !== -1; at = tree.byId.get(at)!.parent) path.push(at);
  return path.reverse();
}

/**
 * The node a "see also" link of `id` leads to: its hyperlink target when the
 * audience sees it, else null (a customer never learns of a hidden node).
 */
export function seeAlso(tree: SeenTree, id: number): TreeNode | null {
  const node = tree.byId.get(id)?.node;
  if (!node || node.hyperlink < 0 || node.hyperlink === id) return null;
  return tree.byId.get(node.hyperlink)?.node ?? null;
}

/** The FAQ identifiers of a node's list (";3;5;" → ["3","5"]). */
export function faqIds(faqs: string): string[] {
  return faqs.split(";").map((s) => s.trim()).filter((s) => s !== "");
}
