import { describe, expect, it } from "vitest";
import type { TreeDocument, TreeNode } from "../api/types";
import type { ClipboardEntry } from "./clipboard";
import { pasteProblem } from "./paste";
import { allowedChildTypes, buildModel } from "./treeModel";
import { templateMismatch } from "./InsertTemplateDialog";

const n = (id: number, type: TreeNode["type"], children: TreeNode[] = []): TreeNode => ({
  id, type, repId: id, short: `n${id}`, long: "", visibilities: [], faqs: ";", hyperlink: -1, children,
});
const root = n(0, 0, [n(1, 1, [n(2, 2, [n(3, 3)])]), n(4, 1)]);
const doc: TreeDocument = { treeType: 1, id: 7, view: "working", checkedOutBy: "ann", checkedOutSince: null, topType: null, nodeCount: 5, root };
const { places } = buildModel(doc);
const here = { treeType: 1 as const, id: 7 };
const entry = (mode: "cut" | "copy", nodeId: number, type: TreeNode["type"], tree = here): ClipboardEntry => ({
  mode, ...tree, nodeId, type, label: "x", size: 1,
});
const problem = (e: ClipboardEntry, dst: number) => {
  const d = places.get(dst)!.node;
  return pasteProblem(e, here, d, allowedChildTypes(d.type, 1, null), places);
};

describe("pasteProblem", () => {
  it("refuses a type the child-type rule forbids at the destination", () => {
    expect(problem(entry("copy", 2, 2), 0)).toMatch(/question cannot go below/);
    expect(problem(entry("copy", 1, 1), 4)).toMatch(/category cannot go below/);
    expect(problem(entry("copy", 1, 1), 0)).toBeNull();
  });

  it("refuses to paste a cut node into its own subtree, but allows a copy there", () => {
    expect(problem(entry("cut", 2, 2), 3)).toMatch(/below itself/);
    expect(problem(entry("cut", 2, 2), 2)).toMatch(/below itself/);
    expect(problem(entry("copy", 2, 2), 3)).toBeNull();
  });

  it("does not confuse a node of another tree with the same id", () => {
    expect(problem(entry("cut", 2, 2, { treeType: 1, id: 8 }), 3)).toBeNull();
  });

  it("notices a node that has left this tree", () => {
    expect(problem(entry("copy", 99, 2), 4)).toMatch(/no longer in this tree/);
  });
});

describe("templateMismatch", () => {
  it("explains an empty template and a top type the place does not take", () => {
    expect(templateMismatch(10, [1])).toMatch(/empty/);
    expect(templateMismatch(2, [1])).toMatch(/starts with question nodes.*troubleshooting category/);
    expect(templateMismatch(1, [2, 3, 4])).toMatch(/troubleshooting category nodes/);
    expect(templateMismatch(3, [2, 3, 4])).toBeNull();
  });
});
