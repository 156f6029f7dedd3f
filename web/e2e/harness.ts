// The harness of the browser journeys: a real `tsauthor serve` and Debian's
// Chromium, started per journey and gone when the journey's file ends.
//
//   const service = await startService();            // or startService({ backend: "postgresql" })
//   service.url        "http://127.0.0.1:<port>/", the app and the engine on one origin
//   service.setupUrl   the first-admin page with its one-time secret: "<url>setup?secret=..."
//   service.dataDir    the service's fresh data folder
//   await service.addUser("bob", "author", "a long password")   // through `tsauthor user add`
//   service.log()      everything the service printed so far (stderr and stdout)
//   await service.stop()                              // optional: afterAll stops it anyway
//
//   const browser = await launchBrowser();            // headless Debian Chromium
//   const page = await openPage(browser);             // a page in a context of its own (axe needs one)
//   const problems = await watchPage(page);           // console errors, page errors, CSP violations
//   await page.goto(service.url);
//   expect(problems.list()).toEqual([]);
//   await checkAccessibility(page, "sign-in");        // throws on serious or critical findings
//   await screenshot(page, "sign-in");                // web/e2e/output/sign-in.png
//
// Requirements: TSAUTHOR_BIN names the engine (`make test` sets it); the
// app is built into web/dist (`make web`); for "postgresql",
// TSAUTHOR_TEST_PG names a server (scripts/with-test-postgres exports it)
// and every service gets a schema of its own there, dropped when it stops.
// CHROMIUM_PATH overrides /usr/bin/chromium. Browsers are never downloaded.
//
// Everything started here (services, browsers) is stopped, by process id,
// and its temporary folder removed, in an afterAll hook this module
// registers in every file that imports it.
import { execFile, spawn, type ChildProcess } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, rmSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { AxeBuilder } from "@axe-core/playwright";
import { chromium, type Browser, type Page } from "playwright-core";
import { afterAll } from "vitest";

export type Backend = "sqlite" | "postgresql";
export type Role = "reader" | "author" | "publisher" | "admin";

export interface Service {
  url: string;
  setupUrl: string;
  dataDir: string;
  backend: Backend;
  addUser(login: string, role: Role, password: string): Promise<void>;
  log(): string;
  stop(): Promise<void>;
}

export interface PageProblems {
  // Every console error, uncaught page error and Content-Security-Policy
  // violation seen since watchPage, in order.
  list(): string[];
}

const webDir = resolve(dirname(fileURLToPath(import.meta.url)), "..");
const repoDir = resolve(webDir, "..");
const outputDir = join(webDir, "e2e", "output");

const startTimeoutMs = 30_000;
const stopTimeoutMs = 10_000;

// What afterAll (or the process's exit) still has to clean up.
const running = new Set<() => Promise<void>>();
const browsers = new Set<Browser>();

afterAll(async () => {
  await stopEverything();
});

// Last resort when a run is cut short: no service outlives the test process.
const killed = new Set<ChildProcess>();
process.on("exit", () => {
  for (const child of killed) {
    if (child.exitCode === null && child.signalCode === null && child.pid !== undefined) {
      try {
        process.kill(child.pid, "SIGKILL");
      } catch {
        // gone already
      }
    }
  }
});

export async function stopEverything(): Promise<void> {
  for (const b of [...browsers]) {
    browsers.delete(b);
    await b.close().catch(() => undefined);
  }
  for (const stop of [...running]) await stop();
}

function engineBinary(): string {
  const bin = process.env.TSAUTHOR_BIN;
  if (!bin) {
    throw new Error(
      "TSAUTHOR_BIN is not set: run the journeys through `make test`, or set it to a built engine " +
        "(TSAUTHOR_BIN=$PWD/build/tsauthor npm run e2e)",
    );
  }
  if (!existsSync(bin)) throw new Error(`TSAUTHOR_BIN names ${bin}, which does not exist: build the engine first`);
  return bin;
}

function freePort(): Promise<number> {
  return new Promise((resolvePort, reject) => {
    const server = createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const address = server.address();
      const port = typeof address === "object" && address ? address.port : 0;
      server.close(() => resolvePort(port));
    });
  });
}

