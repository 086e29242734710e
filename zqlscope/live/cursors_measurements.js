// Cursors and measurements: the cursors drawn and read out, the server's
// measurements table and the units note, and ui.dragging the trigger's markers
// and the cursors by mouse or touch.
import { $, COLOURS, GRAB, countsAt, hasTime, hasVolts, levelText, measured, rateText, server, show, span, spanText, timeText, ui, view, yOf } from "./scope_state.js";
import { sendTrigger } from "./socket.js";
export const canvas = $("scope");
export function drawCursors(ctx, w, h, size) {
  ctx.strokeStyle = COLOURS.cursor; ctx.lineWidth = Math.max(1, (window.devicePixelRatio || 1)); ctx.setLineDash([6, 4]);
  ctx.beginPath();
  if (view.timeCursors) view.t.forEach((t) => { ctx.moveTo(t * w, 0); ctx.lineTo(t * w, h); });
  if (view.levelCursors) view.y.forEach((y) => { ctx.moveTo(0, y * h); ctx.lineTo(w, y * h); });
  ctx.stroke(); ctx.setLineDash([]);
  ctx.fillStyle = COLOURS.cursor; ctx.font = size + "px system-ui, sans-serif"; ctx.textBaseline = "top";
  if (view.timeCursors) view.t.forEach((t, i) => { ctx.textAlign = "left"; ctx.fillText("t" + (i + 1), t * w + 3, size * 2); });
  if (view.levelCursors) view.y.forEach((y, i) => { ctx.textAlign = "right"; ctx.fillText("y" + (i + 1), w - size * 1.6, y * h + 2); });
}

// --- Readouts -------------------------------------------------------------
export function showCursorReadout() {
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
export function showMeasurements() {
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

export function showUnitsNote() {
  const missing = [];
  if (!hasTime()) missing.push("time in points (no --sample-rate)");
  ["a", "b"].forEach((c) => { if (!hasVolts(c)) missing.push(c.toUpperCase() + " in counts (no --volts-per-count)"); });
  $("unitsNote").textContent = missing.length ? "The instrument's own scale is unknown: " + missing.join(", ") + "." : "";
}

// --- Dragging: trigger markers and cursors, by mouse or touch --------------


export function grabAt(x, y) {
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

export function dragTo(x, y) {
  const w = canvas.clientWidth, h = canvas.clientHeight, clamp = (v) => Math.min(1, Math.max(0, v));
  if (ui.dragging.what === "level") {
    server.trigger.level = Math.min(255, Math.max(0, Math.round(countsAt(server.trigger.source, y, h))));
  } else if (ui.dragging.what === "position") {
    server.trigger.position = Math.round(clamp(x / w) * 100);
  } else if (ui.dragging.what === "t") {
    view.t[ui.dragging.i] = clamp(x / w);
  } else {
    view.y[ui.dragging.i] = clamp(y / h);
  }
  show.triggerControls(); ui.dirty = true;
}

export function pointer(e) { const r = canvas.getBoundingClientRect(); return [e.clientX - r.left, e.clientY - r.top]; }
canvas.addEventListener("pointerdown", (e) => {
  const [x, y] = pointer(e);
  ui.dragging = grabAt(x, y);
  if (!ui.dragging) return;
  canvas.setPointerCapture(e.pointerId); e.preventDefault(); dragTo(x, y);
});
canvas.addEventListener("pointermove", (e) => {
  const [x, y] = pointer(e);
  if (ui.dragging) { dragTo(x, y); return; }
  const near = grabAt(x, y);
  canvas.style.cursor = !near ? "default" : near.what === "level" || near.what === "y" ? "ns-resize" : "ew-resize";
});
export const endDrag = () => {
  if (ui.dragging && (ui.dragging.what === "level" || ui.dragging.what === "position")) sendTrigger();
  ui.dragging = null;
};
canvas.addEventListener("pointerup", endDrag);
canvas.addEventListener("pointercancel", endDrag);

