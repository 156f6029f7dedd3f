import { describe, expect, it } from "vitest";
import { ApiError, errorFromBody, isSessionExpired } from "../api/errors";
import { errorDetails, plainMessage, PlainError } from "./messages";

describe("errorFromBody", () => {
  it("reads a JSON-RPC error with the engine's data", () => {
    const e = errorFromBody(
      { jsonrpc: "2.0", id: 1, error: { code: 1011, message: "m", data: { number: 1011, source: "TSDOM.SaveNode", description: "checked out by bob" } } },
      200,
    );
    expect([e.number, e.source, e.description]).toEqual([1011, "TSDOM.SaveNode", "checked out by bob"]);
  });

  it("reads a sign-in endpoint's error", () => {
    const e = errorFromBody({ error: { status: 404, number: 1308, message: "This setup link is not valid" } }, 404);
    expect([e.number, e.description, e.status]).toEqual([1308, "This setup link is not valid", 404]);
  });

  it("falls back to the HTTP status when the body says nothing", () => {
    const e = errorFromBody(null, 502);
    expect(e.number).toBe(502);
    expect(e.description).toMatch(/502/);
  });
});

describe("plainMessage", () => {
  it("maps the engine's common numbers to sentences", () => {
    expect(plainMessage(new ApiError(1011, "x"))).toMatch(/Someone else has this tree checked out/);
    expect(plainMessage(new ApiError(1005, "x"))).toMatch(/cannot be added here/);
    expect(plainMessage(new ApiError(1301, "x", "", 403))).toMatch(/role does not allow/);
    expect(plainMessage(new ApiError(1403, "x"))).toMatch(/validation errors/);
  });

  it("falls back on the HTTP status, then on a general sentence", () => {
    expect(plainMessage(new ApiError(9999, "x", "", 401))).toMatch(/session has ended/);
    expect(plainMessage(new ApiError(9999, "x", "", 403))).toMatch(/role does not allow/);
    expect(plainMessage(new ApiError(-2147217900, "syntax error"))).toMatch(/database refused/);
    expect(plainMessage(new ApiError(9999, "x", "", 500))).toMatch(/Something went wrong/);
    expect(plainMessage(new TypeError("undefined is not a function"))).toMatch(/Something went wrong/);
  });

  it("keeps the engine's full description for the details", () => {
    expect(errorDetails(new ApiError(1006, "Node 12 not found", "Tree.getNode"))).toBe("Error 1006 from Tree.getNode: Node 12 not found");
    const wrapped = new PlainError("The node was pasted, but…", new ApiError(1003, "not checked out"));
    expect(plainMessage(wrapped)).toBe("The node was pasted, but…");
    expect(errorDetails(wrapped)).toBe("Error 1003: not checked out");
  });

  it("recognises an ended session by number or by status", () => {
    expect(isSessionExpired(new ApiError(1300, ""))).toBe(true);
    expect(isSessionExpired(new ApiError(0, "", "", 401))).toBe(true);
    expect(isSessionExpired(new ApiError(1301, "", "", 403))).toBe(false);
  });
});
