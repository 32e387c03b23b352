// The station's page in Debian's Chromium, headless, over a running station (tests/check_page.sh):
//   node page.test.mjs URL FOLDER BEGUN OUTPUT MONTH_URL
// Each check prints "ok:" or "FAILED:"; the run fails if any failed. Figures (the month's list, the
// change of day) are printed, not asserted: they are measured, and stated in docs/measurements.md.
import { chromium } from 'playwright-core';
import { readdirSync, readFileSync, existsSync, mkdirSync, statSync } from 'node:fs';
import http from 'node:http';

const [url, folder, begunText, output, monthUrl] = process.argv.slice(2);
const begun = Number(begunText) * 1000;
let failures = 0;
const check = (what, ok, detail = '') => {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}${detail ? ` (${detail})` : ''}`);
  failures += ok ? 0 : 1;
};
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
async function until(ms, test) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await test();
    if (value || Date.now() > end) return value;
    await sleep(100);
  }
}
const recordings = () => readdirSync(folder).filter((n) => /^\d{4}-\d\d-\d\d_\d{6}_145500kHz(_unsynced)?\.flac$/.test(n) && !n.startsWith('2026-01-02')).sort();
// A FLAC file's length from its STREAMINFO: total samples / rate.
function flacSeconds(name) {
  const b = readFileSync(`${folder}/${name}`);
  const rate = (b[18] << 12) | (b[19] << 4) | (b[20] >> 4);
  const total = (b[21] & 0x0f) * 2 ** 32 + b.readUInt32BE(22);
  return total / rate;
}
const clockOf = (name) => `${name.slice(11, 13)}:${name.slice(13, 15)}:${name.slice(15, 17)}`;
function request(method, path) {
  const { hostname, port } = new URL(url);
  return new Promise((done) => {
    const r = http.request({ hostname, port, method, path }, (res) => {
      let body = '';
      res.on('data', (d) => (body += d));
      res.on('end', () => done({ status: res.statusCode, body, headers: res.headers }));
    });
    r.on('error', (e) => done({ status: 0, body: String(e) }));
    if (method !== 'GET' && method !== 'HEAD') r.write('x=1');
    r.end();
  });
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
try {
  // A phone's screen.
  const page = await browser.newPage({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2 });
  const errors = [];
  page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('requestfailed', (r) => !r.url().endsWith('/live') && errors.push(`${r.url()}: ${r.failure()?.errorText}`));
  page.on('response', (r) => r.status() >= 400 && errors.push(`${r.url()}: ${r.status()}`));
  const offsite = [];
  page.on('request', (r) => !r.url().startsWith(new URL(url).origin) && !r.url().startsWith('data:') && offsite.push(r.url()));

  // Two transmissions kept, and the station's figures written (orvctl's 15 s in), before the page
  // opens.
  check('the station kept its first two transmissions', await until(30000, () =>
    recordings().length >= 2 && existsSync(`${folder}/../../now/orvctl-record.prom`) &&
    existsSync(`${folder}/../../now/orvctl.prom`)), recordings().join(' '));
  await page.goto(url);
  const rows = () => page.$$eval('#list tr', (trs) => trs.map((tr) => [tr.dataset.name, ...[...tr.cells].map((c) => c.textContent)]));
  const today = recordings();
  const listed = await until(5000, async () => (await rows()).length === today.length && rows());
  check('the list shows every recording of the day, newest first',
    JSON.stringify((listed || []).map((r) => r[0])) === JSON.stringify([...today].reverse()), JSON.stringify(listed));
  for (const r of listed || []) {
    const seconds = flacSeconds(r[0]);
    check(`${r[0]}: its time and its length within 0.1 s`, r[1] === clockOf(r[0]) &&
      Math.abs(parseFloat(r[3]) - seconds) <= 0.1 && r[2] === '145500 kHz', `${r.slice(1).join(' | ')}; the file: ${seconds} s`);
  }

  // Played: the older of the two, to its end, then the next in time.
  const older = today[today.length - 2];
  // (What each end of playing found, caught before the page's own handler moves on to the next.)
  await page.evaluate(() => {
    window.ends = [];
    document.addEventListener('ended', (e) => window.ends.push([decodeURIComponent(e.target.src), e.target.currentTime, e.target.duration]), true);
  });
  await page.click(`tr[data-name="${older}"] button.play`);
  const played = await until(15000, () => page.evaluate(() => window.ends[0]));
  check('a recording plays in the page to its end, decoded by Chromium', played && played[0].endsWith(older) &&
    Math.abs(played[1] - flacSeconds(older)) <= 0.1, JSON.stringify(played));
  const then = await until(5000, () => page.evaluate(() => decodeURIComponent(document.getElementById('player').src)));
  check('... then the next in time', then && then.endsWith(today[today.length - 1]), then);

  // The day, and the hours, to look at.
  const days = await page.$$eval('#day option', (o) => o.map((x) => x.value));
  check('the days listed, newest first', days.length === 2 && days[1] === '2026-01-02' && days[0] === today[0].slice(0, 10), days.join(' '));
  await page.selectOption('#day', '2026-01-02');
  check('the day filter shows that day alone', await until(3000, async () => {
    const r = await rows();
    return r.length === 1 && r[0][0] === '2026-01-02_120000_145500kHz.flac';
  }));
  await page.fill('#from', '13');
  check('... from 13 h: none of its recordings (12:00:00)', (await rows()).length === 0);
  await page.fill('#from', '12');
  await page.fill('#to', '12');
  check('... from 12 h to 12 h: its one', (await rows()).length === 1);
  await page.fill('#from', '0');
  await page.fill('#to', '23');
  await page.selectOption('#day', days[0]);

  // The lists looked at every 2 s (so that a new recording shows within 5 s whenever it comes):
  // at least 4 looks at days.tsv in 10 s.
  let looks = 0;
  const count = (r) => r.url().endsWith('/recordings/days.tsv') && (looks += 1);
  page.on('request', count);
  await sleep(10000);
  page.off('request', count);
  check('the lists looked at every 2 s', looks >= 4, `${looks} looks in 10 s`);

  // Live: the next transmission (30 s in) shows within 5 s of its file, and plays.
  await page.check('#live');
  const third = await until(60000, () => recordings().length >= 3 && recordings()[2]);
  const kept = statSync(`${folder}/${third}`).ctimeMs;  // (named: renamed into place)
  const shown = await until(8000, async () => (await rows()).some((r) => r[0] === third));
  const after = (Date.now() - kept) / 1000;
  check('a recording made while the page is open shows within 5 s', shown && after <= 5, `${after.toFixed(1)} s`);
  const live = await until(15000, () => page.evaluate((name) => {
    const p = document.getElementById('player');
    return decodeURIComponent(p.src).endsWith(name) && p.currentTime > 0;
  }, third));
  check('... and live mode plays it', live);

  // The board halted 45 s in: silent on the page within 20 s.
  const halted = begun + 45000;
  const silent = await until(Math.max(0, halted + 30000 - Date.now()), async () =>
    Date.now() > halted && (await page.textContent('#board')).startsWith('silent since'));
  const silentAfter = (Date.now() - halted) / 1000;
  check('the board halted shows as silent within 20 s', silent && silentAfter <= 20, `${silentAfter.toFixed(1)} s`);
  const figures = await page.$$eval('#now dd', (d) => d.map((x) => x.textContent));
  check('the station now: level, last transmission, free space, oldest recording', figures.every((t) => t !== '…' && t !== '–'), figures.join(' | '));
  check('nothing scrolls sideways on a phone', await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  mkdirSync(output, { recursive: true });
  await page.screenshot({ path: `${output}/page.png`, fullPage: true });
  console.log(`the screenshot: ${output}/page.png`);
  check('no error in the browser\'s console', errors.length === 0, errors.join('; '));
  check('nothing loaded from anywhere else', offsite.length === 0, offsite.join(' '));

  // What the web server serves, and what not.
  const secret = 'not the page';
  for (const [method, path, want] of [
    ['GET', '/orvctl/', 200], ['HEAD', '/orvctl/page.js', 200], ['GET', '/orvctl/recordings/days.tsv', 200],
    ['GET', '/orvctl/recordings/', 403], ['GET', '/orvctl/recordings/notes.txt', 403], ['GET', '/orvctl/now/secret.txt', 403],
    ['GET', '/orvctl/recordings/..%2fnotes.txt', 403], ['GET', '/orvctl/../etc/passwd', 404],
    ['GET', '/orvctl/%2e%2e/%2e%2e/%2e%2e/etc/passwd', 404], ['GET', '/orvctl/recordings/%2e%2e/%2e%2e/now/secret.txt', 404],
    ['POST', '/orvctl/', 403], ['PUT', `/orvctl/recordings/${today[0]}`, 403], ['DELETE', `/orvctl/recordings/${today[0]}`, 403],
    ['OPTIONS', '/orvctl/', 400]]) {
    const got = await request(method, path);
    // (OPTIONS: lighttpd's own refusal, 501, or ours.)
    check(`${method} ${path}: ${want}`, (want === 400 ? got.status >= 400 : got.status === want) && !got.body.includes(secret) && !got.body.includes('root:'), `${got.status}`);
  }

  // A recording downloaded as the page's link has it; the live sound sent on to Icecast's mount.
  const link = await page.$eval('#list tr a[download]', (a) => [a.getAttribute('href'), a.download]);
  const file = await request('GET', new URL(link[0], url).pathname);
  check('the download link gives the recording', file.status === 200 && file.headers['content-type'] === 'audio/flac' &&
    link[1] === decodeURIComponent(link[0].split('/').pop()), `${link.join(' ')}: ${file.status} ${file.headers['content-type']}`);
  const stream = await request('GET', '/orvctl/live');
  check('the live sound: Icecast\'s MP3 mount on this host', stream.status === 301 &&
    stream.headers.location === 'http://127.0.0.1:8000/orvctl.mp3', `${stream.status} ${stream.headers.location}`);

  // The month: 45 000 recordings in 30 days' lists; the newest day listed, then another day.
  // (Timed in the page: from the navigation's start to the list's count shown.)
  const month = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  await month.addInitScript(() => {
    new MutationObserver(() => {
      if (/^1500 of 1500 recordings of 2026-11-30/.test(document.getElementById('count')?.textContent)) {
        window.listed ??= performance.now();
      }
    }).observe(document, { subtree: true, childList: true, characterData: true });
  });
  await month.goto(monthUrl);
  await month.waitForFunction(() => window.listed !== undefined);
  const opened = Math.round(await month.evaluate(() => window.listed));
  const change = await month.evaluate(async () => {
    const select = document.getElementById('day');
    const t = performance.now();
    select.value = '2026-11-15';
    select.dispatchEvent(new Event('change'));
    while (!/of 2026-11-15$/.test(document.getElementById('count').textContent)) await new Promise((r) => setTimeout(r, 1));
    return performance.now() - t;
  });
  const monthDays = await month.$$eval('#day option', (o) => o.length);
  check('the month: 30 days listed, 1500 recordings each', monthDays === 30);
  console.log(`figure: the month's page opened, its newest day listed, in ${opened} ms; another day in ${change.toFixed(0)} ms`);
} finally {
  await browser.close();
}
process.exit(failures === 0 ? 0 : 1);
