// Drives the web build in headless Chromium over the DevTools protocol (on a
// pipe: no port, no npm packages) against the native programs' output.
//
//   node browser_check.mjs SITE song WAV             the page's song equals the WAV's samples
//   node browser_check.mjs SITE frames OUTDIR N...   screenshots of ?frame=N into OUTDIR/web-N.png
//   node browser_check.mjs SITE play                 loads without console errors; a click starts
//                                                    the show before the whole song is rendered,
//                                                    and the rest is rendered as it plays; Space holds it, a tap brings up the
//                                                    controls, neither ends it; the picture keeps
//                                                    within 40 ms of the sound; a key and a mouse
//                                                    button end it, on a readable end screen
//   node browser_check.mjs SITE broken               with a corrupted velomira.wasm the page says
//                                                    what to do instead of loading for ever
//   node browser_check.mjs SITE shared SCORE SONG_TOOL OUTDIR N
//                                                    a link with SCORE in its fragment plays it:
//                                                    its song hash, OUTDIR/web-N.png; a bad one is refused
// Prints the figures it reads from the page; exits non-zero on any failure.
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { readFileSync, writeFileSync } from 'node:fs';
import { join, normalize } from 'node:path';
import { deflateRawSync } from 'node:zlib';
import { dataset, evaluate, fail, launch, openPage, pause, serve, waitFor, wavSamples } from './chromium.mjs';

const [site, mode, ...args] = process.argv.slice(2);
async function checkSong(page, url, wav) {
  await page.send('Page.navigate', { url: url + '?frame=0' });
  const hash = await waitFor(page, dataset('songSha256'), 120, 'the song hash');
  const expected = createHash('sha256').update(wavSamples(wav)).digest('hex');
  if (hash !== expected) fail('the song rendered in the browser differs from ' + wav + ': ' + hash + ' != ' + expected);
  console.log('pre-render in the browser: ' + (await evaluate(page, dataset('renderMs'))) + ' ms');
}

// The first frame is loaded as ?frame=N; the page then plays on to each
// further one (in increasing order, so the show is played only once).
async function checkFrames(page, url, outDir, frames) {
  for (const [i, frame] of frames.entries()) {
    if (i === 0) await page.send('Page.navigate', { url: url + '?frame=' + frame });
    else await evaluate(page, `velomiraPage.showFrame(${frame})`);
    await waitFor(page, `${dataset('frameDone')} === '${frame}'`, 300, 'frame ' + frame);
    const { data } = await page.send('Page.captureScreenshot', {
      format: 'png', clip: { x: 0, y: 0, width: 640, height: 480, scale: 1 } });
    writeFileSync(join(outDir, 'web-' + frame + '.png'), Buffer.from(data, 'base64'));
    const ms = await evaluate(page, dataset('framesMs'));
    console.log('frame ' + frame + ': played in ' + ms + ' ms from the end of the pre-render');
  }
}

