// WebSocket handshakes and frames written by hand, with whatever headers a test wants (a
// browser will not send a foreign Origin on request).
import net from 'node:net';
import { randomBytes } from 'node:crypto';

export function handshake(url, headers) {
  const { hostname, port } = new URL(url);
  return new Promise((resolve, reject) => {
    const socket = net.connect(Number(port), hostname);
    let data = Buffer.alloc(0);
    socket.on('error', reject);
    socket.on('connect', () => {
      const lines = ['GET /ws HTTP/1.1', 'Connection: Upgrade', 'Upgrade: websocket',
        'Sec-WebSocket-Version: 13', `Sec-WebSocket-Key: ${randomBytes(16).toString('base64')}`,
        ...Object.entries(headers).map(([k, v]) => `${k}: ${v}`)];
      socket.write(lines.join('\r\n') + '\r\n\r\n');
    });
    socket.on('data', (chunk) => {
      data = Buffer.concat([data, chunk]);
      const end = data.indexOf('\r\n\r\n');
      if (end < 0) return;
      socket.removeAllListeners('data');
      const status = Number(data.toString('latin1', 9, 12));
      resolve({ status, head: data.toString('latin1', 0, end), socket, rest: data.subarray(end + 4) });
    });
  });
}

export function sendText(socket, text) {
  const payload = Buffer.from(text);
  const mask = randomBytes(4);
  const head = payload.length < 126
    ? Buffer.from([0x81, 0x80 | payload.length])
    : Buffer.from([0x81, 0x80 | 126, payload.length >> 8, payload.length & 0xff]);
  const body = Buffer.from(payload.map((b, i) => b ^ mask[i % 4]));
  socket.write(Buffer.concat([head, mask, body]));
}

// Collects the server's text messages as parsed JSON (binary frames are counted).
export function reader(socket, initial) {
  const messages = [];
  let frames = 0;
  let data = initial;
  const parse = () => {
    for (;;) {
      if (data.length < 2) return;
      let length = data[1] & 0x7f, pos = 2;
      if (length === 126) { if (data.length < 4) return; length = data.readUInt16BE(2); pos = 4; }
      else if (length === 127) { if (data.length < 10) return; length = Number(data.readBigUInt64BE(2)); pos = 10; }
      if (data.length < pos + length) return;
      const opcode = data[0] & 0x0f;
      const payload = data.subarray(pos, pos + length);
      if (opcode === 1) messages.push(JSON.parse(payload.toString()));
      else if (opcode === 2) frames++;
      data = data.subarray(pos + length);
    }
  };
  socket.on('data', (chunk) => { data = Buffer.concat([data, chunk]); parse(); });
  parse();
  return { messages, frames: () => frames };
}
