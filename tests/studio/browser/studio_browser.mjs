// maskfx studio in a real headless browser: draw a four-point mask by clicking, close it, drag a
// vertex, set the feather, press ">>" twice, save, and check the saved document against what
// was done, then render from the page. Along the way: keys and buttons that must not reach the
// mask, messages that stay put, a view that does not move, marks under the slider's thumb. Then
// the review keys, a second tab's edit and its undo, a vertex deleted by key and turned by a
// double click, the tinted matte, keys cleared, save as, zoom about the pointer, and the
// recovery of a change not saved offered by the next studio. Usage: node studio_browser.mjs MASKFX WORKDIR. Exit 77 when no browser is installed.
import { spawn } from "node:child_process";
import { existsSync, readFileSync } from "node:fs";
import path from "node:path";

import { chromiumOrSkip, fail, freshWorkWithDemo, studioAddress } from "./studio_harness.mjs";

const [maskfx, work] = process.argv.slice(2);
const { chromium, browserPath } = chromiumOrSkip();

freshWorkWithDemo(maskfx, work);
const saved = path.join(work, "saved.json");
const rendered = path.join(work, "masked_%02d.png");
const studioArgs = ["studio", path.join(work, "demo", "clip", "frame_%04d.png"), "-o", saved, "--render-to", rendered,
                    "--overwrite"];
const studio = spawn(maskfx, studioArgs, { stdio: ["ignore", "pipe", "inherit"] });
const address = await studioAddress(studio);