async function checkPlay(page, url) {
  await page.send('Page.navigate', { url });
  await waitFor(page, `${dataset('state')} === 'title'`, 60, 'the title screen');
  const click = async (x, y) => {
    for (const type of ['mousePressed', 'mouseReleased'])
      await page.send('Input.dispatchMouseEvent', { type, x, y, button: 'left', clickCount: 1 });
  };
  await click(320, 300);
  await waitFor(page, `${dataset('state')} === 'playing'`, 60, 'the show after the click');
  await waitFor(page, dataset('firstFrameMs'), 30, 'the first frame');
  await pause(3000);
  if ((await evaluate(page, dataset('state'))) !== 'playing') fail('the show ended by itself within 3 s');
  // The show starts on the song's first seconds; the rest is rendered while it plays.
  const firstFrameMs = Number(await evaluate(page, dataset('firstFrameMs')));
  const renderMs = Number(await evaluate(page, dataset('renderMs')));
  console.log('click to first frame: ' + firstFrameMs + ' ms; the whole song rendered ' + renderMs + ' ms after the click');
  if (!(renderMs > firstFrameMs)) fail('the song was not rendered while the show played (render ' + renderMs + ' ms)');
  // F toggles fullscreen and leaves the show running.
  await page.send('Input.dispatchKeyEvent', { type: 'keyDown', key: 'f', code: 'KeyF', text: 'f', windowsVirtualKeyCode: 70 });
  await page.send('Input.dispatchKeyEvent', { type: 'keyUp', key: 'f', code: 'KeyF', windowsVirtualKeyCode: 70 });
  await pause(300);
  if ((await evaluate(page, dataset('state'))) !== 'playing') fail('F ended the show');
  // A tap brings up the controls and leaves the show running.
  await page.send('Emulation.setTouchEmulationEnabled', { enabled: true, maxTouchPoints: 1 });
  for (const type of ['touchStart', 'touchEnd'])
    await page.send('Input.dispatchTouchEvent', { type, touchPoints: type === 'touchStart' ? [{ x: 320, y: 200 }] : [] });
  await waitFor(page, `!document.getElementById('controls').classList.contains('hidden')`, 5, 'the controls after a tap');
  await pause(300);
  if ((await evaluate(page, dataset('state'))) !== 'playing') fail('a tap ended the show');
  // Space holds the picture and the sound, and lets both go on.
  const space = async () => {
    await page.send('Input.dispatchKeyEvent', { type: 'keyDown', key: ' ', code: 'Space', text: ' ', windowsVirtualKeyCode: 32 });
    await page.send('Input.dispatchKeyEvent', { type: 'keyUp', key: ' ', code: 'Space', windowsVirtualKeyCode: 32 });
  };
  await space();
  await waitFor(page, `SDL.audioContext.state === 'suspended'`, 5, 'the sound to stop on Space');
  const held = await evaluate(page, dataset('showPosition'));
  await pause(600);
  if ((await evaluate(page, dataset('showPosition'))) !== held) fail('the picture went on while the show was held');
  await space();
  await waitFor(page, `${dataset('showPosition')} > ${held} && SDL.audioContext.state === 'running'`, 5,
                'the show to go on after a second Space');
  await page.send('Input.dispatchKeyEvent', { type: 'keyDown', key: 'a', code: 'KeyA', text: 'a', windowsVirtualKeyCode: 65 });
  await page.send('Input.dispatchKeyEvent', { type: 'keyUp', key: 'a', code: 'KeyA', windowsVirtualKeyCode: 65 });
  await waitFor(page, `${dataset('state')} === 'ended'`, 10, 'the end of the show after a key');
  const fps = page.console.filter((line) => /^[0-9]+\.[0-9]{6} FPS$/.test(line));
  if (fps.length !== 1) fail('expected one "%f FPS" line on the console, got: ' + JSON.stringify(page.console));
  const lead = page.console.filter((line) => line.startsWith('audio lead:'));
  console.log(fps.concat(lead).join('\n'));
  // The picture follows the sound heard, not the sound queued ahead of it.
  const leadMs = Number(await evaluate(page, dataset('leadMs')));
  if (!(Math.abs(leadMs) <= 40)) fail('the picture runs ' + leadMs + ' ms ahead of the sound (at most 40 ms)');
  // The end screen's title and prompt stand on a dark panel over the last frame.
  const [shown, colour] = await evaluate(page, `(() => { const panel = document.getElementById('panel');
    return [panel.getClientRects().length > 0, getComputedStyle(panel).backgroundColor]; })()`);
  const alpha = /^rgba\(0, 0, 0, ([0-9.]+)\)$/.exec(colour);
  if (!shown || !alpha || Number(alpha[1]) < 0.5) fail('the end screen has no dark backdrop: ' + colour);
  // Play again; a mouse button ends that show too.
  await click(320, 300);
  await waitFor(page, `${dataset('state')} === 'playing'`, 10, 'the show after play again');
  await pause(1000);
  await click(320, 240);
  await waitFor(page, `${dataset('state')} === 'ended'`, 10, 'the end of the show after a mouse button');
  if (page.console.filter((line) => / FPS$/.test(line)).length !== 2) fail('no rate line after the second show');
}

