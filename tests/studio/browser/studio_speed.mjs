// How fast the studio feels in a real headless browser on a 1280x720 clip: a drag's round trip
// from the mouse event to its outline shown, moves at 60 a second, a one-frame step, and track to
// end beside `maskfx track` on the same clip and mask. Measured and printed, never asserted.
// Usage: node studio_speed.mjs MASKFX WORKDIR. Exit 77 when no browser or ffmpeg is installed.
import { spawn, execFileSync } from "node:child_process";
import { mkdirSync, rmSync, writeFileSync } from "node:fs";
import path from "node:path";

import { chromiumOrSkip, studioAddress } from "./studio_harness.mjs";

const [maskfx, work] = process.argv.slice(2);
const { chromium, browserPath } = chromiumOrSkip();
try {
  execFileSync("ffmpeg", ["-version"], { stdio: "ignore" });
} catch {
  console.log("ffmpeg is not installed: skipped");
  process.exit(77);
}

const FRAMES = 60;
rmSync(work, { recursive: true, force: true });
mkdirSync(work, { recursive: true });
const clip = path.join(work, "clip.mp4");
execFileSync("ffmpeg", ["-v", "error", "-f", "lavfi", "-i", `testsrc2=size=1280x720:rate=30`, "-frames:v",
                        String(FRAMES), "-c:v", "libx264", "-pix_fmt", "yuv420p", clip]);
// A four-point mask on the card's middle, drawn as the page would draw it.
const corners = [[400, 200], [880, 210], [860, 520], [420, 500]];
const events = path.join(work, "draw.json"), mask = path.join(work, "mask.json");
writeFileSync(events, JSON.stringify({ format: "mask-edit-events", version: 1,
                                       events: [...corners, corners[0]].map((c) => ({ click: c })) }));
execFileSync(maskfx, ["edit", "--events", events, "-o", mask, "--size", "1280x720"], { stdio: "ignore" });
const studio = spawn(maskfx, ["studio", clip, "-m", mask], { stdio: ["ignore", "pipe", "inherit"] });
const address = await studioAddress(studio);

const percentile = (xs, p) => {
  if (!xs.length) return NaN;
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.round((p / 100) * (s.length - 1)))];
};
const ms = (x) => (Number.isFinite(x) ? x.toFixed(1) : "-");
const rows = [], trackRows = [];
const row = (what, xs, note = "", to = rows) => to.push([what, String(xs.length), ms(percentile(xs, 50)), ms(percentile(xs, 95)), note]);

// In the page, before its own script: every WebSocket message sent and received, every mouse move
// and every image loaded, with performance.now(). Only the page's view, its overlay and frame
// images, the frame slider and "track to end" are named below.
const probe = () => {
  const log = (window.__speed = { moves: [], sent: [], replies: [], loads: [] });
  performance.setResourceTimingBufferSize(100000);
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener("message", (e) => {
        let overlay = null;
        try { overlay = JSON.parse(e.data).overlay; } catch {}
        log.replies.push({ t: performance.now(), overlay });
      });
    }
    send(data) {
      let type = "";
      try { const m = JSON.parse(data); type = m.type + (m.event ? ":" + Object.keys(m.event)[0] : ""); } catch {}
      log.sent.push({ t: performance.now(), type });
      return super.send(data);
    }
  };
  window.addEventListener("mousemove", (e) => log.moves.push({ t: performance.now(), buttons: e.buttons }), true);
  document.addEventListener("load", (e) => {
    if (e.target instanceof HTMLImageElement)
      log.loads.push({ t: performance.now(), id: e.target.id, src: e.target.dataset.source || e.target.src,
                       v: e.target.dataset.version || null });
  }, true);
};

