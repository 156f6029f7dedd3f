import { describe, expect, it } from "vitest";
import type { TreeDocument, TreeNode } from "../api/types";
import { allowedChildTypes, buildModel, isWithin, planMove } from "./treeModel";

function node(id: number, type: TreeNode["type"], children: TreeNode[] = [], short = `n${id}`): TreeNode {
  return { id, type, repId: id, short, long: "", visibilities: ["1"], faqs: ";", hyperlink: -1, children };
}

function doc(root: TreeNode): TreeDocument {
  return { treeType: 1, id: 7, view: "working", checkedOutBy: "ann", checkedOutSince: null, topType: null, nodeCount: 0, root };
}

describe("buildModel", () => {
  const tree = doc(node(0, 0, [node(1, 1, [node(3, 2, [node(5, 3)]), node(4, 2)]), node(2, 1)], "Laser printer"));
  const model = buildModel(tree);

  it("keeps the order of children and marks childless nodes as leaves", () => {
    const root = model.data[0]!;
    expect(root.children!.map((c) => c.nodeId)).toEqual([1, 2]);
    expect(root.children![0]!.children!.map((c) => c.nodeId)).toEqual([3, 4]);
    expect(root.children![1]!.children).toBeNull();
    expect(root.children![0]!.children![0]!.children![0]!.children).toBeNull();
  });

  it("records each node's parent, position and the size of its subtree", () => {
    expect(model.places.get(0)).toMatchObject({ parentId: null, subtreeSize: 6 });
    expect(model.places.get(1)).toMatchObject({ parentId: 0, index: 0, siblingCount: 2, subtreeSize: 4 });
    expect(model.places.get(4)).toMatchObject({ parentId: 1, index: 1, siblingCount: 2, subtreeSize: 1 });
    expect(model.places.get(3)!.subtreeSize).toBe(2);
  });

  it("labels nodes without text by their type", () => {
    const m = buildModel(doc(node(0, 0, [node(1, 1, [], "  ")], "P")));
    expect(m.data[0]!.children![0]!.label).toBe("(troubleshooting category without text)");
  });

  it("handles a tree deeper than the call stack would allow", () => {
    let leaf = node(20000, 4);
    for (let id = 19999; id >= 1; id--) leaf = node(id, 2, [leaf]);
    const m = buildModel(doc(node(0, 0, [leaf])));
    expect(m.places.size).toBe(20001);
    expect(m.places.get(0)!.subtreeSize).toBe(20001);
    expect(isWithin(m.places, 20000, 1)).toBe(true);
  });

  it("tells whether a node lies inside another's subtree", () => {
    expect(isWithin(model.places, 5, 1)).toBe(true);
    expect(isWithin(model.places, 1, 1)).toBe(true);
    expect(isWithin(model.places, 2, 1)).toBe(false);
    expect(isWithin(model.places, 1, 5)).toBe(false);
  });
});

describe("allowedChildTypes", () => {
  it("offers only categories below a product's root", () => {
    expect(allowedChildTypes(0, 1, null)).toEqual([1]);
  });

  it("offers questions, answers and actions below any other node, categories included", () => {
    for (const parent of [1, 2, 3, 4] as const) {
      expect(allowedChildTypes(parent, 1, null)).toEqual([2, 3, 4]);
      expect(allowedChildTypes(parent, 2, 1)).toEqual([2, 3, 4]);
    }
  });

  it("below a template's root follows what its top level already holds", () => {
    expect(allowedChildTypes(0, 2, 10)).toEqual([1, 2, 3, 4]);
    expect(allowedChildTypes(0, 2, null)).toEqual([1, 2, 3, 4]);
    expect(allowedChildTypes(0, 2, 1)).toEqual([1]);
    expect(allowedChildTypes(0, 2, 3)).toEqual([2, 3, 4]);
  });
});

describe("planMove", () => {
  it("turns a drop above the node into moves up", () => {
    expect(planMove(3, 0)).toEqual({ direction: "up", steps: 3 });
    expect(planMove(1, 0)).toEqual({ direction: "up", steps: 1 });
  });

  it("counts a drop below the node with the node still in its old place", () => {
    // Dropping node 0 between the siblings at 2 and 3 puts it at position 2.
    expect(planMove(0, 3)).toEqual({ direction: "down", steps: 2 });
    expect(planMove(0, 2)).toEqual({ direction: "down", steps: 1 });
  });

  it("does nothing for a drop on the node's own place", () => {
    expect(planMove(2, 2)).toBeNull();
    expect(planMove(2, 3)).toBeNull();
  });
});
