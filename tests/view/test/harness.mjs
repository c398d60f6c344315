// Starts virtual cameras, kepra view and headless Chromium for the browser tests.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const build = process.env.KEPRA_VIEW_BUILD || path.join(root, 'build/linux-debug');
export const kepraTool = path.join(build, 'tools/kepra/kepra');
const virtcam = path.join(build, 'virtcam/kepra-virtcam');

const children = new Set();
process.on('exit', () => { for (const c of children) c.kill('SIGKILL'); });

export const tempDir = (prefix) => mkdtempSync(path.join(tmpdir(), prefix));

function run(file, args, env) {
  const child = spawn(file, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  children.add(child);
  child.on('exit', () => children.delete(child));
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  return { child, output: () => output };
}

// Sanitizer builds run several times slower: KEPRA_VIEW_SLOW=4 stretches every wait.
const slow = Number(process.env.KEPRA_VIEW_SLOW || 1);

export async function waitFor(what, check, timeoutMs = 15000, everyMs = 50) {
  const end = Date.now() + timeoutMs * slow;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, everyMs));
  }
}

// A kepra-virtcam process serving `cameras` ([[index, model]]) in dir.
export async function startDaemon(dir, cameras, extra = []) {
  const args = ['--dir', dir, ...cameras.flatMap(([i, m]) => ['--camera', `${i}:${m}`]), ...extra];
  const { child, output } = run(virtcam, args);
  // It prints a line for each camera once that camera's socket listens.
  await waitFor(`virtual cameras ${cameras.map((c) => c[0])}`,
    () => (output().match(/^kepra-virtcam: camera \d+: .*, at /gm) ?? []).length === cameras.length);
  return {
    signal: (name) => child.kill(name),
    async stop() {
      if (child.exitCode !== null) return;
      const exited = new Promise((r) => child.once('exit', r));
      child.kill('SIGTERM');
      await exited;
    },
  };
}

// kepra view on an ephemeral loopback port; resolves with its URL.
export async function startViewer(dir, index, extra = []) {
  const { child, output } = run(kepraTool, ['-d', String(index), 'view', '--listen', '127.0.0.1:0', ...extra],
    { KEPRA_DEVICE_DIR: dir });
  // It prints the page's address once it listens.
  const url = await waitFor('kepra view to listen', () => {
    if (child.exitCode !== null) throw new Error(`kepra view exited ${child.exitCode}: ${output()}`);
    return output().match(/^http:\/\/\S+/m)?.[0];
  });
  return {
    url,
    child,
    // Ends it with SIGINT; fails unless it exits with status 0 (a sanitizer report included).
    async stop() {
      const code = child.exitCode ?? await new Promise((r) => {
        child.once('exit', r);
        child.kill('SIGINT');
      });
      if (code !== 0) throw new Error(`kepra view exited with ${code}:\n${output()}`);
    },
  };
}

// Headless Chromium in a profile of its own: { browser, close() }.
export async function launchBrowser() {
  const profile = tempDir('kepra-view-chromium-');
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run',
      '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
      '--disable-backgrounding-occluded-windows'],
  });
  return { browser, close: () => browser.close().then(() => rmSync(profile, { recursive: true, force: true })) };
}

// A daemon with `cameras`, kepra view on the first and, with `browser`, headless Chromium;
// stop() ends them all and removes the device folder.
export async function startAll(cameras, { daemonArgs = [], viewerArgs = [], browser = true } = {}) {
  const dir = tempDir('kepra-view-test-');
  const all = { dir, daemon: await startDaemon(dir, cameras, daemonArgs) };
  all.viewer = await startViewer(dir, cameras[0][0], viewerArgs);
  const chromium = browser ? await launchBrowser() : null;
  all.browser = chromium?.browser;
  all.stop = async () => {
    await chromium?.close();
    await all.viewer.stop();  // throws unless it exits with 0
    await all.daemon.stop();
    rmSync(dir, { recursive: true, force: true });
  };
  return all;
}

export async function openView(browser, url) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 900 });
  await page.goto(url);
  await waitFor('first frame', () => page.evaluate(() => window.kepraView.drawn >= 2));
  return page;
}

export const viewState = (page) => page.evaluate(() => window.kepraView);

// Waits until the page has drawn `count` frames more than now.
export async function newFrames(page, count) {
  const seq = () => page.evaluate(() => window.kepraView.lastHeader?.seq ?? 0);
  const start = await seq();
  await waitFor(`${count} new frames`, async () => (await seq()) >= start + count);
}

// Mean brightness of the drawn image, from the canvas itself.
export function canvasMean(page) {
  return page.evaluate(() => {
    const c = document.getElementById('image');
    const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let sum = 0;
    for (let i = 0; i < data.length; i += 4) sum += data[i];
    return sum / (data.length / 4);
  });
}

// Changes a form control the way a user does and lets the page send it.
export async function change(page, id, value) {
  await page.evaluate((elementId, v) => {
    const e = document.getElementById(elementId);
    if (e.type === 'checkbox') e.checked = !!v; else e.value = String(v);
    e.dispatchEvent(new Event('change', { bubbles: true }));
  }, id, value);
}

// Acts (clicks `selector`, or changes the control `id` to `value`), then waits for the page's
// reply of `type` (or an error) and returns it with the state that followed.
async function actAndWait(page, act, type) {
  const before = await page.evaluate(() => window.kepraView.replies.length);
  await act();
  return waitFor(`a ${type} reply`, () => page.evaluate((n, t) => {
    const r = window.kepraView.replies.slice(n).find((m) => m.type === t || m.type === 'error');
    return r ? { reply: r, state: window.kepraView.state } : null;
  }, before, type));
}
export const clickAndWait = async (page, selector, type) =>
  (await actAndWait(page, () => page.click(selector), type)).reply;
export const changeAndWait = (page, id, value) => actAndWait(page, () => change(page, id, value), 'set');