const browser = await chromium.launch({ executablePath: browserPath, args: ["--headless", "--no-sandbox", "--disable-gpu"] });
try {
  const page = await browser.newPage({ viewport: { width: 900, height: 560 } });
  // A load asks for nothing it is refused (an icon without the token was).
  const refused = [];
  page.on("response", (r) => { if (r.status() >= 400) refused.push(r.status() + " " + new URL(r.url()).pathname); });
  page.on("console", (m) => { if (m.type() === "error") refused.push("console: " + m.text()); });
  await page.goto(address);
  // The page asks for its view (zoom 1, offset 20, 20) once the WebSocket opens.
  await page.waitForFunction(() => document.getElementById("overlay").complete && window.__ready !== false);
  await page.waitForTimeout(300);
  const view = await page.locator("#view").boundingBox();
  const at = (x, y) => [view.x + 20 + x, view.y + 20 + y];  // layer pixels to page pixels
  const settle = () => page.waitForTimeout(150);

  const corners = [[200, 100], [420, 110], [410, 260], [190, 250]];
  for (const [x, y] of corners) {
    await page.mouse.click(...at(x, y));
    await settle();
  }
  await page.mouse.click(...at(201, 100));  // on the first point: closes the path
  await settle();

  // Drag the third vertex by (12, 8), timing each move's round trip to the redrawn overlay.
  const times = [];
  await page.mouse.move(...at(410, 260));
  await page.mouse.down();
  for (let i = 1; i <= 4; ++i) {
    const started = Date.now();
    await page.mouse.move(...at(410 + 3 * i, 260 + 2 * i));
    await page.waitForFunction(() => document.getElementById("overlay").complete);
    times.push(Date.now() - started);
    await settle();
  }
  await page.mouse.up();
  await settle();

  // Middle- and right-button drags inside the mask leave it where it is.
  for (const button of ["middle", "right"]) {
    await page.mouse.move(...at(300, 180));
    await page.mouse.down({ button });
    for (let i = 1; i <= 3; ++i) await page.mouse.move(...at(300 + 10 * i, 180 + 10 * i));
    await page.mouse.up({ button });
    await settle();
  }

  // The matte sliders span what the module declares for them, as the studio's state says.
  const spans = await page.$$eval("#feather, #opacity, #expansion", (els) => els.map((el) => [el.id, el.min, el.max]));
  if (JSON.stringify(spans) !== '[["feather","0","300"],["opacity","0","100"],["expansion","-300","300"]]')
    fail("slider spans " + JSON.stringify(spans));
  await page.$eval("#feather", (el) => { el.value = "25"; el.dispatchEvent(new Event("change")); });
  await settle();
  // The motion shows the studio's default; the one chosen is what the presses fit and the
  // document keeps.
  const motion = await page.inputValue("#motion");
  if (motion !== "perspective") fail("the motion shown at the start: " + motion);
  await page.selectOption("#motion", "affine");
  await settle();

  // Arrow keys on the focused frame slider move the slider, not the mask (shift: a nudge by 10
  // the saved vertices would show).
  const frameIs = (n) => page.waitForFunction((n) => document.getElementById("frameno").textContent === "frame " + n, n);
  await page.focus("#slider");
  await page.keyboard.press("Shift+ArrowRight");
  await frameIs(1);
  await page.keyboard.press("Shift+ArrowLeft");
  await frameIs(0);
  for (let i = 0; i < 2; ++i) {
    await page.click("#fwd");
    await page.waitForFunction((n) => document.getElementById("frameno").textContent === "frame " + n, i + 1,
                               { timeout: 30000 });
  }
  if ((await page.textContent("#save")) !== "save *") fail("the save button before saving: " + (await page.textContent("#save")));
  await page.click("#save");
  await page.waitForFunction(() => document.getElementById("status").textContent === "saved");
  if ((await page.textContent("#save")) !== "save") fail("the save button after saving: " + (await page.textContent("#save")));
  // Hovering over the view keeps the message.
  for (let i = 0; i < 5; ++i) await page.mouse.move(...at(100 + 40 * i, 300));
  await page.evaluate(() => send({ type: "state" }));  // after every hover's reply
  const said = await page.textContent("#status");
  if (said !== "saved") fail("the status after hovering: " + JSON.stringify(said));
  // A message longer than the bar does not move the view.
  const viewTop = async () => (await page.locator("#view").boundingBox()).y;
  const top = await viewTop();
  await page.evaluate(() => say("a long message ".repeat(40)));
  if ((await viewTop()) !== top) fail("a long status moved the view from " + top + " to " + (await viewTop()));
  await page.evaluate(() => say(""));
  if ((await viewTop()) !== top) fail("an empty status moved the view from " + top + " to " + (await viewTop()));
  await page.screenshot({ path: path.join(work, "studio.png") });

  // Each keyframe's mark sits under the thumb's centre (found in the pixels) at that frame.
  await page.$eval("#slider", (el) => el.blur());  // no focus ring among the pixels
  const slider = await page.locator("#slider").boundingBox();
  for (const k of [0, 1, 2]) {
    await page.$eval("#slider", (el, k) => { el.value = String(k); el.dispatchEvent(new Event("input")); }, k);
    await frameIs(k);
    const row = await page.screenshot({ clip: { x: slider.x, y: slider.y + slider.height / 2, width: slider.width, height: 1 } });
    const lit = await page.evaluate(async (b64) => {
      const img = new Image();
      img.src = "data:image/png;base64," + b64;
      await img.decode();
      const c = document.createElement("canvas");
      c.width = img.width, c.height = 1;
      c.getContext("2d").drawImage(img, 0, 0);
      const px = c.getContext("2d").getImageData(0, 0, img.width, 1).data, xs = [];
      for (let x = 0; x < img.width; ++x) if (px[4 * x] > 180) xs.push(x);
      return xs;
    }, row.toString("base64"));
    const thumb = slider.x + (lit[0] + lit[lit.length - 1] + 1) / 2;
    const mark = await page.locator("#marks > div").nth(k).boundingBox();
    const centre = mark.x + mark.width / 2;
    if (!lit.length || Math.abs(centre - thumb) > 1.5) fail(`the mark of frame ${k} at ${centre}, its thumb at ${thumb}`);
  }
  await page.click("#render");
  await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("rendered to"),
                             null, { timeout: 60000 });
  if (!existsSync(path.join(work, "masked_23.png"))) fail("the render wrote no last frame");
  if (!(await page.locator("#stoprender").isHidden())) fail("the stop button stays after the render");

  // Frames by key, with no control focused: "." and "," step, End and Home jump.
  await page.evaluate(() => document.activeElement.blur());
  for (const [key, n] of [["Home", 0], [".", 1], [".", 2], [",", 1], ["End", 23], ["Home", 0]]) {
    await page.keyboard.press(key);
    await frameIs(n);
  }
  // Space plays on from here, and again stops.
  await page.keyboard.press(" ");
  await page.waitForFunction(() => Number(document.getElementById("slider").value) >= 3);
  await page.keyboard.press(" ");
  await page.keyboard.press("Home");
  await frameIs(0);
  // The key set by hand and the two the tracker set are told apart on the timeline.
  const kinds = await page.$$eval("#marks > div", (els) => els.map((el) => el.className));
  if (kinds.length !== 3 || kinds[0] !== "key-user" || !kinds.slice(1).every((k) => k.startsWith("key-") && k !== "key-user"))
    fail("the keyframe marks " + JSON.stringify(kinds));

  // A second tab's edit reaches this one without a move here; undo takes it back from here.
  const other = await browser.newPage({ viewport: { width: 900, height: 560 } });
  await other.goto(address);
  await other.waitForFunction(() => state && state.frame === 0);
  const otherView = await other.locator("#view").boundingBox();
  await other.mouse.click(otherView.x + 20 + 540, otherView.y + 20 + 150);  // beside the mask: selects nothing
  await other.keyboard.press("ArrowRight");
  await other.keyboard.press("ArrowRight");
  await other.waitForFunction(() => !pending.length);
  if ((await other.evaluate(() => document.activeElement.id)) !== "view") fail("the second tab's click left the view without focus");
  const theirs = await other.evaluate(() => state.mask);
  try {
    await page.waitForFunction((v) => state.mask === v, theirs, { timeout: 4000 });
  } catch {
    fail("the first tab did not see the second tab's edit: " + (await page.evaluate(() => state.mask)) + " for " + theirs);
  }
  await other.close();
  const undoBefore = await page.evaluate(() => state.undo);
  await page.keyboard.press("Control+z");
  await page.keyboard.press("Control+z");
  await page.waitForFunction((n) => state.undo === n - 2 && state.redo === 2, undoBefore);
  await page.keyboard.press("Control+Shift+z");
  await page.keyboard.press("Control+z");
  await page.waitForFunction(() => state.redo === 2);

  // Delete on a vertex under the pointer removes it; a double click turns one into a curve.
  await page.mouse.move(...at(190, 250));
  await page.waitForFunction(() => document.getElementById("view").style.cursor === "pointer");
  await page.keyboard.press("Delete");
  await page.waitForFunction(() => !pending.length);
  await page.mouse.dblclick(...at(420, 110));
  await page.waitForFunction(() => document.getElementById("status").textContent === "vertex made a curve");
  // The matte tinted over the picture.
  await page.selectOption("#look", "tinted");
  await page.waitForFunction(() => document.getElementById("frame").src.includes("/matte.jpg") && document.getElementById("frame").complete);
  await page.selectOption("#look", "overlay");
  // The keys after frame 1 cleared, the session saved as a name given in the page.
  await page.keyboard.press(".");
  await frameIs(1);
  await page.click("#clearafter");
  try {
    await page.waitForFunction(() => JSON.stringify(state.keyframes) === "[0,1]", null, { timeout: 5000 });
  } catch {
    fail("clear after frame 1: " + (await page.evaluate(() => JSON.stringify([state.frame, state.keyframes]))) + " " + (await page.textContent("#status")));
  }
  page.once("dialog", (d) => d.accept("second.json"));
  await page.click("#saveas");
  await page.waitForFunction(() => document.getElementById("status").textContent === "saved" && !state.unsaved);
  const second = JSON.parse(readFileSync(path.join(work, "second.json"), "utf8"));
  if (JSON.stringify(second.keyframes.map((k) => k.frame)) !== "[0,1]") fail("saved as: keyframes " + JSON.stringify(second.keyframes.map((k) => k.frame)));
  const v0 = second.keyframes[0].vertices;
  if (v0.length !== 3 || v0[1].kind !== 1) fail("saved as: frame 0's vertices " + JSON.stringify(v0.map((v) => v.kind)));

  // Control and the wheel zoom about the pointer: the layer point under it stays; the view
  // is the same after a reload.
  const pointer = at(300, 180);
  const under = () => page.evaluate(([x, y]) => {
    const r = document.getElementById("view").getBoundingClientRect();
    return [(x - r.left - offset[0]) / zoom, (y - r.top - offset[1]) / zoom];
  }, pointer);
  const before = await under();
  await page.mouse.move(...pointer);
  await page.keyboard.down("Control");
  await page.mouse.wheel(0, -100);
  await page.keyboard.up("Control");
  await page.waitForFunction(() => zoom === 2 && !pending.length);
  const after = await under();
  if (Math.hypot(after[0] - before[0], after[1] - before[1]) > 0.5) fail(`zoom moved the point under the pointer from ${before} to ${after}`);
  const kept = await page.evaluate(() => JSON.stringify([zoom, offset]));
  await page.reload();
  await page.waitForFunction(() => state && !pending.length);
  if ((await page.evaluate(() => JSON.stringify([zoom, offset]))) !== kept) fail("the view after a reload: " + (await page.evaluate(() => JSON.stringify([zoom, offset]))));

  // Ended with a change not saved, the studio keeps it beside its output, and the next studio
  // offers it in the page.
  await page.keyboard.press("Control+z");
  await page.waitForFunction(() => state.unsaved && !pending.length);
  const keys = await page.evaluate(() => JSON.stringify(state.keyframes));
  await page.close();  // its requests would fail once the studio ends
  const ended = new Promise((done) => studio.on("exit", done));
  studio.kill("SIGTERM");
  await ended;
  if (!existsSync(path.join(work, "saved.recovery.json"))) fail("no recovery file after an end with changes not saved");
  const again = spawn(maskfx, studioArgs, { stdio: ["ignore", "pipe", "inherit"] });
  try {
    const next = await browser.newPage({ viewport: { width: 900, height: 560 } });
    await next.goto(await studioAddress(again));
    await next.waitForFunction(() => state && !pending.length);
    if (await next.locator("#recovery").isHidden()) fail("the next studio does not offer the recovery");
    await next.click("#recover");
    await next.waitForFunction(() => state.unsaved && !state.recovery.offered);
    if ((await next.evaluate(() => JSON.stringify(state.keyframes))) !== keys)
      fail("recovered keyframes " + (await next.evaluate(() => JSON.stringify(state.keyframes))) + ", expected " + keys);
  } finally {
    again.kill("SIGINT");
  }
  if (refused.length) fail("refused or failed: " + refused.join("; "));
  console.log("drag round trips (ms): " + times.join(", "));

  const doc = JSON.parse(readFileSync(saved, "utf8"));
  const frames = doc.keyframes.map((k) => k.frame);
  if (JSON.stringify(frames) !== "[0,1,2]") fail("keyframes " + JSON.stringify(frames));
  if (doc.feather !== 25) fail("feather " + doc.feather);
  if (doc.motion !== "affine") fail("motion " + doc.motion);
  const first = doc.keyframes[0];
  if (first.mode !== "closed" || first.vertices.length !== 4) fail("mask " + JSON.stringify(first).slice(0, 200));
  const expected = [[200, 100], [420, 110], [422, 268], [190, 250]];
  first.vertices.forEach((v, i) => {
    const x = v.anchor[0] * doc.width, y = v.anchor[1] * doc.height;
    if (Math.abs(x - expected[i][0]) > 1 || Math.abs(y - expected[i][1]) > 1)
      fail(`vertex ${i} at (${x.toFixed(2)}, ${y.toFixed(2)}), expected (${expected[i]})`);
  });
} finally {
  await browser.close();
  studio.kill("SIGINT");
}
if (!process.exitCode) console.log("studio browser test passed; screenshot: " + path.join(work, "studio.png"));
