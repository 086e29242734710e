"use strict";
// The scope screen. Frames arrive over a WebSocket as binary messages (a
// 24-byte header, then the channel A bytes, then the channel B bytes): roll
// blocks to append, or whole screens (a capture record, or a screen the
// server's trigger placed). Status and the measurements of the frame on
// screen arrive as JSON text. The page sends "run", "stop", "reconnect",
// "rearm", "frame N" and "trigger MODE SOURCE SLOPE LEVEL POSITION HOLDOFF".
const DIVS_X = 10, DIVS_Y = 8, FULL_SCALE = 256, MID = 128;
const HEADER_BYTES = 24, FRAME_FORMAT = 2;
const ZOOMS = [10, 20, 50, 100, 200, 500, 1000, 2000];
const ROLL_KEEP = 10 * ZOOMS[ZOOMS.length - 1];
const SCALES = [0.5, 1, 2, 4, 8];          // of the full-screen scale: 32 counts a division at 1
const COUNTS_PER_DIV = FULL_SCALE / DIVS_Y;
const STATES = ["Off", "Trig'd", "Auto", "Waiting", "Stopped"];
// Fading of older frames per new frame: the share of brightness taken away.
const FADE = { off: 1, short: 0.35, long: 0.08, infinite: 0 };
const FFT_MAX = 8192, FFT_FLOOR_DB = -80;   // 10 dB a division below 0 dB
const GRAB = 14;                             // CSS pixels within which a marker or cursor is taken
const COLOURS = { a: "#f1c40f", b: "#1abc9c", grid: "#34495e", axis: "#4d6680", text: "#bdc3c7",
                  cursor: "#e056fd", trigger: "#ff7f50" };
const $ = (id) => document.getElementById(id);

const view = { on: { a: true, b: true }, pos: { a: 0, b: 0 }, scale: { a: 1, b: 1 }, zoom: 3,
               mode: "yt", fftChannel: "a", persistence: "off",
               timeCursors: false, levelCursors: false, t: [0.3, 0.7], y: [0.35, 0.65] };
const data = { mode: "roll", kind: 0, a: new Uint8Array(ROLL_KEEP), b: new Uint8Array(ROLL_KEEP), length: 0,
               triggerIndex: -1, newestRead: 0, fresh: false };
const server = { link: "connecting", running: true, invalidBlocks: 0, socket: null, state: "Off",
                 trigger: { mode: "off", source: "a", slope: "rising", level: 128, position: 50, holdoff: 0 },
                 units: { sampleRate: null, a: { voltsPerCount: null, zeroCount: 0 },
                          b: { voltsPerCount: null, zeroCount: 0 } } };
const measured = { rows: null, note: "" };
// Figures for whoever watches the page (the browser test reads them).
// frameCosts: ms from a frame's arrival to the end of its drawing, the newest
// STATS_KEEP of them.
const STATS_KEEP = 600;
const stats = { framesReceived: 0, framesDrawn: 0, pointsReceived: 0, missed: 0, lastSequence: -1,
                delays: [], frameCosts: [], fps: 0, pointsPerSecond: 0, drawsSinceTick: 0, pointsSinceTick: 0 };
window.zqlLive = { stats, server, view, data, measured };

function now() { return performance.timeOrigin + performance.now(); }
function span() { return DIVS_X * ZOOMS[view.zoom]; }

// --- Units ----------------------------------------------------------------
const PREFIXES = [[1e9, "G"], [1e6, "M"], [1e3, "k"], [1, ""], [1e-3, "m"], [1e-6, "µ"], [1e-9, "n"]];
function engineering(value, unit) {
  if (!isFinite(value)) return "—";
  if (value === 0) return "0 " + unit;
  const size = Math.abs(value);
  const [factor, prefix] = PREFIXES.find(([f]) => size >= f * 0.9995) || PREFIXES[PREFIXES.length - 1];
  return (value / factor).toPrecision(4) + " " + prefix + unit;
}
function hasTime() { return server.units.sampleRate !== null; }
function hasVolts(c) { return server.units[c].voltsPerCount !== null; }
// A time in points as the screen reads it: seconds with a sample rate.
function timeText(points) {
  return hasTime() ? engineering(points / server.units.sampleRate, "s") : +points.toPrecision(6) + " pts";
}
function rateText(perPoint) {
  return hasTime() ? engineering(perPoint * server.units.sampleRate, "Hz") : +perPoint.toPrecision(4) + " /pt";
}
// A level in counts as channel c reads it, and a difference of counts.
function levelValue(c, counts) {
  const s = server.units[c];
  return (counts - s.zeroCount) * (s.voltsPerCount === null ? 1 : s.voltsPerCount);
}
function levelText(c, counts) {
  return hasVolts(c) ? engineering(levelValue(c, counts), "V") : +(counts - server.units[c].zeroCount).toFixed(1) + " counts";
}
function spanText(c, counts) {
  return hasVolts(c) ? engineering(counts * server.units[c].voltsPerCount, "V") : +counts.toFixed(1) + " counts";
}

