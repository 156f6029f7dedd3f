// Browser timings of the editor, printed, never asserted:
//   open   a 10,000-node tree: from navigation to the first painted row of the tree panel
//   save   a node of a 1,000-node tree: from the click on Save to the panel showing the new text
// Each is the median of several runs in Debian's Chromium against a real
// `tsauthor serve` on a fresh data folder; the trees are made by `tsauthor
// import` of generated files, so preparing them takes a second, not minutes.
//
//   TSAUTHOR_BIN=<engine> npm run bench:browser     (after `make web`; RUNS=9 for more runs)
import { execFile, spawn } from "node:child_process";
import { existsSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const webDir = resolve(dirname(fileURLToPath(import.meta.url)), "..");
const repoDir = resolve(webDir, "..");
const runs = Number(process.env.RUNS ?? 5);
const bin = process.env.TSAUTHOR_BIN;
if (!bin || !existsSync(bin)) fail("TSAUTHOR_BIN must name a built engine (TSAUTHOR_BIN=$PWD/build/tsauthor)");
if (!existsSync(join(webDir, "dist", "index.html"))) fail("the app is not built: run `make web` first");
const chromiumPath = process.env.CHROMIUM_PATH ?? "/usr/bin/chromium";

function fail(message) {
  console.error(`bench: ${message}`);
  process.exit(1);
}

const TYPES = ["category", "question", "answer", "action"];

/**
 * An export file of `count` nodes shaped like a real tree: categories below
 * the top, questions below them, answers below questions, and below each
 * answer an action and a follow-up question; filled breadth first.
 */
function generatedTree(productId, name, count) {
  const nodes = [];
  const queue = [{ id: 0, type: -1 }];
  const childTypes = { [-1]: [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], 0: Array(10).fill(1), 1: [2, 2, 2], 2: [3, 1], 3: [] };
  while (nodes.length < count && queue.length) {
    const parent = queue.shift();
    for (const type of childTypes[parent.type]) {
      if (nodes.length >= count) break;
      const id = nodes.length + 1;
      nodes.push({
        id,
        parent: parent.id,
        type: TYPES[type],
        entity: id,
        short: `${TYPES[type][0].toUpperCase()}${TYPES[type].slice(1)} ${id}`,
        long: `What to look at for step ${id}: the display, the trays and the cable, in this order.`,
        visibilities: [1, 2],
        faqs: ";",
        hyperlink: null,
      });
      queue.push({ id, type });
    }
  }
  return {
    format: "tsauthor-tree",
    formatVersion: 1,
    treeType: "product",
    product: { id: productId, name },
    visibilities: [{ id: 1, name: "Customers" }, { id: 2, name: "Service agents" }],
    nodes,
  };
}

function run(args, env, input) {
  return new Promise((ok, ko) => {
    const child = execFile(bin, args, { env, cwd: repoDir, maxBuffer: 1 << 26 }, (error, stdout, stderr) =>
      error ? ko(new Error(`tsauthor ${args[0]} failed: ${stderr || error.message}`)) : ok(stdout),
    );
    child.stdin.end(input ?? "");
  });
}

function freePort() {
  return new Promise((ok) => {
    const server = createServer();
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => ok(port));
    });
  });
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
};

