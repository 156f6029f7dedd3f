// A stand-in for the service in unit tests: answers /rpc calls by method name
// and records every call with its arguments.
import { vi } from "vitest";

export type Handler = (params: Record<string, unknown>) => unknown;

export interface Call {
  method: string;
  params: Record<string, unknown>;
}

export class EngineError {
  constructor(
    readonly number: number,
    readonly description: string,
    readonly status = 200,
  ) {}
}

export function fakeEngine(handlers: Record<string, Handler>, other: Record<string, () => unknown> = {}) {
  const calls: Call[] = [];
  const reply = (status: number, body: unknown) =>
    new Response(JSON.stringify(body), { status, headers: { "Content-Type": "application/json" } });
  const fetchMock = vi.fn(async (url: string, init: RequestInit) => {
    if (url === "/rpc") {
      const body = JSON.parse(String(init.body)) as { id: number; method: string; params: Record<string, unknown> };
      calls.push({ method: body.method, params: body.params });
      const handler = handlers[body.method];
      if (!handler) return reply(200, { jsonrpc: "2.0", id: body.id, error: { code: -32601, message: "no such method" } });
      try {
        return reply(200, { jsonrpc: "2.0", id: body.id, result: (await handler(body.params)) ?? null });
      } catch (e) {
        if (e instanceof EngineError) {
          return reply(e.status, {
            jsonrpc: "2.0",
            id: body.id,
            error: { code: e.number, message: e.description, data: { number: e.number, source: "test", description: e.description } },
          });
        }
        throw e;
      }
    }
    const path = url.split("?")[0]!;
    const answer = other[path];
    if (answer) return reply(200, answer());
    return reply(404, { error: { status: 404, number: 404, message: `no ${url}` } });
  });
  vi.stubGlobal("fetch", fetchMock);
  return { calls, fetchMock, methods: () => calls.map((c) => c.method) };
}
