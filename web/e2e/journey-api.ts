// What the journeys share beyond the harness: the engine called from the test
// itself (to prepare data a journey is not about), signing in through the
// app's own page, and a watch on the app's traffic.
import type { Browser, BrowserContext, Page } from "playwright-core";
import { afterEach } from "vitest";
import { screenshot } from "./harness";

export interface EngineSession {
  login: string;
  call<T = unknown>(method: string, params?: Record<string, unknown>): Promise<T>;
}

/** Signs in over HTTP as a browser would (session cookie and CSRF token), for calls made by the test. */
export async function signInOverHttp(url: string, login: string, password: string): Promise<EngineSession> {
  const answer = await fetch(new URL("auth/login", url), {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ login, password }),
  });
  if (!answer.ok) throw new Error(`sign-in of ${login} answered ${answer.status}: ${await answer.text()}`);
  const { csrfToken } = (await answer.json()) as { csrfToken: string };
  const cookie = answer.headers
    .getSetCookie()
    .map((c) => c.split(";")[0])
    .join("; ");
  let id = 0;
  return {
    login,
    async call<T>(method: string, params: Record<string, unknown> = {}): Promise<T> {
      const r = await fetch(new URL("rpc", url), {
        method: "POST",
        headers: { "Content-Type": "application/json", Cookie: cookie, "X-CSRF-Token": csrfToken },
        body: JSON.stringify({ jsonrpc: "2.0", id: ++id, method, params }),
      });
      const body = (await r.json()) as { result?: T; error?: { message: string; code: number } };
      if (body.error) throw new Error(`${method} failed: ${body.error.code} ${body.error.message}`);
      return body.result as T;
    },
  };
}

/** Signs in through the app's sign-in page and waits for the signed-in app. */
export async function signIn(page: Page, url: string, login: string, password: string): Promise<void> {
  await page.goto(url);
  await page.getByLabel("Login").fill(login);
  await page.getByLabel("Password").fill(password);
  await page.getByRole("button", { name: "Sign in" }).click();
  await page.getByRole("button", { name: /sign out/i }).waitFor();
}

/**
 * Collects what went wrong in a context's traffic: requests that failed on
 * the wire (a reset, an empty answer, a refused connection) and answers of
 * 5xx (503 = a connection turned away). Answers the app expects and shows in
 * words (401, 403, an engine error) are not counted.
 */
export function watchTraffic(context: BrowserContext): { problems: string[]; requests: number } {
  const seen = { problems: [] as string[], requests: 0 };
  context.on("request", () => {
    seen.requests++;
  });
  context.on("requestfailed", (r) => {
    // The browser's own cancel: a page left while its requests were under way.
    if (r.failure()?.errorText === "net::ERR_ABORTED") return;
    seen.problems.push(`${r.method()} ${r.url()} failed: ${r.failure()?.errorText ?? "?"}`);
  });
  context.on("response", (r) => {
    if (r.status() >= 500) seen.problems.push(`${r.request().method()} ${r.url()} answered ${r.status()}`);
  });
  return seen;
}

/**
 * Saves a picture of every page still open when a case fails (web/e2e/output/
 * failed-<case>-<n>.png), so that a red run shows what the user saw.
 */
export function pictureOnFailure(pages: () => Page[]): void {
  afterEach(async (context) => {
    if (context.task.result?.state !== "fail") return;
    const name = context.task.name.slice(0, 60);
    let n = 0;
    for (const page of pages()) if (!page.isClosed()) await screenshot(page, `failed-${name}-${++n}`).catch(() => undefined);
  });
}

/** A page in a context of its own (its own cookies: one person), at the size the screenshots use. */
export async function newPerson(browser: Browser): Promise<Page> {
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  // What a person would wait for at most; the journeys wait for what they see, never for a time.
  context.setDefaultTimeout(10_000);
  return context.newPage();
}
