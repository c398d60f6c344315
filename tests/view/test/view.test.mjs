// kepra view in headless Chromium against kepra-virtcam.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync, rmSync } from 'node:fs';
import path from 'node:path';
import http from 'node:http';
import { execFileSync, spawnSync } from 'node:child_process';
import {
  canvasMean, change, changeAndWait, clickAndWait, kepraTool, launchBrowser, openView, startDaemon, startViewer, tempDir,
  viewState, waitFor,
} from './harness.mjs';
import { readGray16 } from './png.mjs';
import { handshake, reader, sendText } from './raw_socket.mjs';

// Device indices: the lock mutexes are machine-wide, so runs side by side use their own.
const base = Number(process.env.KEPRA_VIEW_INDEX ?? 23);
const [mono, unplugged, first, second] = [base, base + 1, base + 2, base + 3];

const newFrames = async (page, count) => {
  const seq = () => page.evaluate(() => window.kepraView.lastHeader?.seq ?? 0);
  const start = await seq();
  await waitFor(`${count} new frames`, async () => (await seq()) >= start + count);
};

describe('one camera', () => {
  let dir, recordDir, daemon, viewer, chromium, page;
  before(async () => {
    dir = tempDir('kepra-view-test-');
    recordDir = tempDir('kepra-view-rec-');
    daemon = await startDaemon(dir, [[mono, 4]]);
    viewer = await startViewer(dir, mono, ['--record-dir', recordDir]);
    chromium = await launchBrowser();
    page = await openView(chromium.browser, viewer.url);
  });
  after(async () => {
    await chromium?.close();
    await viewer?.stop();  // throws unless it exits with 0
    await daemon?.stop();
    rmSync(dir, { recursive: true, force: true });
    rmSync(recordDir, { recursive: true, force: true });
  });

  test('the canvas shows frames, and they darken with a shorter exposure', async () => {
    const s = await viewState(page);
    assert.equal(s.lastHeader.width, 1280);
    assert.equal(s.lastHeader.height, 1024);
    assert.equal(await page.$eval('#image', (c) => c.width), 1280);
    await changeAndWait(page, 'exposure_ms', 20);
    // Frames already in flight keep the old exposure for a moment.
    await newFrames(page, 10);
    const bright = await canvasMean(page);
    assert.ok(bright > 15, `a lit scene at 20 ms (mean ${bright})`);
    const { reply, state } = await changeAndWait(page, 'exposure_ms', 2);
    assert.equal(reply.ok, true);
    assert.ok(Math.abs(state.exposure_ms.value - 2) < 0.1, `exposure took ${state.exposure_ms.value}`);
    // The scene's brightness is proportional to the exposure: a tenth, give or take noise.
    await waitFor('darker frames', async () => (await canvasMean(page)) < bright * 0.3);
    const dark = await canvasMean(page);
    assert.ok(dark > bright * 0.03, `2 ms (mean ${dark}) still shows the scene (20 ms: ${bright})`);
    // The histogram counts every sample of the frame.
    const h = (await viewState(page)).lastHeader;
    assert.equal(h.hist.reduce((a, b) => a + b, 0), h.width * h.height);
    await changeAndWait(page, 'exposure_ms', 20);
  });

  test('settings round-trip and show what the camera took', async () => {
    await changeAndWait(page, 'gain_a', 2);
    let { state } = await changeAndWait(page, 'gain_d', 1.5);
    assert.deepEqual(state.gain.value, [2, 1.5]);
    // Above the documented range: the camera clamps, the page shows the clamped value.
    ({ state } = await changeAndWait(page, 'gain_d', 100));
    assert.equal(state.gain.value[1], 15.875);
    assert.equal(await page.$eval('#gain_d', (e) => e.value), '15.875');
    await changeAndWait(page, 'gain_d', 1);

    ({ state } = await changeAndWait(page, 'readout_mode', 2));
    assert.equal(state.readout_mode, 2);
    ({ state } = await changeAndWait(page, 'hdr', true));
    assert.equal(state.hdr, true);
    await changeAndWait(page, 'st_mode', 2);
    await changeAndWait(page, 'st_off', 18);
    await changeAndWait(page, 'st_on', 52);
    ({ state } = await changeAndWait(page, 'st_inv', true));
    assert.deepEqual(state.strobe, [2, 18, 52, 1]);

    // Binning halves the frames the page receives.
    await changeAndWait(page, 'fp_bx', 2);
    ({ state } = await changeAndWait(page, 'fp_by', 2));
    assert.deepEqual(state.frame_params.value.slice(0, 7), [0, 0, 1280, 1024, 10, 2, 2]);
    await waitFor('binned frames', () => page.evaluate(() =>
      window.kepraView.lastHeader.width === 640 && window.kepraView.lastHeader.height === 512));
    assert.equal(await page.$eval('#image', (c) => c.width), 640);
    // A width the binning does not divide is refused; the page shows what stayed.
    const refused = await changeAndWait(page, 'fp_w', 1278 + 1);
    assert.equal(refused.reply.ok, false);
    assert.match(refused.reply.error, /kepra_SetFrameParams failed: last error 87/);
    assert.equal(refused.state.frame_params.value[2], 1280);
    assert.equal(await page.$eval('#fp_w', (e) => e.value), '1280');
    await changeAndWait(page, 'fp_bx', 1);
    await changeAndWait(page, 'fp_by', 1);
    await waitFor('full frames', () => page.evaluate(() => window.kepraView.lastHeader.width === 1280));
    await changeAndWait(page, 'hdr', false);
    await changeAndWait(page, 'readout_mode', 0);
  });

  test('frame parameters changed by another program: the view follows', async () => {
    const streams = (await viewState(page)).stats.streams;
    const set = (value) => execFileSync(kepraTool, ['-d', String(mono), 'set', 'frame-params', value],
      { env: { ...process.env, KEPRA_DEVICE_DIR: dir } });
    set('0,0,1280,1024,10,4,2,0');
    try {
      await waitFor('binned frames', () => page.evaluate(() =>
        window.kepraView.lastHeader.width === 320 && window.kepraView.lastHeader.height === 512));
      await waitFor('the settings shown follow', () => page.evaluate(() =>
        window.kepraView.state.frame_params.value[5] === 4)).catch(async (e) => {
        const v = await viewState(page);
        throw new Error(`${e.message}: ${JSON.stringify(v.state)} ${JSON.stringify(v.stats)} ${JSON.stringify(v.lastHeader.width)}`);
      });
      assert.equal(await page.$eval('#fp_bx', (e) => e.value), '4');
      // Statistics come twice a second, maybe after the state.
      await waitFor('a new stream for the new size', () =>
        page.evaluate((n) => window.kepraView.stats.streams > n, streams));
    } finally {
      set('0,0,1280,1024,10,1,1,0');
    }
    await waitFor('full frames', () => page.evaluate(() => window.kepraView.lastHeader.width === 1280));
  });

  test('statistics move and follow the frame rate', async () => {
    const { state } = await changeAndWait(page, 'frame_rate', 20);
    assert.ok(Math.abs(state.frame_rate.value - 20) < 0.5, `frame rate took ${state.frame_rate.value}`);
    await new Promise((r) => setTimeout(r, 1000));
    const first = (await viewState(page)).stats;
    const t0 = Date.now();
    await new Promise((r) => setTimeout(r, 3000));
    const later = (await viewState(page)).stats;
    const seconds = (Date.now() - t0) / 1000;
    assert.ok(later.received > first.received, 'frames received grow');
    assert.ok(Math.abs(later.configured_fps - 20) < 0.5, `configured ${later.configured_fps}`);
    assert.ok(later.delivered_fps > 0 && later.delivered_fps < 24, `delivered ${later.delivered_fps}`);
    // Every frame the camera made was either received or counted as skipped (a loaded machine
    // skips some): together they follow the camera's rate.
    const made = (later.received + later.skipped - first.received - first.skipped) / seconds;
    assert.ok(made > 20 * 0.7 && made < 20 * 1.3, `camera made ${made} fps by the counters`);
    assert.equal(later.clients, 1);
    const table = await page.$eval('#stats', (t) => t.textContent);
    assert.match(table, /Configured frame rate20(\.\d+)? fps/);
    assert.match(table, /LinkSuperSpeed/);
    await changeAndWait(page, 'frame_rate', 30);
  });

  test('snapshot mode holds the image; pixel values, histogram and the 16-bit PNG agree', async () => {
    const streams = (await viewState(page)).stats.streams;
    await changeAndWait(page, 'stream_mode', 1);
    try {
      await snapshotChecks();
    } finally {
      await changeAndWait(page, 'stream_mode', 0);
    }
    // Back to free running without a trigger: the viewer's new stream ended the waiting grab.
    await newFrames(page, 5);
    await waitFor('a stream per mode change', () =>
      page.evaluate((n) => window.kepraView.stats.streams >= n + 2, streams));
  });

  test('software trigger: the view holds, each press shows one new frame, saturation is painted', async () => {
    // Bright enough that the scene's brightest part saturates, the darkest not.
    await changeAndWait(page, 'exposure_ms', 20);
    await changeAndWait(page, 'gain_a', 8);
    const received = () => page.evaluate(() => window.kepraView.stats.received);
    const drawn = () => page.evaluate(() => window.kepraView.drawn);
    const moreFrames = async (n) => {
      const r = await received();
      await waitFor(`${n} more frames from the camera`, async () => (await received()) >= r + n);
    };
    try {
      await change(page, 'hold', true);
      await waitFor('held', () => page.evaluate(() => window.kepraView.state.hold === true));
      assert.equal(await page.$eval('#trigger', (b) => b.disabled), false);
      await moreFrames(5);
      // A frame already on its way may still be drawn (a loaded machine decodes slowly).
      await waitFor('the page idle', () => page.evaluate(() => !window.kepraView.busy));
      const still = await drawn();
      await moreFrames(10);
      assert.equal(await drawn(), still, 'no frame drawn while held');

      await change(page, 'paint_saturated', true);
      const pressed = Date.now();
      const reply = await clickAndWait(page, '#trigger', 'trigger');
      assert.equal(reply.ok, true, JSON.stringify(reply));
      await waitFor('the triggered frame', async () => (await drawn()) === still + 1);
      const header = (await viewState(page)).lastHeader;
      assert.ok(header.grabbed_ms >= pressed, `the frame completed after the press (${header.grabbed_ms - pressed} ms, sent ${header.sent_ms - pressed} ms)`);
      await moreFrames(10);
      assert.equal(await drawn(), still + 1, 'one frame per press');

      // The snapshot is the frame on the canvas: its saturated samples are the red pixels.
      const png = readGray16(Buffer.from(await (await fetch(`${viewer.url}snapshot.png`)).arrayBuffer()));
      const top = 0xFFFF & (((1 << header.bit_depth) - 1) << (16 - header.bit_depth));
      const saturated = [];
      for (let y = 0; y < png.height; y++) {
        for (let x = 0; x < png.width; x++) if (png.at(x, y) === top) saturated.push(y * png.width + x);
      }
      assert.ok(saturated.length > 0 && saturated.length < png.width * png.height,
        `part of the scene saturates (${saturated.length} samples)`);
      assert.equal(header.saturated, saturated.length);
      const red = await page.evaluate(() => {
        const c = document.getElementById('image');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const at = [];
        for (let i = 0; i < d.length; i += 4) if (d[i] === 255 && d[i + 1] === 0 && d[i + 2] === 0) at.push(i / 4);
        return at;
      });
      assert.equal(red.length, saturated.length);
      assert.deepEqual(red, saturated);

      // Live again on release.
      await change(page, 'hold', false);
      await newFrames(page, 3);
      assert.equal(await page.$eval('#trigger', (b) => b.disabled), true);
    } finally {
      await change(page, 'paint_saturated', false);
      await change(page, 'hold', false);
      await changeAndWait(page, 'gain_a', 1);
      await changeAndWait(page, 'gain_d', 1);
    }
  });

  test('recording writes the next N frames as 16-bit PNGs into a new folder', async () => {
    await page.$eval('#record_frames', (e) => { e.value = '4'; });
    const reply = await clickAndWait(page, '#record', 'record');
    assert.equal(reply.type, 'record', JSON.stringify(reply));
    assert.equal(path.dirname(reply.folder), recordDir);
    const status = await waitFor('four frames written', () => page.evaluate(() => {
      const r = window.kepraView.stats.recording;
      return r.written === 4 && !r.active ? r : null;
    }), 30000);
    assert.equal(status.error, '');
    const names = readdirSync(reply.folder).sort();
    assert.equal(names.length, 4, names.join(' '));
    const counters = names.map((name, i) => {
      const m = name.match(/^frame-(\d{6})-counter-(\d+)\.png$/);
      assert.ok(m, name);
      assert.equal(Number(m[1]), i + 1);
      return Number(m[2]);
    });
    // Frames in the camera's order; gaps counted as the status says.
    let gaps = 0;
    for (let i = 1; i < counters.length; i++) {
      assert.ok(counters[i] > counters[i - 1], counters.join(','));
      gaps += counters[i] - counters[i - 1] - 1;
    }
    assert.equal(status.gaps, gaps);
    const header = (await viewState(page)).lastHeader;
    const shift = 16 - header.bit_depth;
    for (const name of names) {
      const png = readGray16(readFileSync(path.join(reply.folder, name)));
      assert.equal(png.width, header.width);
      assert.equal(png.height, header.height);
      let max = 0, off = 0;
      for (let y = 0; y < png.height; y += 7) {
        for (let x = 0; x < png.width; x += 5) {
          const v = png.at(x, y);
          max = Math.max(max, v);
          if (v & ((1 << shift) - 1)) off++;
        }
      }
      assert.equal(off, 0, `${name}: ${header.bit_depth}-bit samples scaled to 16 bits`);
      assert.ok(max > 0, `${name} shows the scene`);
    }
    assert.match(await page.$eval('#record-status', (e) => e.textContent), /Recorded 4 of 4 frames/);

    // A folder that cannot be made is named in the error.
    rmSync(recordDir, { recursive: true, force: true });
    const failed = await clickAndWait(page, '#record', 'record');
    assert.equal(failed.type, 'error');
    assert.ok(failed.message.includes(`cannot make a folder for the recording in ${recordDir}`), failed.message);
  });

  async function snapshotChecks() {
    // The frame in flight may still arrive; then the image stands still.
    let seen = -1, polls = 0;
    await waitFor('the image to stand still', async () => {
      const seq = await page.evaluate(() => window.kepraView.lastHeader.seq);
      polls = seq === seen ? polls + 1 : 0;
      seen = seq;
      return polls >= 3;
    }, 20000, 400);
    const header = (await viewState(page)).lastHeader;
    // The server's newest frame is the one on the canvas.
    const box0 = await (await page.$('#image')).boundingBox();
    await page.mouse.move(box0.x + box0.width / 2, box0.y + box0.height / 2);
    const probe = await waitFor('pixel reply', () => page.evaluate(() => {
      const m = window.kepraView.pixel;
      window.kepraView.pixel = null;
      return m;
    }));
    assert.equal(probe.seq, header.seq);
    const png = readGray16(Buffer.from(await (await fetch(`${viewer.url}snapshot.png`)).arrayBuffer()));
    assert.equal(png.width, header.width);
    assert.equal(png.height, header.height);
    const shift = 16 - header.bit_depth;
    // Saturation and the largest sample, counted from the PNG.
    let saturated = 0, max = 0;
    const top = ((1 << header.bit_depth) - 1) << shift;
    for (let y = 0; y < png.height; y++) {
      for (let x = 0; x < png.width; x++) {
        const v = png.at(x, y);
        if (v === top) saturated++;
        if (v > max) max = v;
      }
    }
    assert.equal(header.saturated, saturated);
    assert.equal(header.max << shift, max);
    // The value under the pointer, in fit and in 1:1 zoom.
    const box = await (await page.$('#image')).boundingBox();
    for (const [fx, fy] of [[0.25, 0.25], [0.5, 0.5], [0.8, 0.6]]) {
      await page.mouse.move(box.x + box.width * fx, box.y + box.height * fy);
      const p = await waitFor('pixel reply', () => page.evaluate(() => {
        const m = window.kepraView.pixel;
        window.kepraView.pixel = null;
        return m;
      }));
      assert.equal(p.seq, header.seq);
      assert.equal(p.value << shift, png.at(p.x, p.y), `pixel ${p.x},${p.y}`);
    }
    await page.click('input[name=zoom][value=one]');
    assert.equal(await page.$eval('#image', (c) => c.getBoundingClientRect().width), 1280);
    const one = await (await page.$('#image')).boundingBox();
    await page.mouse.move(one.x + 100.5, one.y + 40.5);
    const p = await waitFor('pixel reply', () => page.evaluate(() => window.kepraView.pixel));
    // 1:1: one screen pixel per frame pixel (give or take the box's rounding).
    assert.ok(Math.abs(p.x - 100) <= 1 && Math.abs(p.y - 40) <= 1, `pixel ${p.x},${p.y}`);
    assert.equal(p.value << shift, png.at(p.x, p.y));
    await page.click('input[name=zoom][value=fit]');

    // A hardware trigger (the daemon's SIGUSR1) brings exactly the next frame.
    daemon.signal('SIGUSR1');
    await newFrames(page, 1);
  }

  test('a second tab shows frames and the first tab\'s changes', async () => {
    const second = await openView(chromium.browser, viewer.url);
    await changeAndWait(page, 'exposure_ms', 7);
    await waitFor('the change in the second tab', () =>
      second.evaluate(() => Math.abs(window.kepraView.state.exposure_ms.value - 7) < 0.1));
    assert.equal(await second.$eval('#exposure_ms', (e) => Number(e.value).toFixed(0)), '7');
    await newFrames(second, 5);
    await newFrames(page, 5);
    await waitFor('two clients counted', () =>
      second.evaluate(() => window.kepraView.stats && window.kepraView.stats.clients === 2));
    await second.close();
    await changeAndWait(page, 'exposure_ms', 20);
  });

  test('foreign origins and host names are refused; bad messages change nothing', async () => {
    const { port } = new URL(viewer.url);
    const own = `127.0.0.1:${port}`;
    for (const [headers, why] of [
      [{ Host: own, Origin: 'http://evil.example' }, 'foreign Origin'],
      [{ Host: own, Origin: `http://localhost:${port}` }, 'foreign Origin'],
      [{ Host: own }, 'Origin header missing'],
      [{ Host: `evil.example:${port}`, Origin: `http://evil.example:${port}` }, 'Host not served here'],
    ]) {
      const r = await handshake(viewer.url, headers);
      assert.equal(r.status, 403, JSON.stringify(headers));
      r.socket.destroy();
      void why;
    }
    // The page itself is not served under a foreign host name either (DNS rebinding).
    const status = await new Promise((resolve, reject) => {
      http.get({ host: '127.0.0.1', port, path: '/', headers: { Host: `evil.example:${port}` } },
        (res) => { res.resume(); resolve(res.statusCode); }).on('error', reject);
    });
    assert.equal(status, 403);

    const ok = await handshake(viewer.url, { Host: own, Origin: `http://${own}` });
    assert.equal(ok.status, 101);
    const messages = reader(ok.socket, ok.rest);
    await waitFor('initial state', () => messages.messages.find((m) => m.type === 'state'));
    const before = messages.messages.find((m) => m.type === 'state').exposure_ms.value;
    for (const bad of ['{"op":"set","name":"exposure_ms","value":"x"}', '{"op":"flash_write"}',
      '{"op":"firmware_update"}', 'not json', '{"op":"set","name":"exposure_ms","value":1e999}',
      '{"op":"set","name":"strobe","value":[9,0,0,0]}']) {
      sendText(ok.socket, bad);
    }
    await waitFor('six error replies', () => messages.messages.filter((m) => m.type === 'error').length >= 6);
    // The software trigger works only while the view is held.
    sendText(ok.socket, '{"op":"trigger","id":76}');
    const refused = await waitFor('trigger refused', () => messages.messages.find((m) => m.id === 76));
    assert.equal(refused.type, 'error');
    assert.match(refused.message, /software trigger works while the view is held/);
    sendText(ok.socket, '{"op":"state","id":77}');
    const state = await waitFor('state reply', () => messages.messages.find((m) => m.id === 77));
    assert.equal(state.exposure_ms.value, before);
    const errors = messages.messages.filter((m) => m.type === 'error').map((m) => m.message);
    assert.ok(errors.some((e) => e.includes('unknown op')), errors.join(' | '));
    await waitFor('frames on the raw socket', () => messages.frames() > 0);
    ok.socket.destroy();
  });
});

