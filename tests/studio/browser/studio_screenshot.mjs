// The README's picture of the studio: the demo's mask and a hole cut from it tracked to the end,
// the matte tinted over the picture with the previous frame's outline faint, the tracked keys on
// the timeline, the list of masks beside the view.
// Usage: node studio_screenshot.mjs MASKFX WORKDIR OUT.png (not a test; run by hand).
import { spawn, execFileSync } from "node:child_process";
import { mkdirSync, rmSync } from "node:fs";
import path from "node:path";

import { chromiumOrSkip, studioAddress } from "./studio_harness.mjs";

const [maskfx, work, out] = process.argv.slice(2);
const { chromium, browserPath } = chromiumOrSkip();
rmSync(work, { recursive: true, force: true });
mkdirSync(work, { recursive: true });
execFileSync(maskfx, ["demo", "-o", path.join(work, "demo")], { stdio: "ignore" });
const studio = spawn(maskfx, ["studio", path.join(work, "demo", "clip", "frame_%04d.png"), "-m",
                              path.join(work, "demo", "mask.json"), "-o", path.join(work, "edited.json")],
                     { stdio: ["ignore", "pipe", "inherit"] });
const address = await studioAddress(studio);
const browser = await chromium.launch({ executablePath: browserPath, args: ["--headless", "--no-sandbox", "--disable-gpu"] });
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
  await page.goto(address);
  await page.waitForFunction(() => state && !pending.length);
  await page.click("#fit");
  // A hole in the middle of the card, drawn as a second mask that subtracts.
  await page.click("#addmask");
  await page.waitForFunction(() => state.masks.length === 2 && !pending.length);
  const view = await page.locator("#view").boundingBox();
  const [zoom, offset] = await page.evaluate(() => [zoom, offset]);
  const at = (x, y) => [view.x + offset[0] + zoom * x, view.y + offset[1] + zoom * y];
  for (const [x, y] of [[255, 160], [305, 160], [305, 200], [255, 200], [255.5, 160]]) {
    await page.mouse.click(...at(x, y));
    await page.waitForFunction(() => !pending.length);
  }
  await page.selectOption(".mask-row.selected select", "subtract");
  page.once("dialog", (d) => d.accept("hole"));
  await page.dblclick(".mask-row.selected .name");
  await page.waitForFunction(() => state.masks[1].name === "hole" && !pending.length);
  await page.check("#trackall");
  await page.click("#toend");
  await page.waitForFunction(() => state.run && !state.run.running && !tracking, null, { timeout: 120000 });
  await page.keyboard.press("Home");
  for (let i = 0; i < 12; ++i) await page.keyboard.press(".");
  await page.waitForFunction(() => state.frame === 12 && !pending.length);
  await page.check("#onion");
  await page.selectOption("#look", "tinted");
  await page.waitForTimeout(4000);
  await page.screenshot({ path: out });
} finally {
  await browser.close();
  studio.kill("SIGINT");
}
