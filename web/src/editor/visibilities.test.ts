import { describe, expect, it } from "vitest";
import type { Catalog, TemplateRow } from "../api/types";
import { allowedBelow, allowedVisibilities, visibilityChoices } from "./visibilities";

const catalog: Catalog = {
  visibilities: [
    { id: "1", name: "Customers" },
    { id: "2", name: "Service agents" },
    { id: "3", name: "Partners" },
  ],
  categories: [{ id: 10, name: "Printers", visibilities: ["1", "2"] }],
  products: [{ id: 7, description: "Laser printer", categories: [10], visibilities: ["2", "1"] }],
};
const template = (id: number, productCategory: number): TemplateRow => ({ id, name: "t", comment: "", productCategory, tree: null });

describe("allowedVisibilities", () => {
  it("is the product's list for a product tree, none for an unknown product", () => {
    expect(allowedVisibilities(catalog, 1, 7, [])).toEqual(["2", "1"]);
    expect(allowedVisibilities(catalog, 1, 99, [])).toEqual([]);
  });

  it("is the category's list for a template, every audience without a category", () => {
    expect(allowedVisibilities(catalog, 2, 3, [template(3, 10)])).toEqual(["1", "2"]);
    expect(allowedVisibilities(catalog, 2, 4, [template(4, 0)])).toEqual(["1", "2", "3"]);
  });
});

describe("visibilityChoices", () => {
  it("lists allowed audiences in catalog order with their names", () => {
    expect(visibilityChoices(catalog.visibilities, ["2", "1"], [])).toEqual([
      { id: "1", name: "Customers", allowed: true },
      { id: "2", name: "Service agents", allowed: true },
    ]);
  });

  it("keeps an audience the node has but may not use, so it can be taken off", () => {
    const choices = visibilityChoices(catalog.visibilities, ["1"], ["1", "3", "8"]);
    expect(choices.map((c) => [c.id, c.allowed])).toEqual([
      ["1", true],
      ["3", false],
      ["8", false],
    ]);
    expect(choices[2]!.name).toBe("Audience 8 (not allowed here)");
  });
});

describe("allowedBelow", () => {
  it("narrows a node's audiences to its parent's, in the tree's order", () => {
    expect(allowedBelow({ type: 2, visibilities: ["3", "1"] }, ["1", "2", "3"])).toEqual(["1", "3"]);
  });

  it("offers the tree's audiences directly below the top", () => {
    expect(allowedBelow({ type: 0, visibilities: [] }, ["1", "2"])).toEqual(["1", "2"]);
    expect(allowedBelow(undefined, ["1"])).toEqual(["1"]);
  });
});
