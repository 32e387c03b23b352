// The station's page: what the station does now (from the metrics' files orvctl and orvctl-record
// write), and its recordings, a day at a time (from the lists orvctl-record writes into its
// folder). It only reads; nothing on it changes anything on the station.
'use strict';

// --- What the files say (no page needed: the tests run these alone) ---

// The samples of a metrics file in Prometheus's text format: name → the sum of its samples' values.
function parseMetrics(text) {
  const figures = new Map();
  for (const line of text.split('\n')) {
    const m = /^([A-Za-z_:][A-Za-z0-9_:]*)(\{[^}]*\})?\s+(\S+)/.exec(line);
    if (m === null) continue;
    const value = m[3] === '+Inf' ? Infinity : m[3] === '-Inf' ? -Infinity : Number(m[3]);
    figures.set(m[1], (figures.get(m[1]) || 0) + value);
  }
  return figures;
}

// A recording's line of a day's list: name, time, kHz, seconds, peak (tabs between); null where
// the line is not one.
function parseEntry(line) {
  const f = line.split('\t');
  if (f.length < 5 || !/^\d{4}-\d\d-\d\d_\d\d[AB]?\d{4}/.test(f[0])) return null;
  const stamp = /^(\d{4}-\d\d-\d\d)_(\d\d)([AB]?)(\d\d)(\d\d)/.exec(f[0]);
  return {
    name: f[0],
    time: Number(f[1]),
    khz: f[2],
    seconds: Number(f[3]),
    peak: Number(f[4]),
    day: stamp[1],
    hour: Number(stamp[2]),
    // The station's local time, as its name gives it; the hour that comes twice marked so.
    clock: stamp[2] + ':' + stamp[4] + ':' + stamp[5] +
      (stamp[3] === 'A' ? ' (first)' : stamp[3] === 'B' ? ' (second)' : ''),
  };
}

// A day's list, newest first.
function parseDay(text) {
  const entries = [];
  for (const line of text.split('\n')) {
    const e = parseEntry(line);
    if (e !== null) entries.push(e);
  }
  return entries.sort((a, b) => b.time - a.time);
}

// days.tsv: the days that have recordings, newest first, with their counts.
function parseDays(text) {
  const days = [];
  for (const line of text.split('\n')) {
    const m = /^(\d{4}-\d\d-\d\d)\t(\d+)$/.exec(line);
    if (m !== null && Number(m[2]) > 0) days.push({ day: m[1], count: Number(m[2]) });
  }
  return days.sort((a, b) => (a.day < b.day ? 1 : a.day > b.day ? -1 : 0));
}

// The entries whose hour is from `from` to `to` (both included; from > to: across midnight).
function inHours(entries, from, to) {
  return entries.filter((e) => (from <= to ? e.hour >= from && e.hour <= to : e.hour >= from || e.hour <= to));
}

function bytesText(bytes) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (bytes >= 1000 && i < units.length - 1) {
    bytes /= 1000;
    i += 1;
  }
  return (i === 0 ? String(bytes) : bytes.toFixed(1)) + ' ' + units[i];
}

function levelText(dbfs) {
  return Number.isFinite(dbfs) ? dbfs.toFixed(1) + ' dBFS' : 'silence';
}

function durationText(seconds) {
  return seconds < 60 ? seconds.toFixed(1) + ' s'
    : Math.floor(seconds / 60) + ' min ' + (seconds % 60).toFixed(0).padStart(2, '0') + ' s';
}

// What the board does, from orvctl's figures: [text, silent].
function boardText(figures, when) {
  if (!figures.has('orvctl_board_silent')) return ['not running', true];
  if (figures.get('orvctl_board_silent') !== 1) return ['playing', false];
  const last = figures.get('orvctl_board_last_block_timestamp_seconds') || 0;
  return [last > 0 ? 'silent since ' + when(last) : 'silent since it started', true];
}

if (typeof module !== 'undefined') {
  module.exports = { parseMetrics, parseEntry, parseDay, parseDays, inHours, bytesText, levelText,
    durationText, boardText };
}

// --- The page ---