function run(file: string, args: string[], env: NodeJS.ProcessEnv, input?: string): Promise<string> {
  return new Promise((resolveRun, reject) => {
    const child = execFile(file, args, { env, cwd: repoDir, timeout: 60_000 }, (error, stdout, stderr) => {
      if (error) {
        // The arguments may hold no secret (passwords go through stdin).
        reject(new Error(`${[file, ...args].join(" ")} failed: ${error.message}\n${stderr}`));
      } else {
        resolveRun(stdout);
      }
    });
    child.stdin?.end(input ?? "");
  });
}

function psql(sql: string): Promise<string> {
  const server = process.env.TSAUTHOR_TEST_PG;
  if (!server) {
    throw new Error("TSAUTHOR_TEST_PG is not set: run PostgreSQL journeys under scripts/with-test-postgres");
  }
  return run("psql", ["-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", server, "-c", sql], process.env);
}

let serviceCount = 0;

export async function startService(options: { backend?: Backend } = {}): Promise<Service> {
  const backend = options.backend ?? "sqlite";
  const bin = engineBinary();
  const dataDir = mkdtempSync(join(tmpdir(), "tsa-e2e-"));
  const env: NodeJS.ProcessEnv = { ...process.env };
  for (const name of ["TSAUTHOR_CONFIG", "TSAUTHOR_TOKEN", "TSAUTHOR_HELVIX_URI", "TSAUTHOR_KCATALOG_URI", "TSAUTHOR_LOG_FILE"]) {
    delete env[name];
  }
  env.TSAUTHOR_DATA_DIR = dataDir;
  env.TSAUTHOR_LISTEN = "127.0.0.1";
  env.TSAUTHOR_WEB_ROOT = join(webDir, "dist");
  // Quick password hashes: journeys sign in often.
  env.TSAUTHOR_PASSWORD_HASH_COST = "test-minimum";

  let schema = "";
  const cleanups: Array<() => Promise<void>> = [async () => rmSync(dataDir, { recursive: true, force: true })];
  const cleanUp = async () => {
    for (const c of cleanups.reverse()) await c().catch(() => undefined);
    cleanups.length = 0;
  };
  try {
    if (backend === "postgresql") {
      schema = `e2e_${process.pid}_${++serviceCount}_${Date.now() % 1_000_000}`;
      await psql(`CREATE SCHEMA ${schema}`);
      cleanups.push(async () => void (await psql(`DROP SCHEMA IF EXISTS ${schema} CASCADE`)));
      const server = process.env.TSAUTHOR_TEST_PG ?? "";
      const uri = `${server}${server.includes("?") ? "&" : "?"}options=-c%20search_path%3D${schema}`;
      env.TSAUTHOR_HELVIX_URI = uri;
      env.TSAUTHOR_KCATALOG_URI = uri;
    }
    await run(bin, ["init"], env);
    await run(bin, ["catalog", "load", join(repoDir, "examples", "catalog.json")], env);
  } catch (e) {
    await cleanUp();
    throw e;
  }

  // A port found free may be taken before the service binds it: try again then.
  for (let attempt = 1; ; attempt++) {
    const port = await freePort();
    env.TSAUTHOR_PORT = String(port);
    const child = spawn(bin, ["serve"], { env, cwd: repoDir, stdio: ["ignore", "pipe", "pipe"] });
    killed.add(child);
    let output = "";
    child.stdout?.on("data", (d: Buffer) => (output += d.toString()));
    child.stderr?.on("data", (d: Buffer) => (output += d.toString()));
    const exited = new Promise<void>((r) => child.once("exit", () => r()));

    const stopChild = async () => {
      if (child.exitCode === null && child.signalCode === null && child.pid !== undefined) {
        process.kill(child.pid, "SIGTERM");
        const timer = new Promise<boolean>((r) => setTimeout(() => r(false), stopTimeoutMs));
        const done = await Promise.race([exited.then(() => true), timer]);
        if (!done && child.exitCode === null && child.signalCode === null) {
          process.kill(child.pid, "SIGKILL");
          await exited;
        }
      }
      killed.delete(child);
    };

    const url = `http://127.0.0.1:${port}/`;
    const ready = await waitUntilReady(url, () => output, exited);
    if (!ready) {
      await stopChild();
      if (attempt < 3 && /cannot start the service/.test(output)) continue;
      await cleanUp();
      throw new Error(`tsauthor serve did not become ready at ${url}; it printed:\n${output}`);
    }
    const secret = /\/setup\?secret=([^\s'"]+)/.exec(output)?.[1];
    if (!secret) {
      await stopChild();
      await cleanUp();
      throw new Error(`tsauthor serve printed no first-admin link for its fresh data folder:\n${output}`);
    }

    let stopped: Promise<void> | undefined;
    const stop = () => {
      stopped ??= (async () => {
        running.delete(stop);
        await stopChild();
        await cleanUp();
      })();
      return stopped;
    };
    running.add(stop);
    return {
      url,
      setupUrl: `${url}setup?secret=${secret}`,
      dataDir,
      backend,
      log: () => output,
      stop,
      async addUser(login: string, role: Role, password: string) {
        await run(bin, ["user", "add", login, "--role", role, "--password-stdin"], env, `${password}\n`);
      },
    };
  }
}

// Ready: /health answers 200 and the start-up lines (the last of which
// shows how to call) are out. False when the service exits or time runs out.
async function waitUntilReady(url: string, output: () => string, exited: Promise<void>): Promise<boolean> {
  let gone = false;
  void exited.then(() => (gone = true));
  const deadline = Date.now() + startTimeoutMs;
  while (Date.now() < deadline && !gone) {
    if (output().includes("tsauthor: try:")) {
      try {
        const res = await fetch(`${url}health`);
        if (res.status === 200) return true;
      } catch {
        // not listening yet
      }
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  return false;
}

export async function launchBrowser(): Promise<Browser> {
  const executablePath = process.env.CHROMIUM_PATH ?? "/usr/bin/chromium";
  if (!existsSync(executablePath)) {
    throw new Error(
      `No Chromium at ${executablePath}: install Debian's chromium (scripts/bootstrap) or set CHROMIUM_PATH`,
    );
  }
  const browser = await chromium.launch({ executablePath, headless: true });
  browsers.add(browser);
  browser.on("disconnected", () => browsers.delete(browser));
  return browser;
}

// A page in a fresh context (own cookies and storage): every page the
// journeys check with axe must come from a context made this way, not from
// browser.newPage().
export async function openPage(browser: Browser): Promise<Page> {
  const context = await browser.newContext();
  return context.newPage();
}

export async function watchPage(page: Page): Promise<PageProblems> {
  const problems: string[] = [];
  page.on("console", (m) => {
    if (m.type() !== "error") return;
    const where = m.location().url;
    // Chromium asks for /favicon.ico by itself when a page names no icon:
    // not a request of the app's.
    if (where.endsWith("/favicon.ico")) return;
    // The app asks who is signed in before anybody is: that 401 is its answer
    // "nobody", which Chromium logs like any failed load.
    if (where.endsWith("/auth/me") && m.text().includes("401")) return;
    problems.push(`console: ${m.text()}${where ? ` (${where})` : ""}`);
  });
  page.on("pageerror", (e) => problems.push(`page error: ${e.message}`));
  // The console names most violations too; the event names every one, with its directive.
  await page.exposeBinding("__tsaReportViolation", (_source, text: string) => {
    problems.push(`CSP violation: ${text}`);
  });
  await page.addInitScript(() => {
    document.addEventListener("securitypolicyviolation", (e) => {
      const report = (window as unknown as { __tsaReportViolation?: (t: string) => void }).__tsaReportViolation;
      report?.(`${e.violatedDirective} blocked ${e.blockedURI || "inline"} (${e.sourceFile}:${e.lineNumber})`);
    });
  });
  return { list: () => [...problems] };
}

export async function checkAccessibility(page: Page, screenName: string): Promise<void> {
  const result = await new AxeBuilder({ page }).analyze();
  const serious = result.violations.filter((v) => v.impact === "serious" || v.impact === "critical");
  if (serious.length === 0) return;
  const lines = serious.map(
    (v) => `  ${v.id} (${v.impact}): ${v.help}\n    ${v.nodes.map((n) => n.target.join(" ")).join("\n    ")}`,
  );
  throw new Error(`Accessibility of "${screenName}": ${serious.length} serious or critical finding(s)\n${lines.join("\n")}`);
}

export async function screenshot(page: Page, name: string): Promise<string> {
  mkdirSync(outputDir, { recursive: true });
  const file = join(outputDir, `${name.replace(/[^A-Za-z0-9._-]+/g, "-")}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}