// --- Data -----------------------------------------------------------------
function onFrame(buffer, arrived) {
  const v = new DataView(buffer);
  if (buffer.byteLength < HEADER_BYTES || v.getUint8(0) !== FRAME_FORMAT) return;
  const kind = v.getUint8(1), state = STATES[v.getUint8(3)] || "Off";
  const sequence = v.getUint32(4, true), readTime = v.getFloat64(8, true), n = v.getUint32(16, true);
  if (buffer.byteLength < HEADER_BYTES + 2 * n) return;
  if (stats.lastSequence >= 0 && sequence > stats.lastSequence + 1) stats.missed += sequence - stats.lastSequence - 1;
  stats.lastSequence = sequence;
  const a = new Uint8Array(buffer, HEADER_BYTES, n), b = new Uint8Array(buffer, HEADER_BYTES + n, n);
  if (kind === 0) appendRoll(a, b);
  else { data.a = a.slice(); data.b = b.slice(); data.length = n; }
  data.kind = kind;
  data.triggerIndex = v.getInt32(20, true);
  if (state !== server.state) { server.state = state; showStatus(); }
  data.newestRead = readTime;
  data.arrived = arrived;
  data.fresh = true;
  stats.framesReceived++;
  stats.pointsReceived += n;
  stats.pointsSinceTick += n;
}

// Roll blocks: the newest ROLL_KEEP points are kept, oldest first.
function appendRoll(a, b) {
  if (data.kind !== 0 || data.a.length !== ROLL_KEEP) {
    data.a = new Uint8Array(ROLL_KEEP); data.b = new Uint8Array(ROLL_KEEP); data.length = 0;
  }
  const n = Math.min(a.length, ROLL_KEEP), keep = Math.min(data.length, ROLL_KEEP - n);
  data.a.copyWithin(0, data.length - keep, data.length);
  data.b.copyWithin(0, data.length - keep, data.length);
  data.a.set(a.subarray(a.length - n), keep);
  data.b.set(b.subarray(b.length - n), keep);
  data.length = keep + n;
}

// The points on screen: the newest screenful of a roll, else the frame from
// its first point. `x0` is the screen index of the first.
function onScreen() {
  const n = span(), count = Math.min(n, data.length);
  const first = data.kind === 0 ? data.length - count : 0;
  return { first, count, x0: data.kind === 0 ? n - count : 0, span: n };
}

// --- Geometry: counts and points to canvas pixels and back ------------------
function yOf(c, counts, h) {
  return h / 2 - ((counts - MID) * view.scale[c] / COUNTS_PER_DIV + view.pos[c]) * h / DIVS_Y;
}
function countsAt(c, y, h) {
  return MID + ((h / 2 - y) * DIVS_Y / h - view.pos[c]) * COUNTS_PER_DIV / view.scale[c];
}
function xOf(index, w) { return index * (w - 1) / (span() - 1); }

// --- Drawing --------------------------------------------------------------
const canvas = $("scope"), ctx = canvas.getContext("2d");
const persist = document.createElement("canvas"), pctx = persist.getContext("2d");
let dirty = true;

function fitCanvas() {
  const box = $("screen").getBoundingClientRect();
  const narrow = window.matchMedia("(max-width: 760px)").matches;
  let w = box.width, h = narrow ? w * DIVS_Y / DIVS_X : box.height;
  if (w * DIVS_Y / DIVS_X > h) w = h * DIVS_X / DIVS_Y; else h = w * DIVS_Y / DIVS_X;
  w = Math.max(160, Math.floor(w)); h = Math.max(128, Math.floor(h));
  const ratio = window.devicePixelRatio || 1;
  canvas.style.width = w + "px"; canvas.style.height = h + "px";
  canvas.width = persist.width = Math.round(w * ratio); canvas.height = persist.height = Math.round(h * ratio);
  dirty = true;
}

function drawGrid(w, h) {
  ctx.fillStyle = "#0b1621"; ctx.fillRect(0, 0, w, h);
  ctx.lineWidth = 1; ctx.strokeStyle = COLOURS.grid; ctx.beginPath();
  for (let i = 0; i <= DIVS_X; i++) { const x = Math.round(i * (w - 1) / DIVS_X) + 0.5; ctx.moveTo(x, 0); ctx.lineTo(x, h); }
  for (let j = 0; j <= DIVS_Y; j++) { const y = Math.round(j * (h - 1) / DIVS_Y) + 0.5; ctx.moveTo(0, y); ctx.lineTo(w, y); }
  ctx.stroke();
  ctx.strokeStyle = COLOURS.axis; ctx.beginPath();
  const cx = Math.round((w - 1) / 2) + 0.5, cy = Math.round((h - 1) / 2) + 0.5, t = Math.max(3, w / 160);
  for (let i = 0; i <= DIVS_X * 5; i++) { const x = Math.round(i * (w - 1) / (DIVS_X * 5)) + 0.5; ctx.moveTo(x, cy - t); ctx.lineTo(x, cy + t); }
  for (let j = 0; j <= DIVS_Y * 5; j++) { const y = Math.round(j * (h - 1) / (DIVS_Y * 5)) + 0.5; ctx.moveTo(cx - t, y); ctx.lineTo(cx + t, y); }
  ctx.stroke();
}

