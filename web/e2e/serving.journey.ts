// The app as the service serves it: the page loads in Chromium under the
// service's Content-Security-Policy without an error, its files come with
// the right headers, and a deep route of the app gets the app's page.
import { beforeAll, describe, expect, it } from "vitest";
import {
  checkAccessibility,
  launchBrowser,
  openPage,
  screenshot,
  startService,
  watchPage,
  type Service,
} from "./harness";

const policy =
  "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; " +
  "font-src 'self'; object-src 'none'; base-uri 'self'; frame-ancestors 'none'; form-action 'self'";

describe("the service serves the app", () => {
  let service: Service;
  beforeAll(async () => {
    service = await startService();
  });

  it("loads the page in Chromium without console errors or policy violations", async () => {
    expect(service.log()).toContain(`the web app is at ${service.url}`);
    const browser = await launchBrowser();
    const page = await openPage(browser);
    const problems = await watchPage(page);
    const response = await page.goto(service.url);
    expect(response?.status()).toBe(200);
    // React rendered into the page: its script ran under the policy.
    await page.waitForFunction(() => (document.getElementById("root")?.childElementCount ?? 0) > 0);
    await checkAccessibility(page, "home");
    await screenshot(page, "serving-home");
    expect(problems.list()).toEqual([]);
  });

  it("answers the page, its assets and the app's routes with their headers", async () => {
    const page = await fetch(service.url);
    expect(page.status).toBe(200);
    expect(page.headers.get("content-type")).toBe("text/html; charset=utf-8");
    expect(page.headers.get("cache-control")).toBe("no-cache");
    expect(page.headers.get("content-security-policy")).toBe(policy);
    expect(page.headers.get("x-content-type-options")).toBe("nosniff");
    expect(page.headers.get("referrer-policy")).toBe("same-origin");
    const html = await page.text();

    const script = /<script[^>]+src="(\/assets\/[^"]+\.js)"/.exec(html)?.[1];
    expect(script, "the page loads a script from /assets/").toBeDefined();
    expect(html, "no inline script").not.toMatch(/<script(?![^>]*\bsrc=)[^>]*>/);
    const asset = await fetch(new URL(script ?? "", service.url));
    expect(asset.status).toBe(200);
    expect(asset.headers.get("content-type")).toBe("text/javascript; charset=utf-8");
    expect(asset.headers.get("cache-control")).toBe("public, max-age=31536000, immutable");
    const tag = asset.headers.get("etag") ?? "";
    const again = await fetch(new URL(script ?? "", service.url), { headers: { "If-None-Match": tag } });
    expect(again.status).toBe(304);

    for (const route of ["trees/1/7", "setup?secret=x", "versions"]) {
      const deep = await fetch(new URL(route, service.url));
      expect(deep.status, route).toBe(200);
      expect(await deep.text(), route).toBe(html);
    }
    expect((await fetch(new URL("assets/none.js", service.url))).status).toBe(404);
    // The engine's endpoints still need an identity.
    expect((await fetch(new URL("auth/me", service.url))).status).toBe(401);
    expect((await fetch(new URL("trees/1/7/document", service.url))).status).toBe(401);
  });
});

describe("the service on PostgreSQL", () => {
  it("starts in a schema of its own and serves the app", async () => {
    const service = await startService({ backend: "postgresql" });
    expect((await fetch(new URL("health", service.url))).status).toBe(200);
    await service.addUser("ann", "admin", "a long enough password");
    const signIn = await fetch(new URL("auth/login", service.url), {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify({ login: "ann", password: "a long enough password" }),
    });
    expect(signIn.status).toBe(200);
    expect((await fetch(service.url)).status).toBe(200);
    await service.stop();
  });
});
