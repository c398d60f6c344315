// Starts virtual cameras, kepra view and headless Chromium for the browser tests.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const build = process.env.KEPRA_VIEW_BUILD || path.join(root, 'build/linux-debug');
export const kepraTool = path.join(build, 'tools/kepra/kepra');
export const virtcam = path.join(build, 'virtcam/kepra-virtcam');
export const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';

const children = new Set();
process.on('exit', () => { for (const c of children) c.kill('SIGKILL'); });

export function tempDir(prefix) {
  return mkdtempSync(path.join(tmpdir(), prefix));
}

function interfacePath(dir, index) {
  return path.join(dir, `90bcde2c-e6de-4cf2-b43c-d0850c4d47${index.toString(16).padStart(2, '0')}`);
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
  const child = spawn(virtcam, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  children.add(child);
  child.on('exit', () => children.delete(child));
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  await waitFor(`virtual cameras ${cameras.map((c) => c[0])} (${output})`,
    () => cameras.every(([i]) => existsSync(interfacePath(dir, i))));
  return {
    child,
    output: () => output,
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
  const child = spawn(kepraTool, ['-d', String(index), 'view', '--listen', '127.0.0.1:0', ...extra], {
    env: { ...process.env, KEPRA_DEVICE_DIR: dir },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  children.add(child);
  child.on('exit', () => children.delete(child));
  let stdout = '';
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const url = await new Promise((resolve, reject) => {
    child.stdout.on('data', (d) => {
      stdout += d;
      const line = stdout.split('\n')[0];
      if (stdout.includes('\n')) resolve(line.trim());
    });
    child.on('exit', (code) => reject(new Error(`kepra view exited ${code}: ${stderr}`)));
  });
  return {
    url,
    child,
    stderr: () => stderr,
    // Ends it with SIGINT; fails when it does not exit with status 0 (a sanitizer report
    // included), with what it wrote to stderr.
    async stop() {
      const code = child.exitCode !== null ? child.exitCode : await new Promise((r) => {
        child.once('exit', (c) => r(c));
        child.kill('SIGINT');
      });
      if (code !== 0) throw new Error(`kepra view exited with ${code}:\n${stderr}`);
      return code;
    },
  };
}

export async function launchBrowser() {
  const profile = tempDir('kepra-view-chromium-');
  const browser = await puppeteer.launch({
    executablePath: chromiumPath,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run',
      '--disable-background-timer-throttling', '--disable-renderer-backgrounding',
      '--disable-backgrounding-occluded-windows'],
  });
  return {
    browser,
    async close() {
      await browser.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

export async function openView(browser, url) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 900 });
  await page.goto(url);
  await waitFor('first frame', () => page.evaluate(() => window.kepraView.drawn >= 2));
  return page;
}

export const viewState = (page) => page.evaluate(() => window.kepraView);

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

// Clicks a control and waits for the page's reply of that type (or an error).
export async function clickAndWait(page, selector, type) {
  const before = await page.evaluate(() => window.kepraView.replies.length);
  await page.click(selector);
  return waitFor(`reply to ${selector}`, () => page.evaluate((n, t) =>
    window.kepraView.replies.slice(n).find((m) => m.type === t || m.type === 'error') || null,
  before, type));
}

// Waits for the page's next reply to a "set" and returns it with the state that followed.
export async function changeAndWait(page, id, value) {
  const before = await page.evaluate(() => window.kepraView.replies.length);
  await change(page, id, value);
  return waitFor(`reply to ${id}`, () => page.evaluate((n) => {
    const r = window.kepraView.replies.slice(n).find((m) => m.type === 'set' || m.type === 'error');
    return r ? { reply: r, state: window.kepraView.state } : null;
  }, before));
}
