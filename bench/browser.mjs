// The browser build's speed in headless Chromium, beside the native programs
// on the same machine, each figure the median of RUNS page loads:
//
//   pre-render    the page's song render (its ?frame=0 load) against the
//                 native one: the synth benchmark's parse and two-thread
//                 render, as the demo does them
//   first frame   from the click on the title screen to the first frame
//   frame time    the whole show's 8508 frames drawn back to back (?frame=8507),
//                 per frame, against the velomira-capture process drawing
//                 them without output
//
//   node bench/browser.mjs SITE SYNTH_BENCH CAPTURE [RUNS]
//   e.g. node bench/browser.mjs build/web/site build/bench/synth/velomira_synth_bench \
//            build/tools/velomira-capture/velomira-capture 5
import { execFileSync } from 'node:child_process';
import { dataset, evaluate, launch, openPage, serve, waitFor } from '../tests/web/chromium.mjs';

const [site, synthBench, capture, runsText] = process.argv.slice(2);
if (!site || !synthBench || !capture) {
  console.error('usage: node bench/browser.mjs SITE SYNTH_BENCH CAPTURE [RUNS]');
  process.exit(2);
}
const runs = Number(runsText || 5);
const LastFrame = 8507;
const median = (values) => {
  const v = [...values].sort((a, b) => a - b);
  return v.length % 2 ? v[(v.length - 1) / 2] : (v[v.length / 2 - 1] + v[v.length / 2]) / 2;
};

// A fresh page for each load, so that no run finds the program compiled.
async function withPage(browser, body) {
  const page = await openPage(browser);
  try {
    return await body(page);
  } finally {
    await page.send('Page.close').catch(() => {});
  }
}

const server = await serve(site);
const url = 'http://127.0.0.1:' + server.address().port + '/';
const browser = launch();
const page = { render: [], click: [], frames: [] };
try {
  for (let run = 0; run < runs; run++) {
    await withPage(browser, async (p) => {
      await p.send('Page.navigate', { url: url + '?frame=0' });
      await waitFor(p, `${dataset('frameDone')} === '0'`, 120, 'frame 0');
      page.render.push(Number(await evaluate(p, dataset('renderMs'))));
    });
    await withPage(browser, async (p) => {
      await p.send('Page.navigate', { url });
      await waitFor(p, `${dataset('state')} === 'title'`, 60, 'the title screen');
      for (const type of ['mousePressed', 'mouseReleased'])
        await p.send('Input.dispatchMouseEvent', { type, x: 320, y: 300, button: 'left', clickCount: 1 });
      page.click.push(Number(await waitFor(p, dataset('firstFrameMs'), 30, 'the first frame')));
    });
    await withPage(browser, async (p) => {
      await p.send('Page.navigate', { url: url + '?frame=' + LastFrame });
      await waitFor(p, `${dataset('frameDone')} === '${LastFrame}'`, 600, 'the last frame');
      page.frames.push(Number(await evaluate(p, dataset('framesMs'))) * 1000 / (LastFrame + 1));
    });
  }
} finally {
  await browser.close();
  server.close();
}

// The native figures, measured after the pages so that the two never share the cores.
const bench = JSON.parse(execFileSync(synthBench, [
  '--benchmark_filter=^BM_WholeSong/two:1/parse:1/', '--benchmark_repetitions=' + runs, '--benchmark_format=json',
]).toString());
const nativeRender = median(bench.benchmarks.filter((b) => b.run_type === 'iteration').map((b) => b.real_time));
// The whole capture process, its pre-render included (some 20 ms of seconds).
const nativeFrames = [];
for (let run = 0; run < runs; run++) {
  const start = process.hrtime.bigint();
  execFileSync(capture, ['-q'], { stdio: 'ignore' });
  nativeFrames.push(Number(process.hrtime.bigint() - start) / 1000 / (LastFrame + 1));
}

const ratio = (a, b) => (a / b).toFixed(2) + 'x';
const renderMs = median(page.render), clickMs = median(page.click), frameUs = median(page.frames);
const nativeUs = median(nativeFrames);
console.log(`${runs} runs, medians:`);
console.log(`pre-render:  page ${renderMs.toFixed(1)} ms, native ${nativeRender.toFixed(1)} ms, ${ratio(renderMs, nativeRender)}`);
console.log(`click to first frame: ${clickMs.toFixed(1)} ms (all: ${page.click.map((v) => v.toFixed(0)).join(' ')})`);
console.log(`frame time:  page ${frameUs.toFixed(0)} us, native ${nativeUs.toFixed(0)} us, ${ratio(frameUs, nativeUs)}`);
