// serve_page.cpp - the page tapwatcher-sim --serve serves: the device's
// screen drawn on a canvas from the state the server sends, the events beside
// it, and the keys of a real keyboard sent to the device.
#include "cli/serve/serve.h"

namespace runner {

const char* const kServePage = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<title>Tapwatcher device</title>
<link rel="icon" href="data:,">
<style>
body{font:14px system-ui,sans-serif;margin:16px;background:#eceff1;color:#222}
#wrap{display:flex;gap:20px;align-items:flex-start}
#left{width:516px;flex:none}
#device{width:480px;background:#37474f;padding:18px 14px 30px;border-radius:18px;outline:none;
 border:4px solid transparent;position:relative}
#device.focused{border-color:#2196f3}
#screen{display:block;width:480px;height:640px;image-rendering:pixelated;background:#fff;cursor:pointer}
#box{position:absolute;left:50px;right:50px;top:220px;background:#fff;border:2px solid #0d47a1;
 box-shadow:0 4px 12px #0008;display:none}
#box h3{margin:0;padding:6px 8px;background:#0d47a1;color:#fff;font-size:15px}
#box p{margin:12px 10px}#box button{margin:0 10px 10px;min-width:70px}
#side{flex:1;min-width:320px;overflow:hidden}
#status{font-weight:bold;margin-bottom:6px}
#events{height:520px;overflow:auto;background:#fff;border:1px solid #bbb;margin:0;padding:4px 8px;
 font:12px ui-monospace,monospace;list-style:none;white-space:pre}