function lineWidth() { return Math.max(1.5, (window.devicePixelRatio || 1) * 1.5); }

function traceYT(g, c, w, h) {
  const s = onScreen(), samples = data[c];
  if (s.count < 2) return;
  g.strokeStyle = COLOURS[c]; g.lineWidth = lineWidth(); g.beginPath();
  for (let i = 0; i < s.count; i++) {
    const x = xOf(s.x0 + i, w), y = yOf(c, samples[s.first + i] + 0.5, h);
    if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
  }
  g.stroke();
}

// XY: A across, B up, each with its own scale and position (A's across ten
// divisions).
function traceXY(g, w, h) {
  const s = onScreen();
  if (s.count < 2) return;
  g.strokeStyle = "#f5e6a3"; g.lineWidth = lineWidth(); g.beginPath();
  for (let i = 0; i < s.count; i++) {
    const across = ((data.a[s.first + i] - MID) * view.scale.a / COUNTS_PER_DIV + view.pos.a) * w / DIVS_X;
    const x = w / 2 + across, y = yOf("b", data.b[s.first + i], h);
    if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
  }
  g.stroke();
}

function drawTraces(g, w, h) {
  if (view.mode === "xy") traceXY(g, w, h);
  else ["a", "b"].forEach((c) => { if (view.on[c]) traceYT(g, c, w, h); });
}

// Persistence: older frames stay on a layer of their own and fade by a
// share per new frame; infinite keeps them all.
function drawPersistent(w, h, fresh) {
  if (fresh) {
    const fade = FADE[view.persistence];
    if (fade > 0) {
      pctx.globalCompositeOperation = "destination-out";
      pctx.fillStyle = "rgba(0,0,0," + fade + ")"; pctx.fillRect(0, 0, w, h);
      pctx.globalCompositeOperation = "source-over";
    }
    pctx.globalAlpha = 0.55; drawTraces(pctx, w, h); pctx.globalAlpha = 1;
  }
  ctx.drawImage(persist, 0, 0);
}

// --- FFT of one channel over the points on screen ---------------------------
function fft(re, im) {
  const n = re.length;
  for (let i = 1, j = 0; i < n; i++) {
    let bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) { [re[i], re[j]] = [re[j], re[i]]; [im[i], im[j]] = [im[j], im[i]]; }
  }
  for (let len = 2; len <= n; len <<= 1) {
    const angle = -2 * Math.PI / len, wr = Math.cos(angle), wi = Math.sin(angle);
    for (let i = 0; i < n; i += len) {
      let cr = 1, ci = 0;
      for (let k = 0; k < len / 2; k++) {
        const ar = re[i + k + len / 2] * cr - im[i + k + len / 2] * ci;
        const ai = re[i + k + len / 2] * ci + im[i + k + len / 2] * cr;
        re[i + k + len / 2] = re[i + k] - ar; im[i + k + len / 2] = im[i + k] - ai;
        re[i + k] += ar; im[i + k] += ai;
        [cr, ci] = [cr * wr - ci * wi, cr * wi + ci * wr];
      }
    }
  }
}

// Magnitudes in dB of a Hann-windowed frame, 0 dB a sine of full-scale
// amplitude (128 counts); the largest power of two of the points on screen.
function spectrum(c) {
  const s = onScreen();
  let n = 1;
  while (n * 2 <= Math.min(s.count, FFT_MAX)) n *= 2;
  if (n < 16) return null;
  const re = new Float64Array(n), im = new Float64Array(n), start = s.first + s.count - n;
  let mean = 0;
  for (let i = 0; i < n; i++) mean += data[c][start + i];
  mean /= n;
  for (let i = 0; i < n; i++) re[i] = (data[c][start + i] - mean) * 0.5 * (1 - Math.cos(2 * Math.PI * i / (n - 1)));
  fft(re, im);
  const db = new Float64Array(n / 2), gain = n / 4 * MID; // Hann's coherent gain 1/2, one side
  for (let k = 0; k < n / 2; k++) db[k] = 20 * Math.log10(Math.max(1e-9, Math.hypot(re[k], im[k]) / gain));
  return { db, n };
}

function drawSpectrum(w, h) {
  const f = spectrum(view.fftChannel);
  if (!f) return null;
  ctx.strokeStyle = COLOURS[view.fftChannel]; ctx.lineWidth = lineWidth(); ctx.beginPath();
  for (let k = 0; k < f.db.length; k++) {
    const x = k * (w - 1) / (f.db.length - 1), y = Math.min(h, -f.db[k] / -FFT_FLOOR_DB * h);
    if (k === 0) ctx.moveTo(x, y); else ctx.lineTo(x, y);
  }
  ctx.stroke();
  return f;
}

// --- Labels, markers and cursors ---------------------------------------------
function fontSize(w) { return Math.max(11 * (window.devicePixelRatio || 1), Math.round(w / 60)); }

