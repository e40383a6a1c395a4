// Drives the studio page (web/studio/) in headless Chromium over the
// DevTools protocol (on a pipe, as browser_check.mjs does) against the
// native programs' output.
//
//   node studio_check.mjs SITE edit SCORE SONG_TOOL OUTDIR N
//       types SCORE into the editor, then an edit: the song's hash equals
//       velomira-song render of the edited text (OUTDIR/edited.txt), frame N
//       goes to OUTDIR/studio-N.png for the caller to compare with
//       velomira-capture; solo and mute are exact; a bad line then shows its
//       message at its line and the last good version stays
//   node studio_check.mjs SITE share SCORE SONG_TOOL OUTDIR N
//       the share link of SCORE, opened in a new page, gives its song hash
//       and OUTDIR/shared-N.png; a score too large for a link is refused
//   node studio_check.mjs SITE screenshot OUT.png
//       the studio at 1280x720, to look at
// Prints the figures it reads from the page; exits non-zero on any failure.
import { spawnSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { readFileSync, writeFileSync } from 'node:fs';
import { join, normalize } from 'node:path';
import { dataset, evaluate, fail, launch, openPage, serve, waitFor, wavSamples } from './chromium.mjs';

const [site, mode, ...args] = process.argv.slice(2);

// The hash of velomira-song render of text, with as many samples as the page has.
function nativeHash(songTool, text, samples, outDir, name) {
  const score = join(outDir, name + '.txt');
  writeFileSync(score, text);
  const wav = join(outDir, name + '.wav');
  const render = spawnSync(songTool, ['render', score, wav, '--samples', String(samples)]);
  if (render.status !== 0) throw new Error('velomira-song render failed: ' + render.stderr);
  return createHash('sha256').update(wavSamples(wav)).digest('hex');
}

async function openStudio(page, url) {
  await page.send('Page.navigate', { url });
  await waitFor(page, `${dataset('engine')} === 'ready'`, 60, 'the studio');
}

const key = (page, type, key, code, keyCode, modifiers = 0) =>
  page.send('Input.dispatchKeyEvent', { type, key, code, windowsVirtualKeyCode: keyCode, modifiers });
async function press(page, name, code, keyCode, modifiers) {
  await key(page, 'rawKeyDown', name, code, keyCode, modifiers);
  await key(page, 'keyUp', name, code, keyCode, modifiers);
}
const Ctrl = 2;

// Types text into the editor at the end of its text (or in place of all of it).
async function type(page, text, replaceAll) {
  const checks = await evaluate(page, dataset('checks'));
  await evaluate(page, 'velomiraStudio.editor.focus()');
  if (replaceAll) await press(page, 'a', 'KeyA', 65, Ctrl);
  else await press(page, 'End', 'End', 35, Ctrl);
  await page.send('Input.insertText', { text });
  await waitFor(page, `${dataset('checks')} !== '${checks}'`, 30, 'the check after typing');
  return evaluate(page, 'velomiraStudio.editor.state.doc.toString()');
}

async function savePng(page, frame, path) {
  const shown = await evaluate(page, `velomiraStudio.showFrame(${frame})`);
  if (shown !== frame) fail('the studio shows frame ' + shown + ', not ' + frame);
  const png = await evaluate(page, 'velomiraStudio.canvasPng()');
  writeFileSync(path, Buffer.from(png.replace(/^data:image\/png;base64,/, ''), 'base64'));
}

async function checkEdit(page, url, scorePath, songTool, outDir, frame) {
  await openStudio(page, url);
  await type(page, readFileSync(scorePath, 'utf8'), true);
  const renders = await evaluate(page, dataset('renders'));
  // The bass becomes a square wave: a later line replaces the earlier.
  const edited = await type(page, '\ni2:kantti,2,5,30,2300,0,2\n', false);
  if ((await evaluate(page, dataset('check'))) !== 'valid') fail('the edit did not check');
  if ((await evaluate(page, dataset('renders'))) === renders) fail('the edit was not rendered');
  console.log('edit checked and rendered in ' + (await evaluate(page, dataset('editMs'))) + ' ms');
  const samples = Number(await evaluate(page, dataset('songSamples')));
  const hash = await evaluate(page, 'velomiraStudio.songHash()');
  if (hash !== nativeHash(songTool, edited, samples, outDir, 'edited'))
    fail('the edited song differs from velomira-song render of the same text');
  await savePng(page, Number(frame), join(outDir, 'studio-' + frame + '.png'));
  await checkSoloMute(page, edited, hash, songTool, samples, outDir);

  // A bad line: its message at its line; the last good version plays on.
  const bad = await type(page, 't1:p77', false);
  const line = bad.split('\n').length;
  if ((await evaluate(page, dataset('check'))) !== 'rejected') fail('a track playing a missing pattern checked');
  const shown = await evaluate(page, 'velomiraStudio.diagnostics()');
  const expected = new RegExp('^score\\.txt:' + line + ': error: track 1 plays pattern 77, which no line defines\\n');
  if (!shown.some((d) => d.line === line && d.severity === 'error' && expected.test(d.message)))
    fail('no error at line ' + line + ': ' + JSON.stringify(shown));
  if ((await evaluate(page, 'velomiraStudio.songHash()')) !== hash) fail('a rejected edit changed the song');
}

// Every track soloed: the whole mix is still the native one and is what is
// heard. Track 1 muted: what is heard is the score whose track 1 plays only
// rests, rendered natively.
async function checkSoloMute(page, text, hash, songTool, samples, outDir) {
  const click = (which) => evaluate(page, `(() => {
    const buttons = document.querySelectorAll('#tracks button.${which}');
    for (const button of buttons) button.click();
    return buttons.length;
  })()`);
  if ((await click('solo')) < 2) fail('fewer than two tracks to solo');
  if ((await evaluate(page, 'velomiraStudio.songHash()')) !== hash) fail('soloing every track changed the song');
  if ((await evaluate(page, 'velomiraStudio.heardHash()')) !== hash) fail('every track soloed does not sound as the song');
  await click('on.solo');
  await evaluate(page, `document.querySelector('#tracks button.mute').click()`);
  const rests = nativeHash(songTool, text + '\np999:00\nt1:p999,loop\n', samples, outDir, 'rests');
  if ((await evaluate(page, 'velomiraStudio.heardHash()')) !== rests) fail('track 1 muted does not sound as track 1 resting');
  if ((await evaluate(page, 'velomiraStudio.songHash()')) !== hash) fail('a mute changed the song the show follows');
  await evaluate(page, `document.querySelector('#tracks button.on.mute').click()`);
}

async function checkShare(browser, page, url, scorePath, songTool, outDir, frame) {
  await openStudio(page, url);
  const score = await type(page, readFileSync(scorePath, 'utf8'), true);
  const links = await evaluate(page, 'velomiraStudio.share()');
  if (!links.player || !/\/index\.html#score=[A-Za-z0-9_-]+$/.test(links.player)) fail('no player link: ' + JSON.stringify(links));
  if (links.studio.slice(links.studio.indexOf('#')) !== links.player.slice(links.player.indexOf('#')))
    fail('the studio link carries another score than the player link');
  const shared = await openPage(browser, 1280, 720);
  await openStudio(shared, links.studio);
  if ((await evaluate(shared, dataset('sharedScore'))) !== 'loaded') fail('the shared link\'s score was not loaded');
  if ((await evaluate(shared, 'velomiraStudio.editor.state.doc.toString()')) !== score) fail('the shared text differs');
  const samples = Number(await evaluate(shared, dataset('songSamples')));
  if ((await evaluate(shared, 'velomiraStudio.songHash()')) !== nativeHash(songTool, score, samples, outDir, 'shared'))
    fail('the shared song differs from velomira-song render of the score');
  await savePng(shared, Number(frame), join(outDir, 'shared-' + frame + '.png'));
  if (shared.errors.length) fail('console errors in the shared page: ' + JSON.stringify(shared.errors));

  // Comments of random letters do not compress: far past a link's 8 KB.
  const noise = Array.from({ length: 200 }, () => '# ' + randomBytes(48).toString('base64')).join('\n');
  await type(page, '\n' + noise + '\n', false);
  const refused = await evaluate(page, 'velomiraStudio.share()');
  const note = await evaluate(page, `document.getElementById('share-note').textContent`);
  if (!refused.tooLarge || (await evaluate(page, dataset('share'))) !== 'too-large' ||
      !/too large for a link: it needs [0-9.]+ KB of link, and a link carries at most 8 KB/.test(note))
    fail('a score too large for a link was not refused: ' + note);
}

async function screenshot(page, url, out) {
  await openStudio(page, url);
  await evaluate(page, 'velomiraStudio.showFrame(1500)');
  await evaluate(page, 'velomiraStudio.editor.focus()');
  await press(page, 'End', 'End', 35, Ctrl);
  await page.send('Input.insertText', { text: '\nt1:p77' });
  await waitFor(page, `${dataset('check')} === 'rejected'`, 30, 'the check');
  await new Promise((resolve) => setTimeout(resolve, 500));
  const { data } = await page.send('Page.captureScreenshot', { format: 'png' });
  writeFileSync(out, Buffer.from(data, 'base64'));
}

const server = await serve(normalize(site + '/'));
const url = 'http://127.0.0.1:' + server.address().port + '/studio.html';
const browser = launch(1280, 720);
try {
  const page = await openPage(browser, 1280, 720);
  if (mode === 'edit') await checkEdit(page, url, ...args);
  else if (mode === 'share') await checkShare(browser, page, url, ...args);
  else if (mode === 'screenshot') await screenshot(page, url, args[0]);
  else throw new Error('unknown mode ' + mode);
  if (page.errors.length) fail('console errors: ' + JSON.stringify(page.errors));
} catch (error) {
  fail(error.message);
} finally {
  await browser.close();
  server.close();
}