const dataDir = mkdtempSync(join(tmpdir(), "tsa-bench-web-"));
const env = { ...process.env };
for (const name of ["TSAUTHOR_CONFIG", "TSAUTHOR_TOKEN", "TSAUTHOR_HELVIX_URI", "TSAUTHOR_KCATALOG_URI", "TSAUTHOR_LOG_FILE"]) delete env[name];
Object.assign(env, {
  TSAUTHOR_DATA_DIR: dataDir,
  TSAUTHOR_LISTEN: "127.0.0.1",
  TSAUTHOR_WEB_ROOT: join(webDir, "dist"),
  TSAUTHOR_PASSWORD_HASH_COST: "test-minimum",
});
let service;
let browser;
try {
  const prepared = Date.now();
  await run(["init"], env);
  await run(["catalog", "load", join(repoDir, "examples", "catalog.json")], env);
  const large = join(dataDir, "large.json");
  const medium = join(dataDir, "medium.json");
  writeFileSync(large, JSON.stringify(generatedTree(7, "Laser printer L200", 9_999)));
  writeFileSync(medium, JSON.stringify(generatedTree(9, "Combined copier C5", 999)));
  await run(["import", large, "--as", "1/7"], env);
  await run(["import", medium, "--as", "1/9"], env);
  const password = `bench-${process.pid}-${Date.now()}`;
  await run(["user", "add", "bench", "--role", "author", "--password-stdin"], env, `${password}\n`);

  env.TSAUTHOR_PORT = String(await freePort());
  const url = `http://127.0.0.1:${env.TSAUTHOR_PORT}/`;
  service = spawn(bin, ["serve"], { env, cwd: repoDir, stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  service.stdout.on("data", (d) => (output += d));
  service.stderr.on("data", (d) => (output += d));
  for (let ready = false; !ready; ) {
    if (service.exitCode !== null) fail(`the service ended:\n${output}`);
    if (output.includes("tsauthor: try:")) ready = (await fetch(`${url}health`).catch(() => null))?.status === 200;
    if (!ready) await new Promise((r) => setTimeout(r, 100));
  }
  console.log(`prepared a 10,000-node and a 1,000-node tree in ${((Date.now() - prepared) / 1000).toFixed(1)} s`);

  browser = await chromium.launch({ executablePath: chromiumPath, headless: true });
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  context.setDefaultTimeout(60_000);
  const signedIn = await context.request.post(`${url}auth/login`, { data: { login: "bench", password } });
  if (!signedIn.ok()) fail(`sign-in answered ${signedIn.status()}`);
  const { csrfToken } = await signedIn.json();
  const checkOut = await context.request.post(`${url}rpc`, {
    headers: { "X-CSRF-Token": csrfToken },
    data: { jsonrpc: "2.0", id: 1, method: "TSDOM.CheckOut", params: { i_lTreeType: 1, i_lID: 9, o_sOwner: "" } },
  });
  if ((await checkOut.json()).result?.o_sOwner !== "") fail(`the check-out of the 1,000-node tree failed: ${await checkOut.text()}`);

  // Marks in the page itself, so that the test's own round trips are not counted.
  await context.addInitScript(() => {
    const w = window;
    const onPaint = (test, key) => {
      const observer = new MutationObserver(() => {
        if (!test()) return;
        observer.disconnect();
        requestAnimationFrame(() => (w[key] = performance.now()));
      });
      observer.observe(document, { subtree: true, childList: true, attributes: true });
    };
    onPaint(() => document.querySelector('[role="tree"] [role="treeitem"]'), "__treePainted");
    w.__awaitRow = (label) => {
      w.__rowPainted = undefined;
      onPaint(() => document.querySelector(`[role="treeitem"][aria-label="${label}"]`), "__rowPainted");
    };
    document.addEventListener("click", (e) => {
      if (e.target instanceof Element && e.target.closest("button")?.textContent?.trim() === "Save") w.__saveClicked = performance.now();
    }, true);
  });

  const open = [];
  for (let i = 0; i < runs + 1; i++) {
    const page = await context.newPage();
    await page.goto(`${url}edit/1/7`);
    await page.waitForFunction(() => window.__treePainted !== undefined);
    // The first run fills the browser's cache with the app; it is not counted.
    if (i > 0) open.push(await page.evaluate(() => window.__treePainted));
    await page.close();
  }

  const save = [];
  const page = await context.newPage();
  await page.goto(`${url}edit/1/9`);
  await page.getByText("You have this tree checked out").waitFor();
  const target = "Category 3";
  await page.getByRole("treeitem", { name: target, exact: true }).click();
  const form = page.getByRole("form", { name: /details$/ });
  for (let i = 0; i < runs + 1; i++) {
    const next = `Category 3, saved ${i + 1}`;
    await form.getByLabel("Short text").fill(next);
    await page.evaluate((l) => window.__awaitRow(l), next);
    await form.getByRole("button", { name: "Save" }).click();
    await page.waitForFunction(() => window.__rowPainted !== undefined);
    if (i > 0) save.push(await page.evaluate(() => window.__rowPainted - window.__saveClicked));
  }

  const ms = (v) => `${Math.round(v)} ms`;
  console.log(`\nbrowser timings, median of ${runs} runs (all runs in ms)`);
  console.log(`  open a 10,000-node tree, first paint of the tree panel  ${ms(median(open)).padStart(8)}   [${open.map(Math.round).join(", ")}]`);
  console.log(`  save a node of a 1,000-node tree, click to new panel    ${ms(median(save)).padStart(8)}   [${save.map(Math.round).join(", ")}]`);
} finally {
  await browser?.close().catch(() => undefined);
  if (service && service.exitCode === null) {
    service.kill("SIGTERM");
    await new Promise((r) => service.once("exit", r));
  }
  rmSync(dataDir, { recursive: true, force: true });
}