const browser = await chromium.launch({ executablePath: browserPath, args: ["--headless", "--no-sandbox", "--disable-gpu"] });
let studioFps = NaN, studioFrames = 0;
try {
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  await page.addInitScript(probe);
  await page.goto(address);
  await page.waitForFunction(() => document.getElementById("overlay").complete && document.getElementById("frame").complete);
  await page.waitForTimeout(500);
  const view = await page.locator("#view").boundingBox();
  const at = (x, y) => [view.x + 20 + x, view.y + 20 + y];  // layer pixels to page pixels at zoom 1, offset 20
  const settle = () => page.waitForTimeout(150);
  const now = () => page.evaluate(() => performance.now());
  const loadAfter = (id, t, timeout = 10000) =>
    page.waitForFunction(([id, t]) => window.__speed.loads.find((l) => l.id === id && l.t > t), [id, t], { timeout, polling: "raf" })
      .then((h) => h.jsonValue());

  // Track to end from the mask as loaded (as `maskfx track` below): the click to the slider at the
  // last frame. Then back to frame 0 for the edits.
  const t0 = Date.now();
  await page.uncheck("#stopweak");  // as maskfx track, which goes on through weak presses
  await page.click("#toend");
  // To the last frame, or where a weak press stopped the run.
  await page.waitForFunction((last) => document.getElementById("slider").value === String(last) || !tracking,
                             FRAMES - 1, { timeout: 300000, polling: 50 });
  studioFrames = await page.evaluate(() => state.frame);
  studioFps = studioFrames / ((Date.now() - t0) / 1000);
  if (studioFrames < FRAMES - 1) console.log("track to end stopped at frame " + studioFrames + ": " + (await page.textContent("#status")));
  // The run's presses as the studio counted them, and how it ended.
  const run = await page.evaluate(() => state.run);
  trackRows.push(["track to end: " + run.presses + " presses, " + run.ended, "", "", "", ""]);
  await page.$eval("#slider", (el) => { el.value = "0"; el.dispatchEvent(new Event("input")); });
  await page.waitForFunction(() => document.getElementById("frame").complete && document.getElementById("slider").value === "0");
  await settle();

  // A drag's round trip, one move at a time: the move's event in the page to the overlay's load.
  const drag = [], dragReply = [], dragServe = [], dragShow = [];
  await page.mouse.move(...at(860, 520));
  await page.mouse.down();
  await settle();
  for (let i = 1; i <= 50; ++i) {
    const x = 860 + 4 * Math.sin(i / 3) * 5, y = 520 + 3 * Math.cos(i / 4) * 5;
    const before = await now();
    await page.mouse.move(...at(x, y));
    const load = await loadAfter("overlay", before);
    const s = await page.evaluate(([t, src]) => {
      const m = window.__speed.moves.find((m) => m.t > t), r = window.__speed.replies.find((r) => r.t > t);
      const f = performance.getEntriesByName(src).pop();
      return { move: m ? m.t : null, reply: r ? r.t : null, request: f ? f.requestStart : null, end: f ? f.responseEnd : null };
    }, [before, load.src]);
    if (s.move !== null) {
      drag.push(load.t - s.move);
      if (s.reply !== null) dragReply.push(s.reply - s.move);
      if (s.request) dragServe.push(s.end - s.request), dragShow.push(load.t - s.end);
    }
  }
  await page.mouse.up();
  await settle();
  row("drag move -> overlay shown", drag);
  row("  of which move -> WebSocket reply", dragReply);
  row("  of which overlay request -> last byte", dragServe);
  row("  of which last byte -> image loaded", dragShow);

  // Moves at 60 a second for 2 seconds, not waiting for anything: which moves' outlines were
  // shown (the overlay whose version a move's reply named), and how long after each move.
  await page.mouse.move(...at(420, 500));
  await page.mouse.down();
  await settle();
  const mark = await now();
  // Sent on time without waiting for the page to take each, as a mouse would.
  const count = 120, period = 1000 / 60, start = performance.now(), sending = [];
  for (let i = 1; i <= count; ++i) {
    const wait = start + i * period - performance.now();
    if (wait > 0) await new Promise((r) => setTimeout(r, wait));
    sending.push(page.mouse.move(...at(420 + 60 * Math.sin(i / 10), 500 - 40 * Math.sin(i / 7))));
  }
  await Promise.all(sending);
  await page.waitForTimeout(1500);  // for the replies and images still on their way
  await page.mouse.up();
  await settle();
  const burst = await page.evaluate((mark) => {
    const L = window.__speed;
    const moves = L.moves.filter((m) => m.t > mark && m.buttons & 1).map((m) => m.t);
    const drags = L.sent.map((s, i) => ({ ...s, i })).filter((s) => s.t > mark && s.type === "event:drag");
    // Replies come in the order messages were sent.
    const firstSent = L.sent.findIndex((s) => s.t > mark);
    const replies = L.replies.filter((r) => r.t > mark);
    const loads = L.loads.filter((l) => l.t > mark && l.id === "overlay")
      .map((l) => ({ t: l.t, v: l.v }));
    const shown = [];
    drags.forEach((d, k) => {
      const reply = replies[d.i - firstSent];
      if (!reply || reply.overlay === null || k >= moves.length) return;
      const load = loads.find((l) => l.v === String(reply.overlay));
      if (load) shown.push(load.t - moves[k]);
    });
    return { moves: moves.length, drags: drags.length, replies: replies.length, loads: loads.length, shown,
             span: moves.length > 1 ? moves[moves.length - 1] - moves[0] : 0,
             lastReply: replies.length ? replies[replies.length - 1].t - mark : 0 };
  }, mark);
  row("60 moves/s: move -> its outline shown", burst.shown,
      `${burst.shown.length} of ${count} moves shown (${burst.moves} reached the page over ${(burst.span / 1000).toFixed(2)} s, the browser merging some; ${burst.loads} overlays loaded)`);

  // One-frame steps through the frame slider: the input event to the new frame's picture loaded.
  const step = [], stepServe = [];
  for (let n = 1; n <= 20; ++n) {
    const t = await page.$eval("#slider", (el, n) => {
      const t = performance.now();
      el.value = String(n);
      el.dispatchEvent(new Event("input"));
      return t;
    }, n);
    const load = await page.waitForFunction(([t, n]) => window.__speed.loads.find((l) =>
      l.id === "frame" && l.t > t && new URL(l.src).searchParams.get("n") === String(n)), [t, n], { timeout: 10000, polling: "raf" })
      .then((h) => h.jsonValue());
    step.push(load.t - t);
    const f = await page.evaluate((src) => performance.getEntriesByName(src).pop()?.toJSON(), load.src);
    if (f) stepServe.push(f.responseEnd - f.requestStart);
    await settle();
  }
  row("one-frame step -> picture shown", step);
  row("  of which frame.jpg request -> last byte", stepServe);
  await page.$eval("#slider", (el) => { el.value = "0"; el.dispatchEvent(new Event("input")); });
  await page.waitForFunction(() => document.getElementById("slider").value === "0");
  await settle();

} finally {
  await browser.close();
  studio.kill("SIGINT");
}

