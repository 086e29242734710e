// The controls beside the screen: channels, zoom, trigger, view, persistence
// and cursors, the run/stop button and key, and the status line.
import { $, COUNTS_PER_DIV, SCALES, ZOOMS, data, levelText, server, span, spanText, stats, ui, view } from "./scope_state.js";
import { send, sendTrigger } from "./socket.js";
import { showMeasurements } from "./cursors_measurements.js";
import { fitCanvas, persist } from "./drawing.js";
export function showStatus() {
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


export function toggleRun() {
  server.running = !server.running; // shown at once; the server's status confirms it
  stats.drawsSinceTick = 0; stats.pointsSinceTick = 0; stats.fps = 0; stats.pointsPerSecond = 0;
  send(server.running ? "run" : "stop");
  ui.dirty = true; showStatus();
}

// --- Controls -------------------------------------------------------------
export function showControls() {
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
  ui.dirty = true;
}

export function showTriggerControls() {
  const t = server.trigger;
  $("trigSource").value = t.source; $("trigSlope").value = t.slope;
  if (document.activeElement !== $("holdoff")) $("holdoff").value = t.holdoff;
  $("trigLevelText").textContent = levelText(t.source, t.level);
  $("trigPosText").textContent = Math.round(t.position) + " %";
  document.querySelectorAll("#trigModes button").forEach((b) => b.classList.toggle("on", b.dataset.mode === t.mode));
}

export function setZoom(zoom) { view.zoom = zoom; send("frame " + span()); showControls(); }

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
$("fftChannel").onchange = (e) => { view.fftChannel = e.target.value; ui.dirty = true; };
$("persistence").onchange = (e) => { view.persistence = e.target.value; showControls(); };
$("timeCursors").onchange = (e) => { view.timeCursors = e.target.checked; ui.dirty = true; };
$("levelCursors").onchange = (e) => { view.levelCursors = e.target.checked; ui.dirty = true; };
document.addEventListener("keydown", (e) => {
  if (e.code === "Space" && !e.repeat && e.target.tagName !== "INPUT" && e.target.tagName !== "SELECT") {
    e.preventDefault(); toggleRun();
  }
});
document.addEventListener("keyup", (e) => { if (e.code === "Space") e.preventDefault(); });
window.addEventListener("resize", fitCanvas);
// The screen's room changes when the readouts beside it fill in, too.
export let room = "";
new ResizeObserver(() => {
  const box = $("screen").getBoundingClientRect(), size = Math.round(box.width) + "x" + Math.round(box.height);
  if (size !== room) { room = size; fitCanvas(); }
}).observe($("screen"));
