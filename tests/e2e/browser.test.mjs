// The request form in a real browser (headless Debian chromium), submitted to
// the program through lighttpd, with the log and the mailbox checked after.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { expectedMails, ownerAddress, startStack } from './stack.mjs';

let stack;
let context;
let profile;

before(async () => {
  stack = await startStack();
  profile = mkdtempSync(join(tmpdir(), 'ostrel-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await context?.close().catch(() => {});
  if (profile) rmSync(profile, { recursive: true, force: true });
  await stack?.stop();
});

async function openForm() {
  const page = await context.newPage();
  await page.goto(`${stack.base}/~ruvak/`);
  return page;
}

// Types into the form as a person would and sends it with the button.
async function submit(page, fields) {
  await page.getByLabel('Name').fill(fields.name);
  await page.getByLabel('Email address').fill(fields.email);
  await page.getByLabel('Subject').fill(fields.subject);
  await page.getByLabel('Message').fill(fields.message);
  await Promise.all([page.waitForNavigation(), page.getByRole('button', { name: 'Send' }).click()]);
  return page.getByRole('heading', { level: 1 }).textContent();
}

describe('submitting the request form', () => {
  test('an accepted request shows the thank-you page, is logged and mails owner and submitter', async () => {
    const page = await openForm();
    const since = stack.mark();
    const fields = { name: 'Ann Example', email: 'ann@example.org', subject: 'Opening hours', message: 'Are you open on Sunday?' };

    assert.equal(await submit(page, fields), 'Thank you');
    // A local redirect: the server answered with the page itself, so the
    // browser still shows the program's address.
    assert.equal(new URL(page.url()).pathname, '/cgi-bin/ostrel');
    const { log, mails } = since();
    assert.deepEqual(log, ['"Ann Example","ann@example.org","Opening hours","Are you open on Sunday?"\n']);
    assert.deepEqual(mails, expectedMails(fields, ownerAddress()));
    await page.close();
  });

  test('an address the program refuses shows the error page, with nothing logged or mailed', async () => {
    const page = await openForm();
    const since = stack.mark();
    // The browser would stop this address itself; let it through to the program.
    await page.locator('form').evaluate((form) => { form.noValidate = true; });

    assert.equal(await submit(page, { name: 'Bo', email: 'bo_b@example.org', subject: 'Hi', message: 'Hello' }),
      'Request not sent');
    assert.deepEqual(since(), { log: [], mails: [] });
    await page.close();
  });

  test('line breaks are kept and letters outside ASCII are dropped, in the log and in the mail', async () => {
    const page = await openForm();
    const since = stack.mark();
    // The browser sends the text as UTF-8 and each line break as CR LF.
    assert.equal(await submit(page, {
      name: 'Zoë Ünal', email: 'zoe@example.org', subject: 'Grüße', message: 'Line one\nCafé ☕ crème\nLine "three", done',
    }), 'Thank you');

    const cleaned = { name: 'Zo nal', email: 'zoe@example.org', subject: 'Gre', message: 'Line one\r\nCaf  crme\r\nLine "three", done' };
    const { log, mails } = since();
    assert.deepEqual(log, ['"Zo nal","zoe@example.org","Gre","Line one\\r\\nCaf  crme\\r\\nLine ""three"", done"\n']);
    assert.deepEqual(mails, expectedMails(cleaned, ownerAddress()));
    await page.close();
  });
});

describe('the form checks what the program checks', () => {
  test('the address pattern accepts and refuses the same addresses as the program', async () => {
    const page = await openForm();
    const rows = [
      ['ann@example.org', true],
      ['@', true],
      ['a@b@c', true],
      ['-.@.-', true],
      ['A1@B2', true],
      ['', false],
      ['abc', false],
      ['a_b@c', false],
      ['a+b@c', false],
      ["o'neil@example.org", false],
      ['a@b ', false],
      ['zoë@example.org', false],
    ];
    for (const [address, want] of rows) {
      const have = await page.getByLabel('Email address').evaluate((input, value) => {
        input.value = value;
        return input.checkValidity();
      }, address);
      assert.equal(have, want, `address ${JSON.stringify(address)}: have ${have}, want ${want}`);
    }
    await page.close();
  });

  test('each field is required and limited as the program limits it', async () => {
    const page = await openForm();
    const limits = await page.locator('form [name]').evaluateAll((fields) =>
      fields.map((f) => [f.name, f.required, f.maxLength]));
    // The address has no limit of its own in the program; 254 keeps the
    // whole request well inside the 3000 bytes that the program reads.
    assert.deepEqual(limits, [['name', true, 512], ['email', true, 254], ['subject', true, 512], ['message', true, 1024]]);
    await page.close();
  });
});
