// Opens a page written by kelmora-report in headless Chromium and uses it
// as a person would: reads the summary, unfolds the tree, searches, clicks
// the flame graph. Fails on any console error or network request.
// Usage: node report-page.js PAGE SCREENSHOT EXPECTED.json
//        node report-page.js PAGE SCREENSHOT [SEARCH]   (only a screenshot,
//        with the first call unfolded or SEARCH found; for the README)
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const { chromium } = require("playwright-core");

const [pagePath, screenshotPath, expectedPath] = process.argv.slice(2);
const expected = expectedPath && expectedPath.endsWith(".json")
  ? JSON.parse(fs.readFileSync(expectedPath, "utf8")) : null;
const failures = [];
const check = (ok, what) => {
  console.log((ok ? "ok   " : "FAIL ") + what);
  if (!ok) failures.push(what);
};

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "kelmora-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1280, height: 900 },
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    const consoleErrors = [];
    const requests = [];
    page.on("console", (m) => { if (m.type() === "error") consoleErrors.push(m.text()); });
    page.on("pageerror", (e) => consoleErrors.push(String(e)));
    page.on("request", (r) => { if (!r.url().startsWith("file:")) requests.push(r.url()); });

    const start = Date.now();
    await page.goto("file://" + path.resolve(pagePath));
    await page.waitForSelector("#summary .card", { timeout: 30000 });
    console.log(`page drawn in ${Date.now() - start} ms`);

    if (!expected) {
      if (!(await page.$("#tree .row"))) {
        // Nothing to unfold.
      } else if (expectedPath) {
        await page.fill("#search", expectedPath);
        await page.press("#search", "Enter");
      } else {
        await page.click("#tree .row");
      }
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: screenshotPath, fullPage: true });
      console.log("screenshot: " + screenshotPath);
      check(consoleErrors.length === 0, "no console error" + (consoleErrors.length ? ": " + consoleErrors.join(" | ") : ""));
      check(requests.length === 0, "no network request");
      return;
    }

    await page.waitForSelector("#tree .row", { timeout: 10000 });
    // Summary cards, as the reader sees them.
    for (const [key, value] of Object.entries(expected.summary)) {
      const shown = await page.textContent("#sum-" + key + " .value");
      check(shown === Number(value).toLocaleString("en-US"), `summary ${key}: shows ${shown}, expected ${value}`);
    }

    // The tree: the outermost calls are drawn, folded.
    const top = await page.$$eval("#tree > div > .row .name", (e) => e.map((x) => x.textContent));
    check(JSON.stringify(top) === JSON.stringify(expected.outermost),
      `outermost calls in the tree: ${JSON.stringify(top)}`);

    // A click unfolds a node and shows its callees.
    const rowOf = (name) => page.locator(".row", { has: page.locator(".name", { hasText: name }) }).first();
    const main = rowOf(expected.unfold);
    await main.click();
    const below = await main.locator("xpath=..").locator(".children > div > .row .name").allTextContents();
    check(expected.unfoldShows.every((c) => below.includes(c)),
      `clicking ${expected.unfold} shows ${expected.unfoldShows.join(", ")} (shown: ${below.length} callees)`);
    check((await main.locator(".toggle").textContent()) === "\u25BE", "the unfolded node is marked unfolded");

    // Search finds a method deeper down and unfolds the way to it.
    await page.fill("#search", expected.search);
    await page.press("#search", "Enter");
    const found = page.locator(".row.found");
    const foundName = (await found.count()) === 1 ? await found.locator(".name").textContent() : null;
    check(foundName === expected.searchFinds, `search "${expected.search}" finds ${foundName}`);
    check((await found.count()) === 1 && (await found.isVisible()), "the found method is shown");
    const result = await page.textContent("#search-result");
    check(result.startsWith("call path 1 of "), `search result says: ${result}`);

    // The flame graph is drawn and zooms on a click.
    const flame = await page.evaluate(() => {
      const c = document.getElementById("flame");
      const data = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      let painted = 0;
      for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) painted++;
      return { frames: Number(c.dataset.frames), painted, pixels: data.length / 4 };
    });
    check(flame.frames === expected.flameFrames, `flame graph draws ${flame.frames} frames`);
    check(flame.painted > flame.pixels / 4, `flame graph paints ${flame.painted} of ${flame.pixels} pixels`);
    const canvas = await page.$("#flame");
    const box = await canvas.boundingBox();
    // Row 1 is the first outermost call, drawn from the left edge.
    await page.mouse.click(box.x + 5, box.y + 18 + 9);
    const zoomed = await page.$eval("#flame", (c) => Number(c.dataset.frames));
    check(zoomed === expected.zoomedFrames, `a click on the first outermost frame zooms in: ${zoomed} frames`);

    // The hot methods, heaviest first, and the receivers per class.
    const firstMethod = await page.textContent("#methods tr:nth-child(2) td:nth-child(3)");
    check(firstMethod === String(expected.mostCalls), `hottest method has ${firstMethod} calls`);
    await page.click("#methods th:nth-child(4)");
    const byPaths = await page.$$eval("#methods tr td:nth-child(4)", (c) => c.map((x) => x.textContent));
    check(byPaths[0] === String(expected.mostPaths), `sorted by call paths, the first has ${byPaths[0]}`);
    await page.click("#methods th:nth-child(4)");
    const byPathsUp = await page.$$eval("#methods tr td:nth-child(4)", (c) => c.map((x) => x.textContent));
    const ascending = await page.getAttribute("#methods th:nth-child(4)", "class");
    check(byPathsUp[0] === "1" && ascending === "sorted-asc", "a second click sorts the other way");
    const classes = await page.$$eval("#classes tr", (rows) => rows.length - 1);
    check(classes === expected.receiverClasses, `receivers table has ${classes} classes`);

    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: screenshotPath, fullPage: true });
    console.log("screenshot: " + screenshotPath);
    check(consoleErrors.length === 0, "no console error" + (consoleErrors.length ? ": " + consoleErrors.join(" | ") : ""));
    check(requests.length === 0, "no network request" + (requests.length ? ": " + requests.join(" ") : ""));
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(`${failures.length === 0 ? "PASS" : "FAIL"}: ${failures.length} failed checks`);
  process.exit(failures.length === 0 ? 0 : 1);
})().catch((e) => {
  console.error("FAIL: " + (e && e.stack ? e.stack : e));
  process.exit(1);
});
