"use strict";
// The scope screen: frames arrive over a WebSocket as binary messages (a
// 20-byte header, then the channel A bytes, then the channel B bytes) and
// status as JSON text; the page sends "run", "stop" and "reconnect".
const DIVS_X = 10, DIVS_Y = 8, FULL_SCALE = 256;
const ZOOMS = [10, 20, 50, 100, 200, 500, 1000, 2000];
const ROLL_KEEP = 10 * ZOOMS[ZOOMS.length - 1];
const COLOURS = { a: "#f1c40f", b: "#1abc9c", grid: "#34495e", axis: "#4d6680", text: "#bdc3c7" };
const $ = (id) => document.getElementById(id);

const view = { on: { a: true, b: true }, pos: { a: 0, b: 0 }, zoom: 3 };
const data = { mode: "roll", a: new Uint8Array(ROLL_KEEP), b: new Uint8Array(ROLL_KEEP), length: 0,
               newestRead: 0, fresh: false };
const server = { link: "connecting", running: true, invalidBlocks: 0, socket: null };
// Figures for whoever watches the page (the browser test reads them).
const stats = { framesReceived: 0, framesDrawn: 0, pointsReceived: 0, missed: 0, lastSequence: -1,
                delays: [], fps: 0, pointsPerSecond: 0, drawsSinceTick: 0, pointsSinceTick: 0 };
window.zqlLive = { stats, server, view, data };

function now() { return performance.timeOrigin + performance.now(); }

// --- Data -----------------------------------------------------------------
function onFrame(buffer) {
  const v = new DataView(buffer);
  if (buffer.byteLength < 20 || v.getUint8(0) !== 1) return;
  const mode = v.getUint8(1) === 0 ? "roll" : "capture";
  const sequence = v.getUint32(4, true), readTime = v.getFloat64(8, true), n = v.getUint32(16, true);
  if (buffer.byteLength < 20 + 2 * n) return;
  if (stats.lastSequence >= 0 && sequence > stats.lastSequence + 1) stats.missed += sequence - stats.lastSequence - 1;
  stats.lastSequence = sequence;
  const a = new Uint8Array(buffer, 20, n), b = new Uint8Array(buffer, 20 + n, n);
  if (mode === "roll") appendRoll(a, b); else { data.a = a.slice(); data.b = b.slice(); data.length = n; }
  data.mode = mode;
  data.newestRead = readTime;
  data.fresh = true;
  stats.framesReceived++;
  stats.pointsReceived += n;
  stats.pointsSinceTick += n;
}

// Roll mode keeps the newest ROLL_KEEP points, oldest first.
function appendRoll(a, b) {
  if (!(data.a.length === ROLL_KEEP)) { data.a = new Uint8Array(ROLL_KEEP); data.b = new Uint8Array(ROLL_KEEP); data.length = 0; }
  const n = Math.min(a.length, ROLL_KEEP), keep = Math.min(data.length, ROLL_KEEP - n);
  data.a.copyWithin(0, data.length - keep, data.length);
  data.b.copyWithin(0, data.length - keep, data.length);
  data.a.set(a.subarray(a.length - n), keep);
  data.b.set(b.subarray(b.length - n), keep);
  data.length = keep + n;
}

// --- Drawing --------------------------------------------------------------
const canvas = $("scope"), ctx = canvas.getContext("2d");
let dirty = true;

function fitCanvas() {
  const box = $("screen").getBoundingClientRect();
  const narrow = window.matchMedia("(max-width: 760px)").matches;
  let w = box.width, h = narrow ? w * DIVS_Y / DIVS_X : box.height;
  if (w * DIVS_Y / DIVS_X > h) w = h * DIVS_X / DIVS_Y; else h = w * DIVS_Y / DIVS_X;
  w = Math.max(160, Math.floor(w)); h = Math.max(128, Math.floor(h));
  const ratio = window.devicePixelRatio || 1;
  canvas.style.width = w + "px"; canvas.style.height = h + "px";
  canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio);
  dirty = true;
}

