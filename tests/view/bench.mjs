// kepra view's throughput, server CPU and latency at 1280x1024, 30 fps, in headless Chromium.
//   node bench.mjs [seconds]   (KEPRA_VIEW_BUILD: the build directory, release preset advised)
// Latency: from the grab completing on the host (the frame's header carries that wall-clock
// time) to the page having drawn the frame on its canvas, same machine, same clock.
import { execFileSync } from 'node:child_process';
import { readFileSync, rmSync } from 'node:fs';
import { cpus, loadavg } from 'node:os';
import {
  kepraTool, launchBrowser, openView, startDaemon, startViewer, tempDir,
} from './test/harness.mjs';

const seconds = Number(process.argv[2] || 20);
const index = Number(process.env.KEPRA_VIEW_INDEX ?? 23);
const ticks = Number(execFileSync('getconf', ['CLK_TCK']).toString());
const cpuSeconds = (pid) => {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticks;  // utime + stime
};
const median = (values) => {
  const s = [...values].sort((a, b) => a - b);
  return s.length ? s[Math.floor(s.length / 2)] : NaN;
};

const loadAtStart = loadavg()[0];
const dir = tempDir('kepra-view-bench-');
const daemon = await startDaemon(dir, [[index, 4]]);
const env = { ...process.env, KEPRA_DEVICE_DIR: dir };
// The full sensor reaches 30 fps from a 48 MHz clock (40 MHz, the default, gives 29.3), with
// an exposure shorter than the frame.
execFileSync(kepraTool, ['-d', String(index), 'set', 'clock', '48'], { env });
execFileSync(kepraTool, ['-d', String(index), 'set', 'exposure-ms', '10'], { env });
execFileSync(kepraTool, ['-d', String(index), 'set', 'frame-rate', '30'], { env });
const viewer = await startViewer(dir, index);
const chromium = await launchBrowser();
try {
  const page = await openView(chromium.browser, viewer.url);
  await new Promise((r) => setTimeout(r, 3000));  // warm up
  const start = await page.evaluate(() => ({ drawn: window.kepraView.drawn, frames: window.kepraView.frames, t: Date.now() }));
  const cpu0 = cpuSeconds(viewer.child.pid);
  const latencies = [];
  const collect = setInterval(async () => {
    const l = await page.evaluate(() => window.kepraView.latencies.splice(0));
    latencies.push(...l);
  }, 500);
  await page.evaluate(() => window.kepraView.latencies.splice(0));
  await new Promise((r) => setTimeout(r, seconds * 1000));
  clearInterval(collect);
  const end = await page.evaluate(() => ({ drawn: window.kepraView.drawn, frames: window.kepraView.frames, t: Date.now(), stats: window.kepraView.stats, state: window.kepraView.state }));
  latencies.push(...await page.evaluate(() => window.kepraView.latencies.splice(0)));
  const cpu1 = cpuSeconds(viewer.child.pid);
  const elapsed = (end.t - start.t) / 1000;
  const drawnFps = (end.drawn - start.drawn) / elapsed;
  const receivedFps = (end.frames - start.frames) / elapsed;
  const cpuPercent = (100 * (cpu1 - cpu0)) / elapsed;
  const latency = median(latencies);
  const row = (name, value, goal, ok) =>
    console.log(`${name.padEnd(38)} ${value.padStart(10)}   goal ${goal.padEnd(10)} ${ok ? 'met' : 'NOT met'}`);
  console.log(`kepra view, 1280x1024 at ${end.state.frame_rate.value.toFixed(2)} fps configured, ${elapsed.toFixed(1)} s;` +
    ` ${cpus().length} CPUs, load average ${loadAtStart.toFixed(1)} at the start, ${loadavg()[0].toFixed(1)} at the end`);
  row('frames drawn on the canvas per second', drawnFps.toFixed(1), '>= 29', drawnFps >= 29);
  row('frames reaching the page per second', receivedFps.toFixed(1), '', true);
  row('server CPU, % of one core', cpuPercent.toFixed(1), '<= 25', cpuPercent <= 25);
  row('grab-to-canvas latency, median ms', latency.toFixed(1), '<= 100', latency <= 100);
  console.log(`  (latency p90 ${[...latencies].sort((a, b) => a - b)[Math.floor(latencies.length * 0.9)]?.toFixed(1)} ms over ${latencies.length} frames;` +
    ` server: received ${end.stats.received}, skipped ${end.stats.skipped}, dropped ${end.stats.dropped}, delivered ${end.stats.delivered_fps.toFixed(1)} fps)`);
} finally {
  await chromium.close();
  await viewer.stop();
  await daemon.stop();
  rmSync(dir, { recursive: true, force: true });
}
