// Cancel on the page, while the terminal has acknowledged a payment and
// not answered yet, ends that payment with the failure reply in the page.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { inWorld, launchBrowser, send, shown, waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('Cancel during a payment ends it with the failure reply', { timeout: 240_000 }, async () => {
  // The terminal acknowledges and then stays silent; unless cancelled the
  // payment waits 100 s for the answer, longer than the reply limit here.
  await inWorld({ simulatorArgs: ['--scenario', 'ack-silent'] }, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser);

    const outcome = send(page, '#pay');
    outcome.catch(() => {}); // awaited below; a failure before that is reported there
    await waitFor('the payment to wait for the terminal\'s answer',
      async () => (await world.linkLog()).includes('ReadAnal Chk'));
    assert.equal((await shown(page)).state, 'waiting');

    await page.click('#cancel');
    const view = await outcome;
    assert.equal(view.raw, '0019VEVU00040005VEVU1');
    assert.match(view.resultNote, /cancelled/);
    assert.match(view.totalNote, /always says 0019/);
    assert.match(await world.agentLog(), /lpReqStop Call!/);
    // The cancel told the terminal: EOT after the host's ACK.
    const line = await world.received();
    assert.ok(line.subarray(line.lastIndexOf(0x06)).includes(0x04), line.toString('hex'));

    // The agent serves the next message.
    const last = await send(page, '#cmd-last');
    assert.equal(last.result, '0000');
    assert.deepEqual(world.pageErrors, []);
  });
});