describe('the command line', () => {
  let dir, daemon, viewer;
  before(async () => {
    dir = tempDir('kepra-view-cli-');
    daemon = await startDaemon(dir, [[mono, 4]]);
    viewer = await startViewer(dir, mono);
  });
  after(async () => {
    await viewer?.stop();  // throws unless it exits with 0
    await daemon?.stop();
    rmSync(dir, { recursive: true, force: true });
  });

  test('bad --listen values and a busy port are refused with a clear message', async () => {
    const run = (args) => spawnSync(kepraTool, args, {
      env: { ...process.env, KEPRA_DEVICE_DIR: dir }, encoding: 'utf8', timeout: 10000,
    });
    for (const listen of ['8080', '127.0.0.1:', '127.0.0.1:65536', '127.0.0.1:80x', ':80']) {
      const r = run(['-d', String(mono), 'view', '--listen', listen]);
      assert.equal(r.status, 2, listen);
      assert.match(r.stderr, /--listen wants HOST:PORT/);
    }
    const r = run(['-d', String(mono), 'view', '--listen', 'camera.example:80']);
    assert.equal(r.status, 1);
    assert.match(r.stderr, /not an IPv4 address: camera.example/);
    const busy = run(['-d', String(mono), 'view', '--listen', `127.0.0.1:${new URL(viewer.url).port}`]);
    assert.equal(busy.status, 1);
    assert.match(busy.stderr, /cannot listen on 127.0.0.1:\d+: Address already in use/);
  });
});