function drawGrid(w, h) {
  ctx.fillStyle = "#0b1621"; ctx.fillRect(0, 0, w, h);
  ctx.lineWidth = 1; ctx.strokeStyle = COLOURS.grid; ctx.beginPath();
  for (let i = 0; i <= DIVS_X; i++) { const x = Math.round(i * (w - 1) / DIVS_X) + 0.5; ctx.moveTo(x, 0); ctx.lineTo(x, h); }
  for (let j = 0; j <= DIVS_Y; j++) { const y = Math.round(j * (h - 1) / DIVS_Y) + 0.5; ctx.moveTo(0, y); ctx.lineTo(w, y); }
  ctx.stroke();
  // Minor ticks along the centre lines, five per division.
  ctx.strokeStyle = COLOURS.axis; ctx.beginPath();
  const cx = Math.round((w - 1) / 2) + 0.5, cy = Math.round((h - 1) / 2) + 0.5, t = Math.max(3, w / 160);
  for (let i = 0; i <= DIVS_X * 5; i++) { const x = Math.round(i * (w - 1) / (DIVS_X * 5)) + 0.5; ctx.moveTo(x, cy - t); ctx.lineTo(x, cy + t); }
  for (let j = 0; j <= DIVS_Y * 5; j++) { const y = Math.round(j * (h - 1) / (DIVS_Y * 5)) + 0.5; ctx.moveTo(cx - t, y); ctx.lineTo(cx + t, y); }
  ctx.stroke();
}

