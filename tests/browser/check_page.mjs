// check_page.mjs - opens a page of tapwatcher-report in headless Chromium (Debian's, at
// /usr/bin/chromium or $CHROMIUM) and checks what a person opening it would see: it loads
// with no console error, no error of its own and no request beyond the page itself; it
// shows both pictures and every row; its findings' links lead to their rows; and a
// screenshot of it is not blank.
//
//   node check_page.mjs PAGE.html SCREENSHOT.png ROWS FINDINGS
//
// Exit status 0 when every check holds, 1 when one fails (each failure on a line of its
// own), 2 for bad arguments or a browser that cannot start. Every wait is bounded.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { pathToFileURL } from 'node:url';

const [pagePath, shotPath, rowsText, findingsText] = process.argv.slice(2);
if (!pagePath || !shotPath || rowsText === undefined || findingsText === undefined) {
  console.error('usage: node check_page.mjs PAGE.html SCREENSHOT.png ROWS FINDINGS');
  process.exit(2);
}
const watchdog = setTimeout(() => {
  console.error('browser check: gave up after 120 s');
  process.exit(2);
}, 120000);

// Pixels of a PNG as RGBA rows (8-bit RGBA or RGB, not interlaced: what Chromium writes).
function decodePng(bytes) {
  let at = 8;
  let width = 0, height = 0, channels = 4;
  const data = [];
  while (at < bytes.length) {
    const length = bytes.readUInt32BE(at);
    const type = bytes.toString('latin1', at + 4, at + 8);
    const body = bytes.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      if (body[8] !== 8 || body[12] !== 0 || (body[9] !== 6 && body[9] !== 2))
        throw new Error(`PNG of a kind this check does not read (depth ${body[8]}, colour ${body[9]})`);
      channels = body[9] === 6 ? 4 : 3;
    } else if (type === 'IDAT') {
      data.push(body);
    }
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(data));
  const stride = width * channels;
  const pixels = Buffer.alloc(width * height * 4);
  let previous = Buffer.alloc(stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = Buffer.from(raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1)));
    for (let x = 0; x < stride; ++x) {
      const a = x >= channels ? line[x - channels] : 0;
      const b = previous[x];
      const c = x >= channels ? previous[x - channels] : 0;
      let add = 0;
      if (filter === 1) add = a;
      else if (filter === 2) add = b;
      else if (filter === 3) add = (a + b) >> 1;
      else if (filter === 4) {
        const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
        add = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      line[x] = (line[x] + add) & 0xff;
    }
    for (let x = 0; x < width; ++x) {
      for (let k = 0; k < 4; ++k)
        pixels[(y * width + x) * 4 + k] = k < channels ? line[x * channels + k] : 255;
    }
    previous = line;
  }
  return { width, height, pixels };
}

const failures = [];
const fail = (what) => failures.push(what);
const pageUrl = pathToFileURL(path.resolve(pagePath)).href;

let browser;
try {
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--disable-quic'],
  });
} catch (error) {
  console.error(`browser check: Chromium did not start: ${error.message}`);
  process.exit(2);
}

let summary = '';
try {
  const context = await browser.newContext({ viewport: { width: 1200, height: 900 } });
  const page = await context.newPage();
  page.setDefaultTimeout(20000);
  page.on('console', (message) => {
    if (message.type() === 'error' || message.type() === 'warning')
      fail(`console ${message.type()}: ${message.text()}`);
  });
  page.on('pageerror', (error) => fail(`error in the page: ${error.message}`));
  page.on('request', (request) => {
    if (request.url() !== pageUrl && !request.url().startsWith('data:'))
      fail(`the page asked for ${request.url()}`);
  });
  page.on('requestfailed', (request) => fail(`request failed: ${request.url()}`));

  const response = await page.goto(pageUrl, { waitUntil: 'load', timeout: 20000 });
  if (!response || !response.ok()) fail(`the page did not load: ${response && response.status()}`);

  // What it shows: both pictures drawn at a size, every row, every finding.
  const shown = await page.evaluate(() => ({
    pictures: [...document.querySelectorAll('section .picture > svg')].map((svg) => {
      const box = svg.getBoundingClientRect();
      return [Math.round(box.width), Math.round(box.height)];
    }),
    rows: document.querySelectorAll('table.rows tbody tr').length,
    findings: document.querySelectorAll('ol.findings li').length,
    links: [...document.querySelectorAll('a[href^="#line-"]')].map((a) => a.getAttribute('href')),
    title: document.title,
    // Whatever scrolls sideways at 1200 px: the page, or a box of a picture.
    sideways: [document.documentElement, ...document.querySelectorAll('.picture')]
      .filter((e) => e.scrollWidth > e.clientWidth).map((e) => e.className || e.tagName),
  }));
  if (shown.sideways.length) fail(`scrolls sideways at 1200 px: ${shown.sideways.join(', ')}`);
  if (shown.pictures.length !== 2) fail(`${shown.pictures.length} pictures, expected 2`);
  for (const [width, height] of shown.pictures)
    if (width < 300 || height < 150) fail(`a picture drawn at ${width}x${height}`);
  if (shown.rows !== Number(rowsText)) fail(`${shown.rows} rows in the table, expected ${rowsText}`);
  if (shown.findings !== Number(findingsText))
    fail(`${shown.findings} findings, expected ${findingsText}`);

  // Each link leads to a row, and following the first one marks that row.
  for (const href of new Set(shown.links)) {
    if (!(await page.$(`tr${href}`))) fail(`link ${href} leads nowhere`);
  }
  if (shown.links.length > 0) {
    await page.click(`a[href="${shown.links[0]}"]`);
    const colour = await page.$eval(`tr${shown.links[0]} td`, (td) => getComputedStyle(td).backgroundColor);
    if (colour !== 'rgb(255, 242, 168)') fail(`the row a link leads to is not marked (${colour})`);
  } else if (Number(findingsText) > 0) {
    fail('no link to a row');
  }

  // A screenshot that is not blank: enough pixels off the background, in enough colours.
  await page.evaluate(() => window.scrollTo(0, 0));
  const png = await page.screenshot({ path: shotPath, fullPage: true, timeout: 30000 });
  const { width, height, pixels } = decodePng(png);
  const colours = new Set();
  let inked = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    const [r, g, b] = [pixels[i], pixels[i + 1], pixels[i + 2]];
    if (r + g + b < 3 * 235) ++inked;
    if (colours.size < 100000) colours.add((r << 16) | (g << 8) | b);
  }
  const share = (100 * inked) / (width * height);
  if (share < 1) fail(`the screenshot is blank: ${share.toFixed(2)}% of its pixels are not white`);
  if (colours.size < 16) fail(`the screenshot has ${colours.size} colours`);
  summary = `"${shown.title}" loaded; ${shown.rows} rows, ${shown.findings} findings, ` +
            `pictures ${shown.pictures.map((p) => p.join('x')).join(' and ')}; ` +
            `screenshot ${width}x${height}, ${share.toFixed(1)}% inked, ${colours.size} colours`;
} catch (error) {
  fail(`the check stopped: ${error.message}`);
} finally {
  await browser.close();
  clearTimeout(watchdog);
}

if (failures.length > 0) {
  for (const failure of failures) console.log(`FAIL ${failure}`);
  process.exit(1);
}
console.log(`browser check passed: ${summary}; no console errors, no requests`);
