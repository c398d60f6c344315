// kepra view: the page's side. Frames arrive as binary WebSocket messages
// ([header length, u32 LE][header JSON][JPEG][saturated runs: u32 LE start, length pairs]);
// everything else is JSON text.
'use strict';

const $ = (id) => document.getElementById(id);
// What the page has seen, for people and for the browser tests.
const view = {
  frames: 0, drawn: 0, drawTimes: [], latencies: [], lastHeader: null, state: null, stats: null,
  decodeMs: [], drawMs: [],  // per frame: JPEG to bitmap (wall, off the main thread), canvas work
  busy: false,  // a frame is being decoded or waits for it
  errors: [], replies: [], pixel: null, connected: false, socketOpen: false,
};
window.kepraView = view;

let socket = null;
let nextId = 1;
let pendingFrame = null;  // newest frame waiting for the decoder
let decoding = false;
let pixelBusy = false;
let pixelWanted = null;

function send(message) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return;
  message.id = nextId++;
  socket.send(JSON.stringify(message));
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { view.socketOpen = true; send({ op: 'cameras' }); };
  socket.onclose = () => {
    view.socketOpen = false;
    showBanner('The viewer lost its connection to kepra view; reconnecting…');
    setTimeout(connect, 1000);
  };
  socket.onmessage = (event) => {
    if (event.data instanceof ArrayBuffer) onFrame(event.data);
    else onText(JSON.parse(event.data));
  };
}

function showBanner(text) {
  const banner = $('banner');
  banner.textContent = text || '';
  banner.hidden = !text;
}

function showMessage(text) {
  const box = $('message');
  box.textContent = text || '';
  box.hidden = !text;
}

function onFrame(buffer) {
  const length = new DataView(buffer).getUint32(0, true);
  const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  view.frames++;
  // Only the newest waits; its JPEG becomes a Blob (which the browser registers with another
  // process) only if it is drawn, not for the frames a newer one replaces.
  pendingFrame = { header, buffer, jpegAt: 4 + length };
  view.busy = true;
  drawNext();
}

async function drawNext() {
  if (decoding || !pendingFrame) return;
  decoding = true;
  const { header, buffer, jpegAt } = pendingFrame;
  pendingFrame = null;
  const jpeg = new Blob([new Uint8Array(buffer, jpegAt, header.jpeg_bytes)], { type: 'image/jpeg' });
  const runsAt = jpegAt + header.jpeg_bytes;
  // Copied: the runs need not be 4-byte aligned in the message.
  const runs = new Uint32Array(buffer.slice(runsAt, runsAt + header.saturated_runs * 8));
  try {
    const started = performance.now();
    const bitmap = await createImageBitmap(jpeg);
    const decoded = performance.now();
    const canvas = $('image');
    if (canvas.width !== header.width || canvas.height !== header.height) {
      canvas.width = header.width;
      canvas.height = header.height;
    }
    // Opaque: nothing under the image needs blending with it.
    const ctx = canvas.getContext('2d', { alpha: false });
    ctx.drawImage(bitmap, 0, 0);
    bitmap.close();
    if ($('paint_saturated').checked) paintSaturated(ctx, header.width, runs);
    const now = Date.now();
    view.drawn++;
    view.drawTimes.push(now);
    while (view.drawTimes.length > 0 && view.drawTimes[0] < now - 2000) view.drawTimes.shift();
    view.latencies.push(now - header.grabbed_ms);
    if (view.latencies.length > 120) view.latencies.shift();
    view.lastHeader = header;
    histogramSoon(header);
    keepLast(view.decodeMs, decoded - started);
    keepLast(view.drawMs, performance.now() - decoded);
  } catch (e) {
    view.errors.push(String(e));
  }
  decoding = false;
  view.busy = pendingFrame !== null;
  drawNext();
}

function keepLast(list, value) {
  list.push(value);
  if (list.length > 240) list.shift();
}