function drawLabels(w, h, f) {
  const size = fontSize(w), pad = size * 0.6;
  ctx.font = size + "px system-ui, sans-serif"; ctx.textBaseline = "top"; ctx.textAlign = "left";
  ctx.fillStyle = COLOURS.text;
  let top;
  if (view.mode === "fft") {
    const nyquist = 0.5, perDiv = nyquist / DIVS_X;
    top = (f ? "FFT " + view.fftChannel.toUpperCase() + ", Hann window, " + f.n + " points" : "FFT: too few points") +
          "   " + rateText(perDiv) + "/div   10 dB/div, 0 dB = full scale";
  } else {
    top = timeText(ZOOMS[view.zoom]) + "/div   " + data.mode + (view.mode === "xy" ? "   XY: A across, B up" : "");
  }
  ctx.fillText(top, pad, size * 0.5);
  ctx.textAlign = "right";
  ctx.fillStyle = server.running ? "#2ecc71" : "#e74c3c";
  ctx.fillText(server.running ? "RUN" : "STOP", w - pad, size * 0.5);
  ctx.textBaseline = "bottom"; ctx.textAlign = "left";
  const scales = ["a", "b"].filter((c) => view.on[c])
    .map((c) => c.toUpperCase() + " " + spanText(c, COUNTS_PER_DIV / view.scale[c]) + "/div");
  if (view.mode !== "fft") { ctx.fillStyle = COLOURS.text; ctx.fillText(scales.join("   "), pad, h - size * 0.4); }
  if (view.mode === "yt") drawZeroMarkers(w, h, size);
}

function triangle(x, y, dx, dy, size, colour) {
  ctx.fillStyle = colour; ctx.beginPath();
  ctx.moveTo(x, y); ctx.lineTo(x + dx * size - dy * size * 0.6, y + dy * size - dx * size * 0.6);
  ctx.lineTo(x + dx * size + dy * size * 0.6, y + dy * size + dx * size * 0.6); ctx.fill();
}

// Each channel's zero marker: A at the left edge, B near it.
function drawZeroMarkers(w, h, size) {
  ctx.textBaseline = "middle";
  ["a", "b"].forEach((c, i) => {
    if (!view.on[c]) return;
    const y = yOf(c, MID, h), x = i * size * 1.6;
    triangle(x + size * 0.9, y, -1, 0, size * 0.9, COLOURS[c]);
    ctx.fillText(c.toUpperCase(), x + size * 1.0, y);
  });
}

// The trigger's level on the right edge (the source's colour) and its
// position on the top edge; dragged to set them.
function drawTriggerMarkers(w, h) {
  if (server.trigger.mode === "off" || view.mode !== "yt") return;
  const size = fontSize(w), c = server.trigger.source;
  const y = yOf(c, server.trigger.level, h);
  triangle(w - 1, y, -1, 0, size, COLOURS.trigger);
  ctx.setLineDash([4, 6]); ctx.strokeStyle = COLOURS.trigger; ctx.lineWidth = 1;
  ctx.beginPath(); ctx.moveTo(w * 0.93, y); ctx.lineTo(w - size, y); ctx.stroke(); ctx.setLineDash([]);
  const x = server.trigger.position / 100 * (w - 1);
  triangle(x, 1, 0, 1, size, COLOURS.trigger);
  ctx.fillStyle = COLOURS.trigger; ctx.font = "600 " + size + "px system-ui, sans-serif";
  ctx.textAlign = "center"; ctx.textBaseline = "top"; ctx.fillText("T", x, size * 1.1);
}

function drawCursors(w, h) {
  ctx.strokeStyle = COLOURS.cursor; ctx.lineWidth = Math.max(1, (window.devicePixelRatio || 1)); ctx.setLineDash([6, 4]);
  ctx.beginPath();
  if (view.timeCursors) view.t.forEach((t) => { ctx.moveTo(t * w, 0); ctx.lineTo(t * w, h); });
  if (view.levelCursors) view.y.forEach((y) => { ctx.moveTo(0, y * h); ctx.lineTo(w, y * h); });
  ctx.stroke(); ctx.setLineDash([]);
  const size = fontSize(w);
  ctx.fillStyle = COLOURS.cursor; ctx.font = size + "px system-ui, sans-serif"; ctx.textBaseline = "top";
  if (view.timeCursors) view.t.forEach((t, i) => { ctx.textAlign = "left"; ctx.fillText("t" + (i + 1), t * w + 3, size * 2); });
  if (view.levelCursors) view.y.forEach((y, i) => { ctx.textAlign = "right"; ctx.fillText("y" + (i + 1), w - size * 1.6, y * h + 2); });
}

function drawLinkNotice(w, h) {
  if (server.link === "ready") return;
  const size = fontSize(w);
  const text = server.link === "connecting" ? "connecting to the server" : server.link;
  ctx.font = "600 " + Math.round(size * 1.8) + "px system-ui, sans-serif";
  ctx.textAlign = "center"; ctx.textBaseline = "middle";
  ctx.fillStyle = "rgba(11,22,33,0.8)"; ctx.fillRect(0, h / 2 - size * 2.2, w, size * 4.4);
  ctx.fillStyle = "#e74c3c"; ctx.fillText(text, w / 2, h / 2 - size * 0.5);
  ctx.font = size + "px system-ui, sans-serif"; ctx.fillStyle = COLOURS.text;
  ctx.fillText(server.socket ? "trying again every few seconds; Reconnect tries now" : "the page reconnects by itself",
               w / 2, h / 2 + size * 1.1);
}

