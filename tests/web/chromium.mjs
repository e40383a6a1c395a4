// What the browser checks share: headless Chromium driven over the DevTools
// protocol on a pipe (no port, no npm packages), a static server for the
// built site, polling the page, and the samples of a native WAV.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { extname, join, normalize } from 'node:path';

const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

export function fail(message) {
  console.error('FAIL: ' + message);
  process.exitCode = 1;
}

// A static server for the site folder: the page must work from any plain web server.
// replaced maps a file's address to other contents served in its place.
export function serve(root, replaced = {}) {
  const types = { '.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm' };
  const server = createServer((request, response) => {
    const address = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const path = normalize(join(root, address));
    const file = path.endsWith('/') ? join(path, 'index.html') : path;
    if (!file.startsWith(root) || !existsSync(file)) {
      response.writeHead(404);
      response.end();
      return;
    }
    response.writeHead(200, { 'Content-Type': types[extname(file)] || 'application/octet-stream' });
    response.end(replaced[address] ?? readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// Chromium with the DevTools protocol on file descriptors 3 (to it) and 4 (from it).
export function launch(width = 640, height = 480) {
  const profile = mkdtempSync(join(tmpdir(), 'velomira-chromium-'));
  const browser = spawn(chromium, [
    '--headless=new', '--no-sandbox', '--hide-scrollbars', '--window-size=' + width + ',' + height,
    '--autoplay-policy=no-user-gesture-required', '--remote-debugging-pipe', '--no-first-run',
    '--user-data-dir=' + profile, 'about:blank',
  ], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'] });
  let nextId = 1;
  const pending = new Map();
  const listeners = [];
  let buffer = '';
  browser.stdio[4].on('data', (chunk) => {
    buffer += chunk.toString('utf8');
    let end;
    while ((end = buffer.indexOf('\0')) >= 0) {
      const message = JSON.parse(buffer.slice(0, end));
      buffer = buffer.slice(end + 1);
      if (message.id && pending.has(message.id)) {
        const { resolve, reject } = pending.get(message.id);
        pending.delete(message.id);
        if (message.error) reject(new Error(JSON.stringify(message.error)));
        else resolve(message.result);
      } else {
        for (const listener of listeners) listener(message);
      }
    }
  });
  const send = (method, params = {}, sessionId) => new Promise((resolve, reject) => {
    const id = nextId++;
    pending.set(id, { resolve, reject });
    browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
  });
  const exited = new Promise((resolve) => browser.on('exit', resolve));
  const close = async () => {
    await send('Browser.close').catch(() => {});
    await exited;
    // Its helper processes may still be writing into the profile for a moment.
    rmSync(profile, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
  };
  return { send, listeners, close };
}

export async function openPage(browser, width = 640, height = 480) {
  const { targetId } = await browser.send('Target.createTarget', { url: 'about:blank' });
  const { sessionId } = await browser.send('Target.attachToTarget', { targetId, flatten: true });
  const page = {
    send: (method, params) => browser.send(method, params, sessionId),
    console: [],   // every console line, as text
    errors: [],    // console errors, uncaught exceptions, failed loads
  };
  browser.listeners.push((message) => {
    if (message.sessionId !== sessionId) return;
    if (message.method === 'Runtime.consoleAPICalled') {
      const text = message.params.args.map((a) => a.value ?? a.description ?? '').join(' ');
      page.console.push(text);
      if (message.params.type === 'error') page.errors.push(text);
    } else if (message.method === 'Runtime.exceptionThrown') {
      page.errors.push(message.params.exceptionDetails.exception?.description ?? message.params.exceptionDetails.text);
    } else if (message.method === 'Log.entryAdded' && message.params.entry.level === 'error') {
      page.errors.push(message.params.entry.text + ' ' + (message.params.entry.url ?? ''));
    }
  });
  await page.send('Runtime.enable');
  await page.send('Log.enable');
  await page.send('Page.enable');
  // The viewport exactly width x height at one device pixel per CSS pixel,
  // whatever the window around it.
  await page.send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: 1, mobile: false });
  return page;
}

export async function evaluate(page, expression) {
  const { result, exceptionDetails } = await page.send('Runtime.evaluate',
    { expression, returnByValue: true, awaitPromise: true });
  if (exceptionDetails) throw new Error(expression + ': ' + (exceptionDetails.exception?.description ?? exceptionDetails.text));
  return result.value;
}

// Polls until expression is truthy; returns its value.
export async function waitFor(page, expression, seconds, what) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    // Before the page has loaded the expression may throw: not yet.
    const value = await evaluate(page, expression).catch(() => undefined);
    if (value) return value;
    if (Date.now() > deadline) throw new Error('timed out after ' + seconds + ' s waiting for ' + what);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

export const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
export const dataset = (name) => `document.body.dataset.${name}`;

// Samples of the WAV's data chunk.
export function wavSamples(path) {
  const wav = readFileSync(path);
  for (let at = 12; at + 8 <= wav.length;) {
    const id = wav.toString('ascii', at, at + 4);
    const size = wav.readUInt32LE(at + 4);
    if (id === 'data') return wav.subarray(at + 8, at + 8 + size);
    at += 8 + size + (size & 1);
  }
  throw new Error(path + ' has no data chunk');
}

