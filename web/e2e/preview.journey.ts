// A reader previews a published tree as one audience and walks it as a
// customer would: categories, questions, answers, actions, "see also".
import { afterAll, beforeAll, describe, expect, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { checkAccessibility, launchBrowser, screenshot, startService, watchPage, type PageProblems, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn, signInOverHttp } from "./journey-api";

const HOSTILE = `<img src=x onerror="window.__injected=1">`;

// Node ids in the file; the import keeps the shape and the order.
const PRINTER_TREE = {
  format: "tsauthor-tree",
  formatVersion: 1,
  treeType: "product",
  product: { id: 7, name: "Laser printer L200" },
  visibilities: [
    { id: 1, name: "Customers" },
    { id: 2, name: "Service agents" },
  ],
  nodes: [
    node(1, 0, "category", "Printing problems", "The printer does not print, or prints badly.", [1, 2]),
    node(2, 1, "question", "Does the display show an error?", "Look at the display on the front panel.", [1, 2]),
    node(3, 2, "answer", "Yes, E05 paper jam", "The display shows E05.", [1, 2]),
    node(4, 3, "action", "Clear the paper path", "Open the rear cover and pull the sheet out slowly.", [1, 2], 6),
    node(5, 2, "answer", "No error shown", "", [1, 2]),
    node(6, 5, "action", "Print a test page", "Hold the OK button for five seconds.", [1, 2]),
    node(7, 2, "answer", "Yes, E99 fuser fault", "Internal fault.", [2]),
    node(8, 7, "action", "Replace the fuser unit", "Service procedure SP-12.", [1, 2]),
    node(9, 0, "category", "Network", "Connection problems.", [2]),
    node(10, 1, "question", HOSTILE, "Shown as text, never as markup.", [1, 2]),
  ],
};

function node(id: number, parent: number, type: string, short: string, long: string, vis: number[], link?: number) {
  return { id, parent, type, entity: id, short, long, visibilities: vis, faqs: ";", hyperlink: link ?? null };
}

let service: Service;
let browser: Browser;
let page: Page;
let problems: PageProblems;

beforeAll(async () => {
  service = await startService({ backend: "sqlite" });
  await service.addUser("pia", "publisher", "pia's long password");
  await service.addUser("rita", "reader", "rita's long password");
  const pia = await signInOverHttp(service.url, "pia", "pia's long password");
  await pia.call("Exchange.Import", { i_vFile: PRINTER_TREE, i_lTreeType: 1, i_lID: 7, i_bReuseTexts: false });
  browser = await launchBrowser();
  page = await newPerson(browser);
  await signIn(page, service.url, "rita", "rita's long password");
  problems = await watchPage(page);
});

pictureOnFailure(() => [page]);

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const walk = () => page.getByRole("article");
const choice = (name: string | RegExp) => walk().getByRole("link", { name });
const breadcrumb = () => page.getByRole("navigation", { name: "Breadcrumb" });

describe("preview as an audience", () => {
  it("walks the published tree as a customer, from category to action and on through see also", async () => {
    await page.goto(`${service.url}preview/1/7`);
    await expect.poll(() => page.getByRole("heading", { level: 1 }).textContent(), { timeout: 10_000 }).toBe("Preview of Laser printer L200");
    await expect.poll(() => page.getByLabel("Audience").inputValue(), { timeout: 10_000 }).toBe("1");
    await page.getByText("Customers see 8 of the tree's 11 nodes.").waitFor();
    await checkAccessibility(page, "preview");
    // A reader walks published copies only.
    expect(await page.getByRole("radio", { name: "Working copy (authors only)" }).isDisabled()).toBe(true);

    // Network is for service agents only.
    expect(await choice(/Network/).count()).toBe(0);
    await choice(/Printing problems/).click();
    await page.getByRole("heading", { level: 2, name: "Printing problems" }).waitFor();
    await walk().getByText("The printer does not print, or prints badly.").waitFor();
    // Caller text is shown as typed, never run as markup.
    await choice(new RegExp(HOSTILE.slice(0, 8))).waitFor();
    expect(await page.evaluate(() => (window as { __injected?: number }).__injected)).toBeUndefined();

    await choice(/Does the display show an error/).click();
    await page.getByRole("heading", { name: "Choose your answer" }).waitFor();
    expect(await walk().getByRole("list").getByRole("link").allTextContents()).toEqual([
      expect.stringContaining("Yes, E05 paper jam"),
      expect.stringContaining("No error shown"),
    ]);

    await choice(/Yes, E05 paper jam/).click();
    await choice(/Clear the paper path/).click();
    await walk().getByText("Open the rear cover and pull the sheet out slowly.").waitFor();
    await walk().getByText("The walk ends here.").waitFor();

    // The action's hyperlink leads into another branch; the breadcrumb follows.
    await page.getByRole("complementary", { name: "See also" }).getByRole("link", { name: "Print a test page" }).click();
    await page.getByRole("heading", { level: 2, name: "Print a test page" }).waitFor();
    expect(await breadcrumb().getByRole("listitem").allTextContents()).toEqual([
      "Laser printer L200",
      "Printing problems",
      "Does the display show an error?",
      "No error shown",
      "Print a test page",
    ]);
    await checkAccessibility(page, "preview walk");
    await screenshot(page, "preview");

    // The browser's back button steps back through the walk.
    await page.goBack();
    await page.getByRole("heading", { level: 2, name: "Clear the paper path" }).waitFor();
    await breadcrumb().getByRole("link", { name: "Printing problems" }).click();
    await page.getByRole("heading", { level: 2, name: "Printing problems" }).waitFor();
  });

  it("shows another audience its own nodes and keeps hidden ones out of reach", async () => {
    await page.getByLabel("Audience").selectOption({ label: "Service agents" });
    await page.getByText("Service agents see 11 of the tree's 11 nodes.").waitFor();
    await choice(/Does the display show an error/).click();
    await choice(/Yes, E99 fuser fault/).click();
    await choice(/Replace the fuser unit/).waitFor();

    // A customer's address that names a node hidden from customers starts over at the top.
    const here = new URL(page.url());
    here.searchParams.set("audience", "1");
    await page.goto(here.toString());
    await page.getByText("The node you were at is not visible to Customers; the walk starts again at the top.").waitFor();
    await page.getByRole("heading", { level: 2, name: "Laser printer L200" }).waitFor();

    // The outline lists everything the audience sees, and leads there.
    const outline = page.getByRole("navigation", { name: "What Customers see" });
    // The branch may be open already: the outline keeps open what led to the node named in the address.
    const opener = outline.getByRole("button", { name: "Open Printing problems" });
    if (await opener.isVisible()) await opener.click();
    await outline.getByRole("link", { name: "Does the display show an error?" }).click();
    await page.getByRole("heading", { level: 2, name: "Does the display show an error?" }).waitFor();
    expect(problems.list()).toEqual([]);
  });
});