// One channel: the newest points at the right in roll mode, the record from
// its first point in capture mode; `pos` moves the trace by divisions.
function drawTrace(samples, colour, pos, w, h) {
  const span = DIVS_X * ZOOMS[view.zoom], count = Math.min(span, data.length);
  if (count < 2) return;
  const first = data.mode === "roll" ? data.length - count : 0;
  const x0 = data.mode === "roll" ? (span - count) : 0, dx = (w - 1) / (span - 1);
  const scale = h / FULL_SCALE, shift = -pos * h / DIVS_Y;
  ctx.strokeStyle = colour; ctx.lineWidth = Math.max(1.5, (window.devicePixelRatio || 1) * 1.5);
  ctx.beginPath();
  for (let i = 0; i < count; i++) {
    const x = (x0 + i) * dx, y = h - (samples[first + i] + 0.5) * scale + shift;
    if (i === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
  }
  ctx.stroke();
}

function drawLabels(w, h) {
  const ratio = window.devicePixelRatio || 1, size = Math.max(11 * ratio, Math.round(w / 60));
  ctx.font = size + "px system-ui, sans-serif"; ctx.textBaseline = "top";
  ctx.fillStyle = COLOURS.text;
  ctx.fillText(ZOOMS[view.zoom] + " pts/div   " + data.mode, size * 0.6, size * 0.5);
  ctx.textAlign = "right";
  ctx.fillStyle = server.running ? "#2ecc71" : "#e74c3c";
  ctx.fillText(server.running ? "RUN" : "STOP", w - size * 0.6, size * 0.5);
  // Each channel's zero marker: A at the left edge, B at the right.
  ctx.textBaseline = "middle";
  ["a", "b"].forEach((c) => {
    if (!view.on[c]) return;
    const y = h / 2 - view.pos[c] * h / DIVS_Y, edge = c === "a" ? 0 : w, dir = c === "a" ? 1 : -1;
    ctx.fillStyle = COLOURS[c];
    ctx.beginPath(); ctx.moveTo(edge, y - size * 0.5); ctx.lineTo(edge + dir * size * 0.8, y);
    ctx.lineTo(edge, y + size * 0.5); ctx.fill();
    ctx.textAlign = c === "a" ? "left" : "right";
    ctx.fillText(c.toUpperCase(), edge + dir * size * 1.1, y);
  });
  ctx.textAlign = "left";
  if (server.link !== "ready") {
    const text = server.link === "connecting" ? "connecting to the server" : server.link;
    ctx.font = "600 " + Math.round(size * 1.8) + "px system-ui, sans-serif";
    ctx.textAlign = "center"; ctx.textBaseline = "middle";
    ctx.fillStyle = "rgba(11,22,33,0.8)"; ctx.fillRect(0, h / 2 - size * 2.2, w, size * 4.4);
    ctx.fillStyle = "#e74c3c"; ctx.fillText(text, w / 2, h / 2 - size * 0.5);
    ctx.font = size + "px system-ui, sans-serif"; ctx.fillStyle = COLOURS.text;
    ctx.fillText(server.socket ? "trying again every few seconds; Reconnect tries now" : "the page reconnects by itself",
                 w / 2, h / 2 + size * 1.1);
    ctx.textAlign = "left";
  }
}

function draw() {
  const w = canvas.width, h = canvas.height;
  drawGrid(w, h);
  if (view.on.a) drawTrace(data.a, COLOURS.a, view.pos.a, w, h);
  if (view.on.b) drawTrace(data.b, COLOURS.b, view.pos.b, w, h);
  drawLabels(w, h);
}

function animate() {
  if (data.fresh) {
    data.fresh = false;
    draw();
    stats.framesDrawn++;
    stats.drawsSinceTick++;
    stats.delays.push(now() - data.newestRead);
    if (stats.delays.length > 600) stats.delays.splice(0, stats.delays.length - 600);
    dirty = false;
  } else if (dirty) {
    draw();
    dirty = false;
  }
  requestAnimationFrame(animate);
}

// --- Status ---------------------------------------------------------------
function showStatus() {
  const link = $("link");
  link.textContent = server.link;
  link.className = "badge " + (server.link === "ready" ? "ready" : server.link === "connecting" ? "warn" : "bad");
  const rs = $("runstop");
  rs.textContent = server.running ? "Stop" : "Run";
  rs.className = server.running ? "running" : "stopped";
  $("reconnect").disabled = server.link === "ready" || !server.socket;
  $("mode").textContent = data.mode + " mode";
  const delays = stats.delays.slice(-60).sort((x, y) => x - y);
  const median = delays.length ? delays[delays.length >> 1].toFixed(1) + " ms" : "–";
  // Stopped, nothing arrives: no rate or delay is shown rather than the last one.
  const rates = server.running ? "<b>" + stats.fps.toFixed(1) + "</b> frames/s · <b>" +
    Math.round(stats.pointsPerSecond).toLocaleString("en") + "</b> points/s · " : "<b>stopped</b> · ";
  $("status").innerHTML = rates + "invalid roll blocks <b>" + server.invalidBlocks + "</b> · dropped frames <b>" +
    stats.missed + "</b>" + (server.running ? " · delay <b>" + median + "</b>" : "") + " · link <b>" +
    server.link + "</b>";
}

setInterval(() => {
  stats.fps = stats.drawsSinceTick; stats.pointsPerSecond = stats.pointsSinceTick;
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0;
  showStatus();
}, 1000);

function onStatus(text) {
  let s;
  try { s = JSON.parse(text); } catch (e) { return; }
  if (s.type !== "status") return;
  const changed = s.link !== server.link || s.running !== server.running || s.mode !== data.mode;
  server.link = s.link; server.running = s.running; server.invalidBlocks = s.invalidBlocks; data.mode = s.mode;
  if (changed) { dirty = true; showStatus(); }
}

// --- The connection ---------------------------------------------------------
function connect() {
  // The key came in the address; the server gave it to the page as a cookie
  // too, which serves the WebSocket and reloads: keep it out of the history.
  if (location.search) history.replaceState(null, "", location.pathname);
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { server.socket = socket; stats.lastSequence = -1; showStatus(); };
  socket.onmessage = (e) => { if (typeof e.data === "string") onStatus(e.data); else onFrame(e.data); };
  socket.onclose = () => {
    server.socket = null; server.link = "server gone"; dirty = true; showStatus();
    setTimeout(connect, 2000);
  };
}

function send(command) { if (server.socket) server.socket.send(command); }

function toggleRun() {
  server.running = !server.running; // shown at once; the server's status confirms it
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0; stats.fps = 0; stats.pointsPerSecond = 0;
  send(server.running ? "run" : "stop");
  dirty = true; showStatus();
}

// --- Controls -------------------------------------------------------------
function showControls() {
  $("posAText").textContent = view.pos.a.toFixed(1) + " div";
  $("posBText").textContent = view.pos.b.toFixed(1) + " div";
  $("ppdText").textContent = ZOOMS[view.zoom] + " pts/div";
  $("zoomIn").disabled = view.zoom === 0;
  $("zoomOut").disabled = view.zoom === ZOOMS.length - 1;
  dirty = true;
}

$("runstop").onclick = toggleRun;
$("reconnect").onclick = () => send("reconnect");
["a", "b"].forEach((c) => {
  const C = c.toUpperCase();
  $("on" + C).onchange = (e) => { view.on[c] = e.target.checked; dirty = true; };
  $("pos" + C).oninput = (e) => { view.pos[c] = Number(e.target.value); showControls(); };
});
$("zoomIn").onclick = () => { view.zoom = Math.max(0, view.zoom - 1); showControls(); };
$("zoomOut").onclick = () => { view.zoom = Math.min(ZOOMS.length - 1, view.zoom + 1); showControls(); };
document.addEventListener("keydown", (e) => {
  if (e.code === "Space" && !e.repeat) { e.preventDefault(); toggleRun(); }
});
document.addEventListener("keyup", (e) => { if (e.code === "Space") e.preventDefault(); });
window.addEventListener("resize", fitCanvas);

fitCanvas();
showControls();
showStatus();
connect();
requestAnimationFrame(animate);
