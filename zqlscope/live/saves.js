// Saving what is on screen: the frame as CSV, the canvas as PNG, and the frame
// as a sigrok session (a zip of stored entries).
import { $, data, hasTime, hasVolts, levelValue, onScreen, server } from "./scope_state.js";
export function stamp(d) {
  const two = (n) => String(n).padStart(2, "0");
  return "zqlscope-live-" + d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + "-" + two(d.getHours()) +
    two(d.getMinutes()) + two(d.getSeconds());
}

export function download(blob, name) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob); link.download = name;
  document.body.appendChild(link); link.click(); link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

// The points every save of the frame writes: those on screen, copied so
// that a frame arriving meanwhile changes none of them.
export function savedFrame() {
  const s = onScreen();
  return { x0: s.x0, a: data.a.slice(s.first, s.first + s.count), b: data.b.slice(s.first, s.first + s.count) };
}

export function frameCsv(f) {
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
export const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
export function crc32(bytes) {
  let crc = 0xFFFFFFFF;
  for (let i = 0; i < bytes.length; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 0xFF] ^ (crc >>> 8);
  return (crc ^ 0xFFFFFFFF) >>> 0;
}

// Zip record sizes and fields: stored entries (version 1.0), made on Unix
// with the mode rw-r--r-- as the external attributes.
export const ZIP = { local: 30, central: 46, end: 22, version: 10, madeBy: (3 << 8) | 20, mode: 0o100644 * 65536 };

export function dosTime(d) {
  return { time: (d.getHours() << 11) | (d.getMinutes() << 5) | (d.getSeconds() >> 1),
           date: ((d.getFullYear() - 1980) << 9) | ((d.getMonth() + 1) << 5) | d.getDate() };
}

// entries: [name, Uint8Array] in order; returns the whole file.
export function storedZip(entries, when) {
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

export function wholeHertz(rate) { return rate !== null && rate >= 1 && rate <= 1e15 && Math.floor(rate) === rate; }

export function sessionMetadata() {
  const rate = server.units.sampleRate, scale = (c) => hasVolts(c) ? "volts" : "counts";
  let text = "[global]\n# zqlscope live: the frame on screen of the Zelqa's two channels.\n" +
    "# Levels: A in " + scale("a") + ", B in " + scale("b") + ".\n";
  if (!wholeHertz(rate)) text += "# Without a samplerate the time axis counts samples: one sample per point.\n";
  text += "\n[device 1]\n";
  if (wholeHertz(rate)) text += "samplerate=" + rate + "\n";
  return text + "total analog=2\nanalog1=A\nanalog2=B\n";
}

// Each channel's levels as float32 little-endian, as the capture's session holds them.
export function floats(c, counts) {
  const out = new Uint8Array(4 * counts.length), v = new DataView(out.buffer);
  counts.forEach((n, i) => v.setFloat32(4 * i, levelValue(c, n), true));
  return out;
}

export function frameSession(f, when) {
  const text = (s) => new TextEncoder().encode(s);
  return storedZip([["version", text("2")], ["metadata", text(sessionMetadata())],
                    ["analog-1-1-1", floats("a", f.a)], ["analog-1-2-1", floats("b", f.b)]], when);
}

$("saveCsv").onclick = () => download(new Blob([frameCsv(savedFrame())], { type: "text/csv" }), stamp(new Date()) + ".csv");
$("savePng").onclick = () => $("scope").toBlob((blob) => download(blob, stamp(new Date()) + ".png"), "image/png");
$("saveSr").onclick = () => {
  const when = new Date();
  download(new Blob([frameSession(savedFrame(), when)], { type: "application/zip" }), stamp(when) + ".sr");
};
