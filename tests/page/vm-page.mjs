// The host's Chromium on the emulated system's page (scripts/vm-test.sh), through the port forwarded
// to its lighttpd: the recording the service made listed, and played to its end.
//   node vm-page.mjs URL SCREENSHOT
import { chromium } from 'playwright-core';

const [url, screenshot] = process.argv.slice(2);
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
let failed = false;
const say = (ok, what) => {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
  failed ||= !ok;
};
try {
  const page = await browser.newPage({ viewport: { width: 390, height: 844 } });
  const errors = [];
  page.on('console', (m) => m.type() === 'error' && errors.push(m.text()));
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto(url, { timeout: 120000 });
  await page.waitForSelector('#list tr', { timeout: 60000 });
  const name = await page.$eval('#list tr', (tr) => tr.dataset.name);
  say(/^\d{4}-\d\d-\d\d_\d{6}_145500kHz(_unsynced)?\.flac$/.test(name), `the service's recording listed: ${name}`);
  await page.evaluate(() => {
    window.ends = [];
    document.addEventListener('ended', (e) => window.ends.push([e.target.currentTime, e.target.duration]), true);
  });
  await page.click('#list tr button.play');
  await page.waitForFunction(() => window.ends.length > 0, null, { timeout: 60000 });
  const [time, duration] = await page.evaluate(() => window.ends[0]);
  say(time > 1 && Math.abs(time - duration) < 0.05, `played to its end by Chromium: ${time} s of ${duration} s`);
  await page.screenshot({ path: screenshot, fullPage: true });
  say(errors.length === 0, `no error in the browser's console ${errors.join('; ')}`);
} catch (e) {
  say(false, String(e));
} finally {
  await browser.close();
}
process.exit(failed ? 1 : 0);
