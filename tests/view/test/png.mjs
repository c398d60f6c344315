// A minimal PNG reader for 16-bit grey images (zlib from node, filters by hand), to check the
// viewer's snapshot independently of the library that wrote it.
import { inflateSync } from 'node:zlib';

// The byte a filter type predicts from the left (a), upper (b) and upper-left (c) bytes.
const predict = [() => 0, (a) => a, (a, b) => b, (a, b) => (a + b) >> 1, (a, b, c) => {
  const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}];

// { width, height, samples (Uint16Array, row by row), at(x, y) }.
export function readGray16(buffer) {
  if (!buffer.subarray(0, 8).equals(Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]))) throw new Error('not a PNG');
  let width = 0, height = 0, depth = 0, colour = -1;
  const idat = [];
  for (let pos = 8; pos < buffer.length; pos += 12 + buffer.readUInt32BE(pos)) {
    const data = buffer.subarray(pos + 8, pos + 8 + buffer.readUInt32BE(pos));
    const type = buffer.toString('latin1', pos + 4, pos + 8);
    if (type === 'IHDR') [width, height, depth, colour] = [data.readUInt32BE(0), data.readUInt32BE(4), data[8], data[9]];
    if (type === 'IDAT') idat.push(data);
  }
  if (depth !== 16 || colour !== 0) throw new Error(`not 16-bit grey: depth ${depth}, colour ${colour}`);
  const raw = inflateSync(Buffer.concat(idat));
  const bpp = 2, stride = width * 2;
  const out = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = predict[raw[y * (stride + 1)]];
    if (!filter) throw new Error(`bad filter ${raw[y * (stride + 1)]}`);
    for (let x = 0; x < stride; x++) {
      const a = x >= bpp ? out[y * stride + x - bpp] : 0;
      const b = y > 0 ? out[(y - 1) * stride + x] : 0;
      const c = x >= bpp && y > 0 ? out[(y - 1) * stride + x - bpp] : 0;
      out[y * stride + x] = raw[y * (stride + 1) + 1 + x] + filter(a, b, c);
    }
  }
  const samples = Uint16Array.from({ length: width * height }, (_, i) => out.readUInt16BE(2 * i));
  return { width, height, samples, at: (x, y) => samples[y * width + x] };
}
