// The request form in a real browser (headless Debian chromium), submitted to
// the program through lighttpd, with the log and the mailbox checked after.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { expectedMails, readMails, startStack } from './stack.mjs';

let stack;
let context;
let profile;

let plainProfile;

// Debian's chromium with a profile of its own, as the tests need it.
function launch(folder, options = {}) {
  return chromium.launchPersistentContext(folder, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    ...options,
  });
}

before(async () => {
  stack = await startStack();
  profile = mkdtempSync(join(tmpdir(), 'ostrel-chromium-'));
  plainProfile = mkdtempSync(join(tmpdir(), 'ostrel-chromium-'));
  context = await launch(profile);
});

after(async () => {
  await context?.close().catch(() => {});
  for (const folder of [profile, plainProfile]) if (folder) rmSync(folder, { recursive: true, force: true });
  await stack?.stop();
});

async function openForm() {
  const page = await context.newPage();
  await page.goto(`${stack.base}/~ruvak/`);
  return page;
}

// Types into the form as a person would, leaving each field for the next.
async function fill(page, fields) {
  await page.getByLabel('Name').fill(fields.name);
  await page.getByLabel('Email address').fill(fields.email);
  await page.getByLabel('Subject').fill(fields.subject);
  await page.getByLabel('Message').fill(fields.message);
  await page.getByLabel('Message').blur();
}

// Sends the form with the button; the page's script shows the answer in
// place: the thank-you, or what is wrong. Gives the thank-you's heading, or
// 'not sent'.
async function send(page) {
  await page.getByRole('button', { name: 'Send' }).click();
  await page.locator('#sent:not([hidden]), .error:not(:empty)').first().waitFor();
  return await page.locator('#sent').isVisible() ? page.locator('#sent h2').textContent() : 'not sent';
}

async function submit(page, fields) {
  await fill(page, fields);
  return send(page);
}

// What the form says beside each field that it writes plainly, as a screen reader finds it.
function notes(page) {
  return page.locator('#name, #subject, #message').evaluateAll((fields) => Object.fromEntries(fields.map((f) =>
    [f.name, document.getElementById(`${f.id}-note`).textContent])));
}

