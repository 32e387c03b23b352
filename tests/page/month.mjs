// A month of a busy channel's lists, as orvctl-record writes them: 30 days of 1500 recordings of 2
// to 20 s (45 000), into the folder given, with days.tsv. The same month every run (its own seed).
import { writeFileSync } from 'node:fs';

const folder = process.argv[2];
let seed = 20261211;
const next = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
const days = [];
for (let d = 0; d < 30; d += 1) {
  const midnight = Date.UTC(2026, 10, 1 + d) / 1000;
  const day = new Date(midnight * 1000).toISOString().slice(0, 10);
  const times = Array.from({ length: 1500 }, () => midnight + Math.floor(next() * 86400)).sort((a, b) => a - b);
  const lines = times.map((t) => {
    const clock = new Date(t * 1000).toISOString().slice(11, 19).replaceAll(':', '');
    const seconds = 2 + next() * 18;
    return `${day}_${clock}_145500kHz.flac\t${t}.000\t145500\t${seconds.toFixed(2)}\t${(-3 - next() * 30).toFixed(1)}\n`;
  });
  writeFileSync(`${folder}/${day}.tsv`, lines.join(''));
  days.push(`${day}\t1500\n`);
}
writeFileSync(`${folder}/days.tsv`, days.join(''));
