// What the studio's browser scripts share: the headless browser they drive (playwright-core's
// chromium and the path of Debian's chromium, or exit 77, ctest's "skipped", when either is
// missing), and the address a started `maskfx studio` prints.
import { existsSync } from "node:fs";
import { createRequire } from "node:module";

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