describe('unplug and return', () => {
  let dir, daemon, viewer, chromium;
  before(async () => {
    dir = tempDir('kepra-view-unplug-');
    daemon = await startDaemon(dir, [[unplugged, 4]], ['--unplug-after-frames', '40']);
    viewer = await startViewer(dir, unplugged);
    chromium = await launchBrowser();
  });
  after(async () => {
    await chromium?.close();
    await viewer?.stop();  // throws unless it exits with 0
    await daemon?.stop();
    rmSync(dir, { recursive: true, force: true });
  });

  test('a banner shows while the camera is gone, and live view comes back', async () => {
    // The camera may be gone before the page opens on a busy machine: the banner shows either way.
    const page = await chromium.browser.newPage();
    await page.goto(viewer.url);
    await waitFor('the unplug banner', () => page.$eval('#banner', (b) => !b.hidden), 30000);
    assert.match(await page.$eval('#banner', (b) => b.textContent), new RegExp(`Camera ${unplugged} is not connected`));
    await daemon.stop();
    daemon = await startDaemon(dir, [[unplugged, 4]]);
    await waitFor('the banner to go', () => page.$eval('#banner', (b) => b.hidden), 20000);
    await newFrames(page, 5);
    await waitFor('a reconnect counted', () =>
      page.evaluate(() => window.kepraView.stats && window.kepraView.stats.reconnects >= 1));
  });
});

