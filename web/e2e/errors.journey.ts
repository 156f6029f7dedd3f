// When the engine refuses, the author reads why in words and keeps what they
// typed; when the session ends under their feet, they sign in again and carry on.
import { afterAll, beforeAll, describe, expect, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { checkAccessibility, launchBrowser, startService, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn, signInOverHttp, type EngineSession } from "./journey-api";

let service: Service;
let browser: Browser;
let ada: EngineSession;
let page: Page;

const TREE = {
  format: "tsauthor-tree",
  formatVersion: 1,
  treeType: "product",
  product: { id: 7, name: "Laser printer L200" },
  visibilities: [{ id: 1, name: "Customers" }, { id: 2, name: "Service agents" }],
  nodes: [
    { id: 1, parent: 0, type: "category", entity: 1, short: "Printing", long: "", visibilities: [1, 2], faqs: ";", hyperlink: null },
    { id: 2, parent: 1, type: "question", entity: 2, short: "Is the printer on?", long: "", visibilities: [1, 2], faqs: ";", hyperlink: null },
    { id: 3, parent: 1, type: "question", entity: 3, short: "Is there paper?", long: "", visibilities: [1, 2], faqs: ";", hyperlink: null },
  ],
};

beforeAll(async () => {
  service = await startService();
  await service.addUser("ada", "admin", "ada's long password");
  await service.addUser("alice", "author", "alice's long password");
  ada = await signInOverHttp(service.url, "ada", "ada's long password");
  await ada.call("Exchange.Import", { i_vFile: TREE, i_lTreeType: 1, i_lID: 7, i_bReuseTexts: false });
  browser = await launchBrowser();
  page = await newPerson(browser);
  await signIn(page, service.url, "alice", "alice's long password");
});

pictureOnFailure(() => [page]);

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const item = (name: string) => page.getByRole("tree").getByRole("treeitem", { name, exact: true });
const details = () => page.getByRole("form", { name: /details$/ });

async function openCheckedOut() {
  await page.goto(`${service.url}edit/1/7`);
  await page.getByRole("button", { name: "Check out" }).click();
  await page.getByText("You have this tree checked out").waitFor();
}

async function select(name: string) {
  await item(name).click();
  await page.getByRole("heading", { level: 2, name: new RegExp(`${name.replace("?", "\\?")}$`) }).waitFor();
}

describe("when things go wrong", () => {
  it("shows a refused save in words and keeps the typed text for a second try", async () => {
    await openCheckedOut();
    await select("Is there paper?");
    const typed = "Check both trays, then the manual feed.\nA tray that is pushed in halfway counts as empty.";
    await details().getByLabel("Long text").fill(typed);
    // An administrator ends alice's check-out while she types.
    expect(await ada.call("Admin.ReleaseCheckOut", { i_lTreeType: 1, i_lID: 7 })).toBe("alice");

    await details().getByRole("button", { name: "Save" }).click();
    const refusal = details().getByRole("alert");
    await refusal.getByText("Not saved.").waitFor();
    expect(await refusal.innerText()).toMatch(/checked out/);
    expect(await refusal.innerText()).not.toMatch(/^Error \d+/);
    expect(await details().getByLabel("Long text").inputValue()).toBe(typed);
    await checkAccessibility(page, "editor, save refused");

    // Checking out again and saving keeps what was typed.
    await page.getByRole("button", { name: "Check out" }).click();
    await page.getByText("You have this tree checked out").waitFor();
    await select("Is there paper?");
    expect(await details().getByLabel("Long text").inputValue()).toBe(typed);
    await details().getByRole("button", { name: "Save" }).click();
    await details().getByText("Unsaved changes.").waitFor({ state: "hidden" });
    // What the page shows after a reload comes from the engine, not from the kept draft.
    await page.reload();
    await select("Is there paper?");
    expect(await details().getByLabel("Long text").inputValue()).toBe(typed);
    expect(await item("Is there paper?").getByText("unsaved", { exact: true }).count()).toBe(0);
  });

  it("asks for the password again when the session has ended, over the page and its unsaved edit", async () => {
    await select("Is the printer on?");
    await details().getByLabel("Short text").fill("Is the printer switched on?");
    // The session ends on the server (signed out elsewhere); the page does not know yet.
    await page.evaluate(async () => {
      const me = (await (await fetch("/auth/me")).json()) as { csrfToken: string };
      await fetch("/auth/logout", {
        method: "POST",
        headers: { "Content-Type": "application/json", "X-CSRF-Token": me.csrfToken },
        body: "{}",
      });
    });

    await details().getByRole("button", { name: "Save" }).click();
    // Signing in again happens over the page, so nothing on it goes away.
    const again = page.getByRole("dialog", { name: "Your session has ended" });
    await again.waitFor();
    await checkAccessibility(page, "session ended");
    expect(await again.getByLabel("Login").inputValue()).toBe("alice");
    await again.getByLabel("Password").fill("alice's long password");
    await again.getByRole("button", { name: "Sign in" }).click();
    await again.waitFor({ state: "hidden" });

    expect(await details().getByLabel("Short text").inputValue()).toBe("Is the printer switched on?");
    await details().getByRole("button", { name: "Save" }).click();
    await item("Is the printer switched on?").waitFor();
  });
});
