// serve_test.mjs - tapwatcher-sim --serve in a real browser: Debian's chromium,
// headless, driven by playwright-core. Every wait is bounded; a watchdog ends
// the run after two minutes whatever happens.
//
//   node serve_test.mjs TAPWATCHER_SIM [SCREENSHOT.png]
//
// Prints the measured hold-time error and key-to-row latency (median, p99).
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const sim = process.argv[2];
const shot = process.argv[3];
const browserPath = process.env.CHROMIUM || "/usr/bin/chromium";
const samples = Number(process.env.SAMPLES || 40);
const work = fs.mkdtempSync(path.join(os.tmpdir(), "tw-browser-"));
let failures = 0;
const children = [];
let browser = null;

// Records one check.
function check(ok, what) {
  console.log((ok ? "ok   " : "FAIL ") + what);
  if (!ok) failures++;
}

const watchdog = setTimeout(() => {
  console.log("FAIL the test did not finish within 120 s");
  for (const c of children) c.kill("SIGKILL");
  process.exit(1);
}, 120000);

// Starts the server; resolves with its address line, output and exit.
function startServer(root, address = "0") {
  const child = spawn(sim, ["--serve", address, "--root", root, "--exe",
    "\\Program Files\\Wtapwatcher.exe"], { stdio: ["ignore", "pipe", "pipe"] });
  children.push(child);
  const run = { child, out: "", err: "", code: null };
  run.exited = new Promise((res) => child.on("exit", (code, sig) => { run.code = code ?? sig; res(); }));
  child.stdout.on("data", (d) => (run.out += d));
  child.stderr.on("data", (d) => (run.err += d));
  run.url = new Promise((res, rej) => {
    const t = setTimeout(() => rej(new Error("no address line within 10 s")), 10000);
    child.stdout.on("data", () => {
      const m = run.out.match(/http:\/\/\S+\?t=[0-9a-f]+/);
      if (m) { clearTimeout(t); res(m[0]); }
    });
  });
  return run;
}

// Waits for the process to exit, at most `ms`.
async function exitWithin(run, ms) {
  await Promise.race([run.exited, new Promise((r) => setTimeout(r, ms))]);
  return run.code;
}

// An HTTP GET with extra headers; resolves with the status.
function get(url, headers) {
  return new Promise((res) => {
    const req = http.get(url, { headers, timeout: 5000 }, (r) => { r.resume(); res(r.statusCode); });
    req.on("timeout", () => { req.destroy(); res(0); });
    req.on("error", () => res(0));
  });
}

// Raw bytes to the server; resolves with the status line of the answer ("" when none).
function raw(base, bytes) {
  const u = new URL(base);
  return new Promise((res) => {
    const s = net.connect(Number(u.port), u.hostname);
    let got = "";
    s.setTimeout(5000, () => s.destroy());
    s.on("data", (d) => { got += d; });
    s.on("close", () => res(got.split("\r\n")[0]));
    s.on("error", () => res(got.split("\r\n")[0]));
    // Written without closing our side: the server library answers nobody who has
    // already shut down sending, so a half-close would lose the reply being tested.
    s.on("connect", () => s.write(bytes));
  });
}

// An HTTP POST; resolves with the status.
function post(url, body, headers) {
  return new Promise((res) => {
    const req = http.request(url, { method: "POST", headers, timeout: 5000 }, (r) => { r.resume(); res(r.statusCode); });
    req.on("timeout", () => { req.destroy(); res(0); });
    req.on("error", () => res(0));
    req.end(body);
  });
}

// The rows in view as "VK U/D S C A" texts without empty cells, with their numbers and ticks.
const rowsInView = (page) => page.evaluate(() => {
  const s = window.__tw.state;
  return s ? s.rows.map((r, i) => ({ n: s.row_numbers[i], tick: Number(r[0]),
    text: r.slice(1).filter((c) => c !== "").join(" ") })) : [];
});

function quantile(xs, q) {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.floor(q * s.length))];
}

