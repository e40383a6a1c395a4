// The studio page (studio.html): the score's editor beside its show, with
// the transport, the tracks' solo and mute, sharing and files. The engine
// (velomira-studio.js) calls velomiraStudio.engineReady() once loaded; every
// edit then goes through the checker and, when valid, is rendered and taken
// up at the same show time.
import * as engine from './engine.js';
import { createEditor, replaceText, shownDiagnostics } from './editor.js';
import { acceptDrops, download, wavBlob } from './files.js';
import { decodeFragment, MaxLinkBytes, shareLinks } from './share.js';
import { Transport } from './transport.js';

const $ = (id) => document.getElementById(id);
const data = document.body.dataset;
const transport = new Transport();
const canvas = $('canvas');
const context = canvas.getContext('2d');
const image = context.createImageData(640, 480);

const studio = {
  editor: null,
  name: 'score.txt',
  checkedText: null,
  findings: [],
  renders: 0,
  solo: new Set(),
  mute: new Set(),
  frame: -1,
  heard: 0xffffffff,   // the mask the engine renders with
};

function setStatus(text, kind) {
  const status = $('status');
  status.textContent = text;
  status.dataset.kind = kind;
}

function minutes(ms) {
  const s = Math.max(0, ms) / 1000;
  return Math.floor(s / 60) + ':' + (s % 60).toFixed(1).padStart(4, '0');
}

// The tracks heard: the soloed ones if any, less the muted ones.
function heardMask() {
  let mask = 0;
  for (let t = 1; t <= engine.tracks(); ++t)
    if ((studio.solo.size === 0 || studio.solo.has(t)) && !studio.mute.has(t)) mask |= 1 << t;
  return studio.solo.size === 0 && studio.mute.size === 0 ? 0xffffffff : mask;
}

function showTracks() {
  const box = $('tracks');
  box.replaceChildren();
  for (let t = 1; t <= engine.tracks(); ++t) {
    const track = document.createElement('span');
    track.className = 'track';
    track.textContent = String(t);
    for (const [label, set, title] of [['S', studio.solo, 'solo'], ['M', studio.mute, 'mute']]) {
      const button = document.createElement('button');
      button.textContent = label;
      button.title = title + ' track ' + t;
      button.className = set.has(t) ? 'on ' + title : title;
      button.addEventListener('click', () => {
        if (set.has(t)) set.delete(t); else set.add(t);
        engine.setHeard(studio.heard = heardMask());
        transport.setSamples(engine.heard());
        studio.frame = -1;
        showTracks();
      });
      track.appendChild(button);
    }
    box.appendChild(track);
  }
  if (engine.tracks() === 0) box.textContent = 'no tracks play';
}

// The checker on the editor's text; a valid text is rendered and continues
// from the same show time. Returns the findings for the editor.
function check(text) {
  if (text === studio.checkedText) return studio.findings;
  const started = performance.now();
  const { valid, findings } = engine.edit(studio.name, text);
  studio.checkedText = text;
  studio.findings = findings;
  const errors = findings.filter((f) => f.kind === 'error');
  if (valid) {
    const known = engine.tracks();
    for (const set of [studio.solo, studio.mute]) for (const t of set) if (t > known) set.delete(t);
    if (heardMask() !== studio.heard) engine.setHeard(studio.heard = heardMask());
    transport.setSamples(engine.heard());
    studio.frame = -1;
    drawShow();
    showTracks();
    studio.renders += 1;
    data.editMs = (performance.now() - started).toFixed(1);
    data.songSamples = String(engine.samples());
    data.renders = String(studio.renders);
    const warnings = findings.length;
    const tracks = engine.tracks();
    setStatus('valid, ' + tracks + (tracks === 1 ? ' track' : ' tracks') + ' played, ' + warnings +
              (warnings === 1 ? ' warning' : ' warnings') +
              '; rendered in ' + data.editMs + ' ms', 'valid');
  } else {
    setStatus('rejected, ' + errors.length + (errors.length === 1 ? ' error' : ' errors') +
              ': the last good version plays on', 'rejected');
  }
  showFindings(findings);
  data.check = valid ? 'valid' : 'rejected';
  data.checks = String(Number(data.checks || 0) + 1);
  return findings;
}

// Every finding below the status line; a click goes to its line.
function showFindings(findings) {
  const list = $('findings');
  list.replaceChildren();
  for (const finding of findings) {
    const item = document.createElement('li');
    item.className = finding.kind;
    item.textContent = finding.message;
    item.addEventListener('click', () => {
      const doc = studio.editor.state.doc;
      const line = doc.line(Math.min(Math.max(finding.line, 1), doc.lines));
      studio.editor.dispatch({ selection: { anchor: line.from }, scrollIntoView: true });
      studio.editor.focus();
    });
    list.appendChild(item);
  }
}

// The show at the transport's time, and the bar and time beside it.
function drawShow() {
  const ms = Math.floor(transport.nowMs());
  studio.frame = engine.drawFrame(context, image, ms);
  const position = engine.songPosition(ms);
  $('position').textContent = 'bar ' + engine.bar(position) + '   ' + minutes(ms) + ' / ' + minutes(transport.lengthMs());
  $('play').textContent = transport.playing ? 'Pause' : 'Play';
}

