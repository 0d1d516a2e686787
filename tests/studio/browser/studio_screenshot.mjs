// The README's picture of the studio: the demo's mask tracked to the end, the matte tinted over
// the picture with the previous frame's outline faint, the tracked keys on the timeline.
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
  await page.click("#toend");
  await page.waitForFunction(() => state.run && !state.run.running && !tracking, null, { timeout: 120000 });
  await page.keyboard.press("Home");
  for (let i = 0; i < 12; ++i) await page.keyboard.press(".");
  await page.waitForFunction(() => state.frame === 12 && !pending.length);
  await page.check("#onion");
  await page.selectOption("#look", "tinted");
  await page.waitForTimeout(1500);
  await page.screenshot({ path: out });
} finally {
  await browser.close();
  studio.kill("SIGINT");
}
