// The example page in AJAX mode, served from an origin of its own, against
// the agent's HTTP servers: payments and commands by POST and by GET, the
// replies read across origins thanks to the agent's CORS header, and GET
// refused unless the agent's setting GET is Y.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { cp949, inWorld, launchBrowser, send, visible, waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

// The simulator answers "OK:" + the payment data + " 승인".
const PAYMENT_REPLY = visible('0034VEVU00000022\x02OK:D10000001000 승인\x03');

// Every request the page makes to the agent, with the response to it.
function recordAgentTraffic(page, port) {
  const seen = [];
  page.on('requestfinished', async (request) => {
    const url = new URL(request.url());
    if (url.port !== String(port) && url.port !== String(port + 1)) return;
    const response = await request.response();
    seen.push({ method: request.method(), url: request.url(), headers: request.headers(),
                status: response?.status(), responseHeaders: response?.headers() ?? {} });
  });
  page.on('requestfailed', (request) => {
    seen.push({ method: request.method(), url: request.url(), failure: request.failure()?.errorText });
  });
  return seen;
}

// The job the stand-in print component wrote to COM5 after `before` bytes.
async function printedSince(world, before) {
  const job = (await world.received()).subarray(before);
  const start = job.indexOf(Buffer.from([0x1b, 0x40]));
  const end = job.indexOf(Buffer.from([0x0a, 0x0a, 0x0a, 0x1d, 0x56, 0x01]));
  assert.ok(start >= 0 && end > start, `an ESC/POS job in ${job.toString('hex')}`);
  return cp949.decode(job.subarray(start + 2, end));
}

test('a payment by POST from another origin; GET refused by default', { timeout: 240_000 }, async () => {
  await inWorld({ webMode: 1 }, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser, { mode: 'ajax' });
    const traffic = recordAgentTraffic(page, world.port);
    const agentOrigin = `http://127.0.0.1:${world.port}`;
    assert.notEqual(await page.evaluate(() => location.origin), agentOrigin);
    assert.equal(await page.textContent('#request-url'), `${agentOrigin}/`);

    await page.fill('#tx-code', 'D1');
    await page.fill('#tx-data', '0000001000');
    let view = await send(page, '#pay');
    assert.equal(view.state, 'replied', view.status);
    assert.equal(view.raw, PAYMENT_REPLY);
    assert.deepEqual([view.total, view.result, view.dataLength], ['0034', '0000', '0022']);
    assert.match(view.dataLengthNote, /matches/);

    view = await send(page, '#cmd-last');
    assert.equal(view.raw, PAYMENT_REPLY);

    // Simple requests only: a POST labelled text/plain, answered with the
    // header that lets another origin read it, and no OPTIONS preflight
    // (the agent answers that method with 503).
    await waitFor('both requests to be recorded', () => traffic.length >= 2);
    assert.equal(traffic.length, 2, JSON.stringify(traffic));
    for (const t of traffic) {
      assert.equal(t.method, 'POST', JSON.stringify(t));
      assert.match(t.headers['content-type'], /^text\/plain/);
      assert.equal(t.status, 200);
      assert.equal(t.responseHeaders['access-control-allow-origin'], '*');
      assert.equal(t.responseHeaders['content-type'], undefined);
    }
    assert.doesNotMatch(await world.agentLog(), /Default request/);

    // The agent's GET setting is absent: a GET gets the refusal reply and
    // the terminal is not asked.
    await page.check('#ajax-get');
    const lineBefore = (await world.received()).length;
    view = await send(page, '#pay');
    assert.equal(view.raw, '0019VEVU00990005VEVU1');
    assert.match(view.resultNote, /GET is not enabled/);
    assert.equal((await world.received()).length, lineBefore);
    await waitFor('the GET to be recorded', () => traffic.length >= 3);
    const get = traffic.at(-1);
    assert.equal(get.method, 'GET');
    assert.equal(get.url, `${agentOrigin}/?${encodeURIComponent('0024VEVU00000012D10000001000')}`);
    assert.equal(get.responseHeaders['access-control-allow-origin'], '*');

    assert.deepEqual(world.pageErrors, []);
  });
});

test('with GET=Y, GET serves payments; messages arrive exactly by POST and by GET', { timeout: 240_000 }, async () => {
  await inWorld({ webMode: 1, get: 'Y' }, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser, { mode: 'ajax' });

    await page.check('#ajax-get');
    let view = await send(page, '#pay');
    assert.equal(view.raw, PAYMENT_REPLY);
    assert.match(view.resultNote, /^success$/);

    // Texts with the characters a URL or the agent's percent-decoding
    // would change, printed through PRNT whole, by either method.
    const text = '100% 완료 + 5&6=#?\n합계 1,000원 %41%zz';
    for (const method of ['GET', 'POST']) {
      if (method === 'POST') await page.uncheck('#ajax-get');
      await page.fill('#print-text', text);
      const before = (await world.received()).length;
      view = await send(page, '#cmd-prnt');
      assert.equal(view.raw, '0012VEVU00000000', method);
      assert.equal(await printedSince(world, before), text, method);
    }

    assert.deepEqual(world.pageErrors, []);
  });
});
