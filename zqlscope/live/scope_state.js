// The screen's shared state and the arithmetic every part of the page uses:
// the channels' settings, the frame on screen, the server's status, the
// figures the browser test reads, units and the mapping of counts and points
// to canvas pixels. `ui` holds what several parts change (a redraw wanted, a
// marker being dragged); `show` is filled by the entry with the functions that
// rewrite the readouts, so that the socket below them can call them.
export const DIVS_X = 10, DIVS_Y = 8, FULL_SCALE = 256, MID = 128;
export const HEADER_BYTES = 24, FRAME_FORMAT = 2;
export const ZOOMS = [10, 20, 50, 100, 200, 500, 1000, 2000];
export const ROLL_KEEP = 10 * ZOOMS[ZOOMS.length - 1];
export const SCALES = [0.5, 1, 2, 4, 8];          // of the full-screen scale: 32 counts a division at 1
export const COUNTS_PER_DIV = FULL_SCALE / DIVS_Y;
export const STATES = ["Off", "Trig'd", "Auto", "Waiting", "Stopped"];
// Fading of older frames per new frame: the share of brightness taken away.
export const FADE = { off: 1, short: 0.35, long: 0.08, infinite: 0 };
export const FFT_MAX = 8192, FFT_FLOOR_DB = -80;   // 10 dB a division below 0 dB
export const GRAB = 14;                             // CSS pixels within which a marker or cursor is taken
export const COLOURS = { a: "#f1c40f", b: "#1abc9c", grid: "#34495e", axis: "#4d6680", text: "#bdc3c7",
                  cursor: "#e056fd", trigger: "#ff7f50" };
export const $ = (id) => document.getElementById(id);

export const view = { on: { a: true, b: true }, pos: { a: 0, b: 0 }, scale: { a: 1, b: 1 }, zoom: 3,
               mode: "yt", fftChannel: "a", persistence: "off",
               timeCursors: false, levelCursors: false, t: [0.3, 0.7], y: [0.35, 0.65] };
export const data = { mode: "roll", kind: 0, a: new Uint8Array(ROLL_KEEP), b: new Uint8Array(ROLL_KEEP), length: 0,
               triggerIndex: -1, newestRead: 0, fresh: false };
// Whole screens (capture records, triggered screens) not yet drawn, oldest
// first. The server reads in 10 ms steps, so two screens can land within one
// display frame and none in the next; holding them lets each be drawn on a
// display frame of its own (and blended into persistence) instead of the
// second replacing the first. Two cover the bunching of 10 ms reads against
// a 60 Hz display (at most two reads fall in one 16.7 ms frame); beyond that
// the page is behind and the oldest goes.
export const SCREENS_WAITING = 2;
export const waiting = [];

// The oldest waiting screen becomes the one on screen; false if none waits.
export function takeWaitingScreen() {
  if (!waiting.length) return false;
  Object.assign(data, waiting.shift(), { fresh: true });
  return true;
}
export const server = { link: "connecting", running: true, invalidBlocks: 0, socket: null, state: "Off",
                 trigger: { mode: "off", source: "a", slope: "rising", level: 128, position: 50, holdoff: 0 },
                 units: { sampleRate: null, a: { voltsPerCount: null, zeroCount: 0 },
                          b: { voltsPerCount: null, zeroCount: 0 } } };
export const measured = { rows: null, note: "" };
// Figures for whoever watches the page (the browser test reads them).
// frameCosts: ms from a frame's arrival to the end of its drawing; drawCosts:
// ms of the drawing alone (the rest is the wait for the next animation frame);
// the newest STATS_KEEP of each.
export const STATS_KEEP = 600;
export const stats = { framesReceived: 0, framesDrawn: 0, pointsReceived: 0, missed: 0, lastSequence: -1,
                delays: [], frameCosts: [], drawCosts: [], fps: 0, pointsPerSecond: 0, drawsSinceTick: 0, pointsSinceTick: 0 };
window.zqlLive = { stats, server, view, data, measured };

export function now() { return performance.timeOrigin + performance.now(); }
export function span() { return DIVS_X * ZOOMS[view.zoom]; }

// --- Units ----------------------------------------------------------------
export const PREFIXES = [[1e9, "G"], [1e6, "M"], [1e3, "k"], [1, ""], [1e-3, "m"], [1e-6, "µ"], [1e-9, "n"]];
export function engineering(value, unit) {
  if (!isFinite(value)) return "—";
  if (value === 0) return "0 " + unit;
  const size = Math.abs(value);
  const [factor, prefix] = PREFIXES.find(([f]) => size >= f * 0.9995) || PREFIXES[PREFIXES.length - 1];
  return (value / factor).toPrecision(4) + " " + prefix + unit;
}
export function hasTime() { return server.units.sampleRate !== null; }
export function hasVolts(c) { return server.units[c].voltsPerCount !== null; }
// A time in points as the screen reads it: seconds with a sample rate.
export function timeText(points) {
  return hasTime() ? engineering(points / server.units.sampleRate, "s") : +points.toPrecision(6) + " pts";
}
export function rateText(perPoint) {
  return hasTime() ? engineering(perPoint * server.units.sampleRate, "Hz") : +perPoint.toPrecision(4) + " /pt";
}
// A level in counts as channel c reads it, and a difference of counts.
export function levelValue(c, counts) {
  const s = server.units[c];
  return (counts - s.zeroCount) * (s.voltsPerCount === null ? 1 : s.voltsPerCount);
}
export function levelText(c, counts) {
  return hasVolts(c) ? engineering(levelValue(c, counts), "V") : +(counts - server.units[c].zeroCount).toFixed(1) + " counts";
}
export function spanText(c, counts) {
  return hasVolts(c) ? engineering(counts * server.units[c].voltsPerCount, "V") : +counts.toFixed(1) + " counts";
}

// its first point. `x0` is the screen index of the first.
export function onScreen() {
  const n = span(), count = Math.min(n, data.length);
  const first = data.kind === 0 ? data.length - count : 0;
  return { first, count, x0: data.kind === 0 ? n - count : 0, span: n };
}

// --- Geometry: counts and points to canvas pixels and back ------------------
export function yOf(c, counts, h) {
  return h / 2 - ((counts - MID) * view.scale[c] / COUNTS_PER_DIV + view.pos[c]) * h / DIVS_Y;
}
export function countsAt(c, y, h) {
  return MID + ((h / 2 - y) * DIVS_Y / h - view.pos[c]) * COUNTS_PER_DIV / view.scale[c];
}
export function xOf(index, w) { return index * (w - 1) / (span() - 1); }


// A redraw wanted (the picture changed without a new frame), and the marker or
// cursor being dragged.
export const ui = { dirty: true, dragging: null };
export const show = { status() {}, controls() {}, triggerControls() {}, measurements() {}, unitsNote() {}, frame() {} };