async function main() {
  const root = path.join(work, "device");
  const run = startServer(root);
  const url = await run.url;
  const base = url.replace(/\/\?t=.*/, "");

  browser = await chromium.launch({
    executablePath: browserPath, headless: true, timeout: 30000,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    // launch() gives the browser a fresh, empty profile directory of its own.
  });
  // The page's policy forbids eval, which some of the driver's waits use.
  const context = await browser.newContext({ viewport: { width: 1100, height: 760 }, bypassCSP: true });
  const page = await context.newPage();
  page.setDefaultTimeout(10000);
  await page.goto(url, { timeout: 10000 });
  await page.waitForFunction(() => window.__tw.driving && window.__tw.state, null, { timeout: 10000 });
  check(await page.textContent("#status") === "releases: real", "the status line says releases: real");

  // A second page watches.
  const watcher = await context.newPage();
  await watcher.goto(url, { timeout: 10000 });
  await watcher.waitForFunction(() => window.__tw.session !== null, null, { timeout: 10000 });
  check(!(await watcher.evaluate(() => window.__tw.driving)), "a second page watches");
  await watcher.close();

  // Ctrl+A with a 50 ms hold.
  await page.click("#screen", { position: { x: 200, y: 20 } });
  const before = (await page.evaluate(() => window.__tw.state.row_count));
  await page.keyboard.down("Control");
  await page.keyboard.down("a");
  await page.waitForTimeout(50);
  await page.keyboard.up("a");
  await page.keyboard.up("Control");
  await page.waitForFunction((n) => window.__tw.state.row_count >= n + 4, before, { timeout: 5000 });
  // A quiet mark (a row without key cells) comes first when loading took seconds.
  const rows = (await rowsInView(page)).filter((r) => r.n > before && r.text !== "").slice(0, 4);
  check(rows.map((r) => r.text).join(",") === "11 D C,41 D C,41 U C,11 U C",
    "Ctrl+A shows 11 D C, 41 D C, 41 U C, 11 U C on the page: " + rows.map((r) => r.text).join(","));
  const log = await page.evaluate(() => window.__tw.keyLog.filter((k) => k.vk === 0x41));
  const browserHold = log[1].ts - log[0].ts;
  const deviceHold = rows[2].tick - rows[1].tick;
  check(Math.abs(deviceHold - browserHold) <= 20,
    `A held ${browserHold.toFixed(1)} ms in the browser, ${deviceHold} ms on the device`);

  // Hold time and latency over many presses of B.
  const holdErr = [], latency = [];
  for (let i = 0; i < samples; i++) {
    const n = await page.evaluate(() => window.__tw.state.row_count);
    const k0 = await page.evaluate(() => window.__tw.keyLog.length);
    await page.keyboard.down("b");
    await page.waitForTimeout(20 + (i * 37) % 100);
    await page.keyboard.up("b");
    await page.waitForFunction((m) => window.__tw.rowSeenAt[m + 2] !== undefined, n, { timeout: 5000 });
    const m = await page.evaluate(([n, k0]) => {
      const tw = window.__tw, keys = tw.keyLog.slice(k0);
      const rows = tw.state.rows.map((r, i) => [tw.state.row_numbers[i], Number(r[0])]);
      return { keys, seenD: tw.rowSeenAt[n + 1], seenU: tw.rowSeenAt[n + 2],
        tickD: rows.find((r) => r[0] === n + 1)[1], tickU: rows.find((r) => r[0] === n + 2)[1] };
    }, [n, k0]);
    holdErr.push(Math.abs((m.tickU - m.tickD) - (m.keys[1].ts - m.keys[0].ts)));
    latency.push(m.seenD - m.keys[0].ts, m.seenU - m.keys[1].ts);
  }
  const f = (x) => x.toFixed(1);
  console.log(`hold-time error over ${samples} presses: median ${f(quantile(holdErr, 0.5))} ms, ` +
    `p99 ${f(quantile(holdErr, 0.99))} ms, max ${f(Math.max(...holdErr))} ms`);
  console.log(`browser key event to its row on the page over ${latency.length} events: median ` +
    `${f(quantile(latency, 0.5))} ms, p99 ${f(quantile(latency, 0.99))} ms`);
  check(Math.max(...holdErr) <= 20, "every hold time on the device within 20 ms of the browser's");

  // The picture: not blank, and it shows the device.
  const colours = await page.evaluate(() => {
    const c = document.getElementById("screen"), d = c.getContext("2d")
      .getImageData(0, 0, c.width, c.height).data, seen = new Set();
    for (let i = 0; i < d.length; i += 4 * 7) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
    return seen.size;
  });
  check(colours > 8, `the device's screen is drawn (${colours} colours)`);
  const png = await page.screenshot({ path: shot || path.join(work, "page.png"), timeout: 10000 });
  check(png.length > 20000, `a screenshot of the page (${png.length} bytes)`);

  // Refused: no token, a foreign Origin, a foreign Host.
  check(await get(base + "/") === 403, "a request without the token is refused");
  const tok = url.replace(/.*\?t=/, "");
  check(await get(base + "/?t=" + tok, { Origin: "http://evil.example" }) === 403,
    "a request with a foreign Origin is refused");
  check(await get(base + "/?t=" + tok, { Host: "evil.example:80" }) === 403,
    "a request with a foreign Host is refused");

  // Hostile requests get a status, never a crash: malformed, huge, a flood.
  const session = await page.evaluate(() => window.__tw.session);
  const input = `${base}/input?t=${tok}&s=${session}`;
  check(await post(input, "{\"events\": [", { "Content-Type": "application/json" }) === 400,
    "a malformed input batch gets 400");
  check(await post(input, "x".repeat(1 << 20), { "Content-Type": "application/json" }) === 413,
    "a 1 MB body gets 413");
  check(await post(`${base}/input?t=${tok}&s=999`, "{\"events\":[]}", {}) === 409,
    "input from a page that does not drive gets 409");
  check((await raw(base, "GARBAGE / HTTP/9\r\n\0\0\r\n\r\n")).startsWith("HTTP/1.1 4"),
    "a malformed request line gets a 4xx status");
  const t0 = Date.now();
  const flood = await Promise.all(Array.from({ length: 300 }, () => get(base + "/x")));
  check(flood.every((c) => c === 403 || c === 0) && flood.filter((c) => c === 403).length > 250,
    `a flood of 300 requests without the token is refused in ${Date.now() - t0} ms`);
  check(await get(url) === 200, "... and the page is still served afterwards");

  // Clear, then Exit: taps on the menu bar.
  const tap = async (caption) => {
    const s = await page.evaluate(() => window.__tw.state);
    const b = await page.evaluate((c) => window.__tw.buttons.find((b) => b.caption === c), caption);
    const box = await page.locator("#screen").boundingBox();
    await page.mouse.click(box.x + (b.x + b.w / 2) * box.width / s.width,
      box.y + (b.y + b.h / 2) * box.height / s.height);
  };
  const count = await page.evaluate(() => window.__tw.state.row_count);
  await tap("Clear");
  await page.waitForFunction((c) => window.__tw.state.row_count < c, count, { timeout: 5000 });
  check(true, "Clear empties the list");
  await tap("Exit");
  await page.waitForFunction(() => window.__tw.exited !== null, null, { timeout: 5000 });
  check(await page.evaluate(() => window.__tw.exited) === 0, "the page is told the tool exited with 0");
  check(await exitWithin(run, 8000) === 0, "the server exits with the tool's code 0");
  const data = fs.readFileSync(path.join(root, "Program Files", "tapwatcherdata.txt"), "utf8");
  check(data.length > 0, "save-on-exit writes the data file");
  // The transcript: the refusals, the taps, the exit; the rows when it carries them.
  check(/refused GET \/: no valid token/.test(run.out), "the transcript has the refused request");
  check(/more requests refused/.test(run.out), "the flood is summed up in the transcript, not one line each");
  check(/browser: tap "Exit"/.test(run.out) && /\d+ exit 0/.test(run.out), "the transcript has the tap and the exit");
  const rowLines = run.out.split("\n").filter((l) => / row \d+: (11|41) [DU] C/.test(l));
  if (rowLines.length >= 4) {
    const ticks = rowLines.slice(0, 4).map((l) => Number(l.split(" ")[0]));
    check(ticks[2] - ticks[1] === deviceHold, "the transcript's rows carry the same hold time");
  }

  // Served on IPv6 loopback, where the machine has it: the page loads and its keys
  // pass the Host and Origin checks. Then Ctrl-C on the server: the shell's close request.
  const ipv6 = Object.values(os.networkInterfaces()).flat().some((i) => i && i.address === "::1");
  const run2 = startServer(path.join(work, "device2"), ipv6 ? "[::1]:0" : "0");
  const url2 = await run2.url;
  if (ipv6) {
    const page2 = await context.newPage();
    await page2.goto(url2, { timeout: 10000 });
    await page2.waitForFunction(() => window.__tw.driving && window.__tw.state, null, { timeout: 10000 });
    await page2.click("#screen", { position: { x: 200, y: 20 } });
    const n2 = await page2.evaluate(() => window.__tw.state.row_count);
    await page2.keyboard.press("b");
    await page2.waitForFunction((n) => window.__tw.state.row_count >= n + 2, n2, { timeout: 5000 });
    check(url2.startsWith("http://[::1]:") && !/browser: refused/.test(run2.out),
      `a page served at ${url2.replace(/\?t=.*/, "")} drives the device`);
  } else {
    console.log("skip the IPv6 check: this machine has no ::1");
  }
  await new Promise((r) => setTimeout(r, 300));
  run2.child.kill("SIGINT");
  const code2 = await exitWithin(run2, 8000);
  check(/the shell closes the tool \(Ctrl-C\)/.test(run2.out) && code2 === 0,
    `Ctrl-C on the server closes the tool (exit ${code2})`);
  check(fs.existsSync(path.join(work, "device2", "Program Files", "tapwatcherdata.txt")),
    "... and save-on-exit writes its data file");
}

try {
  await main();
} catch (e) {
  console.log("FAIL " + (e && e.stack ? e.stack : e));
  failures++;
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const c of children) if (c.exitCode === null) c.kill("SIGKILL");
  clearTimeout(watchdog);
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(failures ? `${failures} failed` : "all passed");
process.exit(failures ? 1 : 0);
