// maskfx studio's list of masks in a real headless browser: draw an outline, add a second mask
// and draw a hole in it, make it subtract and rename it, track both with one press, hide and move
// them, remove one and bring it back with undo. The matte the page shows is compared, pixel for
// pixel, with the frame the page's render writes, and the saved document holds both masks.
// Usage: node studio_masks.mjs MASKFX WORKDIR. Exit 77 when no browser is installed.
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import path from "node:path";

import { chromiumOrSkip, fail, freshWorkWithDemo, studioAddress } from "./studio_harness.mjs";

const [maskfx, work] = process.argv.slice(2);
const { chromium, browserPath } = chromiumOrSkip();

freshWorkWithDemo(maskfx, work);
const saved = path.join(work, "saved.json");
const rendered = path.join(work, "masked_%02d.png");
const studio = spawn(maskfx, ["studio", path.join(work, "demo", "clip", "frame_%04d.png"), "-o", saved, "--render-to",
                              rendered, "--overwrite"], { stdio: ["ignore", "pipe", "inherit"] });
const address = await studioAddress(studio);

const browser = await chromium.launch({ executablePath: browserPath, args: ["--headless", "--no-sandbox", "--disable-gpu"] });
try {
  const page = await browser.newPage({ viewport: { width: 1000, height: 560 } });
  const refused = [];
  page.on("response", (r) => { if (r.status() >= 400) refused.push(r.status() + " " + new URL(r.url()).pathname); });
  page.on("console", (m) => { if (m.type() === "error") refused.push("console: " + m.text()); });
  await page.goto(address);
  await page.waitForFunction(() => state && !pending.length);
  const view = await page.locator("#view").boundingBox();
  const at = (x, y) => [view.x + 20 + x, view.y + 20 + y];  // layer pixels to page pixels
  const idle = () => page.waitForFunction(() => !pending.length);
  const draw = async (corners) => {
    for (const [x, y] of [...corners, [corners[0][0] + 1, corners[0][1]]]) {
      await page.mouse.click(...at(x, y));
      await idle();
    }
  };
  const masks = () => page.evaluate(() => state.masks.map((m) => [m.name, m.mode, m.keyframes, m.shown]));
  const expect = async (what, wanted) => {
    try {
      await page.waitForFunction((w) => JSON.stringify(state.masks.map((m) => [m.name, m.mode, m.keyframes, m.shown])) === w,
                                 JSON.stringify(wanted), { timeout: 5000 });
    } catch {
      fail(what + ": masks " + JSON.stringify(await masks()) + ", expected " + JSON.stringify(wanted));
    }
  };

  await draw([[200, 100], [420, 110], [410, 260], [190, 250]]);
  await page.click("#addmask");
  await expect("added", [["Mask 1", "replace", 1, true], ["Mask 2", "add", 0, true]]);
  if ((await page.locator(".mask-row.selected .name").textContent()) !== "Mask 2") fail("the new mask is not the one selected");
  await draw([[260, 150], [350, 150], [350, 215], [260, 215]]);
  const hole = '.mask-row[data-id="' + (await page.evaluate(() => state.selected)) + '"]';
  await page.selectOption(hole + " select", "subtract");
  page.once("dialog", (d) => d.accept("hole"));
  await page.dblclick(hole + " .name");
  await expect("drawn, made subtract and renamed", [["Mask 1", "replace", 1, true], ["hole", "subtract", 1, true]]);

  // One press of both masks, each keyed on the next frame.
  await page.check("#trackall");
  await page.click("#fwd");
  await expect("tracked together", [["Mask 1", "replace", 2, true], ["hole", "subtract", 2, true]]);
  if ((await page.evaluate(() => state.frame)) !== 1) fail("the press did not move the page to frame 1");

  // The outline hidden in this tab: drawn no more, kept in the document.
  const overlayBefore = await page.evaluate(() => state.overlay);
  await page.uncheck('.mask-row:first-child input[type="checkbox"]');
  await expect("hidden", [["Mask 1", "replace", 2, false], ["hole", "subtract", 2, true]]);
  if ((await page.evaluate(() => state.overlay)) === overlayBefore) fail("hiding a mask did not redraw the overlay");
  await page.check('.mask-row:first-child input[type="checkbox"]');

  // Moved up and back down; removed and brought back by undo.
  await page.click(hole + " button:has-text('\u2191')");
  await expect("moved up", [["hole", "subtract", 2, true], ["Mask 1", "replace", 2, true]]);
  await page.click(hole + " button:has-text('\u2193')");
  await expect("moved down", [["Mask 1", "replace", 2, true], ["hole", "subtract", 2, true]]);
  await page.click(hole + " button:has-text('\u00d7')");
  await expect("removed", [["Mask 1", "replace", 2, true]]);
  if (!(await page.locator(".mask-row button:has-text('\u00d7')").isDisabled())) fail("the only mask can be removed");
  await page.keyboard.press("Control+z");
  await expect("back by undo", [["Mask 1", "replace", 2, true], ["hole", "subtract", 2, true]]);

  // The matte view against the frame a render writes: the same level at every pixel.
  await page.click("#render");
  await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("rendered to"), null, { timeout: 60000 });
  await page.selectOption("#look", "matte");
  await page.waitForFunction(() => document.getElementById("frame").src.includes("/matte.png") && document.getElementById("frame").complete);
  const png = readFileSync(rendered.replace("%02d", "01")).toString("base64");
  const differ = await page.evaluate(async (b64) => {
    const pixels = async (src) => {
      const img = new Image();
      img.src = src;
      await img.decode();
      const c = document.createElement("canvas");
      c.width = img.naturalWidth, c.height = img.naturalHeight;
      const g = c.getContext("2d");
      g.drawImage(img, 0, 0);
      return g.getImageData(0, 0, c.width, c.height);
    };
    const shown = await pixels(document.getElementById("frame").src);
    const written = await pixels("data:image/png;base64," + b64);
    const matte = shown.data, render = written.data;
    if (matte.length !== render.length) return "sizes differ";
    let differ = 0, kept = 0;
    for (let i = 0; i < matte.length; i += 4) {
      differ += matte[i] !== render[i + 3];
      kept += matte[i] === 255;
    }
    const hole = matte[(183 * shown.width + 305) * 4];  // its middle, on frame 1
    return differ === 0 && kept > 1000 && hole === 0 ? "" : `${differ} pixels differ, ${kept} opaque, the hole at ${hole}`;
  }, png);
  if (differ) fail("the matte view and the render: " + differ);

  await page.click("#save");
  await page.waitForFunction(() => !state.unsaved);
  const doc = JSON.parse(readFileSync(saved, "utf8"));
  const summary = JSON.stringify([doc.version, doc.masks.map((m) => [m.name, m.mode || "replace", m.keyframes.length])]);
  if (summary !== '[2,[["Mask 1","replace",2],["hole","subtract",2]]]') fail("saved " + summary);
  if (refused.length) fail("refused or failed: " + refused.join("; "));
} finally {
  await browser.close();
  studio.kill("SIGINT");
}
if (!process.exitCode) console.log("studio masks browser test passed");
