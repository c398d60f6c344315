// kepra view in headless Chromium against kepra-virtcam.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync, rmSync } from 'node:fs';
import path from 'node:path';
import http from 'node:http';
import { execFileSync, spawnSync } from 'node:child_process';
import {
  canvasMean, change, changeAndWait, clickAndWait, kepraTool, newFrames, openView, startAll, startDaemon, tempDir,
  viewState, waitFor,
} from './harness.mjs';
import { readGray16 } from './png.mjs';

// Device indices: the lock mutexes are machine-wide, so runs side by side use their own.
const base = Number(process.env.KEPRA_VIEW_INDEX ?? 23);
const [mono, unplugged, first, second] = [base, base + 1, base + 2, base + 3];

// The next reply to the pointer's position.
const pixelReply = (page) => waitFor('pixel reply', () => page.evaluate(() => {
  const m = window.kepraView.pixel;
  window.kepraView.pixel = null;
  return m;
}));

const snapshot = async (url) => readGray16(Buffer.from(await (await fetch(`${url}snapshot.png`)).arrayBuffer()));

describe('one camera', () => {
  let all, recordDir, page;
  before(async () => {
    recordDir = tempDir('kepra-view-rec-');
    all = await startAll([[mono, 4]], { viewerArgs: ['--record-dir', recordDir] });
    page = await openView(all.browser, all.viewer.url);
  });
  after(async () => {
    await all?.stop();
    rmSync(recordDir, { recursive: true, force: true });
  });

  test('settings round-trip, show what the camera took, and change the frames', async () => {
    assert.equal(await page.$eval('#image', (c) => c.width), 1280);
    await changeAndWait(page, 'exposure_ms', 20);
    await newFrames(page, 10);  // frames already in flight keep the old exposure
    const bright = await canvasMean(page);
    const { state } = await changeAndWait(page, 'exposure_ms', 2);
    assert.ok(Math.abs(state.exposure_ms.value - 2) < 0.1, `exposure took ${state.exposure_ms.value}`);
    // The scene's brightness is proportional to the exposure: a tenth, give or take noise.
    await waitFor('darker frames', async () => (await canvasMean(page)) < bright * 0.3);
    assert.ok(await canvasMean(page) > bright * 0.03, 'the scene still shows');
    const h = (await viewState(page)).lastHeader;
    assert.equal(h.hist.reduce((a, b) => a + b, 0), h.width * h.height);

    // Each control reaches its setting; above the documented range the camera clamps.
    for (const [id, value, shown] of [
      ['gain_a', 2, (s) => s.gain.value[0] === 2],
      ['gain_d', 100, (s) => s.gain.value[1] === 15.875],
      ['readout_mode', 2, (s) => s.readout_mode === 2],
      ['hdr', true, (s) => s.hdr === true],
      ['st_mode', 2, (s) => s.strobe[0] === 2],
      ['st_off', 18, (s) => s.strobe[1] === 18],
      ['st_on', 52, (s) => s.strobe[2] === 52],
      ['st_inv', true, (s) => s.strobe[3] === 1],
      ['fp_bx', 2, (s) => s.frame_params.value[5] === 2],
      ['fp_by', 4, (s) => s.frame_params.value[6] === 4],
    ]) {
      const { reply, state: after } = await changeAndWait(page, id, value);
      assert.ok(reply.ok && shown(after), `${id}: ${JSON.stringify(reply)} ${JSON.stringify(after)}`);
    }
    assert.equal(await page.$eval('#gain_d', (e) => e.value), '15.875');
    await waitFor('binned frames', () => page.evaluate(() =>
      window.kepraView.lastHeader.width === 640 && window.kepraView.lastHeader.height === 256));
    assert.equal(await page.$eval('#image', (c) => c.width), 640);
    // A width the binning does not divide is refused; the page shows what stayed.
    const refused = await changeAndWait(page, 'fp_w', 1279);
    assert.match(refused.reply.error, /kepra_SetFrameParams failed: last error 87/);
    assert.equal(refused.state.frame_params.value[2], 1280);
    assert.equal(await page.$eval('#fp_w', (e) => e.value), '1280');
    const defaults = { fp_bx: 1, fp_by: 1, hdr: false, readout_mode: 0, gain_a: 1, gain_d: 1, exposure_ms: 20 };
    for (const [id, value] of Object.entries(defaults)) await changeAndWait(page, id, value);
  });

  test('frame parameters changed by another program: the view follows', async () => {
    const streams = (await viewState(page)).stats.streams;
    const set = (value) => execFileSync(kepraTool, ['-d', String(mono), 'set', 'frame-params', value],
      { env: { ...process.env, KEPRA_DEVICE_DIR: all.dir } });
    set('0,0,1280,1024,10,4,2,0');
    try {
      await waitFor('binned frames and settings shown', () => page.evaluate(() =>
        window.kepraView.lastHeader.width === 320 && window.kepraView.lastHeader.height === 512 &&
        window.kepraView.state.frame_params.value[5] === 4));
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
    const earlier = (await viewState(page)).stats;
    const t0 = Date.now();
    await new Promise((r) => setTimeout(r, 2500));
    const later = (await viewState(page)).stats;
    assert.ok(Math.abs(later.configured_fps - 20) < 0.5, `configured ${later.configured_fps}`);
    assert.ok(later.delivered_fps > 0 && later.delivered_fps < 24, `delivered ${later.delivered_fps}`);
    // Every frame the camera made was either received or counted as skipped (a loaded machine
    // skips some): together they follow the camera's rate.
    const made = (later.received + later.skipped - earlier.received - earlier.skipped) / ((Date.now() - t0) / 1000);
    assert.ok(made > 20 * 0.7 && made < 20 * 1.3, `camera made ${made} fps by the counters`);
    assert.equal(later.clients, 1);
    const table = await page.$eval('#stats', (t) => t.textContent);
    assert.match(table, /Configured frame rate20(\.\d+)? fps.*LinkSuperSpeed/s);
    await changeAndWait(page, 'frame_rate', 30);
  });

  test('snapshot mode holds the image until a hardware trigger', async () => {
    const streams = (await viewState(page)).stats.streams;
    await changeAndWait(page, 'stream_mode', 1);
    try {
      // The frame in flight may still arrive; then the image stands still.
      let seen = -1, polls = 0;
      await waitFor('the image to stand still', async () => {
        const seq = await page.evaluate(() => window.kepraView.lastHeader.seq);
        polls = seq === seen ? polls + 1 : 0;
        seen = seq;
        return polls >= 3;
      }, 20000, 400);
      // A hardware trigger (the daemon's SIGUSR1) brings the next frame.
      all.daemon.signal('SIGUSR1');
      await newFrames(page, 1);
    } finally {
      await changeAndWait(page, 'stream_mode', 0);
    }
    // Back to free running without a trigger: the viewer's new stream ended the waiting grab.
    await newFrames(page, 5);
    await waitFor('a stream per mode change', () =>
      page.evaluate((n) => window.kepraView.stats.streams >= n + 2, streams));
  });

  test('software trigger: each press shows one new frame; saturation, pixel values and the PNG agree', async () => {
    // Bright enough that the scene's brightest part saturates, the darkest not.
    await changeAndWait(page, 'gain_a', 8);
    const drawn = () => page.evaluate(() => window.kepraView.drawn);
    const moreFrames = async (n) => {
      const r = (await viewState(page)).stats.received;
      await waitFor(`${n} more frames`, () => page.evaluate((m) => window.kepraView.stats.received >= m, r + n));
    };
    try {
      await change(page, 'hold', true);
      await waitFor('held', () => page.evaluate(() => window.kepraView.state.hold === true));
      assert.equal(await page.$eval('#trigger', (b) => b.disabled), false);
      await moreFrames(5);
      // A frame already on its way may still be drawn (a loaded machine decodes slowly).
      await waitFor('the page idle', () => page.evaluate(() => !window.kepraView.busy));
      const still = await drawn();
      await change(page, 'paint_saturated', true);
      const pressed = Date.now();
      const reply = await clickAndWait(page, '#trigger', 'trigger');
      assert.equal(reply.ok, true, JSON.stringify(reply));
      await waitFor('the triggered frame', async () => (await drawn()) === still + 1);
      const header = (await viewState(page)).lastHeader;
      assert.ok(header.grabbed_ms >= pressed, `the frame completed ${header.grabbed_ms - pressed} ms after the press`);
      await moreFrames(10);
      assert.equal(await drawn(), still + 1, 'one frame per press');

      // The snapshot is the frame on the canvas: its saturated samples are the red pixels.
      const png = await snapshot(all.viewer.url);
      assert.deepEqual([png.width, png.height], [header.width, header.height]);
      const shift = 16 - header.bit_depth, top = ((1 << header.bit_depth) - 1) << shift;
      const saturated = [];
      png.samples.forEach((v, i) => v === top && saturated.push(i));
      assert.ok(saturated.length > 0 && saturated.length < png.width * png.height, `${saturated.length} saturate`);
      assert.equal(header.saturated, saturated.length);
      assert.equal(header.max << shift, png.samples.reduce((a, b) => Math.max(a, b)));
      const red = await page.evaluate(() => {
        const c = document.getElementById('image');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const at = [];
        for (let i = 0; i < d.length; i += 4) if (d[i] === 255 && d[i + 1] === 0 && d[i + 2] === 0) at.push(i / 4);
        return at;
      });
      assert.deepEqual(red, saturated);
      // The value under the pointer, in fit and in 1:1 zoom, is the PNG's: one frame throughout.
      const box = await (await page.$('#image')).boundingBox();
      for (const [fx, fy] of [[0.25, 0.25], [0.8, 0.6]]) {
        await page.mouse.move(box.x + box.width * fx, box.y + box.height * fy);
        const p = await pixelReply(page);
        assert.equal(p.seq, header.seq);
        assert.equal(p.value << shift, png.at(p.x, p.y), `pixel ${p.x},${p.y}`);
      }
      await page.click('input[name=zoom][value=one]');
      const one = await (await page.$('#image')).boundingBox();
      assert.equal(one.width, 1280);
      await page.mouse.move(one.x + 100.5, one.y + 40.5);
      const p = await pixelReply(page);
      // 1:1: one screen pixel per frame pixel (give or take the box's rounding).
      assert.ok(Math.abs(p.x - 100) <= 1 && Math.abs(p.y - 40) <= 1, `pixel ${p.x},${p.y}`);
      assert.equal(p.value << shift, png.at(p.x, p.y));
      await page.click('input[name=zoom][value=fit]');
      await change(page, 'hold', false);
      await newFrames(page, 3);
      assert.equal(await page.$eval('#trigger', (b) => b.disabled), true);
    } finally {
      await change(page, 'paint_saturated', false);
      await change(page, 'hold', false);
      await changeAndWait(page, 'gain_a', 1);
    }
  });

  test('recording writes the next N frames as 16-bit PNGs into a new folder', async () => {
    await page.$eval('#record_frames', (e) => { e.value = '4'; });
    const reply = await clickAndWait(page, '#record', 'record');
    assert.equal(path.dirname(reply.folder), recordDir, JSON.stringify(reply));
    const status = await waitFor('four frames written', () => page.evaluate(() => {
      const r = window.kepraView.stats.recording;
      return r.written === 4 && !r.active ? r : null;
    }), 30000);
    assert.equal(status.error, '');
    const names = readdirSync(reply.folder).sort();
    const counters = names.map((name, i) => Number(name.match(`^frame-00000${i + 1}-counter-(\\d+)\\.png$`)?.[1]));
    assert.equal(names.length, 4, names.join(' '));
    // Frames in the camera's order; gaps counted as the status says.
    assert.ok(counters.every((c, i) => i === 0 || c > counters[i - 1]), names.join(' '));
    assert.equal(status.gaps, counters[3] - counters[0] - 3);
    const header = (await viewState(page)).lastHeader;
    for (const name of names) {
      const png = readGray16(readFileSync(path.join(reply.folder, name)));
      assert.deepEqual([png.width, png.height], [header.width, header.height]);
      const low = (1 << (16 - header.bit_depth)) - 1;
      assert.ok(png.samples.every((v) => (v & low) === 0) && png.samples.some((v) => v > 0),
        `${name}: ${header.bit_depth}-bit samples scaled to 16 bits`);
    }
    assert.match(await page.$eval('#record-status', (e) => e.textContent), /Recorded 4 of 4 frames/);
    // A folder that cannot be made is named in the error.
    rmSync(recordDir, { recursive: true, force: true });
    const failed = await clickAndWait(page, '#record', 'record');
    assert.ok(failed.message.includes(`cannot make a folder for the recording in ${recordDir}`), failed.message);
  });

  test('a second tab shows frames and the first tab\'s changes', async () => {
    const other = await openView(all.browser, all.viewer.url);
    await changeAndWait(page, 'exposure_ms', 7);
    await waitFor('the change in the second tab', () =>
      other.evaluate(() => Math.abs(window.kepraView.state.exposure_ms.value - 7) < 0.1));
    assert.equal(await other.$eval('#exposure_ms', (e) => Number(e.value).toFixed(0)), '7');
    await newFrames(other, 5);
    await waitFor('two clients counted', () => other.evaluate(() => window.kepraView.stats?.clients === 2));
    await other.close();
    await changeAndWait(page, 'exposure_ms', 20);
  });

  test('foreign host names are refused; bad messages get errors and change nothing', async () => {
    const { port } = new URL(all.viewer.url);
    // DNS rebinding: a foreign name that points at the loopback gets no page (for the socket:
    // ViewWebSocket.UpgradesOnlyFromThePagesOwnOrigin and the server test).
    const status = await new Promise((resolve, reject) => {
      http.get({ host: '127.0.0.1', port, path: '/', headers: { Host: `evil.example:${port}` } },
        (res) => { res.resume(); resolve(res.statusCode); }).on('error', reject);
    });
    assert.equal(status, 403);

    // From the page's own origin: each bad message gets an error reply, the state stays.
    const replies = await page.evaluate((bad) => new Promise((resolve) => {
      const ws = new WebSocket(`ws://${location.host}/ws`);
      const got = [];
      ws.onopen = () => [...bad, '{"op":"trigger","id":76}', '{"op":"state","id":77}'].forEach((m) => ws.send(m));
      ws.onmessage = (e) => {
        if (typeof e.data !== 'string') return;
        got.push(JSON.parse(e.data));
        if (got.at(-1).id === 77) { ws.close(); resolve(got); }
      };
    }), ['{"op":"set","name":"exposure_ms","value":"x"}', '{"op":"flash_write"}', 'not json',
      '{"op":"set","name":"exposure_ms","value":1e999}', '{"op":"set","name":"strobe","value":[9,0,0,0]}']);
    const errors = replies.filter((m) => m.type === 'error').map((m) => m.message);
    assert.equal(errors.length, 6, errors.join(' | '));
    assert.ok(errors.some((e) => e.includes('unknown op')), errors.join(' | '));
    // The software trigger works only while the view is held.
    assert.match(replies.find((m) => m.id === 76).message, /software trigger works while the view is held/);
    const initial = replies.find((m) => m.type === 'state');
    assert.equal(replies.at(-1).exposure_ms.value, initial.exposure_ms.value);
  });

  test('bad --listen values and a busy port are refused with a clear message', () => {
    const busy = `127.0.0.1:${new URL(all.viewer.url).port}`;
    for (const [listen, code, message] of [
      ...['8080', '127.0.0.1:', '127.0.0.1:65536', '127.0.0.1:80x', ':80'].map((l) => [l, 2, /--listen wants HOST:PORT/]),
      ['camera.example:80', 1, /not an IPv4 address: camera.example/],
      [busy, 1, /cannot listen on 127.0.0.1:\d+: Address already in use/],
    ]) {
      const r = spawnSync(kepraTool, ['-d', String(mono), 'view', '--listen', listen], {
        env: { ...process.env, KEPRA_DEVICE_DIR: all.dir }, encoding: 'utf8', timeout: 10000,
      });
      assert.equal(r.status, code, listen);
      assert.match(r.stderr, message);
    }
  });
});

describe('unplug and return', () => {
  let all;
  before(async () => { all = await startAll([[unplugged, 4]], { daemonArgs: ['--unplug-after-frames', '40'] }); });
  after(async () => { await all?.stop(); });

  test('a banner shows while the camera is gone, and live view comes back', async () => {
    // The camera may be gone before the page opens on a busy machine: the banner shows either way.
    const page = await all.browser.newPage();
    await page.goto(all.viewer.url);
    await waitFor('the unplug banner', () => page.$eval('#banner', (b) => !b.hidden), 30000);
    assert.match(await page.$eval('#banner', (b) => b.textContent), new RegExp(`Camera ${unplugged} is not connected`));
    await all.daemon.stop();
    all.daemon = await startDaemon(all.dir, [[unplugged, 4]]);
    await waitFor('the banner to go', () => page.$eval('#banner', (b) => b.hidden), 20000);
    await newFrames(page, 5);
    await waitFor('a reconnect counted', () => page.evaluate(() => window.kepraView.stats?.reconnects >= 1));
  });
});

describe('several cameras', () => {
  let all;
  before(async () => { all = await startAll([[first, 4], [second, 5]]); });
  after(async () => { await all?.stop(); });

  test('the picker lists the cameras and switches to another', async () => {
    const page = await openView(all.browser, all.viewer.url);
    await waitFor('two cameras in the picker', () =>
      page.$eval('#camera', (s, want) => [...s.options].map((o) => o.value).join(',') === want, `${first},${second}`));
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
