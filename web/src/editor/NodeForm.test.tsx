import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { act, cleanup, fireEvent, render, renderHook, screen } from "@testing-library/react";
import { useState } from "react";
import { afterEach, describe, expect, it } from "vitest";
import { ApiError } from "../api/errors";
import type { TreeNode } from "../api/types";
import { useDrafts, type NodeDraft } from "./drafts";
import { countTrees, draftDiffers, draftOf, NodeForm } from "./NodeForm";

const node: TreeNode = {
  id: 4, type: 2, repId: 9, short: "Does it start?", long: "", visibilities: ["1"], faqs: ";", hyperlink: -1, children: [],
};

afterEach(() => {
  cleanup();
  sessionStorage.clear();
});

function Harness({ onSave }: { onSave(d: NodeDraft): Promise<unknown> }) {
  const [draft, setDraft] = useState<NodeDraft | undefined>(undefined);
  return (
    <QueryClientProvider client={new QueryClient()}>
      <NodeForm
        node={node}
        draft={draft}
        onDraft={(d) => setDraft(d ?? undefined)}
        onSave={onSave}
        editable
        canSeeUsage={false}
        catalog={[{ id: "1", name: "Customers" }, { id: "2", name: "Service agents" }]}
        allowed={["1", "2"]}
        places={new Map()}
        onShowNode={() => undefined}
      />
    </QueryClientProvider>
  );
}

describe("NodeForm", () => {
  it("keeps what was typed when the save fails, and says why in plain words", async () => {
    const failing = () => Promise.reject(new ApiError(1011, "checked out by bob"));
    render(<Harness onSave={failing} />);
    fireEvent.change(screen.getByLabelText("Short text"), { target: { value: "Does it switch on?" } });
    fireEvent.click(screen.getByLabelText("Service agents"));
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Save" })));
    expect(screen.getByRole("alert").textContent).toMatch(/Someone else has this tree checked out/);
    expect((screen.getByLabelText("Short text") as HTMLInputElement).value).toBe("Does it switch on?");
    expect((screen.getByLabelText("Service agents") as HTMLInputElement).checked).toBe(true);
  });

  it("offers Save only when something would change", () => {
    render(<Harness onSave={() => Promise.resolve()} />);
    const save = screen.getByRole("button", { name: "Save" }) as HTMLButtonElement;
    expect(save.disabled).toBe(true);
    fireEvent.click(screen.getByLabelText("Use these texts everywhere this text appears"));
    expect(save.disabled).toBe(true);
    fireEvent.change(screen.getByLabelText("Long text"), { target: { value: "Press the power key" } });
    expect(save.disabled).toBe(false);
  });
});

describe("drafts", () => {
  it("compare by content, not by the propagation choices", () => {
    expect(draftDiffers(node, { ...draftOf(node), propagateDown: true })).toBe(false);
    expect(draftDiffers(node, { ...draftOf(node), faqs: ["12"] })).toBe(true);
    expect(draftDiffers(node, { ...draftOf(node), hyperlink: 3 })).toBe(true);
  });

  it("survive a reload of the page for the same login only", () => {
    const scope = { treeType: 1 as const, id: 7, login: "ann" };
    const first = renderHook(() => useDrafts(scope));
    act(() => first.result.current.put(4, { ...draftOf(node), short: "kept" }));
    first.unmount();
    expect(renderHook(() => useDrafts(scope)).result.current.drafts[4]?.short).toBe("kept");
    expect(renderHook(() => useDrafts({ ...scope, login: "bob" })).result.current.count).toBe(0);
  });
});

describe("countTrees", () => {
  it("counts each tree once, whatever the copies and nodes", () => {
    expect(
      countTrees([
        { treeType: 1, id: 7 },
        { treeType: 1, id: 7 },
        { treeType: 2, id: 7 },
        { treeType: 1, id: 8 },
      ]),
    ).toBe(3);
  });
});
