import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { act, cleanup, fireEvent, render, screen, waitFor } from "@testing-library/react";
import { useState } from "react";
import { createMemoryRouter, Outlet, RouterProvider } from "react-router-dom";
import { afterEach, describe, expect, it, vi } from "vitest";
import { rpc } from "../api/client";
import { EngineError, fakeEngine } from "../test/fakeEngine";
import { AuthProvider } from "./AuthContext";
import { RequireAuth } from "./RequireAuth";
import { SignInPage } from "./SignInPage";

afterEach(() => {
  cleanup();
  vi.unstubAllGlobals();
});

let signedIn = true;
function engine() {
  return fakeEngine(
    {
      "TSDOM.SaveNode": () => {
        if (!signedIn) throw new EngineError(1300, "The session has ended: sign in again", 401);
        return null;
      },
    },
    {
      "/auth/me": () => ({ login: "ann", name: "Ann", role: "author", via: "session", csrfToken: "t1" }),
      "/auth/login": () => {
        signedIn = true;
        return { login: "ann", name: "Ann", role: "author", csrfToken: "t2" };
      },
    },
  );
}

function Work() {
  const [text, setText] = useState("");
  const [result, setResult] = useState("");
  return (
    <main>
      <label htmlFor="t">Short text</label>
      <input id="t" value={text} onChange={(e) => setText(e.target.value)} />
      <button type="button" onClick={() => rpc("TSDOM.SaveNode").then(() => setResult("saved"), () => setResult("failed"))}>
        Save
      </button>
      <p>{result}</p>
    </main>
  );
}

function renderAt(path: string) {
  const router = createMemoryRouter(
    [
      {
        element: <AuthProvider><RequireAuthOutlet /></AuthProvider>,
        children: [
          { path: "/signin", element: <SignInPage /> },
          { path: "/edit/1/7", element: <RequireAuth><Work /></RequireAuth> },
        ],
      },
    ],
    { initialEntries: [path] },
  );
  render(
    <QueryClientProvider client={new QueryClient()}>
      <RouterProvider router={router} />
    </QueryClientProvider>,
  );
  return router;
}

function RequireAuthOutlet() {
  return <Outlet />;
}

describe("an ended session", () => {
  it("asks for the password over the page and keeps what was typed", async () => {
    const e = engine();
    renderAt("/edit/1/7");
    const input = await screen.findByLabelText("Short text");
    fireEvent.change(input, { target: { value: "typed before" } });
    signedIn = false;
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Save" })));
    const dialog = await screen.findByRole("dialog", { name: "Your session has ended" });
    expect(screen.getByText("failed")).toBeTruthy();
    fireEvent.change(screen.getByLabelText("Password"), { target: { value: "pw" } });
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Sign in" })));
    await waitFor(() => expect(dialog.isConnected).toBe(false));
    expect((screen.getByLabelText("Short text") as HTMLInputElement).value).toBe("typed before");
    await act(async () => fireEvent.click(screen.getByRole("button", { name: "Save" })));
    expect(await screen.findByText("saved")).toBeTruthy();
    // The new session's CSRF token goes with the retried call.
    const last = e.fetchMock.mock.calls.at(-1)!;
    expect((last[1] as RequestInit & { headers: Record<string, string> }).headers["X-CSRF-Token"]).toBe("t2");
  });

  it("without a session, sends the user to sign-in and back to where they were", async () => {
    fakeEngine({}, {});
    const router = renderAt("/edit/1/7");
    await screen.findByRole("heading", { name: "Sign in to tsauthor" });
    expect(router.state.location.pathname + router.state.location.search).toBe("/signin?next=%2Fedit%2F1%2F7");
  });
});
