// Stands for the user's webhook (a chat's, a phone notifier's, a dead man's switch service) in
// tests/check_alerts.sh: takes each POST, answers 200, and appends a line to LOG: the path, a tab,
// the body (Alertmanager's JSON, on one line). Prints the port it listens on, on 127.0.0.1.
//   node webhook_receiver.mjs LOG
import http from 'node:http';
import { appendFileSync } from 'node:fs';

const log = process.argv[2];
const server = http.createServer((request, response) => {
  let body = '';
  request.on('data', (d) => (body += d));
  request.on('end', () => {
    appendFileSync(log, `${request.url}\t${body.replace(/\n/g, ' ')}\n`);
    response.end('ok');
  });
});
server.listen(0, '127.0.0.1', () => console.log(server.address().port));
