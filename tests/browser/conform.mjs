// conform.mjs - plays one conformance sequence (tests/conformance/table.txt) on
// tapwatcher-sim --serve: real keydown and keyup events in Debian's headless
// Chromium, driven by playwright-core, at the sequence's times; Clear and Exit
// are taps on the page's menu bar. A key held repeats as the X server repeats
// it (after 660 ms, every 40 ms). The server's transcript goes to TRANSCRIPT.
// Every wait is bounded; a watchdog ends the run after a minute. Exit status 3
// when the browser's keys came more than 25 ms off the table's times.
//
//   node conform.mjs TRANSCRIPT "STEP..." TAPWATCHER-SIM [OPTION...]
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import fs from "node:fs";

const [transcript, stepText, sim, ...options] = process.argv.slice(2);
const steps = stepText.split(/\s+/).filter((s) => s);
const names = { Shift: "Shift", Ctrl: "Control", Alt: "Alt" };
const REPEAT_DELAY = 660, REPEAT_EVERY = 40;
let browser = null, server = null, out = "";

const fail = (why) => { console.error("conform.mjs: " + why); process.exitCode = 1; };
const watchdog = setTimeout(() => {
  fail("the run did not finish within 60 s");
  if (server) server.kill("SIGKILL");
  process.exit(1);
}, 60000);
const sleepUntil = (t) => new Promise((r) => setTimeout(r, Math.max(0, t - performance.now())));

// Waits, at most `ms`, until the transcript so far matches `re`.
async function outputMatches(re, ms) {
  const end = performance.now() + ms;
  while (!re.test(out) && performance.now() < end) await sleepUntil(performance.now() + 20);
  return re.test(out);
}

// The steps as timed actions: [ms from the first, what, key or caption].
function schedule() {
  const plan = [], held = [];
  let t = 0, last = null, lastAt = 0;
  for (const s of steps) {
    if (s[0] === "~") {
      const wait = Number(s.slice(1));
      if (held.includes(last)) // the last key pressed repeats while held
        for (let r = lastAt + REPEAT_DELAY; r < t + wait; r += REPEAT_EVERY)
          if (r >= t) plan.push([r, "down", last]);
      t += wait;
    } else if (s[0] === "+" || s[0] === "-") {
      const key = names[s.slice(1)] || s.slice(1).toLowerCase();
      if (s[0] === "+") { held.push(key); last = key; lastAt = t; }
      else held.splice(held.indexOf(key), 1);
      plan.push([t, s[0] === "+" ? "down" : "up", key]);
    } else {
      plan.push([t, "tap", s]);
    }
  }
  return plan;
}

async function main() {
  server = spawn(sim, ["--serve", "0", ...options], { stdio: ["ignore", "pipe", "pipe"] });
  const exited = new Promise((r) => server.on("exit", r));
  server.on("error", (e) => fail(`cannot start ${sim}: ${e.message}`));
  server.stdout.on("data", (d) => { out += d; });
  server.stderr.on("data", (d) => process.stderr.write(d));
  if (!(await outputMatches(/http:\/\/\S+\?t=[0-9a-f]+/, 10000)))
    return fail("no address line within 10 s");
  const url = out.match(/http:\/\/\S+\?t=[0-9a-f]+/)[0];
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium", headless: true, timeout: 30000,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const context = await browser.newContext({ viewport: { width: 1100, height: 760 }, bypassCSP: true });
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  await page.goto(url, { timeout: 10000 });
  await page.waitForFunction(() => window.__tw.driving && window.__tw.state, null, { timeout: 10000 });
  await page.click("#screen", { position: { x: 200, y: 20 } }); // the title: focus, no button
  if (!(await outputMatches(/ row \d+: quiet mark/, 10000)))
    return fail("no quiet mark after the start within 10 s");
  await sleepUntil(performance.now() + 300);

  const box = await page.locator("#screen").boundingBox();
  const start = performance.now();
  const plan = schedule();
  for (const [at, what, key] of plan) {
    await sleepUntil(start + at);
    if (what === "down") await page.keyboard.down(key);
    else if (what === "up") await page.keyboard.up(key);
    else {
      const s = await page.evaluate(() => window.__tw.state);
      const b = await page.evaluate((c) => window.__tw.buttons.find((b) => b.caption === c), key);
      if (!b) return fail(`no "${key}" button on the page`);
      await page.mouse.click(box.x + (b.x + b.w / 2) * box.width / s.width,
        box.y + (b.y + b.h / 2) * box.height / s.height);
    }
  }
  // The keys as the page stamped them: on a loaded machine the driver can miss the
  // table's times, and the run is then no test of the server (status 3: play again).
  const stamps = await page.evaluate(() => window.__tw.keyLog.map((k) => k.ts));
  const ats = plan.filter((p) => p[1] !== "tap").map((p) => p[0]);
  const off = Math.max(0, ...stamps.map((ts, i) => Math.abs(ts - stamps[0] - ats[i])));
  if (stamps.length !== ats.length || off > 25) {
    console.error(`conform.mjs: the browser's keys came up to ${off.toFixed(0)} ms off the table's times`);
    process.exitCode = 3;
  }
  await sleepUntil(performance.now() + 1000);
  server.kill("SIGTERM"); // the shell's close request, unless the tool has exited
  await Promise.race([exited, sleepUntil(performance.now() + 10000)]);
  if (server.exitCode === null && server.signalCode === null) fail("the server did not end within 10 s");
}

try {
  await main();
} catch (e) {
  fail(e && e.stack ? e.stack : String(e));
} finally {
  if (browser) await browser.close().catch(() => {});
  if (server && server.exitCode === null && server.signalCode === null) server.kill("SIGKILL");
  clearTimeout(watchdog);
  fs.writeFileSync(transcript, out);
}
// The bounded waits above leave timers behind: end now.
process.exit(process.exitCode || 0);
