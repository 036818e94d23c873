// Starts the demo stack (demo/run: the program built with its own log path and
// SMTP port, lighttpd, the local mailbox) on free loopback ports in a folder of
// its own, and reads back what the program logged and mailed.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, existsSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

export const repo = join(dirname(fileURLToPath(import.meta.url)), '..', '..');

// The first build (or a package install on a fresh machine) takes a while.
const startLimitMs = 600_000;
const stopLimitMs = 20_000;

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const running = new Set();
// Last resort when the test process ends without its cleanup: the demo and
// the servers it started share one process group.
function killAll() {
  for (const child of running) {
    try { process.kill(-child.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
}
process.on('exit', killAll);
for (const [signal, code] of [['SIGINT', 130], ['SIGTERM', 143], ['SIGHUP', 129]]) {
  process.on(signal, () => { killAll(); process.exit(code); });
}

export async function startStack() {
  const webPort = await freePort();
  let smtpPort = await freePort();
  while (smtpPort === webPort) smtpPort = await freePort();
  const runDir = mkdtempSync(join(tmpdir(), 'ostrel-e2e-'));

  const child = spawn('bash', [join(repo, 'demo', 'run'),
    '--web-port', String(webPort), '--smtp-port', String(smtpPort), '--run-dir', runDir,
    // The demo also stops when this process ends and its end of the pipe closes,
    // however it ends: SIGKILL included.
    '--stop-on-eof'],
  { cwd: repo, detached: true, stdio: ['pipe', 'pipe', 'pipe'] });
  running.add(child);
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  child.stderr.on('data', (chunk) => { output += chunk; });
  const exited = new Promise((resolve) => child.on('exit', resolve));

  const stack = {
    runDir,
    base: `http://127.0.0.1:${webPort}`,
    output: () => output,

    // The settings the demo's program is built with, as the build read them back.
    settings: () => JSON.parse(readFileSync(join(runDir, 'build', 'ostrel-settings.json'), 'utf8')),

    // An example page as the build made it.
    page: (name) => readFileSync(join(runDir, 'build', 'pages', name), 'utf8'),

    // Lines of the request log (or of another log in the run folder), each with its line feed
    // and without the time the demo's build ends each record with, which must be there.
    logLines(name = 'request_form.log') {
      const path = join(runDir, name);
      if (!existsSync(path)) return [];
      return readFileSync(path, 'utf8').split(/(?<=\n)/).map((line) => {
        const record = line.replace(/,"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"\n$/, '\n');
        assert.notEqual(record, line, `no time at the end of ${line}`);
        return record;
      });
    },

    // Mails as the mailbox received them; data holds the exact bytes as latin-1.
    mails() {
      const path = join(runDir, 'mail.jsonl');
      if (!existsSync(path)) return [];
      return readFileSync(path, 'utf8').trim().split('\n').filter(Boolean).map((l) => JSON.parse(l));
    },

    // What the program wrote to standard error, which lighttpd keeps in a log.
    cgiErrors() {
      const path = join(runDir, 'cgi-error.log');
      return existsSync(path) ? readFileSync(path, 'utf8') : '';
    },

    // What was logged and mailed since mark() was called.
    mark() {
      const log = stack.logLines().length;
      const mail = stack.mails().length;
      return () => ({ log: stack.logLines().slice(log), mails: stack.mails().slice(mail) });
    },

    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        // The demo's own trap stops lighttpd and the mailbox.
        child.kill('SIGTERM');
        const timer = setTimeout(() => {
          try { process.kill(-child.pid, 'SIGKILL'); } catch { /* already gone */ }
        }, stopLimitMs);
        await exited;
        clearTimeout(timer);
      }
      // Anything left in the group after the demo ended is a stray; end it.
      try { process.kill(-child.pid, 'SIGKILL'); } catch { /* none left */ }
      running.delete(child);
      // OSTREL_E2E_KEEP=1 keeps the folder (build, logs, mail) to look into.
      if (!process.env.OSTREL_E2E_KEEP) rmSync(runDir, { recursive: true, force: true });
    },
  };

  const ready = new Promise((resolve) => {
    const look = () => { if (/Open the form: /.test(output)) resolve(true); };
    child.stdout.on('data', look);
  });
  let timer;
  const outcome = await Promise.race([
    ready,
    exited.then((code) => `demo/run ended with ${code} before it was ready`),
    new Promise((resolve) => { timer = setTimeout(() => resolve('demo/run was not ready in time'), startLimitMs); }),
  ]);
  clearTimeout(timer);
  if (outcome !== true) {
    await stack.stop();
    throw new Error(`${outcome}:\n${output}`);
  }
  return stack;
}

// Mails as a mail reader shows them: each decoded by Python's email package,
// which undoes the MIME encodings of text outside ASCII.
export function readMails(mails) {
  const read = `
import email, email.policy, json, sys
for m in json.load(sys.stdin):
    mail = email.message_from_bytes(m["data"].encode("latin-1"), policy=email.policy.default)
    print(json.dumps({k: str(mail[k]) for k in ("From", "To", "Reply-To", "Subject") if mail[k]}
                     | {"body": mail.get_content()}))`;
  const out = execFileSync('/usr/bin/python3', ['-c', read], { input: JSON.stringify(mails), encoding: 'utf8' });
  return out.trim().split('\n').map((line) => JSON.parse(line));
}

// The two mails of an accepted submission, as the mailbox receives them from
// the demo's program, which sends the notification from the owner's address
// as the README recommends: the owner notification, then the
// acknowledgement. Each mail's data is its header block, an empty line, its
// text and the line end after the text.
export function expectedMails({ name, email, subject, message }, settings) {
  const owner = settings.owner_address;
  return [
    {
      mail_from: owner,
      rcpt_tos: [owner],
      data: `From: ${owner}\r\nTo: ${owner}\r\nReply-To: ${email}\r\nSubject: ${subject}\r\n\r\n`
        + `${name}\r\n${email}\r\n${message}\r\n\r\n`,
    },
    {
      mail_from: owner,
      rcpt_tos: [email],
      data: `From: ${owner}\r\nTo: ${email}\r\nSubject: Thank you...\r\n\r\n`
        + 'Thank you for filling out the request form...\r\n',
    },
  ];
}
