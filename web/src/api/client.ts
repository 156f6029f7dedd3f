// The one way the app talks to the engine: JSON over same-origin fetch, with
// the session cookie and the CSRF header. The CSRF token lives in memory only.
import { ApiError, errorFromBody, isSessionExpired } from "./errors";

let csrfToken: string | null = null;
const expiryListeners = new Set<() => void>();

export function setCsrfToken(token: string | null): void {
  csrfToken = token;
}

/** Called whenever the service says the session is gone (HTTP 401 / 1300). */
export function onSessionExpired(listener: () => void): () => void {
  expiryListeners.add(listener);
  return () => expiryListeners.delete(listener);
}

function reportIfExpired(e: ApiError): ApiError {
  if (isSessionExpired(e)) for (const l of expiryListeners) l();
  return e;
}

async function readJson(response: Response): Promise<unknown> {
  const text = await response.text();
  if (!text) return null;
  try {
    return JSON.parse(text) as unknown;
  } catch {
    return null;
  }
}

export interface RequestOptions {
  /** Leave out the session-expiry notification (the sign-in screens use this). */
  quiet?: boolean;
}

// Every GET asks the service whether the copy the browser holds is still
// current (an ETag answers 304 without a body), so an edit is never hidden
// behind a cached read.
const REVALIDATE: RequestCache = "no-cache";

/** A JSON request to one of the engine's endpoints; throws ApiError on failure. */
export async function requestJson<T>(
  method: "GET" | "POST",
  url: string,
  body?: unknown,
  options: RequestOptions = {},
): Promise<T> {
  const headers: Record<string, string> = { Accept: "application/json" };
  if (method === "POST") {
    headers["Content-Type"] = "application/json";
    if (csrfToken) headers["X-CSRF-Token"] = csrfToken;
  }
  let response: Response;
  try {
    response = await fetch(url, {
      method,
      headers,
      credentials: "same-origin",
      cache: method === "GET" ? REVALIDATE : "no-store",
      body: method === "POST" ? JSON.stringify(body ?? {}) : undefined,
    });
  } catch {
    throw new ApiError(0, "The service could not be reached. Check that it is running and try again.");
  }
  const parsed = await readJson(response);
  if (!response.ok) {
    const e = errorFromBody(parsed, response.status);
    throw options.quiet ? e : reportIfExpired(e);
  }
  return parsed as T;
}

let nextId = 1;

/** Calls an engine method with named arguments and returns its result. */
export async function rpc<T>(method: string, params: Record<string, unknown> = {}): Promise<T> {
  const id = nextId++;
  const answer = await requestJson<{ result?: T; error?: unknown }>("POST", "/rpc", {
    jsonrpc: "2.0",
    id,
    method,
    params,
  });
  if (answer && typeof answer === "object" && "error" in answer && answer.error) {
    throw reportIfExpired(errorFromBody(answer, 200));
  }
  return (answer?.result ?? null) as T;
}
