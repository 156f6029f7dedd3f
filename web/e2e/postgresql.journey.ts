// The short authoring round on PostgreSQL: create, check out, edit, publish.
import { afterAll, beforeAll, describe, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { launchBrowser, startService, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn } from "./journey-api";

let service: Service;
let browser: Browser;
let page: Page;

beforeAll(async () => {
  service = await startService({ backend: "postgresql" });
  await service.addUser("pia", "publisher", "pia's long password");
  browser = await launchBrowser();
  page = await newPerson(browser);
  await signIn(page, service.url, "pia", "pia's long password");
});

pictureOnFailure(() => [page]);

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const item = (name: string) => page.getByRole("tree").getByRole("treeitem", { name, exact: true });
const dialog = () => page.getByRole("dialog");

describe("on PostgreSQL", () => {
  it("creates a tree, checks it out, edits it and publishes it", async () => {
    const row = page.getByRole("row", { name: /Flatbed scanner F10/ });
    await row.getByRole("button", { name: "Create tree" }).click();
    await page.getByText("You have this tree checked out").waitFor();

    await page.getByRole("tree").getByRole("treeitem").first().click();
    await page.getByRole("button", { name: "Add child" }).click();
    await dialog().getByLabel("Short text").fill("Scanning");
    await dialog().getByRole("button", { name: "Add", exact: true }).click();
    await item("Scanning").waitFor();
    const details = page.getByRole("form", { name: /details$/ });
    await details.getByLabel("Short text").fill("Scanning problems");
    await details.getByRole("button", { name: "Save" }).click();
    await item("Scanning problems").waitFor();

    await page.getByRole("button", { name: "Publish" }).click();
    // The button waits for the check before publishing (a warning does not stop it).
    await dialog().getByRole("button", { name: "Publish" }).click();
    await page.getByText("This is the published tree.").waitFor();

    await page.getByRole("link", { name: "Products and templates" }).click();
    await row.getByText("Published, 2 nodes").waitFor();
  });
});
