// The headless browser the studio's browser scripts drive: playwright-core's chromium and the
// path of Debian's chromium, or exit 77 (ctest's "skipped") when either is missing.
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