#events li.row{color:#0d47a1}#events li.note{color:#777}
#events li.echo{color:#6a2c91;font-style:italic}
.small{font-size:12px;color:#555}
#exit{display:none;background:#ffecb3;padding:8px;margin-bottom:6px;border:1px solid #ffa000}
</style></head><body>
<div id="wrap">
<div id="left">
<div id="device" tabindex="0" aria-label="the device: keys go to it while it has the focus">
<canvas id="screen" width="240" height="320"></canvas>
<div id="box" role="dialog"><h3 id="boxcap"></h3><p id="boxtext"></p><button id="boxok">OK</button></div>
</div>
<p class="small">Click the device to give it the keyboard (blue edge): every key you press and
release goes to it, and the browser does not act on them. Click anywhere outside the device to
take the keyboard back. Keys still held when the page loses the focus are released on the device
then.<br><label><input type="checkbox" id="lr"> send left/right modifier codes (0xA0-0xA5)
instead of Shift 0x10, Ctrl 0x11, Alt 0x12</label></p>
<p class="small">Keys the browser never delivers to a page (the browser or the desktop keeps them):
Ctrl+W, Ctrl+T, Ctrl+N, Ctrl+Tab, Ctrl+Shift+Q, Alt+F4, Alt+Tab, the Windows key and its
combinations, Print Screen on many desktops, and keys an input method takes.</p>
</div>
<div id="side">
<div id="exit"></div>
<div id="status">releases: real</div>
<div id="who" class="small"></div>
<div id="summary" class="small"></div>
<ol id="events"></ol>
</div></div>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("t") || "";
const $ = (id) => document.getElementById(id);
const canvas = $("screen"), ctx = canvas.getContext("2d"), dev = $("device");
const tw = window.__tw = {state: null, session: null, driving: false, rowSeenAt: {}, keyLog: [],
  exited: null, lines: [], buttons: []};
let scale = 1;

function fitCanvas(w, h) {
  scale = Math.max(1, Math.round(window.devicePixelRatio || 1)) * 2;
  if (canvas.width !== w * scale) { canvas.width = w * scale; canvas.height = h * scale; }
  canvas.style.width = (w * 2) + "px"; canvas.style.height = (h * 2) + "px";
}

// A text in a box, clipped to it: from its left edge, or centred.
function cell(text, x, y, w, h, centre) {
  ctx.save(); ctx.beginPath(); ctx.rect(x, y, w, h); ctx.clip();
  ctx.textAlign = centre ? "center" : "left";
  ctx.fillText(text, centre ? x + w / 2 : x + 2, y + h / 2 + 1); ctx.restore();
}

// Paints the server's screen model: areas in device pixels, texts cut to fit.
function draw(s) {
  fitCanvas(s.width, s.height);
  ctx.setTransform(scale, 0, 0, scale, 0, 0);
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, s.width, s.height);
  ctx.textBaseline = "middle"; ctx.font = "11px Tahoma, 'DejaVu Sans', sans-serif";
  if (s.taskbar > 0) {
    ctx.fillStyle = "#0d47a1"; ctx.fillRect(0, 0, s.width, s.taskbar);
    ctx.fillStyle = "#fff"; ctx.font = "bold 12px Tahoma, 'DejaVu Sans', sans-serif";
    cell(s.has_window ? s.title : "(the tool shows no window)", 2, 0, s.width - 4, s.taskbar);
    ctx.font = "11px Tahoma, 'DejaVu Sans', sans-serif";
  }
  const l = s.list;
  if (l) {
    ctx.save(); ctx.beginPath(); ctx.rect(l.x, l.y, l.w, l.h); ctx.clip();
    if (s.header_shown) {
      ctx.fillStyle = "#e0e0e0"; ctx.fillRect(l.x, l.y, l.w, s.header_h);
      for (const c of s.columns) {
        ctx.fillStyle = "#222"; cell(c.header, l.x + c.x, l.y, c.w, s.header_h);
        ctx.strokeStyle = "#9e9e9e"; ctx.lineWidth = 1;
        ctx.beginPath(); ctx.moveTo(l.x + c.x + c.w - 0.5, l.y);
        ctx.lineTo(l.x + c.x + c.w - 0.5, l.y + s.header_h); ctx.stroke();
      }
    }
    ctx.fillStyle = "#222";
    for (let r = 0; r < s.rows.length; r++)
      s.columns.forEach((c, i) => cell(s.rows[r][i], l.x + c.x, l.y + s.header_h + r * s.row_h, c.w, s.row_h));
    ctx.restore();
  }
  tw.buttons = s.buttons;
  if (s.menubar) {
    const m = s.menubar;
    ctx.fillStyle = "#cfd8dc"; ctx.fillRect(m.x, m.y, m.w, m.h);
    ctx.font = "bold 12px Tahoma, 'DejaVu Sans', sans-serif";
    for (const b of s.buttons) {
      ctx.fillStyle = "#fff"; ctx.fillRect(b.x + 3, b.y + 3, b.w - 6, b.h - 6);
      ctx.strokeStyle = "#607d8b"; ctx.strokeRect(b.x + 3.5, b.y + 3.5, b.w - 7, b.h - 7);
      ctx.fillStyle = b.enabled ? "#0d47a1" : "#90a4ae"; cell(b.caption, b.x, b.y, b.w, b.h, true);
    }
  }
}

function addLine(text, kind) {
  tw.lines.push(text);
  const li = document.createElement("li");
  li.textContent = text; if (kind) li.className = kind;
  const ol = $("events"), end = ol.scrollTop + ol.clientHeight >= ol.scrollHeight - 4;
  ol.appendChild(li);
  while (ol.childNodes.length > 1000) ol.removeChild(ol.firstChild);
  if (end) ol.scrollTop = ol.scrollHeight;
}

// Inputs go out one batch at a time, so they reach the device in order.
let queue = [], sending = false;
function send(ev) {
  if (!tw.driving || tw.exited) return;
  queue.push(ev);
  if (!sending) flush();
}
function flush() {
  if (!queue.length) { sending = false; return; }
  sending = true;
  const batch = queue; queue = [];
  fetch("/input?t=" + encodeURIComponent(token) + "&s=" + tw.session, {method: "POST",
    headers: {"Content-Type": "application/json"}, body: JSON.stringify({events: batch})})
    .then((r) => { if (!r.ok) r.text().then((t) => addLine("page: input refused: " + t.trim(), "note")); })
    .catch(() => {}).finally(flush);
}

const lrCodes = {ShiftLeft: 0xA0, ShiftRight: 0xA1, ControlLeft: 0xA2, ControlRight: 0xA3,
  AltLeft: 0xA4, AltRight: 0xA5};
