// What the studio's browser scripts share: the headless browser they drive (playwright-core's
// chromium and the path of Debian's chromium, or exit 77, ctest's "skipped", when either is
// missing), a fresh work folder holding the demo, failures reported, and the address a started
// `maskfx studio` prints.
import { execFileSync } from "node:child_process";
import { existsSync, mkdirSync, rmSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";

// A failure, printed; the script goes on to report the rest and exits 1.
export function fail(message) {
  console.error("FAILED: " + message);
  process.exitCode = 1;
}

// `work` emptied, with the demo's clip and documents in work/demo.
export function freshWorkWithDemo(maskfx, work) {
  rmSync(work, { recursive: true, force: true });
  mkdirSync(work, { recursive: true });
  execFileSync(maskfx, ["demo", "-o", path.join(work, "demo")], { stdio: "ignore" });
}

export function chromiumOrSkip() {
  const require = createRequire(import.meta.url);
  let chromium;
  try {
    ({ chromium } = require("playwright-core"));
  } catch {
    console.log("playwright-core is not installed (bash .ci/deps installs it): skipped");
    process.exit(77);
  }
  const browserPath = ["/usr/bin/chromium", "/usr/bin/chromium-browser"].find((p) => existsSync(p));
  if (!browserPath) {
    console.log("chromium is not installed: skipped");
    process.exit(77);
  }
  return { chromium, browserPath };
}

// The address `studio` (a spawned `maskfx studio` with its stdout piped) prints, once it has.
export function studioAddress(studio) {
  return new Promise((resolve, reject) => {
    let text = "";
    studio.stdout.on("data", (d) => {
      text += d;
      const m = text.match(/studio: (http:\/\/\S+)/);
      if (m) resolve(m[1]);
    });
    studio.on("exit", () => reject(new Error("maskfx studio ended early")));
    setTimeout(() => reject(new Error("maskfx studio printed no address")), 20000);
  });
}