function animate() {
  if (transport.playing) drawShow();
  requestAnimationFrame(animate);
}

function readBar(id) {
  const value = $(id).value.trim();
  return /^[0-9]{1,3}$/.test(value) ? Number(value) : null;
}

function wireTransport() {
  $('play').addEventListener('click', () => {
    if (transport.playing) transport.pause(); else transport.play();
    drawShow();
  });
  $('from').addEventListener('click', () => {
    const bar = readBar('from-bar');
    if (bar === null) return setStatus('play from: give a bar number, 0 to 999', 'rejected');
    transport.seek(engine.barMs(bar));
    if (!transport.playing) transport.play();
    drawShow();
  });
  $('loop').addEventListener('change', () => {
    if (!$('loop').checked) {
      transport.setLoop(null);
      return drawShow();
    }
    const first = readBar('loop-from'), end = readBar('loop-to');
    if (first === null || end === null || end <= first) {
      $('loop').checked = false;
      return setStatus('loop: give two bars, the second after the first (bars 24 to 32 loop 24 to 31)', 'rejected');
    }
    const startMs = engine.barMs(first), endMs = engine.barMs(end);
    if (endMs <= startMs) {
      $('loop').checked = false;
      return setStatus('loop: bars ' + first + ' to ' + end + ' lie past the song\'s end', 'rejected');
    }
    transport.setLoop({ startMs, endMs });
    drawShow();
  });
  transport.onEnded = drawShow;
  window.addEventListener('keydown', (e) => {
    if (e.key === ' ' && e.target === document.body) {
      e.preventDefault();
      $('play').click();
    }
  });
}

async function share() {
  const note = $('share-note');
  const text = studio.editor.state.doc.toString();
  const links = await shareLinks(text, location.href);
  $('share-box').classList.remove('hidden');
  if (links.tooLarge) {
    note.textContent = 'This score is too large for a link: it needs ' + (links.tooLarge / 1024).toFixed(1) +
                       ' KB of link, and a link carries at most ' + MaxLinkBytes / 1024 + ' KB. Share the file instead:';
    for (const id of ['share-link', 'share-studio']) $(id).classList.add('hidden');
    $('share-file').classList.remove('hidden');
    data.share = 'too-large';
    return links;
  }
  note.textContent = 'A link that plays this score and its show (copied):';
  $('share-link').value = links.player;
  for (const id of ['share-link', 'share-studio']) $(id).classList.remove('hidden');
  $('share-file').classList.add('hidden');
  $('share-studio').href = links.studio;
  navigator.clipboard?.writeText(links.player).catch(() => {});
  data.share = 'link';
  return links;
}

function wireFiles() {
  const open = (name, text) => {
    studio.name = name;
    replaceText(studio.editor, text);
    $('name').textContent = name;
  };
  acceptDrops(document, open);
  $('open-file').addEventListener('change', async (e) => {
    const file = e.target.files[0];
    if (file) open(file.name, await file.text());
    e.target.value = '';
  });
  $('open').addEventListener('click', () => $('open-file').click());
  const saveScore = () => download(studio.name, new Blob([studio.editor.state.doc.toString()], { type: 'text/plain' }));
  $('save').addEventListener('click', saveScore);
  $('share-file').addEventListener('click', saveScore);
  $('wav').addEventListener('click', () => download(studio.name.replace(/\.[^.]*$/, '') + '.wav', wavBlob(engine.song())));
  $('share').addEventListener('click', share);
  $('share-close').addEventListener('click', () => $('share-box').classList.add('hidden'));
}

async function start() {
  let text = null;
  try {
    text = await decodeFragment(location.hash);
    if (text !== null) {
      studio.name = 'shared score';
      data.sharedScore = 'loaded';
    }
  } catch (error) {
    setStatus('This link\'s score could not be read (' + error.message + '); here is the demo\'s own.', 'rejected');
  }
  $('name').textContent = studio.name;
  const first = text ?? engine.demoScore();
  // The first version is checked at once, before the editor's first delay.
  check(first);
  studio.editor = createEditor($('editor'), first, check);
  wireTransport();
  wireFiles();
  drawShow();
  requestAnimationFrame(animate);
  data.engine = 'ready';
}

async function sha256(samples) {
  const digest = await crypto.subtle.digest('SHA-256', samples);
  return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
}

// For the tests and the console: the hashes of the rendered song and of what
// is heard, a frame by its number (the show paused there), the canvas as a
// PNG, and the diagnostics shown.
window.velomiraStudio = {
  engineReady() {
    start();
  },
  songHash: () => sha256(engine.song()),
  heardHash: () => sha256(engine.heard()),
  showFrame(frame) {
    transport.pause();
    transport.seek(engine.frameMs(frame));
    drawShow();
    return studio.frame;
  },
  canvasPng: () => canvas.toDataURL('image/png'),
  share,
  get editor() { return studio.editor; },
  diagnostics: () => shownDiagnostics(studio.editor),
};

window.Module = {
  print: (text) => console.log(text),
  printErr: (text) => console.error(text),
};