function draw(fresh) {
  const w = canvas.width, h = canvas.height;
  drawGrid(w, h);
  let f = null;
  if (view.mode === "fft") f = drawSpectrum(w, h);
  else if (view.persistence !== "off") drawPersistent(w, h, fresh);
  else drawTraces(ctx, w, h);
  drawLabels(w, h, f);
  drawTriggerMarkers(w, h);
  if (view.mode === "yt") drawCursors(w, h);
  drawLinkNotice(w, h);
  showCursorReadout();
}

function animate() {
  if (data.fresh) {
    data.fresh = false;
    draw(true);
    stats.framesDrawn++;
    stats.drawsSinceTick++;
    stats.frameCosts.push(performance.now() - data.arrived);
    stats.delays.push(now() - data.newestRead);
    [stats.delays, stats.frameCosts].forEach((k) => { if (k.length > STATS_KEEP) k.splice(0, k.length - STATS_KEEP); });
    dirty = false;
  } else if (dirty) {
    draw(false);
    dirty = false;
  }
  requestAnimationFrame(animate);
}

// --- Readouts -------------------------------------------------------------
function showCursorReadout() {
  const lines = [];
  if (view.timeCursors && view.mode === "yt") {
    const pts = view.t.map((t) => t * (span() - 1)), dt = Math.abs(pts[1] - pts[0]);
    lines.push("t1 " + timeText(pts[0]) + "   t2 " + timeText(pts[1]));
    lines.push("Δt " + timeText(dt) + "   1/Δt " + (dt > 0 ? rateText(1 / dt) : "—"));
  }
  if (view.levelCursors && view.mode === "yt") {
    const h = canvas.height;
    ["a", "b"].filter((c) => view.on[c]).forEach((c) => {
      const v = view.y.map((y) => countsAt(c, y * h, h));
      lines.push(c.toUpperCase() + ": y1 " + levelText(c, v[0]) + "   y2 " + levelText(c, v[1]) +
                 "   ΔV " + spanText(c, Math.abs(v[0] - v[1])));
    });
  }
  const text = lines.join("\n");
  if ($("cursorReadout").textContent !== text) $("cursorReadout").textContent = text;
}

// The server's rows for each shown channel: the numbers and units the
// command line's table prints, the number in its own data-measure element.
function showMeasurements() {
  const table = $("measureTable"), rows = measured.rows;
  table.textContent = "";
  const shown = ["a", "b"].filter((c) => view.on[c]);
  if (!rows || !shown.length) return;
  const head = table.insertRow();
  head.appendChild(document.createElement("th"));
  shown.forEach((c) => {
    const th = document.createElement("th"); th.textContent = "channel " + c.toUpperCase();
    th.className = "ch-" + c; head.appendChild(th);
  });
  rows.a.forEach((row, i) => {
    const tr = table.insertRow(), label = tr.insertCell();
    label.className = "label"; label.textContent = row[1];
    shown.forEach((c) => {
      const [key, , value] = rows[c][i], cut = value.lastIndexOf(" ");
      const cell = tr.insertCell(), number = document.createElement("span"), unit = document.createElement("span");
      number.dataset.measure = key; number.textContent = cut > 0 ? value.slice(0, cut) : value;
      unit.className = "unit"; unit.textContent = cut > 0 ? value.slice(cut + 1) : "";
      cell.append(number, unit);
    });
  });
}

function showUnitsNote() {
  const missing = [];
  if (!hasTime()) missing.push("time in points (no --sample-rate)");
  ["a", "b"].forEach((c) => { if (!hasVolts(c)) missing.push(c.toUpperCase() + " in counts (no --volts-per-count)"); });
  $("unitsNote").textContent = missing.length ? "The instrument's own scale is unknown: " + missing.join(", ") + "." : "";
}

function showStatus() {
  const link = $("link");
  link.textContent = server.link;
  link.className = "badge " + (server.link === "ready" ? "ready" : server.link === "connecting" ? "warn" : "bad");
  const rs = $("runstop");
  rs.textContent = server.running ? "Stop" : "Run";
  rs.className = server.running ? "running" : "stopped";
  $("reconnect").disabled = server.link === "ready" || !server.socket;
  $("mode").textContent = data.mode + " mode";
  const badge = $("trigBadge");
  badge.dataset.triggerState = server.state;
  badge.textContent = server.state === "Off" ? "Trigger off" : server.state;
  const delays = stats.delays.slice(-60).sort((x, y) => x - y);
  const median = delays.length ? delays[delays.length >> 1].toFixed(1) + " ms" : "–";
  // Stopped, nothing arrives: no rate or delay is shown rather than the last one.
  const rates = server.running ? "<b>" + stats.fps.toFixed(1) + "</b> frames/s · <b>" +
    Math.round(stats.pointsPerSecond).toLocaleString("en") + "</b> points/s · " : "<b>stopped</b> · ";
  const state = server.state.replace("'", "&#39;");
  $("status").innerHTML = rates + "trigger <b id=\"trigger-state\" data-trigger-state=\"" + state + "\">" +
    state + "</b> · invalid roll blocks <b>" + server.invalidBlocks + "</b> · dropped frames <b>" +
    stats.missed + "</b>" + (server.running ? " · delay <b>" + median + "</b>" : "") + " · link <b>" +
    server.link + "</b>";
  document.querySelectorAll("#trigModes button").forEach((b) => b.classList.toggle("on", b.dataset.mode === server.trigger.mode));
}

