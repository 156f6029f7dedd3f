// Two authors and one tree: the one who does not hold it sees the published
// tree, who holds it and since when, and cannot change it; a check-out lost
// to the other in a race says so. Then both work at once in several tabs.
import { afterAll, beforeAll, describe, expect, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { checkAccessibility, launchBrowser, startService, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn, signInOverHttp, watchTraffic, type EngineSession } from "./journey-api";

let service: Service;
let browser: Browser;
let alice: EngineSession;
let bob: Page;

function smallTree(id: number, name: string) {
  const n = (nid: number, parent: number, type: string, short: string) => ({
    id: nid, parent, type, entity: nid, short, long: `About ${short.toLowerCase()}`, visibilities: [1, 2], faqs: ";", hyperlink: null,
  });
  return {
    format: "tsauthor-tree",
    formatVersion: 1,
    treeType: "product",
    product: { id, name },
    visibilities: [{ id: 1, name: "Customers" }, { id: 2, name: "Service agents" }],
    nodes: [
      n(1, 0, "category", "Printing"),
      n(2, 1, "question", "Is the printer on?"),
      n(3, 2, "answer", "No"),
      n(4, 3, "action", "Switch it on"),
      n(5, 1, "question", "Is there paper?"),
    ],
  };
}

beforeAll(async () => {
  service = await startService();
  await service.addUser("pia", "publisher", "pia's long password");
  await service.addUser("alice", "author", "alice's long password");
  await service.addUser("bob", "author", "bob's long password");
  const pia = await signInOverHttp(service.url, "pia", "pia's long password");
  for (const [id, name] of [[7, "Laser printer L200"], [9, "Combined copier C5"]] as const)
    await pia.call("Exchange.Import", { i_vFile: smallTree(id, name), i_lTreeType: 1, i_lID: id, i_bReuseTexts: false });
  alice = await signInOverHttp(service.url, "alice", "alice's long password");
  await alice.call("TSDOM.CheckOut", { i_lTreeType: 1, i_lID: 7, o_sOwner: "" });
  await alice.call("TSDOM.AddChildNew", {
    i_lTreeType: 1, i_lID: 7, i_lCurrentNodeID: 1, i_lRepType: 2, i_sSDesc: "Is the firmware current?", i_sLDesc: "",
    i_sVisibilities: ";1;2;", i_sFAQs: ";", i_lHyperlinkNodeID: -1,
  });
  browser = await launchBrowser();
  bob = await newPerson(browser);
  await signIn(bob, service.url, "bob", "bob's long password");
});

pictureOnFailure(() => browser.contexts().flatMap((c) => c.pages()));

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const item = (page: Page, name: string) => page.getByRole("tree").getByRole("treeitem", { name, exact: true });
const details = (page: Page) => page.getByRole("form", { name: /details$/ });
const row = (page: Page, product: string) => page.getByRole("row", { name: new RegExp(product) });

describe("a tree held by another author", () => {
  it("shows the published tree and who holds it, and offers no change", async () => {
    await row(bob, "Laser printer L200").getByText(/Checked out by alice since/).waitFor();
    await row(bob, "Laser printer L200").getByRole("link", { name: "Open" }).click();
    await bob.getByText(/Read only: alice has this tree checked out since/).waitFor();
    await item(bob, "Is there paper?").waitFor();
    // alice's working copy stays hers.
    expect(await item(bob, "Is the firmware current?").count()).toBe(0);
    expect(await bob.getByRole("button", { name: "Check out" }).count()).toBe(0);

    await item(bob, "Is the printer on?").click();
    await bob.getByRole("heading", { level: 2, name: /Is the printer on\?$/ }).waitFor();
    expect(await details(bob).getByLabel("Short text").isEditable()).toBe(false);
    expect(await bob.getByRole("button", { name: "Add child" }).count()).toBe(0);
    expect(await bob.getByRole("button", { name: "Save" }).count()).toBe(0);
    await checkAccessibility(bob, "editor, held by another");
  });

  it("says who won when the other author checks out first", async () => {
    await bob.getByRole("link", { name: "Products and templates" }).click();
    await row(bob, "Combined copier C5").getByRole("link", { name: "Open" }).click();
    await bob.getByRole("button", { name: "Check out" }).waitFor();
    // alice is quicker.
    await alice.call("TSDOM.CheckOut", { i_lTreeType: 1, i_lID: 9, o_sOwner: "" });
    await bob.getByRole("button", { name: "Check out" }).click();
    await bob.getByRole("alert").getByText("alice has this tree checked out, so you cannot check it out now.").first().waitFor();
    await bob.getByText(/Read only: alice has this tree checked out/).waitFor();
    expect(await bob.getByRole("button", { name: "Add child" }).count()).toBe(0);
    await checkAccessibility(bob, "editor, check-out refused");
  });
});

describe("several people in several tabs at once", () => {
  it("answers every request of two people in three tabs each, and keeps both authors' saves", async () => {
    const aliceContext = (await newPerson(browser)).context();
    const aliceTab = aliceContext.pages()[0]!;
    await signIn(aliceTab, service.url, "alice", "alice's long password");
    const traffic = [watchTraffic(aliceContext), watchTraffic(bob.context())];
    const aliceTabs = [aliceTab, await aliceContext.newPage(), await aliceContext.newPage()];
    const bobTabs = [bob, await bob.context().newPage(), await bob.context().newPage()];
    const editor = `${service.url}edit/1/7`;
    const preview = `${service.url}preview/1/7`;

    // alice saves two different nodes of her working copy from two tabs at the same moment.
    const saveIn = async (tab: Page, node: string, text: string) => {
      await tab.goto(editor);
      await item(tab, node).click();
      await details(tab).getByLabel("Long text").fill(text);
      await details(tab).getByRole("button", { name: "Save" }).click();
      await details(tab).getByText("Unsaved changes.").waitFor({ state: "hidden" });
      await tab.getByRole("treeitem", { name: node }).getByText("unsaved", { exact: true }).waitFor({ state: "hidden" });
    };
    const walk = async (tab: Page, url: string, firmwareQuestion: "shown" | "not shown") => {
      await tab.goto(url);
      await tab.getByRole("article").getByRole("link", { name: /Printing/ }).click();
      // Only alice's working copy has the firmware question.
      await tab.getByRole("heading", { level: 2, name: "Printing" }).waitFor();
      expect(await tab.getByRole("article").getByRole("link", { name: /Is the firmware current/ }).count()).toBe(
        firmwareQuestion === "shown" ? 1 : 0,
      );
      await tab.getByRole("article").getByRole("link", { name: /Is the printer on/ }).click();
      await tab.getByRole("article").getByRole("link", { name: /No$/ }).click();
      await tab.getByRole("article").getByRole("link", { name: /Switch it on/ }).click();
      await tab.getByRole("heading", { level: 2, name: "Switch it on" }).waitFor();
    };
    const browseHome = async (tab: Page) => {
      for (let i = 0; i < 3; i++) {
        await tab.goto(service.url);
        await row(tab, "Laser printer L200").getByText(/Checked out by alice/).waitFor();
      }
    };
    const readEditor = async (tab: Page) => {
      await tab.goto(editor);
      for (const node of ["Printing", "Is there paper?", "Switch it on"]) {
        await item(tab, node).click();
        await tab.getByRole("heading", { level: 2, name: new RegExp(`${node.replace("?", "\\?")}$`) }).waitFor();
      }
    };

    await Promise.all([
      saveIn(aliceTabs[0]!, "Is the printer on?", "Look for the green light at the front."),
      saveIn(aliceTabs[1]!, "Is there paper?", "Open the tray and look."),
      walk(aliceTabs[2]!, `${preview}?view=working`, "shown"),
      browseHome(bobTabs[0]!),
      readEditor(bobTabs[1]!),
      walk(bobTabs[2]!, preview, "not shown"),
    ]);

    expect(traffic.flatMap((t) => t.problems)).toEqual([]);
    expect(traffic[0]!.requests + traffic[1]!.requests).toBeGreaterThan(30);
    const copy = await alice.call<{ root: { children: Array<{ children: Array<{ short: string; long: string }> }> } }>(
      "Browse.Tree",
      { i_lTreeType: 1, i_lID: 7, i_sView: "working" },
    );
    const questions = copy.root.children[0]!.children;
    expect(questions.find((q) => q.short === "Is the printer on?")?.long).toBe("Look for the green light at the front.");
    expect(questions.find((q) => q.short === "Is there paper?")?.long).toBe("Open the tray and look.");
    await aliceContext.close();
  });
});
