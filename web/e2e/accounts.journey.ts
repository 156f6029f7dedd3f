// The first run: the first administrator through the setup link, an author
// added beside, signing in (and failing to), roles showing in what is offered.
import { afterAll, beforeAll, describe, expect, it } from "vitest";
import type { Browser, Page } from "playwright-core";
import { checkAccessibility, launchBrowser, startService, type Service } from "./harness";
import { newPerson, pictureOnFailure, signIn } from "./journey-api";

let service: Service;
let browser: Browser;
let page: Page;

beforeAll(async () => {
  service = await startService({ backend: "sqlite" });
  browser = await launchBrowser();
  page = await newPerson(browser);
});

pictureOnFailure(() => browser.contexts().flatMap((c) => c.pages()));

afterAll(async () => {
  await browser?.close();
  await service?.stop();
});

const row = (name: string) => page.getByRole("row", { name: new RegExp(name) });

describe("first run and signing in", () => {
  it("creates the first administrator through the setup link, once", async () => {
    await page.goto(service.setupUrl);
    await page.getByRole("heading", { name: "Create the first administrator" }).waitFor();
    await checkAccessibility(page, "setup");
    await page.getByLabel("Login").fill("ada");
    await page.getByLabel("Full name").fill("Ada Admin");
    await page.getByLabel("Password", { exact: true }).fill("ada's long password");
    await page.getByLabel("Repeat the password").fill("ada's long passwort");
    await page.getByRole("button", { name: "Create administrator" }).click();
    await page.getByRole("alert").getByText("The two passwords differ").waitFor();
    // Nothing typed is lost by the refusal.
    expect(await page.getByLabel("Login").inputValue()).toBe("ada");
    await page.getByLabel("Repeat the password").fill("ada's long password");
    await page.getByRole("button", { name: "Create administrator" }).click();

    await page.getByRole("heading", { level: 1, name: "Products and templates" }).waitFor();
    await page.getByText("Signed in as Ada Admin (ada, admin)").waitFor();
    await row("Laser printer L200").getByRole("button", { name: "Create tree" }).waitFor();
    await checkAccessibility(page, "home");

    // The link served its purpose.
    await page.goto(service.setupUrl);
    await page.getByRole("heading", { name: "This setup link is no longer valid" }).waitFor();
    await checkAccessibility(page, "setup used");
  });

  it("turns a wrong password away in words, keeps the login and lets the author in", async () => {
    await service.addUser("alice", "author", "alice's long password");
    await page.goto(`${service.url}`);
    await page.getByRole("button", { name: "Sign out" }).click();
    await page.getByRole("heading", { name: "Sign in to tsauthor" }).waitFor();
    await checkAccessibility(page, "sign-in");

    await page.getByLabel("Login").fill("alice");
    await page.getByLabel("Password").fill("not her password");
    await page.getByRole("button", { name: "Sign in" }).click();
    await page.getByRole("alert").getByText("The login or the password is wrong.").waitFor();
    expect(await page.getByLabel("Login").inputValue()).toBe("alice");
    await checkAccessibility(page, "sign-in refused");

    await signIn(page, service.url, "alice", "alice's long password");
    await page.getByText("(alice, author)").waitFor();
    // An author creates trees but deletes none; nobody else's account shows.
    await row("Laser printer L200").getByRole("button", { name: "Create tree" }).waitFor();
    expect(await page.getByRole("button", { name: "Delete tree" }).count()).toBe(0);
  });

  it("sends a visitor without a session to sign-in and back where they were going", async () => {
    const visitor = await newPerson(browser);
    await visitor.goto(`${service.url}preview/1/7`);
    await visitor.getByRole("heading", { name: "Sign in to tsauthor" }).waitFor();
    await visitor.getByLabel("Login").fill("alice");
    await visitor.getByLabel("Password").fill("alice's long password");
    await visitor.getByRole("button", { name: "Sign in" }).click();
    await visitor.waitForURL(/\/preview\/1\/7$/);
    await visitor.context().close();
  });
});