setInterval(() => {
  stats.fps = stats.drawsSinceTick; stats.pointsPerSecond = stats.pointsSinceTick;
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0;
  showStatus();
}, 1000);

function onText(text) {
  let s;
  try { s = JSON.parse(text); } catch (e) { return; }
  if (s.type === "measure") { measured.rows = { a: s.a, b: s.b }; measured.note = s.note; showMeasurements(); return; }
  if (s.type !== "status") return;
  const changed = s.link !== server.link || s.running !== server.running || s.mode !== data.mode ||
    s.trigger.state !== server.state || JSON.stringify(s.trigger) !== JSON.stringify(server.trigger);
  server.link = s.link; server.running = s.running; server.invalidBlocks = s.invalidBlocks; data.mode = s.mode;
  if (!dragging) server.trigger = s.trigger;
  server.state = s.trigger.state;
  if (JSON.stringify(s.units) !== JSON.stringify(server.units)) { server.units = s.units; showControls(); }
  if (changed) { dirty = true; showStatus(); showTriggerControls(); showUnitsNote(); }
}

// --- The connection ---------------------------------------------------------
function connect() {
  // The key came in the address; the server gave it to the page as a cookie
  // too, which serves the WebSocket and reloads: keep it out of the history.
  if (location.search) history.replaceState(null, "", location.pathname);
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { server.socket = socket; stats.lastSequence = -1; send("frame " + span()); showStatus(); };
  socket.onmessage = (e) => { if (typeof e.data === "string") onText(e.data); else onFrame(e.data, performance.now()); };
  socket.onclose = () => {
    server.socket = null; server.link = "server gone"; dirty = true; showStatus();
    setTimeout(connect, 2000);
  };
}

function send(command) { if (server.socket) server.socket.send(command); }

function sendTrigger() {
  const t = server.trigger;
  send(["trigger", t.mode, t.source, t.slope, Math.round(t.level), Math.round(t.position), t.holdoff].join(" "));
  showTriggerControls(); dirty = true;
}

function toggleRun() {
  server.running = !server.running; // shown at once; the server's status confirms it
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0; stats.fps = 0; stats.pointsPerSecond = 0;
  send(server.running ? "run" : "stop");
  dirty = true; showStatus();
}

// --- Dragging: trigger markers and cursors, by mouse or touch --------------
let dragging = null;

function grabAt(x, y) {
  const w = canvas.clientWidth, h = canvas.clientHeight;
  if (view.mode === "yt" && server.trigger.mode !== "off") {
    const ly = yOf(server.trigger.source, server.trigger.level, h);
    if (x > w - 2 * GRAB && Math.abs(y - ly) < GRAB) return { what: "level" };
    if (y < 2 * GRAB && Math.abs(x - server.trigger.position / 100 * w) < GRAB) return { what: "position" };
  }
  if (view.mode !== "yt") return null;
  let best = null, distance = GRAB;
  if (view.timeCursors) view.t.forEach((t, i) => { const d = Math.abs(x - t * w); if (d < distance) { distance = d; best = { what: "t", i }; } });
  if (view.levelCursors) view.y.forEach((v, i) => { const d = Math.abs(y - v * h); if (d < distance) { distance = d; best = { what: "y", i }; } });
  return best;
}

function dragTo(x, y) {
  const w = canvas.clientWidth, h = canvas.clientHeight, clamp = (v) => Math.min(1, Math.max(0, v));
  if (dragging.what === "level") {
    server.trigger.level = Math.min(255, Math.max(0, Math.round(countsAt(server.trigger.source, y, h))));
  } else if (dragging.what === "position") {
    server.trigger.position = Math.round(clamp(x / w) * 100);
  } else if (dragging.what === "t") {
    view.t[dragging.i] = clamp(x / w);
  } else {
    view.y[dragging.i] = clamp(y / h);
  }
  showTriggerControls(); dirty = true;
}

function pointer(e) { const r = canvas.getBoundingClientRect(); return [e.clientX - r.left, e.clientY - r.top]; }
canvas.addEventListener("pointerdown", (e) => {
  const [x, y] = pointer(e);
  dragging = grabAt(x, y);
  if (!dragging) return;
  canvas.setPointerCapture(e.pointerId); e.preventDefault(); dragTo(x, y);
});
canvas.addEventListener("pointermove", (e) => {
  const [x, y] = pointer(e);
  if (dragging) { dragTo(x, y); return; }
  const near = grabAt(x, y);
  canvas.style.cursor = !near ? "default" : near.what === "level" || near.what === "y" ? "ns-resize" : "ew-resize";
});
const endDrag = () => {
  if (dragging && (dragging.what === "level" || dragging.what === "position")) sendTrigger();
  dragging = null;
};
canvas.addEventListener("pointerup", endDrag);
canvas.addEventListener("pointercancel", endDrag);