// Saturated samples in red; a run may go on over several lines.
function paintSaturated(ctx, width, runs) {
  ctx.fillStyle = '#f00';
  for (let i = 0; i + 1 < runs.length; i += 2) {
    let at = runs[i];
    let left = runs[i + 1];
    while (left > 0) {
      const x = at % width;
      const n = Math.min(left, width - x);
      ctx.fillRect(x, Math.floor(at / width), n, 1);
      at += n;
      left -= n;
    }
  }
}

// The histogram at most ten times a second (always that of the newest frame drawn): redrawing
// it and its text with every frame cost the page a tenth of its time per frame.
let histogramAt = 0;
let histogramTimer = null;
function histogramSoon(header) {
  const wait = histogramAt + 100 - performance.now();
  if (wait <= 0) {
    histogramAt = performance.now();
    drawHistogram(header);
  } else if (!histogramTimer) {
    histogramTimer = setTimeout(() => {
      histogramTimer = null;
      histogramAt = performance.now();
      drawHistogram(view.lastHeader);
    }, wait);
  }
}

function drawHistogram(h) {
  const canvas = $('histogram');
  const ctx = canvas.getContext('2d');
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const peak = Math.max(1, ...h.hist);
  ctx.fillStyle = '#9ad';
  h.hist.forEach((count, bin) => {
    const height = Math.round((count / peak) * canvas.height);
    ctx.fillRect(bin, canvas.height - height, 1, height);
  });
  const total = h.width * h.height;
  const percent = total ? ((100 * h.saturated) / total).toFixed(2) : '0';
  $('histogram-text').textContent =
    `${h.bit_depth}-bit, max ${h.max}; saturated ${h.saturated} (${percent}%)` +
    (h.saturated_runs_complete ? '' : '; too many saturated areas: only some are painted');
}

function onText(m) {
  switch (m.type) {
    case 'state': onState(m); break;
    case 'stats': onStats(m); break;
    case 'pixel': onPixel(m); break;
    case 'cameras': onCameras(m); break;
    case 'set':
      view.replies.push(m);
      showMessage(m.ok ? '' : m.error);
      break;
    case 'selected':
    case 'hold':
    case 'trigger':
    case 'record':
      view.replies.push(m);
      break;
    case 'error':
      view.errors.push(m.message);
      view.replies.push(m);
      if (m.id === undefined || !String(m.message).startsWith('pixel')) showMessage(m.message);
      pixelBusy = false;
      break;
    default: break;
  }
}

function setValue(id, value) {
  const element = $(id);
  if (element.type === 'checkbox') element.checked = !!value;
  else element.value = String(value);
}

function range(id, limits) {
  $(id).textContent = `${fmt(limits.min)} … ${fmt(limits.max)}`;
}

function fmt(x) { return Number(x).toPrecision(6).replace(/\.?0+$/, ''); }

