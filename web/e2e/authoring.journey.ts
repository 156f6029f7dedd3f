// An author builds a product tree in the editor from nothing: three levels,
// texts and audiences edited, nodes moved (buttons and dragging), deleted,
// pasted from another tree with the audiences dialog, a template grafted in;
// a publisher publishes it. The populated editor is the README's picture.
import { afterAll, beforeAll, describe, expect, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { checkAccessibility, launchBrowser, screenshot, startService, watchPage, type PageProblems, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn, signInOverHttp } from "./journey-api";

let service: Service;
let browser: Browser;
let page: Page;
let problems: PageProblems;

const TEMPLATE = {
  format: "tsauthor-tree",
  formatVersion: 1,
  treeType: "template",
  template: { id: 1, name: "Paper path checks", comment: "", productCategory: 10 },
  visibilities: [
    { id: 1, name: "Customers" },
    { id: 2, name: "Service agents" },
  ],
  nodes: [
    { id: 1, parent: 0, type: "question", entity: 1, short: "Is the tray pushed in fully?", long: "", visibilities: [1, 2], faqs: ";", hyperlink: null },
    { id: 2, parent: 1, type: "answer", entity: 2, short: "No, it sticks out", long: "", visibilities: [1, 2], faqs: ";", hyperlink: null },
  ],
};

beforeAll(async () => {
  service = await startService();
  await service.addUser("alice", "author", "alice's long password");
  await service.addUser("pia", "publisher", "pia's long password");
  // A published template to graft, made the quick way: the journey is about grafting it.
  const pia = await signInOverHttp(service.url, "pia", "pia's long password");
  const templateId = await pia.call<number>("TSDOM.CreateNewTemplateInfo", {
    i_sName: "Paper path checks",
    i_sComment: "",
    i_lProductCategory: 10,
  });
  await pia.call("Exchange.Import", { i_vFile: TEMPLATE, i_lTreeType: 2, i_lID: templateId, i_bReuseTexts: false });
  browser = await launchBrowser();
  page = await newPerson(browser);
  await signIn(page, service.url, "alice", "alice's long password");
  // From here on (before sign-in the app asks who is signed in and hears 401).
  problems = await watchPage(page);
});

pictureOnFailure(() => browser.contexts().flatMap((c) => c.pages()));

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const tree = () => page.getByRole("tree");
const item = (name: string) => tree().getByRole("treeitem", { name, exact: true });
const dialog = () => page.getByRole("dialog");
const rowNames = () => tree().getByRole("treeitem").evaluateAll((rows) => rows.map((r) => r.getAttribute("aria-label")));
/** The audiences a row shows as badges, in their order. */
const badges = (name: string) =>
  item(name)
    .getByText(/^(Customers|Service agents|Partners)$/)
    .allInnerTexts();
const details = () => page.getByRole("form", { name: /details$/ });

async function select(name: string) {
  await item(name).click();
  await page.getByRole("heading", { level: 2, name: new RegExp(`: ${escape(name)}$`) }).waitFor();
}

function escape(text: string) {
  return text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
}

/** Adds a child below the selected node through the dialog, and waits for it in the tree panel. */
async function addChild(type: string, short: string, long = "", check?: "check accessibility") {
  await page.getByRole("button", { name: "Add child" }).click();
  if (check) await checkAccessibility(page, "add child dialog");
  const radio = dialog().getByRole("radio", { name: type });
  if (await radio.count()) await radio.check();
  await dialog().getByLabel("Short text").fill(short);
  await dialog().getByLabel("Long text").fill(long);
  await dialog().getByRole("button", { name: "Add", exact: true }).click();
  await dialog().waitFor({ state: "hidden" });
  await item(short).waitFor();
  await page.getByRole("heading", { level: 2, name: new RegExp(`: ${escape(short)}$`) }).waitFor();
}

/** Drags a row with the mouse, as a person does, onto another row's upper edge. */
async function dragOnto(source: string, target: string, _where: "upper edge") {
  const from = (await item(source).boundingBox())!;
  const to = (await item(target).boundingBox())!;
  await page.mouse.move(from.x + 60, from.y + from.height / 2);
  await page.mouse.down();
  await page.mouse.move(to.x + 60, to.y + to.height / 2, { steps: 5 });
  await page.mouse.move(to.x + 60, to.y + 3, { steps: 5 });
  // Rest there a moment, as a person does before letting go: the panel takes
  // the place in over a drawn frame and accepts the drop on the next move.
  for (const dx of [1, 0]) {
    await page.evaluate(() => new Promise((drawn) => requestAnimationFrame(() => requestAnimationFrame(drawn))));
    await page.mouse.move(to.x + 60 + dx, to.y + 3);
  }
  await page.mouse.up();
}

async function createTree(product: string) {
  await page.getByRole("link", { name: "Products and templates" }).click();
  await page.getByRole("row", { name: new RegExp(product) }).getByRole("button", { name: "Create tree" }).click();
  await page.getByRole("heading", { level: 1, name: `Product tree: ${product}` }).waitFor();
  // A new tree comes checked out to whoever created it.
  await page.getByText("You have this tree checked out").waitFor();
}

describe("building a tree in the editor", () => {
  it("creates a tree, checks it out and builds three levels", async () => {
    await createTree("Laser printer L200");
    await checkAccessibility(page, "editor, empty tree");
    await tree().getByRole("treeitem").first().click();
    await addChild("Troubleshooting category", "Paper handling", "Paper does not go through the printer as it should.");
    await checkAccessibility(page, "editor, node panel");
    await addChild("Question", "Does the paper jam?", "Paper stops inside the printer.", "check accessibility");
    await addChild("Answer", "Yes, at the rear", "The sheet is stuck behind the rear cover.");
    await addChild("Action", "Open the rear cover", "Pull the sheet out slowly with both hands.");
    await select("Paper handling");
    await addChild("Question", "Is the print faint?");
    await addChild("Answer", "Only on the left side");
    await select("Paper handling");
    await addChild("Question", "Does it print at all?");
    expect(await rowNames()).toEqual([
      expect.any(String),
      "Paper handling",
      "Does the paper jam?",
      "Yes, at the rear",
      "Open the rear cover",
      "Is the print faint?",
      "Only on the left side",
      "Does it print at all?",
    ]);
  });

  it("edits texts and audiences and shows them in the tree panel", async () => {
    await select("Is the print faint?");
    await details().getByLabel("Short text").fill("Is the print pale?");
    await details().getByLabel("Long text").fill("Letters are grey instead of black.");
    await page.getByRole("treeitem", { name: "Is the print faint?" }).getByText("unsaved", { exact: true }).waitFor();
    await details().getByRole("button", { name: "Save" }).click();
    await item("Is the print pale?").waitFor();

    // Customers only for the action: agents open the cover themselves.
    await select("Open the rear cover");
    await details().getByRole("group", { name: "Visible to" }).getByLabel("Service agents").uncheck();
    await details().getByRole("button", { name: "Save" }).click();
    await details().getByText("Unsaved changes.").waitFor({ state: "hidden" });
    expect(await badges("Open the rear cover")).toEqual(["Customers", "Partners"]);
    await checkAccessibility(page, "editor, node saved");
  });

  it("moves nodes with the buttons and by dragging, and deletes one", async () => {
    await select("Does it print at all?");
    await page.getByRole("button", { name: "Move up" }).click();
    await expect.poll(rowNames, { timeout: 10_000 }).toEqual([
      expect.any(String),
      "Paper handling",
      "Does the paper jam?",
      "Yes, at the rear",
      "Open the rear cover",
      "Does it print at all?",
      "Is the print pale?",
      "Only on the left side",
    ]);

    // Dragged onto the upper edge of the first question: it goes first.
    await select("Does the paper jam?");
    await dragOnto("Does it print at all?", "Does the paper jam?", "upper edge");
    await expect.poll(rowNames, { timeout: 10_000 }).toEqual([
      expect.any(String),
      "Paper handling",
      "Does it print at all?",
      "Does the paper jam?",
      "Yes, at the rear",
      "Open the rear cover",
      "Is the print pale?",
      "Only on the left side",
    ]);

    await select("Is the print pale?");
    await page.getByRole("button", { name: "Delete", exact: true }).click();
    await dialog().getByText("This deletes 2 nodes").waitFor();
    await checkAccessibility(page, "delete dialog");
    await dialog().getByRole("button", { name: "Delete", exact: true }).click();
    await item("Is the print pale?").waitFor({ state: "detached" });
    expect(await rowNames()).not.toContain("Only on the left side");
  });

  it("pastes a node into another tree and asks which audiences it gains there", async () => {
    await select("Open the rear cover");
    await page.getByRole("button", { name: "Copy", exact: true }).click();
    await page.getByText("Copied: “Open the rear cover” (1 node).").waitFor();

    await createTree("Combined copier C5");
    await tree().getByRole("treeitem").first().click();
    await addChild("Troubleshooting category", "Jams");
    await addChild("Question", "Where is the sheet stuck?");
    await page.getByRole("button", { name: "Paste" }).click();
    await dialog().getByRole("heading", { name: "Paste" }).waitFor();
    await checkAccessibility(page, "paste dialog");
    await dialog().getByRole("group", { name: "Also make visible to" }).getByLabel("Service agents").check();
    await dialog().getByRole("button", { name: "Paste" }).click();
    await dialog().waitFor({ state: "hidden" });
    await item("Open the rear cover").waitFor();
    expect((await badges("Open the rear cover")).sort()).toEqual(["Customers", "Partners", "Service agents"]);
  });

  it("grafts a template below a category", async () => {
    await page.getByRole("link", { name: "Products and templates" }).click();
    await page.getByRole("row", { name: /Laser printer L200/ }).getByRole("link", { name: "Open" }).click();
    await select("Paper handling");
    await page.getByRole("button", { name: "Insert template" }).click();
    await dialog().getByLabel("Template").selectOption({ label: "Paper path checks" });
    await dialog().getByText("Its 2 nodes are copied below Paper handling.").waitFor();
    await checkAccessibility(page, "insert template dialog");
    await dialog().getByRole("button", { name: "Insert template" }).click();
    await dialog().waitFor({ state: "hidden" });
    await item("Is the tray pushed in fully?").waitFor();
    await item("No, it sticks out").waitFor();

    await select("Open the rear cover");
    await screenshot(page, "tree-editor");
    expect(problems.list()).toEqual([]);
  });

  it("is published by a publisher and then shown as the published tree", async () => {
    const publisher = await newPerson(browser);
    await signIn(publisher, service.url, "pia", "pia's long password");
    await publisher.getByRole("row", { name: /Laser printer L200/ }).getByText("Checked out by alice").waitFor();
    await publisher.getByRole("row", { name: /Laser printer L200/ }).getByRole("link", { name: "Open" }).click();
    await publisher.getByText("alice has this tree checked out").waitFor();
    await publisher.getByRole("button", { name: "Publish" }).click();
    const publishing = publisher.getByRole("dialog", { name: "Publish Laser printer L200" });
    await publishing.getByLabel("Comment for this version").fill("First version of the paper questions");
    await checkAccessibility(publisher, "publish dialog");
    await publishing.getByRole("button", { name: "Publish" }).click();
    await publishing.waitFor({ state: "hidden" });
    await publisher.getByText("This is the published tree.").waitFor();
    await publisher.getByRole("tree").getByRole("treeitem", { name: "Is the tray pushed in fully?" }).waitFor();

    await page.reload();
    await page.getByText("This is the published tree.").waitFor();
    await item("Is the tray pushed in fully?").waitFor();
    await publisher.context().close();
  });
});