// --- Saving what is on screen ---------------------------------------------
function stamp(d) {
  const two = (n) => String(n).padStart(2, "0");
  return "zqlscope-live-" + d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + "-" + two(d.getHours()) +
    two(d.getMinutes()) + two(d.getSeconds());
}

function download(blob, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob); link.download = name;
  document.body.appendChild(link); link.click(); link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

// The points every save of the frame writes: those on screen, copied so
// that a frame arriving meanwhile changes none of them.
function savedFrame() {
  const s = onScreen();
  return { x0: s.x0, a: data.a.slice(s.first, s.first + s.count), b: data.b.slice(s.first, s.first + s.count) };
}

function frameCsv(f) {
  const head = ["index"];
  if (hasTime()) head.push("time_s");
  head.push("channel_a", "channel_b");
  ["a", "b"].forEach((c) => { if (hasVolts(c)) head.push("channel_" + c + "_V"); });
  const lines = [head.join(",")];
  for (let i = 0; i < f.a.length; i++) {
    const a = f.a[i], b = f.b[i], row = [f.x0 + i];
    if (hasTime()) row.push(((f.x0 + i) / server.units.sampleRate).toPrecision(9));
    row.push(a, b);
    if (hasVolts("a")) row.push(levelValue("a", a).toPrecision(6));
    if (hasVolts("b")) row.push(levelValue("b", b).toPrecision(6));
    lines.push(row.join(","));
  }
  return lines.join("\n") + "\n";
}

// --- The frame as a sigrok session: a zip of stored entries ------------------
const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let crc = 0xFFFFFFFF;
  for (let i = 0; i < bytes.length; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 0xFF] ^ (crc >>> 8);
  return (crc ^ 0xFFFFFFFF) >>> 0;
}

// Zip record sizes and fields: stored entries (version 1.0), made on Unix
// with the mode rw-r--r-- as the external attributes.
const ZIP = { local: 30, central: 46, end: 22, version: 10, madeBy: (3 << 8) | 20, mode: 0o100644 * 65536 };

function dosTime(d) {
  return { time: (d.getHours() << 11) | (d.getMinutes() << 5) | (d.getSeconds() >> 1),
           date: ((d.getFullYear() - 1980) << 9) | ((d.getMonth() + 1) << 5) | d.getDate() };
}

// entries: [name, Uint8Array] in order; returns the whole file.
function storedZip(entries, when) {
  const t = dosTime(when), names = entries.map(([name]) => new TextEncoder().encode(name));
  const body = entries.reduce((n, [, bytes], i) => n + ZIP.local + names[i].length + bytes.length, 0);
  const directory = entries.reduce((n, e, i) => n + ZIP.central + names[i].length, 0);
  const out = new Uint8Array(body + directory + ZIP.end), v = new DataView(out.buffer);
  let at = 0, central = body;
  const u16 = (o, x) => v.setUint16(o, x, true), u32 = (o, x) => v.setUint32(o, x, true);
  entries.forEach(([, bytes], i) => {
    const crc = crc32(bytes), name = names[i];
    u32(at, 0x04034B50); u16(at + 4, ZIP.version); u16(at + 10, t.time); u16(at + 12, t.date);
    u32(at + 14, crc); u32(at + 18, bytes.length); u32(at + 22, bytes.length); u16(at + 26, name.length);
    out.set(name, at + ZIP.local); out.set(bytes, at + ZIP.local + name.length);
    u32(central, 0x02014B50); u16(central + 4, ZIP.madeBy); u16(central + 6, ZIP.version);
    u16(central + 12, t.time); u16(central + 14, t.date); u32(central + 16, crc);
    u32(central + 20, bytes.length); u32(central + 24, bytes.length); u16(central + 28, name.length);
    u32(central + 38, ZIP.mode); u32(central + 42, at); out.set(name, central + ZIP.central);
    at += ZIP.local + name.length + bytes.length; central += ZIP.central + name.length;
  });
  u32(central, 0x06054B50); u16(central + 8, entries.length); u16(central + 10, entries.length);
  u32(central + 12, directory); u32(central + 16, body);
  return out;
}

function wholeHertz(rate) { return rate !== null && rate >= 1 && rate <= 1e15 && Math.floor(rate) === rate; }

function sessionMetadata() {
  const rate = server.units.sampleRate, scale = (c) => hasVolts(c) ? "volts" : "counts";
  let text = "[global]\n# zqlscope live: the frame on screen of the Zelqa's two channels.\n" +
    "# Levels: A in " + scale("a") + ", B in " + scale("b") + ".\n";
  if (!wholeHertz(rate)) text += "# Without a samplerate the time axis counts samples: one sample per point.\n";
  text += "\n[device 1]\n";
  if (wholeHertz(rate)) text += "samplerate=" + rate + "\n";
  return text + "total analog=2\nanalog1=A\nanalog2=B\n";
}

