// The tree as the side panel shows it, and the rules the editor applies before
// it calls the engine (which child types a node takes, how a drop becomes moves).
import type { NodeType, TreeDocument, TreeNode, TreeType } from "../api/types";

export const TYPE_NAMES: Record<NodeType, string> = {
  0: "Top of the tree",
  1: "Troubleshooting category",
  2: "Question",
  3: "Answer",
  4: "Action",
};

/** A row of the side panel; `id` is the node id as text (the panel's key). */
export interface PanelNode {
  id: string;
  nodeId: number;
  type: NodeType;
  label: string;
  visibilities: string[];
  hyperlink: number;
  /** null for a node without children, so the panel shows no toggle. */
  children: PanelNode[] | null;
}

/** Where a node stands, for the actions that need its neighbours. */
export interface NodePlace {
  node: TreeNode;
  parentId: number | null;
  /** Position among its siblings, from 0. */
  index: number;
  siblingCount: number;
  /** The node and everything below it. */
  subtreeSize: number;
}

export interface TreeModel {
  data: PanelNode[];
  places: Map<number, NodePlace>;
}

export function nodeLabel(node: TreeNode): string {
  const text = node.short.trim();
  if (text) return text;
  return node.type === 0 ? "(tree)" : `(${TYPE_NAMES[node.type].toLowerCase()} without text)`;
}

/**
 * Maps the engine's tree to the panel's rows and an index of every node's place.
 * Iterative, so deep trees do not exhaust the stack.
 */
export function buildModel(doc: TreeDocument): TreeModel {
  const places = new Map<number, NodePlace>();
  const toPanel = (n: TreeNode): PanelNode => ({
    id: String(n.id),
    nodeId: n.id,
    type: n.type,
    label: nodeLabel(n),
    visibilities: n.visibilities,
    hyperlink: n.hyperlink,
    children: n.children.length ? [] : null,
  });
  const rootPanel = toPanel(doc.root);
  places.set(doc.root.id, { node: doc.root, parentId: null, index: 0, siblingCount: 1, subtreeSize: 1 });

  // Depth-first, children in order; the order list lets subtree sizes be summed bottom-up afterwards.
  const order: TreeNode[] = [];
  const stack: Array<{ node: TreeNode; panel: PanelNode }> = [{ node: doc.root, panel: rootPanel }];
  while (stack.length) {
    const { node, panel } = stack.pop()!;
    order.push(node);
    node.children.forEach((child, index) => {
      const childPanel = toPanel(child);
      panel.children!.push(childPanel);
      places.set(child.id, {
        node: child,
        parentId: node.id,
        index,
        siblingCount: node.children.length,
        subtreeSize: 1,
      });
    });
    for (let i = node.children.length - 1; i >= 0; i--) {
      stack.push({ node: node.children[i]!, panel: panel.children![i]! });
    }
  }
  for (let i = order.length - 1; i >= 0; i--) {
    const place = places.get(order[i]!.id)!;
    if (place.parentId !== null) places.get(place.parentId)!.subtreeSize += place.subtreeSize;
  }
  return { data: [rootPanel], places };
}

/**
 * The node types that may be added below a node: categories only directly below
 * a product's root; below a template's root what its top level already holds
 * (anything while it is empty); questions, answers and actions everywhere else.
 */
export function allowedChildTypes(parentType: NodeType, treeType: TreeType, topType: number | null): NodeType[] {
  if (parentType !== 0) return [2, 3, 4];
  if (treeType === 1) return [1];
  if (topType === null || topType === 10) return [1, 2, 3, 4];
  if (topType === 1) return [1];
  return [2, 3, 4];
}

/** True when `nodeId` is `ancestorId` or lies below it. */
export function isWithin(places: Map<number, NodePlace>, nodeId: number, ancestorId: number): boolean {
  let current: number | null = nodeId;
  while (current !== null) {
    if (current === ancestorId) return true;
    current = places.get(current)?.parentId ?? null;
  }
  return false;
}

export interface MovePlan {
  direction: "up" | "down";
  steps: number;
}

/**
 * A drop among siblings as one-place moves. `dropIndex` is where the panel
 * would insert the node, counted with the node still in its old place.
 */
export function planMove(fromIndex: number, dropIndex: number): MovePlan | null {
  if (dropIndex < fromIndex) return { direction: "up", steps: fromIndex - dropIndex };
  const to = dropIndex - 1;
  if (to > fromIndex) return { direction: "down", steps: to - fromIndex };
  return null;
}

/** The nodes a hyperlink may point at: every node of the tree but the root and the node itself. */
export function linkTargets(places: Map<number, NodePlace>, self: number): TreeNode[] {
  const result: TreeNode[] = [];
  for (const [id, place] of places) if (id !== self && place.parentId !== null) result.push(place.node);
  return result;
}
