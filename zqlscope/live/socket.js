// The socket and the frames on it. Frames arrive as binary messages (a
// 24-byte header, then the channel A bytes, then the channel B bytes): roll
// blocks to append, or whole screens (a capture record, or a screen the
// server's trigger placed). Status and the measurements of the frame on
// screen arrive as JSON text. The page sends "run", "stop", "reconnect",
// "rearm", "frame N" and "trigger MODE SOURCE SLOPE LEVEL POSITION HOLDOFF".
import { FRAME_FORMAT, HEADER_BYTES, ROLL_KEEP, SCREENS_WAITING, STATES, data, measured, server, show, span, stats, ui, waiting } from "./scope_state.js";
export function onFrame(buffer, arrived) {
  const v = new DataView(buffer);
  if (buffer.byteLength < HEADER_BYTES || v.getUint8(0) !== FRAME_FORMAT) return;
  const kind = v.getUint8(1), state = STATES[v.getUint8(3)] || "Off";
  const sequence = v.getUint32(4, true), readTime = v.getFloat64(8, true), n = v.getUint32(16, true);
  if (buffer.byteLength < HEADER_BYTES + 2 * n) return;
  if (stats.lastSequence >= 0 && sequence > stats.lastSequence + 1) stats.missed += sequence - stats.lastSequence - 1;
  stats.lastSequence = sequence;
  const a = new Uint8Array(buffer, HEADER_BYTES, n), b = new Uint8Array(buffer, HEADER_BYTES + n, n);
  const frame = { kind, triggerIndex: v.getInt32(20, true), newestRead: readTime, arrived };
  if (kind === 0) {
    waiting.length = 0; // a roll replaces whatever screens were still to be drawn
    appendRoll(a, b);
    Object.assign(data, frame, { fresh: true });
  } else {
    waiting.push(Object.assign(frame, { a: a.slice(), b: b.slice(), length: n }));
    if (waiting.length > SCREENS_WAITING) waiting.shift();
  }
  if (state !== server.state) { server.state = state; show.status(); }
  stats.framesReceived++;
  stats.pointsReceived += n;
  stats.pointsSinceTick += n;
}

// Roll blocks: the newest ROLL_KEEP points are kept, oldest first.
export function appendRoll(a, b) {
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

setInterval(() => {
  stats.fps = stats.drawsSinceTick; stats.pointsPerSecond = stats.pointsSinceTick;
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0;
  show.status();
}, 1000);

export function onText(text) {
  let s;
  try { s = JSON.parse(text); } catch (e) { return; }
  if (s.type === "measure") { measured.rows = { a: s.a, b: s.b }; measured.note = s.note; show.measurements(); return; }
  if (s.type !== "status") return;
  const changed = s.link !== server.link || s.running !== server.running || s.mode !== data.mode ||
    s.trigger.state !== server.state || JSON.stringify(s.trigger) !== JSON.stringify(server.trigger);
  server.link = s.link; server.running = s.running; server.invalidBlocks = s.invalidBlocks; data.mode = s.mode;
  if (!ui.dragging) server.trigger = s.trigger;
  server.state = s.trigger.state;
  if (JSON.stringify(s.units) !== JSON.stringify(server.units)) { server.units = s.units; show.controls(); }
  if (changed) { ui.dirty = true; show.status(); show.triggerControls(); show.unitsNote(); }
}

// --- The connection ---------------------------------------------------------
export function connect() {
  // The key came in the address; the server gave it to the page as a cookie
  // too, which serves the WebSocket and reloads: keep it out of the history.
  if (location.search) history.replaceState(null, "", location.pathname);
  const socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
  socket.binaryType = "arraybuffer";
  socket.onopen = () => { server.socket = socket; stats.lastSequence = -1; send("frame " + span()); show.status(); };
  socket.onmessage = (e) => { if (typeof e.data === "string") onText(e.data); else { onFrame(e.data, performance.now()); show.frame(); } };
  socket.onclose = () => {
    server.socket = null; server.link = "server gone"; ui.dirty = true; show.status();
    setTimeout(connect, 2000);
  };
}

export function send(command) { if (server.socket) server.socket.send(command); }

export function sendTrigger() {
  const t = server.trigger;
  send(["trigger", t.mode, t.source, t.slope, Math.round(t.level), Math.round(t.position), t.holdoff].join(" "));
  show.triggerControls(); ui.dirty = true;
}

