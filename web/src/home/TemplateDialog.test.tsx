import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { act, cleanup, fireEvent, render, screen } from "@testing-library/react";
import { afterEach, describe, expect, it, vi } from "vitest";
import { EngineError, fakeEngine } from "../test/fakeEngine";
import { TemplateDialog } from "./TemplateDialog";

afterEach(() => {
  cleanup();
  vi.unstubAllGlobals();
});

describe("New template", () => {
  it("after a failure part-way, finishes the same template on the next try", async () => {
    let treeTries = 0;
    const engine = fakeEngine({
      "Browse.Catalog": () => ({ visibilities: [], categories: [{ id: 10, name: "Printers", visibilities: [] }], products: [] }),
      "TSDOM.CreateNewTemplateInfo": () => 5,
      "TSDOM.UpdateTemplateInfo": () => null,
      "TSDOM.CreateEmptyTree": () => {
        if (treeTries++ === 0) throw new EngineError(-2147467259, "database busy");
        return null;
      },
      "TSDOM.CheckOut": () => ({ return: null, o_sOwner: "" }),
    });
    const closed = vi.fn();
    render(
      <QueryClientProvider client={new QueryClient()}>
        <TemplateDialog onClose={closed} />
      </QueryClientProvider>,
    );
    fireEvent.change(screen.getByLabelText("Name"), { target: { value: "Paper jam" } });
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Create template" })));
    expect(screen.getByRole("alert").textContent).toMatch(/database refused/);
    expect((screen.getByLabelText("Name") as HTMLInputElement).value).toBe("Paper jam");
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Create template" })));
    expect(closed).toHaveBeenCalled();
    const made = engine.methods().filter((m) => m.startsWith("TSDOM."));
    expect(made).toEqual([
      "TSDOM.CreateNewTemplateInfo",
      "TSDOM.CreateEmptyTree",
      "TSDOM.UpdateTemplateInfo",
      "TSDOM.CreateEmptyTree",
      "TSDOM.CheckOut",
    ]);
  });
});