// The model the studio tracks a mask naming none in, so both fit the same motion.
const out = execFileSync(maskfx, ["track", clip, "-m", mask, "-o", path.join(work, "tracked.json"), "--motion", "perspective"],
                         { encoding: "utf8", stdio: ["ignore", "pipe", "ignore"] });
const m = out.match(/tracked (\d+) of \d+ frames .* \(([\d.]+) fps\)/);
const cliFps = m ? Number(m[2]) : NaN;

const head = ["", "n", "p50 ms", "p95 ms", ""];
const widths = head.map((_, c) => Math.max(...[head, ...rows, ...trackRows].map((r) => r[c].length)));
const line = (r) => r.map((cell, c) => (c === 0 || c === 4 ? cell.padEnd(widths[c]) : cell.padStart(widths[c]))).join("  ").trimEnd();
console.log(`\nstudio speed, 1280x720 H.264, ${FRAMES} frames (${browserPath}, headless)`);
console.log(line(head));
for (const r of [...rows, ...trackRows]) console.log(line(r));
console.log(`track to end: studio ${studioFps.toFixed(1)} fps (${studioFrames} frames), maskfx track ` +
            `${cliFps.toFixed(1)} fps (${m ? m[1] : "?"} frames), studio/maskfx ${(studioFps / cliFps).toFixed(2)}`);