describe('several cameras', () => {
  let dir, daemon, viewer, chromium;
  before(async () => {
    dir = tempDir('kepra-view-pick-');
    daemon = await startDaemon(dir, [[first, 4], [second, 5]]);
    viewer = await startViewer(dir, first);
    chromium = await launchBrowser();
  });
  after(async () => {
    await chromium?.close();
    await viewer?.stop();  // throws unless it exits with 0
    await daemon?.stop();
    rmSync(dir, { recursive: true, force: true });
  });

  test('the picker lists the cameras and switches to another', async () => {
    const page = await openView(chromium.browser, viewer.url);
    await waitFor('two cameras in the picker', () =>
      page.$eval('#camera', (s, want) => [...s.options].map((o) => o.value).join(',') === want,
        `${first},${second}`));
    assert.equal(await page.$eval('#colour', (f) => f.hidden), true, 'no colour gains on a mono camera');
    await page.select('#camera', String(second));
    await waitFor('the second camera', () => page.evaluate((i) =>
      window.kepraView.state.index === i && window.kepraView.state.connected, second));
    assert.equal((await viewState(page)).state.colour, true);
    assert.equal(await page.$eval('#colour', (f) => f.hidden), false);
    await newFrames(page, 5);
    const { state } = await changeAndWait(page, 'cg_r', 2);
    assert.equal(state.colour_gain.value[3], 2);
  });
});
