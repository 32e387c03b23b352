// The page's reading of the files, alone (node --test): rows a one-character change of page.js fails.
const test = require('node:test');
const assert = require('node:assert');
const page = require('../../www/page.js');

test('a list line: the station\'s time from its name, the hour that comes twice marked', () => {
  for (const [line, clock, hour] of [
    ['2026-12-11_140203_145500kHz.flac\t1765461723.250\t145500\t7.25\t-12.3', '14:02:03', 14],
    ['2026-10-25_02A3000_145500kHz.flac\t1761352200.000\t145500\t2.00\t-3.0', '02:30:00 (first)', 2],
    ['2026-10-25_02B3000_145500kHz-2.flac\t1761355800.000\t145500\t2.00\t-inf', '02:30:00 (second)', 2],
  ]) {
    const e = page.parseEntry(line);
    assert.deepStrictEqual([e.clock, e.hour, e.day], [clock, hour, line.slice(0, 10)]);
  }
  assert.strictEqual(page.parseEntry('notes.txt\t1\t2\t3\t4'), null);
  assert.strictEqual(page.parseEntry('2026-12-11_140203_145500kHz.flac\t1\t2\t3'), null);
  const day = page.parseDay('2026-10-25_02B3000.flac\t200\t\t1\t-1\n2026-10-25_02A3000.flac\t100\t\t1\t-1\n2026-10-25_023100.flac\t300\t\t1\t-1\n');
  assert.deepStrictEqual(day.map((e) => e.time), [300, 200, 100]);
});

test('the days, newest first, none empty; the hours from and to, across midnight too', () => {
  assert.deepStrictEqual(page.parseDays('2026-12-09\t3\n2026-12-11\t1\n2026-12-10\t0\nx\t2\n').map((d) => d.day),
    ['2026-12-11', '2026-12-09']);
  const at = (hours) => hours.map((hour) => ({ hour }));
  for (const [from, to, kept] of [[0, 23, [0, 5, 12, 23]], [5, 12, [5, 12]], [6, 11, []], [23, 0, [0, 23]], [12, 5, [0, 5, 12, 23]]]) {
    assert.deepStrictEqual(page.inHours(at([0, 5, 12, 23]), from, to).map((e) => e.hour), kept, `${from}-${to}`);
  }
});

test('the station now: its metrics read, the board playing or silent since its last block', () => {
  const f = page.parseMetrics('# HELP x\norvctl_board_silent{frequency_khz="145500"} 1\n' +
    'orvctl_audio_peak_dbfs{frequency_khz="145500"} -Inf\norvctl_board_last_block_timestamp_seconds 1765461723\n' +
    'orvctl_record_deleted_recordings_total{reason="space"} 2\norvctl_record_deleted_recordings_total{reason="age"} 3\n');
  assert.strictEqual(f.get('orvctl_audio_peak_dbfs'), -Infinity);
  assert.strictEqual(f.get('orvctl_record_deleted_recordings_total'), 5);
  assert.strictEqual(page.levelText(f.get('orvctl_audio_peak_dbfs')), 'silence');
  assert.deepStrictEqual(page.boardText(f, (t) => `at ${t}`), ['silent since at 1765461723', true]);
  assert.deepStrictEqual(page.boardText(new Map([['orvctl_board_silent', 0]]), String), ['playing', false]);
  assert.deepStrictEqual(page.boardText(new Map([['orvctl_board_silent', 1]]), String), ['silent since it started', true]);
  assert.deepStrictEqual(page.boardText(new Map(), String), ['not running', true]);
  assert.deepStrictEqual([page.durationText(59.96), page.durationText(61), page.bytesText(999), page.bytesText(1.5e9)],
    ['60.0 s', '1 min 01 s', '999 B', '1.5 GB']);
});