describe('submitting the request form', () => {
  test('an accepted request shows the thank-you in place, is logged and mails owner and submitter', async () => {
    const page = await openForm();
    const since = stack.mark();
    const fields = { name: 'Ann Example', email: 'ann@example.org', subject: 'Opening hours', message: 'Are you open on Sunday?' };

    assert.equal(await submit(page, fields), 'Thank you');
    assert.equal(new URL(page.url()).pathname, '/~ruvak/');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'sent');
    const { log, mails } = since();
    assert.deepEqual(log, ['"Ann Example","ann@example.org","Opening hours","Are you open on Sunday?"\n']);
    assert.deepEqual(mails, expectedMails(fields, stack.settings()));
    await page.close();
  });

  test('the hidden field for bots is off screen, out of the tab order and the accessibility tree, and left empty', async () => {
    const page = await openForm();
    const since = stack.mark();
    const hidden = page.locator('form input[name="website"]');
    const box = await hidden.boundingBox();
    assert.ok(box.x + box.width <= 0, `on screen at ${JSON.stringify(box)}`);
    await page.getByLabel('Name').focus();
    const reached = [];
    for (let i = 0; i < 6; i++) {
      reached.push(await page.evaluate(() => document.activeElement.name || document.activeElement.tagName));
      await page.keyboard.press('Tab');
    }
    assert.deepEqual(reached.slice(0, 5), ['name', 'email', 'subject', 'message', 'BUTTON']);
    assert.doesNotMatch(await page.locator('form').ariaSnapshot(), /Leave this empty/);

    // A person's submission goes through: the program drops one whose hidden field is filled.
    assert.equal(await submit(page, { name: 'Ann', email: 'ann@example.org', subject: 'Hi', message: 'Hello' }), 'Thank you');
    assert.equal(since().log.length, 1);
    await page.close();
  });

  test('an address the program refuses gets its message beside the field, without leaving the page', async () => {
    const page = await openForm();
    const since = stack.mark();
    // The browser would stop this address itself; let it through to the program.
    await page.locator('form').evaluate((form) => { form.noValidate = true; });

    assert.equal(await submit(page, { name: 'Bo', email: 'bo!b@example.org', subject: 'Hi', message: 'Hello' }),
      'not sent');
    assert.equal(new URL(page.url()).pathname, '/~ruvak/');
    const address = page.getByLabel('Email address');
    assert.equal(await address.getAttribute('aria-invalid'), 'true');
    assert.match(await address.evaluate((input) => input.getAttribute('aria-describedby')), /email-error/);
    assert.match(await page.locator('#email-error').textContent(), /^Please enter an address such as/);
    assert.equal(await page.evaluate(() => document.activeElement.id), 'email');
    assert.equal(await page.getByLabel('Name').getAttribute('aria-invalid'), null);
    assert.deepEqual(since(), { log: [], mails: [] });
    await page.close();
  });

  test('without script the same form posts and reaches the thank-you page', async () => {
    const plain = await launch(plainProfile, { javaScriptEnabled: false });
    const page = await plain.newPage();
    await page.goto(`${stack.base}/~ruvak/`);
    const since = stack.mark();
    await fill(page, { name: 'Ann', email: 'ann@example.org', subject: 'No script', message: 'Hello' });
    await Promise.all([page.waitForNavigation(), page.getByRole('button', { name: 'Send' }).click()]);
    assert.equal(await page.getByRole('heading', { level: 1 }).textContent(), 'Thank you');
    // A local redirect: the server answered with the page itself, so the
    // browser still shows the program's address.
    assert.equal(new URL(page.url()).pathname, '/cgi-bin/ostrel');
    assert.equal(since().log.length, 1);
    await plain.close();
  });

  test('every visitor\'s own letters arrive as typed, logged and in both mails as a mail reader shows them', async () => {
    const page = await openForm();
    const since = stack.mark();
    const fields = { name: 'Иван Петров', email: 'ivan@example.org', subject: 'Zoë Ñúñez, 東京 🍣',
      message: 'Привет!\n.A line that starts with a period\nΓειά σου' };
    await fill(page, fields);
    assert.deepEqual(await notes(page), { name: '', subject: '', message: '' });
    assert.equal(await send(page), 'Thank you');

    const { log, mails } = since();
    const logged = fields.message.replaceAll('\n', '\\r\\n');
    assert.deepEqual(log, [`"${fields.name}","${fields.email}","${fields.subject}","${logged}"\n`]);
    const owner = stack.settings().owner_address;
    const body = `${fields.name}\r\n${fields.email}\r\n${fields.message.replaceAll('\n', '\r\n')}\r\n\r\n`;
    assert.deepEqual(readMails(mails), [
      { From: owner, To: owner, 'Reply-To': fields.email, Subject: fields.subject, body },
      { From: owner, To: fields.email, Subject: 'Thank you...', body: 'Thank you for filling out the request form...\r\n' },
    ]);
    // Nothing 8-bit on the wire.
    assert.ok(mails.every((m) => /^[\x00-\x7f]*$/.test(m.data)));
    await page.close();
  });

  test('the page of a build without UTF-8 writes letters plainly and names what the program will drop', async () => {
    const page = await context.newPage();
    // The same page as a build without UTF-8 serves it.
    await page.route('**/~ruvak/', async (route) => {
      const response = await route.fetch();
      await route.fulfill({ response, body: (await response.text()).replace('const UTF8 = true;', 'const UTF8 = false;') });
    });
    await page.goto(`${stack.base}/~ruvak/`);
    const since = stack.mark();
    await fill(page, { name: 'Zoë Ünal', email: 'zoe@example.org', subject: 'Grüße aus Łódź',
      message: 'Line one\n“Quoted” ‘so’ – Ærø, Œuvre, Đorđe, Þór\u00a0…\nCafé ☕ 日本語' });
    assert.deepEqual(await notes(page), { name: '', subject: '', message: 'Only plain letters, digits and punctuation can be sent; this will be left out: ☕ 日本語.' });
    assert.equal(await send(page), 'Thank you');
    // This program keeps UTF-8: what such a build would drop arrives here.
    assert.deepEqual(since().log, ['"Zoe Unal","zoe@example.org","Grusse aus Lodz","Line one\\r\\n""Quoted"" \'so\' - AEro, OEuvre, Dorde, Thor ...\\r\\nCafe ☕ 日本語"\n']);
    await page.close();
  });

  test('lengths are counted in bytes as sent: at the limit it sends, past it the form asks to shorten', async () => {
    const page = await openForm();
    const since = stack.mark();
    const { name_limit: name, message_limit: message } = stack.settings();
    // ж is two bytes in UTF-8, and a line break is sent as CR LF.
    const lines = Math.floor((message - 1) / 3);
    const full = { name: 'ж'.repeat(name >> 1) + 'a'.repeat(name & 1), email: 'ann@example.org', subject: 'Long',
      message: 'a\n'.repeat(lines) + 'a'.repeat(message - 3 * lines) };
    await fill(page, { ...full, name: full.name + 'ж', message: full.message + 'a' });
    const asked = await notes(page);
    assert.match(asked.name, new RegExp(`^Please shorten this: it is 2 bytes over the limit of ${name}\\.`));
    assert.match(asked.message, new RegExp(`^Please shorten this: it is 1 byte over the limit of ${message}\\.`));
    assert.equal(await page.locator('form').evaluate((form) => form.checkValidity()), false);

    await fill(page, full);
    assert.equal(await send(page), 'Thank you');
    assert.deepEqual(since().log, [`"${full.name}","ann@example.org","Long","${full.message.replaceAll('\n', '\\r\\n')}"\n`]);
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
      ['a_b@c', true],
      ['a+b@c', true],
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

  test('the address is sent as typed: one with an accent is refused, not rewritten', async () => {
    const page = await openForm();
    const address = page.getByLabel('Email address');
    await address.fill('zoë@example.org');
    await address.blur();
    assert.equal(await address.inputValue(), 'zoë@example.org');
    assert.equal(await address.evaluate((input) => input.validity.patternMismatch), true);
    await page.close();
  });

  test('each field is required and limited as the program limits it', async () => {
    const page = await openForm();
    const limits = await page.locator('form [name]:not(.away *)').evaluateAll((fields) =>
      fields.map((f) => [f.name, f.required, f.maxLength]));
    const settings = stack.settings();
    assert.deepEqual(limits, [['name', true, settings.name_limit], ['email', true, settings.longest_address],
      ['subject', true, settings.subject_limit], ['message', true, settings.message_limit]]);
    await page.close();
  });
});
