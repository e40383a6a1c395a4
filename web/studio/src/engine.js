// The studio's engine (web/studio.cpp, compiled to velomira-studio.wasm):
// the checker, the render and the show, called with the page's text and
// read back from the engine's memory. The memory may grow, so its views are
// taken afresh at every use.

const heapU8 = () => window.HEAPU8;
const heap16 = () => window.HEAP16;

function withText(text, use) {
  const bytes = new TextEncoder().encode(text);
  const pointer = Module._malloc(bytes.length + 1);
  heapU8().set(bytes, pointer);
  heapU8()[pointer + bytes.length] = 0;
  try {
    return use(pointer);
  } finally {
    Module._free(pointer);
  }
}

// The findings of the last edit: { line, kind, message } with line 0 for
// the score as a whole.
function report() {
  return UTF8ToString(Module._studio_report()).split('\x1e').filter((f) => f).map((finding) => {
    const [line, kind, message] = finding.split('\x1f');
    return { line: Number(line), kind, message };
  });
}

// Checks text and, when it is valid, renders it: { valid, findings }.
export function edit(name, text) {
  const valid = withText(name, (n) => withText(text, (t) => Module._studio_edit(n, t))) === 1;
  return { valid, findings: report() };
}

export const demoScore = () => UTF8ToString(Module._studio_demo_score());
export const samples = () => Module._studio_samples();
export const tracks = () => Module._studio_tracks();
export const bar = (position) => Module._studio_bar(position);
export const barMs = (n) => Module._studio_bar_ms(n);

// The rendered song (the whole mix) and what is heard, as views of the
// engine's memory: valid until the next call into the engine.
export function song() {
  const at = Module._studio_song() >> 1;
  return heap16().subarray(at, at + samples());
}
export function heard() {
  const at = Module._studio_heard() >> 1;
  return heap16().subarray(at, at + samples());
}

// Renders again with only the tracks whose bit is set in mask heard.
export function setHeard(mask) {
  Module._studio_set_heard(mask >>> 0);
}

// The show's sample position at a show time (offline.h).
export const songPosition = (ms) => Math.floor(ms * 441 / 10);
// Show time of frame k at 75 frames a second, ceil(k * 1000 / 75).
export const frameMs = (k) => Math.floor((k * 1000 + 74) / 75);

let palette = null;

// Draws the frame on screen at show time ms onto the canvas's context;
// returns the frame's number.
export function drawFrame(context, image, ms) {
  const frame = Module._studio_frame(Math.max(0, Math.floor(ms)));
  if (!palette) {
    const at = Module._studio_palette();
    palette = new Uint32Array(256);
    const bytes = heapU8();
    // Little-endian RGBA words, opaque.
    for (let i = 0; i < 256; ++i)
      palette[i] = (0xff << 24 | bytes[at + 4 * i + 2] << 16 | bytes[at + 4 * i + 1] << 8 | bytes[at + 4 * i]) >>> 0;
  }
  const pixels = heapU8().subarray(Module._studio_pixels(), Module._studio_pixels() + 640 * 480);
  const words = new Uint32Array(image.data.buffer);
  for (let i = 0; i < words.length; ++i) words[i] = palette[pixels[i]];
  context.putImageData(image, 0, 0);
  return frame;
}