const generic = {ShiftLeft: 0x10, ShiftRight: 0x10, ControlLeft: 0x11, ControlRight: 0x11,
  AltLeft: 0x12, AltRight: 0x12};
const held = new Map(); // event.code -> vk sent down
function vkOf(e) {
  if (e.code in lrCodes) return $("lr").checked ? lrCodes[e.code] : generic[e.code];
  if (e.key === "Meta" || e.code.startsWith("Meta") || e.code.startsWith("OS")) return 0;
  const k = e.keyCode;
  return k > 0 && k < 255 && k !== 229 ? k : 0;
}
function onKey(e, down) {
  e.preventDefault(); e.stopPropagation();
  const vk = vkOf(e);
  tw.keyLog.push({vk: vk, down: down, ts: e.timeStamp, repeat: e.repeat, code: e.code});
  if (!vk) return;
  if (down) held.set(e.code, vk); else held.delete(e.code);
  send({k: down ? "down" : "up", vk: vk, ts: e.timeStamp, repeat: !!e.repeat});
}
dev.addEventListener("keydown", (e) => onKey(e, true));
dev.addEventListener("keyup", (e) => onKey(e, false));
dev.addEventListener("focus", () => dev.classList.add("focused"));
function releaseAll() {
  for (const vk of held.values()) send({k: "up", vk: vk, ts: performance.now(), blur: true});
  held.clear();
}
dev.addEventListener("blur", () => { dev.classList.remove("focused"); releaseAll(); });
window.addEventListener("blur", releaseAll);
canvas.addEventListener("click", (e) => {
  dev.focus();
  const r = canvas.getBoundingClientRect();
  const x = (e.clientX - r.left) * (tw.state ? tw.state.width : 240) / r.width;
  const y = (e.clientY - r.top) * (tw.state ? tw.state.height : 320) / r.height;
  for (const b of tw.buttons)
    if (x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h) send({k: "tap", caption: b.caption});
});
$("boxok").addEventListener("click", () => { $("box").style.display = "none"; dev.focus(); });

const es = new EventSource("/events?t=" + encodeURIComponent(token));
es.addEventListener("hello", (m) => {
  const h = JSON.parse(m.data); tw.session = h.session; tw.driving = h.driving;
  // Stamps alone, now and then: the server learns how the page's clock stands to its own.
  if (h.driving) {
    for (let i = 0; i < 5; i++) setTimeout(() => send({k: "sync", ts: performance.now()}), 40 * i);
    setInterval(() => { if (!queue.length && !sending) send({k: "sync", ts: performance.now()}); }, 2000);
  }
  $("who").textContent = h.driving ? "This page drives the device's keyboard."
    : "Another page drives the device; this one watches.";
});
es.addEventListener("state", (m) => {
  const s = JSON.parse(m.data); tw.state = s; draw(s);
  s.row_numbers = s.rows.map((r, i) => s.first_row + i + 1);
  const now = performance.now();
  for (let i = 0; i < s.row_numbers.length; i++)
    if (!(s.row_numbers[i] in tw.rowSeenAt)) tw.rowSeenAt[s.row_numbers[i]] = now;
  $("summary").textContent = "tick " + s.tick + ": " + s.summary;
});
es.addEventListener("line", (m) => {
  const t = JSON.parse(m.data).text;
  // A row the tool's own synthesised key made is marked as an echo.
  addLine(t, / browser: /.test(t) ? "note" : / row \d+:/.test(t)
    ? (/ \(echo of the tool's own [^)]*\)$/.test(t) ? "row echo" : "row") : "");
});
es.addEventListener("box", (m) => {
  const b = JSON.parse(m.data);
  $("boxcap").textContent = b.caption; $("boxtext").textContent = b.text;
  $("box").style.display = "block";
});
es.addEventListener("exit", (m) => {
  const code = JSON.parse(m.data).code; tw.exited = code; es.close();
  $("exit").style.display = "block";
  $("exit").textContent = "The tool has exited with code " + code + "; the server has stopped.";
});
es.onerror = () => { if (tw.exited === null) $("who").textContent = "Connection to the device lost."; };
</script></body></html>
)PAGE";

} // namespace runner
