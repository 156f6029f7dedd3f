import { describe, expect, it } from "vitest";
import type { TreeSummary } from "../api/types";
import { describeState, matchesState, matchesText } from "./filters";

const held = (by: string): TreeSummary => ({ nodes: 34, checkedOutBy: by, checkedOutSince: null, workingNodes: 36 });
const published: TreeSummary = { nodes: 1, checkedOutBy: null, checkedOutSince: null, workingNodes: null };

describe("home filters", () => {
  it("sorts rows by the state of their tree", () => {
    const rows = [null, published, held("ann"), held("bob")];
    const pick = (f: Parameters<typeof matchesState>[1]) => rows.map((r) => matchesState(r, f, "ann"));
    expect(pick("all")).toEqual([true, true, true, true]);
    expect(pick("none")).toEqual([true, false, false, false]);
    expect(pick("published")).toEqual([false, true, false, false]);
    expect(pick("checkedOut")).toEqual([false, false, true, true]);
    expect(pick("mine")).toEqual([false, false, true, false]);
  });

  it("searches case-blind over every text shown, numbers included", () => {
    expect(matchesText("laser", "Laser printer", 7)).toBe(true);
    expect(matchesText(" 7 ", "Laser printer", 7)).toBe(true);
    expect(matchesText("scanner", "Laser printer", 7, null)).toBe(false);
    expect(matchesText("", "anything")).toBe(true);
  });

  it("describes a tree's state in a sentence", () => {
    expect(describeState(null, "ann")).toBe("No tree yet");
    expect(describeState(published, "ann")).toBe("Published, 1 node");
    expect(describeState(held("ann"), "ann")).toBe("Checked out by you (34 nodes published; 36 in the working copy)");
    expect(describeState(held("bob"), "ann")).toMatch(/^Checked out by bob/);
  });
});