function onState(s) {
  view.state = s;
  view.connected = s.connected;
  if (!s.connected) {
    showBanner(`Camera ${s.index} is not connected (unplugged?). Live view resumes when it returns.`);
    return;
  }
  showBanner('');
  $('model').textContent = `${s.model || ''} ${s.sensor_width}×${s.sensor_height}, ${s.link || ''}`;
  if (s.exposure_ms) {
    setValue('exposure_ms', fmt(s.exposure_ms.value));
    $('exposure_ms').min = s.exposure_ms.min;
    $('exposure_ms').max = s.exposure_ms.max;
    range('exposure_ms-range', s.exposure_ms);
  }
  if (s.frame_rate) {
    setValue('frame_rate', fmt(s.frame_rate.value));
    range('frame_rate-range', s.frame_rate);
  }
  if (s.gain) {
    const select = $('gain_a');
    if (select.options.length === 0) {
      for (const step of s.gain.analog_steps) select.add(new Option(String(step), String(step)));
    }
    setValue('gain_a', s.gain.value[0]);
    setValue('gain_d', s.gain.value[1]);
  }
  $('colour').hidden = !s.colour;
  if (s.colour_gain) {
    ['cg_gb', 'cg_gr', 'cg_b', 'cg_r'].forEach((id, i) => setValue(id, s.colour_gain.value[i]));
    $('colour-range').textContent = `${s.colour_gain.range[0]} … ${s.colour_gain.range[1]}`;
  }
  if (s.frame_params) {
    const p = s.frame_params.value;
    ['fp_x', 'fp_y', 'fp_w', 'fp_h', 'fp_depth', 'fp_bx', 'fp_by'].forEach((id, i) => setValue(id, p[i]));
    setValue('fp_mirror', p[7] & 1);
    setValue('fp_flip', p[7] & 2);
    $('sensor').textContent = `sensor ${s.sensor_width}×${s.sensor_height}`;
  }
  if (s.readout_mode !== undefined) setValue('readout_mode', s.readout_mode);
  if (s.hdr !== undefined) setValue('hdr', s.hdr);
  if (s.strobe) ['st_mode', 'st_off', 'st_on', 'st_inv'].forEach((id, i) => setValue(id, s.strobe[i]));
  if (s.stream_mode !== undefined) setValue('stream_mode', s.stream_mode);
  if (s.snapshot) {
    setValue('sn_timeout', s.snapshot[0]);
    setValue('sn_inv', s.snapshot[1]);
  }
  setValue('hold', s.hold);
  $('trigger').disabled = !s.hold;
  if (s.errors && s.errors.length) showMessage(s.errors.join('; '));
}

function onStats(s) {
  view.stats = s;
  const sorted = [...view.latencies].sort((a, b) => a - b);
  const latency = sorted.length ? sorted[Math.floor(sorted.length / 2)] : 0;
  const times = view.drawTimes;
  const pageFps = times.length > 1 ? ((times.length - 1) * 1000) / (times[times.length - 1] - times[0]) : 0;
  view.pageFps = pageFps;
  const rows = [
    ['Configured frame rate', `${fmt(s.configured_fps)} fps`],
    ['Received from the camera', `${s.received_fps.toFixed(1)} fps`],
    ['Delivered by the stream', `${s.delivered_fps.toFixed(1)} fps`],
    ['Sent to the pages', `${s.sent_fps.toFixed(1)} fps`],
    ['Shown on this page', `${pageFps.toFixed(1)} fps`],
    ['Latency grab → canvas (median)', `${latency.toFixed(0)} ms`],
    ['Frames received', s.received],
    ['Skipped (counter gaps)', s.skipped],
    ['Dropped (newer frame came first)', s.dropped],
    ['Replaced for this page', s.replaced_for_you],
    ['Failed grabs', s.failures + (s.last_error ? ` (${s.last_error})` : '')],
    ['Reconnects', s.reconnects],
    ['Link', (view.state && view.state.link) || '–'],
    ['Pages connected', s.clients],
  ];
  const r = s.recording;
  if (r.folder) {
    $('record-status').textContent = r.error ? `Recording stopped: ${r.error}` :
      `${r.active ? 'Recording' : 'Recorded'} ${r.written} of ${r.wanted} frames to ${r.folder}` +
      (r.missed ? `; ${r.missed} came while writing fell behind` : '') +
      (r.gaps ? `; ${r.gaps} missing by the frame counter` : '');
  }
  const body = $('stats').tBodies[0];
  body.replaceChildren(...rows.map(([name, value]) => {
    const row = document.createElement('tr');
    row.insertCell().textContent = name;
    row.insertCell().textContent = String(value);
    return row;
  }));
  if (!s.connected && view.connected) {
    view.connected = false;
    showBanner('Camera is not connected (unplugged?). Live view resumes when it returns.');
  }
}

function onPixel(m) {
  view.pixel = m;
  pixelBusy = false;
  $('pixel').textContent = `x ${m.x}, y ${m.y}: ${m.value} (of ${(1 << m.bit_depth) - 1})`;
  if (pixelWanted) askPixel();
}

function askPixel() {
  if (pixelBusy || !pixelWanted) return;
  pixelBusy = true;
  const { x, y } = pixelWanted;
  pixelWanted = null;
  send({ op: 'pixel', x, y });
}

