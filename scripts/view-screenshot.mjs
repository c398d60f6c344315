// Takes docs/kepra-view.png: the page in headless Chromium, live, on a virtual camera.
//   node scripts/view-screenshot.mjs [output]   (KEPRA_VIEW_BUILD: the build directory; needs
//   tests/view's node modules: cd tests/view && npm ci)
import { rmSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { changeAndWait, launchBrowser, openView, startDaemon, startViewer, tempDir } from '../tests/view/test/harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const output = process.argv[2] || path.join(here, '../docs/kepra-view.png');
const index = Number(process.env.KEPRA_VIEW_INDEX ?? 23);
const dir = tempDir('kepra-view-shot-');
const daemon = await startDaemon(dir, [[index, 5]]);
const viewer = await startViewer(dir, index);
const chromium = await launchBrowser();
try {
  const page = await openView(chromium.browser, viewer.url);
  await page.setViewport({ width: 1400, height: 1120 });
  await changeAndWait(page, 'gain_a', 3);
  await changeAndWait(page, 'exposure_ms', 30);
  await page.click('#paint_saturated');  // the disc saturates at this exposure
  await new Promise((r) => setTimeout(r, 3000));
  const box = await (await page.$('#image')).boundingBox();
  await page.mouse.move(box.x + box.width * 0.4, box.y + box.height * 0.45);
  await new Promise((r) => setTimeout(r, 500));
  await page.screenshot({ path: output });
  console.log(`wrote ${output}`);
} finally {
  await chromium.close();
  await viewer.stop();
  await daemon.stop();
  rmSync(dir, { recursive: true, force: true });
}
