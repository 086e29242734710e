// Drawing the screen on the canvas: grid, traces (Y-T and XY), persistence,
// the FFT, labels, markers and the link notice, once per animation frame when
// a frame arrived or the picture changed.
import { $, COLOURS, COUNTS_PER_DIV, DIVS_X, DIVS_Y, FADE, FFT_FLOOR_DB, FFT_MAX, MID, STATS_KEEP, ZOOMS, data, now, onScreen, rateText, server, spanText, stats, takeWaitingScreen, timeText, ui, view, xOf, yOf } from "./scope_state.js";
import { drawCursors, showCursorReadout } from "./cursors_measurements.js";
export const canvas = $("scope"), ctx = canvas.getContext("2d");
export const persist = document.createElement("canvas"), pctx = persist.getContext("2d");

export function fitCanvas() {
  const box = $("screen").getBoundingClientRect();
  const narrow = window.matchMedia("(max-width: 760px)").matches;
  let w = box.width, h = narrow ? w * DIVS_Y / DIVS_X : box.height;
  if (w * DIVS_Y / DIVS_X > h) w = h * DIVS_X / DIVS_Y; else h = w * DIVS_Y / DIVS_X;
  w = Math.max(160, Math.floor(w)); h = Math.max(128, Math.floor(h));
  const ratio = window.devicePixelRatio || 1;
  canvas.style.width = w + "px"; canvas.style.height = h + "px";
  canvas.width = persist.width = Math.round(w * ratio); canvas.height = persist.height = Math.round(h * ratio);
  ui.dirty = true;
}

export function drawGrid(w, h) {
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

export function lineWidth() { return Math.max(1.5, (window.devicePixelRatio || 1) * 1.5); }

export function traceYT(g, c, w, h) {
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
export function traceXY(g, w, h) {
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

export function drawTraces(g, w, h) {
  if (view.mode === "xy") traceXY(g, w, h);
  else ["a", "b"].forEach((c) => { if (view.on[c]) traceYT(g, c, w, h); });
}

// Persistence: older frames stay on a layer of their own and fade by a
// share per new frame; infinite keeps them all.
export function drawPersistent(w, h, fresh) {
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
// What a transform of n points needs, made once per size and reused every
// frame: the Hann window, the twiddle factors and the work arrays.
const fftTables = new Map();
function fftTable(n) {
  let t = fftTables.get(n);
  if (t) return t;
  t = { window: new Float64Array(n), cos: new Float64Array(n / 2), sin: new Float64Array(n / 2),
        re: new Float64Array(n), im: new Float64Array(n), db: new Float64Array(n / 2) };
  for (let i = 0; i < n; i++) t.window[i] = 0.5 * (1 - Math.cos(2 * Math.PI * i / (n - 1)));
  for (let k = 0; k < n / 2; k++) { t.cos[k] = Math.cos(-2 * Math.PI * k / n); t.sin[k] = Math.sin(-2 * Math.PI * k / n); }
  fftTables.set(n, t);
  return t;
}

// In place, radix 2; t holds the twiddles of re.length points.
export function fft(re, im, t) {
  const n = re.length;
  for (let i = 1, j = 0; i < n; i++) {
    let bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) { let x = re[i]; re[i] = re[j]; re[j] = x; x = im[i]; im[i] = im[j]; im[j] = x; }
  }
  for (let len = 2; len <= n; len <<= 1) {
    const half = len >> 1, step = n / len;
    for (let i = 0; i < n; i += len) {
      for (let k = 0; k < half; k++) {
        const cr = t.cos[k * step], ci = t.sin[k * step], p = i + k, q = p + half;
        const ar = re[q] * cr - im[q] * ci, ai = re[q] * ci + im[q] * cr;
        re[q] = re[p] - ar; im[q] = im[p] - ai;
        re[p] += ar; im[p] += ai;
      }
    }
  }
}

// Magnitudes in dB of a Hann-windowed frame, 0 dB a sine of full-scale
// amplitude (128 counts); the largest power of two of the points on screen.
// The magnitudes are the table's own array, rewritten by the next call.
export function spectrum(c) {
  const s = onScreen();
  let n = 1;
  while (n * 2 <= Math.min(s.count, FFT_MAX)) n *= 2;
  if (n < 16) return null;
  const t = fftTable(n), re = t.re, im = t.im, samples = data[c], start = s.first + s.count - n;
  let mean = 0;
  for (let i = 0; i < n; i++) mean += samples[start + i];
  mean /= n;
  for (let i = 0; i < n; i++) { re[i] = (samples[start + i] - mean) * t.window[i]; im[i] = 0; }
  fft(re, im, t);
  const db = t.db, gain = n / 4 * MID; // Hann's coherent gain 1/2, one side
  for (let k = 0; k < n / 2; k++) db[k] = 20 * Math.log10(Math.max(1e-9, Math.hypot(re[k], im[k]) / gain));
  return { db, n };
}

export function drawSpectrum(w, h) {
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
export function fontSize(w) { return Math.max(11 * (window.devicePixelRatio || 1), Math.round(w / 60)); }

export function drawLabels(w, h, f) {
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

export function triangle(x, y, dx, dy, size, colour) {
  ctx.fillStyle = colour; ctx.beginPath();
  ctx.moveTo(x, y); ctx.lineTo(x + dx * size - dy * size * 0.6, y + dy * size - dx * size * 0.6);
  ctx.lineTo(x + dx * size + dy * size * 0.6, y + dy * size + dx * size * 0.6); ctx.fill();
}

// Each channel's zero marker: A at the left edge, B near it.
export function drawZeroMarkers(w, h, size) {
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
export function drawTriggerMarkers(w, h) {
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

export function drawLinkNotice(w, h) {
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

export function draw(fresh) {
  const w = canvas.width, h = canvas.height;
  drawGrid(w, h);
  let f = null;
  if (view.mode === "fft") f = drawSpectrum(w, h);
  else if (view.persistence !== "off") drawPersistent(w, h, fresh);
  else drawTraces(ctx, w, h);
  drawLabels(w, h, f);
  drawTriggerMarkers(w, h);
  if (view.mode === "yt") drawCursors(ctx, w, h, fontSize(w));
  drawLinkNotice(w, h);
  showCursorReadout();
}

// Draws the frame that just became fresh and keeps its figures.
function drawFresh() {
  data.fresh = false;
  const start = performance.now();
  draw(true);
  const end = performance.now();
  stats.framesDrawn++;
  stats.drawsSinceTick++;
  stats.frameCosts.push(end - data.arrived);
  stats.drawCosts.push(end - start);
  stats.delays.push(now() - data.newestRead);
  [stats.delays, stats.frameCosts, stats.drawCosts].forEach((k) => { if (k.length > STATS_KEEP) k.splice(0, k.length - STATS_KEEP); });
  ui.dirty = false;
  drawnThisFrame = true;
}

// At most one frame is drawn per display frame. A frame that arrives while
// nothing has been drawn in the current display frame is drawn at once: the
// browser shows it at the next refresh, a display frame sooner than waiting
// for the next animation callback. Otherwise it waits for that callback.
let drawnThisFrame = false;
export function drawArrived() {
  if (!drawnThisFrame && (takeWaitingScreen() || data.fresh)) drawFresh();
}

export function animate() {
  drawnThisFrame = false;
  takeWaitingScreen();
  if (data.fresh) drawFresh();
  else if (ui.dirty) {
    draw(false);
    ui.dirty = false;
  }
  requestAnimationFrame(animate);
}