if (typeof document !== 'undefined') {
  const $ = (id) => document.getElementById(id);
  const state = { days: [], shown: '', entries: [], known: new Set(), queue: [], limit: 300, playing: '', looked: false };
  const fetchText = async (url) => {
    const response = await fetch(url, { cache: 'no-cache' });
    return response.ok ? response.text() : null;
  };
  const when = (seconds) => {
    const d = new Date(seconds * 1000);
    const today = new Date().toDateString() === d.toDateString();
    return (today ? '' : d.toLocaleDateString() + ' ') + d.toLocaleTimeString();
  };
  const url = (name) => 'recordings/' + encodeURIComponent(name);

  // The station now, every 2 s (orvctl writes its figures every 15 s, and at once when the board
  // falls silent or plays again).
  async function showNow() {
    const [relay, recorder] = await Promise.all([fetchText('now/orvctl.prom'), fetchText('now/orvctl-record.prom')]);
    const f = parseMetrics(relay || '');
    const r = parseMetrics(recorder || '');
    const [board, silent] = boardText(f, when);
    $('board').textContent = board;
    $('board').className = silent ? 'silent' : '';
    $('level').textContent = f.has('orvctl_audio_peak_dbfs') ? levelText(f.get('orvctl_audio_peak_dbfs')) + ' peak' : '–';
    $('frequency').textContent = f.has('orvctl_frequency_hertz') ? (f.get('orvctl_frequency_hertz') / 1e6).toFixed(3) + ' MHz' : '';
    const last = r.get('orvctl_record_last_recording_timestamp_seconds');
    $('last').textContent = last ? when(last) : state.entries.length ? when(state.entries[0].time) : 'none yet';
    $('free').textContent = r.has('orvctl_record_free_bytes')
      ? bytesText(r.get('orvctl_record_free_bytes')) + ' (kept free: ' + bytesText(r.get('orvctl_record_keep_free_bytes') || 0) + ')'
      : '–';
    const oldest = r.get('orvctl_record_oldest_recording_timestamp_seconds');
    $('oldest').textContent = oldest ? when(oldest) : '–';
    const updated = f.get('orvctl_metrics_updated_timestamp_seconds') || 0;
    const age = Date.now() / 1000 - updated;
    $('stale').hidden = relay !== null && age < 60;
    $('stale').textContent = relay === null ? 'orvctl is not running: no figures.'
      : 'These figures are ' + Math.round(age) + ' s old: orvctl hangs, or has ended.';
  }

  const escape = (text) => text.replace(/[&<>"']/g, (c) => '&#' + c.charCodeAt(0) + ';');
  function row(e) {
    const name = escape(e.name);
    return '<tr data-name="' + name + '"' + (e.name === state.playing ? ' class="playing"' : '') + '><td>' +
      escape(e.clock) + '</td><td>' + (e.khz ? escape(e.khz) + ' kHz' : '') + '</td><td class="n">' +
      durationText(e.seconds) + '</td><td class="n">' + levelText(e.peak) +
      '</td><td><button type="button" class="play" title="Play">▶</button> <a href="' + escape(url(e.name)) +
      '" download="' + name + '" title="Download">⤓</a></td></tr>';
  }

  // The list of the day shown, within the hours asked for.
  function filtered() {
    return inHours(state.entries, Number($('from').value), Number($('to').value));
  }

  function render() {
    const list = filtered();
    $('list').innerHTML = list.slice(0, state.limit).map(row).join('');
    $('more').hidden = list.length <= state.limit;
    $('count').textContent = list.length + ' of ' + state.entries.length + ' recordings of ' + (state.shown || 'no day');
  }

  async function showDay(day) {
    state.shown = day;
    state.limit = 300;
    const text = day ? await fetchText('recordings/' + day + '.tsv') : '';
    state.entries = parseDay(text || '');
    for (const e of state.entries) state.known.add(e.name);
    render();
  }

  function playEntry(name) {
    state.playing = name;
    $('player').src = url(name);
    $('player').play().catch(() => {});
    $('playing').textContent = name;
    for (const tr of $('list').children) tr.classList.toggle('playing', tr.dataset.name === name);
  }

  // After a recording: the live mode's next new one, or the next in time of the day shown.
  $('player').addEventListener('ended', () => {
    if ($('live').checked) {
      if (state.queue.length) playEntry(state.queue.shift());
      return;
    }
    const list = filtered();
    const at = list.findIndex((e) => e.name === state.playing);
    if (at > 0) playEntry(list[at - 1].name);
  });

  // New recordings, every 2 s: the days' counts, and the newest day's list where it grew.
  async function lookForNew() {
    const days = parseDays((await fetchText('recordings/days.tsv')) || '');
    const newest = days.length ? days[0].day : '';
    const changed = days.map((d) => d.day + d.count).join() !== state.days.map((d) => d.day + d.count).join();
    const first = !state.looked;
    state.looked = true;
    if (!changed && !first) return;
    const following = state.shown === '' || (state.days.length > 0 && state.shown === state.days[0].day);
    state.days = days;
    const select = $('day');
    const chosen = following ? newest : select.value;
    select.replaceChildren(...days.map((d) => new Option(d.day + ' (' + d.count + ')', d.day)));
    select.value = chosen;
    const before = new Set(state.known);
    await showDay(chosen);
    const fresh = first ? [] : state.entries.filter((e) => !before.has(e.name));
    for (const e of fresh.reverse()) {
      document.querySelector('tr[data-name="' + CSS.escape(e.name) + '"]')?.classList.add('new');
      if ($('live').checked) state.queue.push(e.name);
    }
    if ($('live').checked && $('player').paused && state.queue.length) playEntry(state.queue.shift());
  }

  $('list').addEventListener('click', (event) => {
    const button = event.target.closest('button.play');
    if (button !== null) playEntry(button.closest('tr').dataset.name);
  });
  $('day').addEventListener('change', () => showDay($('day').value));
  $('from').addEventListener('input', render);
  $('to').addEventListener('input', render);
  $('more').addEventListener('click', () => {
    state.limit += 300;
    render();
  });
  $('filter').addEventListener('submit', (event) => event.preventDefault());

  const every = (ms, job) => {
    const run = () => job().catch(() => {}).finally(() => setTimeout(run, ms));
    run();
  };
  every(2000, showNow);
  every(2000, lookForNew);
}
