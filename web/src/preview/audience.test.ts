import { describe, expect, it } from "vitest";
import type { TreeNode } from "../api/types";
import { pathTo, seeAlso, seenBy, seenChildren } from "./audience";

// n(id, type, ";1;2;"-style list, hyperlink, children)
function n(id: number, type: number, vis: string, hyperlink: number, children: TreeNode[] = []): TreeNode {
  return {
    id, type: type as TreeNode["type"], repId: id, short: `node ${id}`, long: "",
    visibilities: vis.split(";").filter(Boolean), faqs: ";", hyperlink, children,
  };
}

//  0 root (1,2)
//  ├─ 1 category (1,2)
//  │  ├─ 2 question (2)          hidden from 1
//  │  │  └─ 3 answer (1,2)      hidden from 1 through its parent
//  │  └─ 4 question (1,2) → 3
//  └─ 5 category (1) → 4
const tree = n(0, 0, ";1;2;", -1, [
  n(1, 1, ";1;2;", -1, [n(2, 2, ";2;", -1, [n(3, 3, ";1;2;", -1)]), n(4, 2, ";1;2;", 3)]),
  n(5, 1, ";1;", 4),
]);

describe("what an audience sees", () => {
  it("hides a node whose own list or an ancestor's list leaves the audience out", () => {
    const customers = seenBy(tree, "1");
    expect([...customers.byId.keys()].sort()).toEqual([0, 1, 4, 5]);
    expect(customers.seen).toBe(4);
    expect(customers.total).toBe(6);
    expect(seenChildren(customers, 1).map((c) => c.id)).toEqual([4]);

    const agents = seenBy(tree, "2");
    expect(seenChildren(agents, 0).map((c) => c.id)).toEqual([1]);
    expect(pathTo(agents, 3)).toEqual([0, 1, 2, 3]);
  });

  it("sees nothing when the root is hidden, and everything without an audience", () => {
    expect(seenBy(tree, "3").root).toBeNull();
    expect(seenBy(tree, "3").seen).toBe(0);
    expect(seenBy(tree, null).seen).toBe(6);
  });

  it("offers a hyperlink only when its target is seen", () => {
    const customers = seenBy(tree, "1");
    expect(seeAlso(customers, 5)?.id).toBe(4);
    expect(seeAlso(customers, 4)).toBeNull(); // 3 is hidden from customers
    expect(seeAlso(seenBy(tree, "2"), 4)?.id).toBe(3);
    expect(pathTo(customers, 3)).toBeNull();
  });

  it("walks a very deep tree without exhausting the stack", () => {
    let deep = n(50_000, 4, ";1;", -1);
    for (let id = 49_999; id >= 0; id--) deep = n(id, id === 0 ? 0 : 2, ";1;", -1, [deep]);
    const seen = seenBy(deep, "1");
    expect(seen.seen).toBe(50_001);
    expect(pathTo(seen, 50_000)).toHaveLength(50_001);
  });
});
