// The program behind lighttpd, spoken to without a browser: the requests a
// form cannot make, and what the web server shows for each.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { expectedMails, startStack } from './stack.mjs';

let stack;
before(async () => { stack = await startStack(); });
after(async () => { await stack?.stop(); });

const program = () => `${stack.base}/cgi-bin/ostrel`;

function post(body) {
  return fetch(program(), {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body,
    redirect: 'manual',
  });
}

function form(fields) {
  return new URLSearchParams(fields).toString();
}

describe('answers as local redirects', () => {
  test('an accepted POST is answered with the thank-you page itself, logged and mailed', async () => {
    const since = stack.mark();
    const fields = { name: 'Bo', email: 'bo@example.org', subject: 'Sent by a script', message: 'No Origin, no Referer' };

    const answer = await post(form(fields));
    // The server follows the program's Location itself: the page, not a 302.
    assert.equal(answer.status, 200);
    assert.equal(answer.headers.get('location'), null);
    assert.equal(await answer.text(), stack.page('form_ok.html'));
    const { log, mails } = since();
    assert.deepEqual(log, ['"Bo","bo@example.org","Sent by a script","No Origin, no Referer"\n']);
    assert.deepEqual(mails, expectedMails(fields, stack.settings()));
  });

  // The demo turns on the defences against bots, as the README recommends.
  test('a GET submission, or one from another site\'s page, gets the error page; the latter a line in the error log', async () => {
    const since = stack.mark();
    const fields = { name: 'Bo', email: 'bo@example.org', subject: 'x', message: 'y' };
    const get = await fetch(`${program()}?${form(fields)}`, { redirect: 'manual' });
    assert.equal(await get.text(), stack.page('form_error.html'));
    const foreign = await fetch(program(), {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded', Origin: 'http://evil.example' },
      body: form(fields),
      redirect: 'manual',
    });
    assert.equal(await foreign.text(), stack.page('form_error.html'));
    assert.deepEqual(since(), { log: [], mails: [] });
    assert.match(stack.cgiErrors(), /^ostrel: submission refused: sent from another site's page, http:\/\/evil\.example$/m);
  });

  test('a refused POST gets the error page and leaves log and mailbox alone', async () => {
    const since = stack.mark();
    const refused = [
      { name: 'Bo', email: 'bo,tag@example.org', subject: 'x', message: 'y' },
      { name: 'Bo', email: 'bo@example.org', subject: 'x', message: '' },
      { name: 'Bo', email: 'bo@example.org', subject: 'x'.repeat(stack.settings().subject_limit + 1), message: 'y' },
    ];
    for (const fields of refused) {
      const answer = await post(form(fields));
      assert.equal(answer.status, 200);
      assert.equal(await answer.text(), stack.page('form_error.html'), JSON.stringify(fields).slice(0, 80));
    }
    assert.deepEqual(since(), { log: [], mails: [] });
  });

  test('a submission with too many links gets the thank-you page, and lands in the spam log, not mailed', async () => {
    const since = stack.mark();
    const most = stack.settings().max_links;
    const message = Array.from({ length: most + 1 }, (_, i) => `www.${i}.example`).join(' ');
    const answer = await post(form({ name: 'Bo', email: 'bo@example.org', subject: 'Links', message }));
    assert.equal(await answer.text(), stack.page('form_ok.html'));
    assert.deepEqual(since(), { log: [], mails: [] });
    assert.deepEqual(stack.logLines('spam.log').slice(-1), [`"Bo","bo@example.org","Links","${message}"\n`]);
    assert.ok(stack.cgiErrors().includes(`ostrel: submission dropped: ${most + 1} links, more than ${most}; kept in the spam log ${stack.runDir}/spam.log\n`));
  });
});

describe('the limit on the raw request', () => {
  const limit = () => stack.settings().request_limit;
  // Valid fields, then a field the program does not know, so that the body
  // is exactly `size` bytes.
  function bodyOf(size) {
    const head = `name=Cy&email=cy@example.org&subject=Limit&message=${'%2C'.repeat(100)}&pad=`;
    return head + 'x'.repeat(size - head.length);
  }

  test('a body of exactly the limit is accepted', async () => {
    const since = stack.mark();
    const body = bodyOf(limit());
    assert.equal(Buffer.byteLength(body), limit());

    const answer = await post(body);
    assert.equal(await answer.text(), stack.page('form_ok.html'));
    assert.equal(since().log.length, 1);
  });

  // The program writes a bare text without a CGI header and exits with 1,
  // without reading the body. lighttpd 1.4 passes the text on as the body of
  // a 200 answer with no content type, unless the program has ended before
  // lighttpd wrote the body to it (likely on a busy server): then lighttpd
  // answers with its own 500 page. This records both; it endorses neither.
  const tooLong = 'Your message is too long.. please shorten it. Thanks!';

  test('a longer body gets the bare refusal text or a 500 from lighttpd, nothing logged or mailed', async () => {
    const since = stack.mark();
    for (const size of [limit() + 1, 3 * limit()]) {
      const answer = await post(bodyOf(size));
      const text = await answer.text();
      if (answer.status === 200) {
        assert.equal(answer.headers.get('content-type'), null);
        assert.equal(text, tooLong);
      } else {
        assert.equal(answer.status, 500, `body of ${size} bytes`);
        assert.match(text, /<title>500 Internal Server Error<\/title>/);
      }
    }
    assert.deepEqual(since(), { log: [], mails: [] });
  });

  test('a longer query string gets the bare refusal text from lighttpd, nothing logged or mailed', async () => {
    const since = stack.mark();
    // The GET text starts with a line feed, which lighttpd reads as the end
    // of an empty header block; the rest becomes the body.
    const answer = await fetch(`${program()}?${bodyOf(limit() + 1)}`, { redirect: 'manual' });
    assert.equal(answer.status, 200);
    assert.equal(answer.headers.get('content-type'), null);
    assert.equal(await answer.text(), tooLong);
    assert.deepEqual(since(), { log: [], mails: [] });
  });
});
