// Splits a line capture of bnvsim with @serialport/parser-cctalk, a framing parser nobody here
// wrote, and checks that it finds, direction by direction and in order, the frames `quennet
// monitor` found in the same capture (its --json lines).
//
//   node split_capture.mjs CAPTURE MONITOR_JSON
//
// The parser drops a partial frame after 50 ms without a byte, timed by Date.now(); the
// capture's own time stamps stand in for the clock, so the loose one-byte answers to an address
// poll are dropped as a real port would drop them.
import { readFileSync } from 'node:fs';
import { CCTalkParser } from '@serialport/parser-cctalk';

const [capturePath, monitorPath] = process.argv.slice(2);
if (!capturePath || !monitorPath) {
  console.error('usage: node split_capture.mjs CAPTURE MONITOR_JSON');
  process.exit(2);
}

const hex = (bytes) => Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');

let now = 0;
Date.now = () => now;

// The frames the parser pushes, per direction, as "dest header [data]".
const found = { host: [], device: [] };
const parsers = {};
for (const direction of Object.keys(found)) {
  const parser = new CCTalkParser();
  parser.on('data', (frame) => {
    found[direction].push(`${frame[0]} ${frame[3]} [${hex(frame.subarray(4, frame.length - 1))}]`);
  });
  parsers[direction] = parser;
}

const lines = readFileSync(capturePath, 'latin1').split('\n');
if (!lines[0].startsWith('# ccTalk line capture')) {
  console.error(`${capturePath}: not a line capture`);
  process.exit(2);
}
for (const line of lines.slice(1)) {
  const words = line.trim().split(/\s+/);
  if (words.length < 3 || words[0].startsWith('#')) continue;
  const parser = parsers[words[1]];
  if (!parser) continue;
  now = Number(words[0]) * 1000;
  parser.write(Buffer.from(words.slice(2).map((w) => parseInt(w, 16))));
}

// What the monitor decoded: whole frames only (loose address answers carry no header).
const expected = { host: [], device: [] };
for (const line of readFileSync(monitorPath, 'utf8').split('\n')) {
  if (!line.trim()) continue;
  const record = JSON.parse(line);
  if (record.header === null || record.header === undefined || !expected[record.dir]) continue;
  expected[record.dir].push(`${record.dest} ${record.header} [${record.data}]`);
}

let failed = false;
for (const direction of Object.keys(expected)) {
  const ours = expected[direction];
  const theirs = found[direction];
  const length = Math.max(ours.length, theirs.length);
  for (let i = 0; i < length; ++i) {
    if (ours[i] !== theirs[i]) {
      console.error(`${direction} frame ${i + 1}: quennet monitor ${ours[i] ?? 'none'}, parser-cctalk ${theirs[i] ?? 'none'}`);
      failed = true;
      break;
    }
  }
  console.log(`${direction}: ${theirs.length} frames split by parser-cctalk, ${ours.length} by quennet monitor`);
  if (ours.length === 0) failed = true;
}
process.exit(failed ? 1 : 0);