function onCameras(m) {
  const select = $('camera');
  select.replaceChildren(...m.cameras.map((c) =>
    new Option(`${c.index}: ${c.model} ${c.width}×${c.height}`, String(c.index))));
  if (!m.cameras.some((c) => c.index === m.current)) {
    select.add(new Option(`${m.current}: (not connected)`, String(m.current)));
  }
  select.value = String(m.current);
}

// The image position under the pointer, in frame pixels, whatever the zoom.
function framePixel(event) {
  const canvas = $('image');
  const rect = canvas.getBoundingClientRect();
  let scale = 1, left = rect.left, top = rect.top;
  if ($('stage').classList.contains('fit')) {
    scale = Math.min(rect.width / canvas.width, rect.height / canvas.height);
    left += (rect.width - canvas.width * scale) / 2;
    top += (rect.height - canvas.height * scale) / 2;
  }
  const x = Math.floor((event.clientX - left) / scale);
  const y = Math.floor((event.clientY - top) / scale);
  if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height) return null;
  return { x, y };
}

const numbers = (ids) => ids.map((id) => {
  const element = $(id);
  return element.type === 'checkbox' ? (element.checked ? 1 : 0) : Number(element.value);
});

// Each input belongs to one setting; a change sends that setting whole.
const settings = {
  exposure_ms: () => numbers(['exposure_ms'])[0],
  frame_rate: () => numbers(['frame_rate'])[0],
  gain: () => numbers(['gain_a', 'gain_d']),
  colour_gain: () => numbers(['cg_gb', 'cg_gr', 'cg_b', 'cg_r']),
  frame_params: () => {
    const v = numbers(['fp_x', 'fp_y', 'fp_w', 'fp_h', 'fp_depth', 'fp_bx', 'fp_by', 'fp_mirror', 'fp_flip']);
    return [...v.slice(0, 7), v[7] | (v[8] << 1)];
  },
  readout_mode: () => numbers(['readout_mode'])[0],
  hdr: () => numbers(['hdr'])[0],
  strobe: () => numbers(['st_mode', 'st_off', 'st_on', 'st_inv']),
  stream_mode: () => numbers(['stream_mode'])[0],
  snapshot: () => numbers(['sn_timeout', 'sn_inv']),
};
const owner = {
  gain_a: 'gain', gain_d: 'gain', cg_gb: 'colour_gain', cg_gr: 'colour_gain', cg_b: 'colour_gain',
  cg_r: 'colour_gain', st_mode: 'strobe', st_off: 'strobe', st_on: 'strobe', st_inv: 'strobe',
  sn_timeout: 'snapshot', sn_inv: 'snapshot',
};

function setup() {
  $('settings').addEventListener('change', (event) => {
    const id = event.target.id;
    const name = owner[id] || (id.startsWith('fp_') ? 'frame_params' : id);
    if (!settings[name]) return;
    send({ op: 'set', name, value: settings[name]() });
  });
  $('settings').addEventListener('submit', (event) => event.preventDefault());
  $('camera').addEventListener('change', () => send({ op: 'select', index: Number($('camera').value) }));
  $('rescan').addEventListener('click', () => send({ op: 'cameras' }));
  $('hold').addEventListener('change', () => send({ op: 'hold', on: $('hold').checked }));
  $('trigger').addEventListener('click', () => send({ op: 'trigger' }));
  $('record').addEventListener('click', () => send({ op: 'record', frames: Number($('record_frames').value) }));
  $('record_stop').addEventListener('click', () => send({ op: 'record', frames: 0 }));
  for (const radio of document.querySelectorAll('input[name=zoom]')) {
    radio.addEventListener('change', () => $('stage').classList.toggle('fit', radio.value === 'fit' && radio.checked));
  }
  $('image').addEventListener('mousemove', (event) => {
    pixelWanted = framePixel(event);
    askPixel();
  });
  connect();
}

setup();
