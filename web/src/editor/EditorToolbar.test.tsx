import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { cleanup, render, screen } from "@testing-library/react";
import { MemoryRouter } from "react-router-dom";
import { afterEach, describe, expect, it } from "vitest";
import type { Role, TreeDocument } from "../api/types";
import { EditorToolbar } from "./EditorToolbar";
import { HolderBanner } from "./HolderBanner";

afterEach(cleanup);

const doc = (checkedOutBy: string | null): TreeDocument => ({
  treeType: 1, id: 7, view: checkedOutBy === "ann" ? "working" : "published", checkedOutBy,
  checkedOutSince: checkedOutBy ? "2026-12-08T07:00:00Z" : null, topType: null, nodeCount: 1,
  root: { id: 0, type: 0, repId: 0, short: "P", long: "", visibilities: [], faqs: ";", hyperlink: -1, children: [] },
});

function actionsFor(role: Role, holder: string | null): string[] {
  render(
    <QueryClientProvider client={new QueryClient()}>
      <MemoryRouter>
        <EditorToolbar tree={{ treeType: 1, id: 7 }} treeName="P" doc={doc(holder)} me="ann" role={role} unsavedCount={0} onUndone={() => undefined} onShowNode={() => undefined} />
        <HolderBanner doc={doc(holder)} me="ann" role={role} tree={{ treeType: 1, id: 7 }} />
      </MemoryRouter>
    </QueryClientProvider>,
  );
  const names = screen.queryAllByRole("button").map((b) => b.textContent!.trim());
  cleanup();
  return names;
}

describe("tree actions by role and check-out", () => {
  it("lets an author check out a free tree, and undo but not publish their own", () => {
    expect(actionsFor("author", null)).toEqual(["Check out"]);
    expect(actionsFor("author", "ann")).toEqual(["Undo edits", "Check tree"]);
    expect(actionsFor("reader", null)).toEqual([]);
  });

  it("lets a publisher publish any working copy", () => {
    expect(actionsFor("publisher", "ann")).toEqual(["Undo edits", "Publish", "Check tree"]);
    expect(actionsFor("publisher", "bob")).toEqual(["Publish"]);
  });

  it("lets only an admin release somebody else's check-out", () => {
    expect(actionsFor("author", "bob")).toEqual([]);
    expect(actionsFor("admin", "bob")).toEqual(["Publish", "Release check-out"]);
  });

  it("says who holds the tree and since when", () => {
    render(
      <QueryClientProvider client={new QueryClient()}>
        <HolderBanner doc={doc("bob")} me="ann" role="author" tree={{ treeType: 1, id: 7 }} />
      </QueryClientProvider>,
    );
    expect(screen.getByRole("status").textContent).toMatch(/Read only: bob has this tree checked out since .*2026/);
  });
});
