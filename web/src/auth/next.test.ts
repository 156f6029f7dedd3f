import { describe, expect, it } from "vitest";
import { safeNext } from "./next";

describe("safeNext", () => {
  it("returns to a page of the app", () => {
    expect(safeNext("/edit/1/7?x=1")).toBe("/edit/1/7?x=1");
  });

  it("never leaves the app or loops back to sign-in", () => {
    for (const bad of [null, "", "https://evil.example/", "//evil.example", "/\\evil.example", "javascript:alert(1)", "/signin?next=/", "/setup?secret=x"]) {
      expect(safeNext(bad)).toBe("/");
    }
  });
});
