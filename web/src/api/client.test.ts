import { afterEach, describe, expect, it, vi } from "vitest";
import { onSessionExpired, rpc, setCsrfToken } from "./client";
import { ApiError } from "./errors";

function answer(status: number, body: unknown) {
  return new Response(JSON.stringify(body), { status, headers: { "Content-Type": "application/json" } });
}

afterEach(() => {
  vi.unstubAllGlobals();
  setCsrfToken(null);
});

describe("rpc", () => {
  it("sends named arguments as JSON-RPC with the CSRF header and returns the result", async () => {
    const fetchMock = vi.fn().mockResolvedValue(answer(200, { jsonrpc: "2.0", id: 1, result: 42 }));
    vi.stubGlobal("fetch", fetchMock);
    setCsrfToken("proof");
    await expect(rpc<number>("TSDOM.AddChildNew", { i_lID: 7 })).resolves.toBe(42);
    const [url, init] = fetchMock.mock.calls[0]!;
    expect(url).toBe("/rpc");
    expect(init.headers["X-CSRF-Token"]).toBe("proof");
    expect(init.headers["Content-Type"]).toBe("application/json");
    expect(init.credentials).toBe("same-origin");
    expect(JSON.parse(init.body)).toMatchObject({ jsonrpc: "2.0", method: "TSDOM.AddChildNew", params: { i_lID: 7 } });
  });

  it("throws the engine's error, also when it comes with HTTP 200", async () => {
    vi.stubGlobal(
      "fetch",
      vi.fn().mockResolvedValue(answer(200, { error: { code: 1005, message: "m", data: { number: 1005, source: "s", description: "d" } } })),
    );
    const e = await rpc("TSDOM.AddChildNew").catch((x: unknown) => x);
    expect(e).toBeInstanceOf(ApiError);
    expect((e as ApiError).number).toBe(1005);
  });

  it("tells the listeners when the session has ended, and only then", async () => {
    const ended = vi.fn();
    const stop = onSessionExpired(ended);
    vi.stubGlobal(
      "fetch",
      vi
        .fn()
        .mockResolvedValueOnce(answer(403, { error: { code: 1301, message: "", data: { number: 1301, source: "", description: "role" } } }))
        .mockResolvedValueOnce(answer(401, { error: { code: 1300, message: "", data: { number: 1300, source: "", description: "ended" } } })),
    );
    await rpc("TSDOM.Publish").catch(() => undefined);
    expect(ended).not.toHaveBeenCalled();
    await rpc("TSDOM.Publish").catch(() => undefined);
    expect(ended).toHaveBeenCalledTimes(1);
    stop();
  });

  it("reports an unreachable service in plain words", async () => {
    vi.stubGlobal("fetch", vi.fn().mockRejectedValue(new TypeError("Failed to fetch")));
    const e = (await rpc("Browse.Catalog").catch((x: unknown) => x)) as ApiError;
    expect(e.number).toBe(0);
    expect(e.message).toMatch(/could not be reached/);
  });
});