// A corrupted WebAssembly file: the page says so and what to do, instead of
// "loading" for ever. Its console errors are the expected ones.
async function checkBroken(page, site) {
  const broken = await serve(normalize(site + '/'), { '/velomira.wasm': Buffer.from('not a WebAssembly module') });
  await page.send('Page.navigate', { url: 'http://127.0.0.1:' + broken.address().port + '/index.html' });
  await waitFor(page, `${dataset('state')} === 'failed'`, 30, 'the message of a page whose program did not load');
  const text = await evaluate(page, `document.getElementById('problem').innerText`);
  if ((await evaluate(page, dataset('problem'))) !== 'wasm' || !/WebAssembly/.test(text) || !/another browser|Firefox/.test(text))
    fail('the message does not say what failed and what to do: ' + text);
  broken.close();
  page.errors.length = 0;
}

// A shared link: the page plays the score in its fragment. Its song equals
// the native render of that score (hash), frame N is screenshotted for the
// caller to compare, and a link whose score does not check says why and
// plays the demo's own.
async function checkShared(page, url, scorePath, songTool, outDir, frame) {
  const fragment = (text) => '#score=' + deflateRawSync(Buffer.from(text, 'utf8')).toString('base64url');
  const score = readFileSync(scorePath, 'utf8');
  await page.send('Page.navigate', { url: url + '?frame=' + frame + fragment(score) });
  const hash = await waitFor(page, dataset('songSha256'), 120, 'the shared song hash');
  await waitFor(page, `${dataset('frameDone')} === '${frame}'`, 300, 'frame ' + frame);
  if ((await evaluate(page, dataset('sharedScore'))) !== 'loaded') fail('the shared score was not loaded');
  const samples = await evaluate(page, dataset('songSamples'));
  const wav = join(outDir, 'shared.wav');
  const render = spawnSync(songTool, ['render', scorePath, wav, '--samples', String(samples)]);
  if (render.status !== 0) throw new Error('velomira-song render failed: ' + render.stderr);
  const expected = createHash('sha256').update(wavSamples(wav)).digest('hex');
  if (hash !== expected) fail('the shared song differs from velomira-song render of ' + scorePath);
  const { data } = await page.send('Page.captureScreenshot', {
    format: 'png', clip: { x: 0, y: 0, width: 640, height: 480, scale: 1 } });
  writeFileSync(join(outDir, 'web-' + frame + '.png'), Buffer.from(data, 'base64'));

  await page.send('Page.navigate', { url: 'about:blank' });
  await page.send('Page.navigate', { url: url + fragment(score + 't1:p77\n') });
  await waitFor(page, `${dataset('state')} === 'title'`, 60, 'the title screen of a bad link');
  if ((await evaluate(page, dataset('sharedScore'))) !== 'refused') fail('a bad shared score was not refused');
  const note = await evaluate(page, `document.getElementById('shared').textContent`);
  if (!/the shared score:\d+: error: track 1 plays pattern 77, which no line defines/.test(note))
    fail('the refusal does not name the line: ' + note);
}

const server = await serve(normalize(site + '/'));
const url = 'http://127.0.0.1:' + server.address().port + '/index.html';
const browser = launch();
try {
  const page = await openPage(browser);
  if (mode === 'song') await checkSong(page, url, args[0]);
  else if (mode === 'frames') await checkFrames(page, url, args[0], args.slice(1));
  else if (mode === 'play') await checkPlay(page, url);
  else if (mode === 'broken') await checkBroken(page, site);
  else if (mode === 'shared') await checkShared(page, url, ...args);
  else throw new Error('unknown mode ' + mode);
  if (page.errors.length) fail('console errors: ' + JSON.stringify(page.errors));
} catch (error) {
  fail(error.message);
} finally {
  await browser.close();
  server.close();
}
