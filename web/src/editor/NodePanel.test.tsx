import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { act, cleanup, fireEvent, render, screen, waitFor, within } from "@testing-library/react";
import { useMemo, useState } from "react";
import { afterEach, describe, expect, it, vi } from "vitest";
import type { TreeDocument, TreeNode } from "../api/types";
import { fakeEngine } from "../test/fakeEngine";
import { ClipboardProvider } from "./clipboard";
import { NodePanel } from "./NodePanel";
import { buildModel } from "./treeModel";
import { useTreeActions } from "./useTreeActions";

const n = (id: number, type: TreeNode["type"], children: TreeNode[] = [], visibilities = ["1", "2"]): TreeNode => ({
  id, type, repId: id ? 100 + id : 0, short: `Node ${id}`, long: "", visibilities, faqs: ";", hyperlink: -1, children,
});
// 0 root ─ 1 category ─ 2 question ─ 3 answer
//        └ 4 category
const doc: TreeDocument = {
  treeType: 1, id: 7, view: "working", checkedOutBy: "ann", checkedOutSince: null, topType: null, nodeCount: 5,
  root: n(0, 0, [n(1, 1, [n(2, 2, [n(3, 3)])]), n(4, 1)]),
};
const catalog = [
  { id: "1", name: "Customers" },
  { id: "2", name: "Service agents" },
  { id: "3", name: "Partners" },
];

function Harness() {
  const [selected, setSelected] = useState(0);
  const model = useMemo(() => buildModel(doc), []);
  const actions = useTreeActions({ treeType: 1, id: 7 }, model, () => undefined);
  return (
    <>
      {[0, 1, 2, 3, 4].map((id) => (
        <button key={id} type="button" onClick={() => setSelected(id)}>{`select ${id}`}</button>
      ))}
      <NodePanel
        key={selected}
        tree={{ treeType: 1, id: 7 }}
        place={model.places.get(selected)!}
        model={model}
        topType={null}
        editable
        role="author"
        catalog={catalog}
        allowed={["1", "2", "3"]}
        draft={undefined}
        onDraft={() => undefined}
        onSaved={() => undefined}
        onDeleted={() => undefined}
        onShowNode={() => undefined}
        actions={actions}
      />
    </>
  );
}

function renderPanel() {
  render(
    <QueryClientProvider client={new QueryClient({ defaultOptions: { queries: { retry: false } } })}>
      <ClipboardProvider>
        <Harness />
      </ClipboardProvider>
    </QueryClientProvider>,
  );
}

const click = (name: string | RegExp) => act(async () => fireEvent.click(screen.getByRole("button", { name })));

afterEach(() => {
  cleanup();
  vi.unstubAllGlobals();
});

describe("NodePanel", () => {
  it("offers only the child types the rule allows", async () => {
    fakeEngine({ "Repository.WhereUsed": () => ({ total: 1, items: [] }) });
    renderPanel();
    await click("Add child");
    let dialog = screen.getByRole("dialog");
    expect(within(dialog).getAllByRole("radio").map((r) => r.parentElement!.textContent)).toEqual(["Troubleshooting category"]);
    await click("Cancel");
    await click("select 2");
    await click("Add child");
    dialog = screen.getByRole("dialog");
    expect(within(dialog).getAllByRole("radio").map((r) => r.parentElement!.textContent)).toEqual(["Question", "Answer", "Action"]);
  });

  it("says how many nodes a delete takes with it", async () => {
    fakeEngine({ "Repository.WhereUsed": () => ({ total: 1, items: [] }) });
    renderPanel();
    await click("select 1");
    await click("Delete");
    expect(screen.getByRole("dialog").textContent).toMatch(/deletes 3 nodes: this troubleshooting category and the 2 nodes below it/);
  });

  it("asks which audiences to add when the destination has more, and pastes with the chosen ones", async () => {
    const engine = fakeEngine({
      "Repository.WhereUsed": () => ({ total: 1, items: [] }),
      "TSDOM.GetVisibilitiesToAdd": () => ";3;",
      "TSDOM.Paste": () => null,
    });
    renderPanel();
    await click("select 2");
    await click("Copy");
    await click("select 4");
    await click("Paste");
    const dialog = await screen.findByRole("dialog", { name: "Paste" });
    await act(async () => fireEvent.click(within(dialog).getByLabelText("Partners")));
    await act(async () => fireEvent.click(within(dialog).getByRole("button", { name: "Paste" })));
    await waitFor(() => expect(engine.methods()).toContain("TSDOM.Paste"));
    const paste = engine.calls.find((c) => c.method === "TSDOM.Paste")!.params;
    expect(paste).toMatchObject({ i_lSrcNodeID: 2, i_lDstNodeID: 4, i_sSelectedVisibToAdd: ";3;" });
    expect(engine.methods()).not.toContain("TSDOM.DeleteNode");
  });

  it("pastes a cut node at once when there is nothing to add, then removes the original", async () => {
    const engine = fakeEngine({
      "Repository.WhereUsed": () => ({ total: 1, items: [] }),
      "TSDOM.GetVisibilitiesToAdd": () => ";",
      "TSDOM.Paste": () => null,
      "TSDOM.DeleteNode": () => 1,
    });
    renderPanel();
    await click("select 2");
    await click("Cut");
    await click("select 4");
    await click("Paste");
    await waitFor(() => expect(engine.methods()).toContain("TSDOM.DeleteNode"));
    expect(screen.queryByRole("dialog")).toBeNull();
    expect(engine.calls.find((c) => c.method === "TSDOM.Paste")!.params.i_sSelectedVisibToAdd).toBe(";");
    expect(engine.calls.find((c) => c.method === "TSDOM.DeleteNode")!.params.i_lNodeID).toBe(2);
    // The clipboard is empty afterwards: a cut node is pasted once.
    expect((screen.getByRole("button", { name: "Paste" }) as HTMLButtonElement).disabled).toBe(true);
  });

  it("keeps Paste off where the node's type may not go, and below a cut node itself", async () => {
    fakeEngine({ "Repository.WhereUsed": () => ({ total: 1, items: [] }) });
    renderPanel();
    await click("select 1");
    await click("Copy");
    await click("select 2");
    expect((screen.getByRole("button", { name: "Paste" }) as HTMLButtonElement).disabled).toBe(true);
    expect(screen.getByRole("status").textContent).toMatch(/troubleshooting category cannot go below this question/);
    await click("Cut");
    await click("select 3");
    expect((screen.getByRole("button", { name: "Paste" }) as HTMLButtonElement).disabled).toBe(true);
    expect(screen.getByRole("status").textContent).toMatch(/cannot be pasted below itself/);
  });
});