// Each channel's levels as float32 little-endian, as the capture's session holds them.
function floats(c, counts) {
  const out = new Uint8Array(4 * counts.length), v = new DataView(out.buffer);
  counts.forEach((n, i) => v.setFloat32(4 * i, levelValue(c, n), true));
  return out;
}

function frameSession(f, when) {
  const text = (s) => new TextEncoder().encode(s);
  return storedZip([["version", text("2")], ["metadata", text(sessionMetadata())],
                    ["analog-1-1-1", floats("a", f.a)], ["analog-1-2-1", floats("b", f.b)]], when);
}

$("saveCsv").onclick = () => download(new Blob([frameCsv(savedFrame())], { type: "text/csv" }), stamp(new Date()) + ".csv");
$("savePng").onclick = () => canvas.toBlob((blob) => download(blob, stamp(new Date()) + ".png"), "image/png");
$("saveSr").onclick = () => {
  const when = new Date();
  download(new Blob([frameSession(savedFrame(), when)], { type: "application/zip" }), stamp(when) + ".sr");
};

// --- Controls -------------------------------------------------------------
function showControls() {
  ["a", "b"].forEach((c) => {
    const C = c.toUpperCase();
    $("pos" + C + "Text").textContent = view.pos[c].toFixed(1) + " div";
    const select = $("scale" + C);
    select.textContent = "";
    SCALES.forEach((k) => {
      const o = document.createElement("option");
      o.value = k; o.textContent = spanText(c, COUNTS_PER_DIV / k) + "/div"; o.selected = k === view.scale[c];
      select.appendChild(o);
    });
  });
  $("ppdText").textContent = ZOOMS[view.zoom] + " pts/div";
  $("zoomIn").disabled = view.zoom === 0;
  $("zoomOut").disabled = view.zoom === ZOOMS.length - 1;
  $("fftChannel").disabled = view.mode !== "fft";
  persist.getContext("2d").clearRect(0, 0, persist.width, persist.height);
  dirty = true;
}

function showTriggerControls() {
  const t = server.trigger;
  $("trigSource").value = t.source; $("trigSlope").value = t.slope;
  if (document.activeElement !== $("holdoff")) $("holdoff").value = t.holdoff;
  $("trigLevelText").textContent = levelText(t.source, t.level);
  $("trigPosText").textContent = Math.round(t.position) + " %";
  document.querySelectorAll("#trigModes button").forEach((b) => b.classList.toggle("on", b.dataset.mode === t.mode));
}

function setZoom(zoom) { view.zoom = zoom; send("frame " + span()); showControls(); }

$("runstop").onclick = toggleRun;
$("reconnect").onclick = () => send("reconnect");
["a", "b"].forEach((c) => {
  const C = c.toUpperCase();
  $("on" + C).onchange = (e) => { view.on[c] = e.target.checked; showMeasurements(); showControls(); };
  $("pos" + C).oninput = (e) => { view.pos[c] = Number(e.target.value); showControls(); };
  $("scale" + C).onchange = (e) => { view.scale[c] = Number(e.target.value); showControls(); };
});
$("zoomIn").onclick = () => setZoom(Math.max(0, view.zoom - 1));
$("zoomOut").onclick = () => setZoom(Math.min(ZOOMS.length - 1, view.zoom + 1));
document.querySelectorAll("#trigModes button").forEach((b) => {
  b.onclick = () => {
    if (b.dataset.mode === "single" && server.trigger.mode === "single") { send("rearm"); return; }
    server.trigger.mode = b.dataset.mode; sendTrigger();
  };
});
$("trigSource").onchange = (e) => { server.trigger.source = e.target.value; sendTrigger(); };
$("trigSlope").onchange = (e) => { server.trigger.slope = e.target.value; sendTrigger(); };
$("holdoff").onchange = (e) => {
  const n = Math.floor(Number(e.target.value));
  if (n >= 0) { server.trigger.holdoff = n; sendTrigger(); }
};
$("view").onchange = (e) => { view.mode = e.target.value; showControls(); };
$("fftChannel").onchange = (e) => { view.fftChannel = e.target.value; dirty = true; };
$("persistence").onchange = (e) => { view.persistence = e.target.value; showControls(); };
$("timeCursors").onchange = (e) => { view.timeCursors = e.target.checked; dirty = true; };
$("levelCursors").onchange = (e) => { view.levelCursors = e.target.checked; dirty = true; };
document.addEventListener("keydown", (e) => {
  if (e.code === "Space" && !e.repeat && e.target.tagName !== "INPUT" && e.target.tagName !== "SELECT") {
    e.preventDefault(); toggleRun();
  }
});
document.addEventListener("keyup", (e) => { if (e.code === "Space") e.preventDefault(); });
window.addEventListener("resize", fitCanvas);
// The screen's room changes when the readouts beside it fill in, too.
let room = "";
new ResizeObserver(() => {
  const box = $("screen").getBoundingClientRect(), size = Math.round(box.width) + "x" + Math.round(box.height);
  if (size !== room) { room = size; fitCanvas(); }
}).observe($("screen"));

fitCanvas();
showControls();
showTriggerControls();
showUnitsNote();
showStatus();
connect();
requestAnimationFrame(animate);
