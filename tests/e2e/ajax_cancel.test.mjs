// Cancel on the page in AJAX mode: a STOP message to the agent's second
// server (P + 1) while the first one waits for the terminal's answer ends
// that payment with the failure reply in the page.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { inWorld, launchBrowser, send, shown, waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('Cancel during an AJAX payment sends STOP to P + 1 and ends the payment', { timeout: 240_000 }, async () => {
  // The terminal acknowledges and then stays silent; unless cancelled the
  // payment waits 100 s for the answer, longer than the reply limit here.
  await inWorld({ webMode: 1, simulatorArgs: ['--scenario', 'ack-silent'] }, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser, { mode: 'ajax' });
    assert.equal(await page.textContent('#cancel-url'), `http://127.0.0.1:${world.port + 1}/`);
    const stops = [];
    page.on('request', (r) => {
      if (r.url() === `http://127.0.0.1:${world.port + 1}/`) stops.push([r.method(), r.postData()]);
    });

    const outcome = send(page, '#pay');
    outcome.catch(() => {}); // awaited below; a failure before that is reported there
    await waitFor('the payment to wait for the terminal\'s answer',
      async () => (await world.linkLog()).includes('ReadAnal Chk'));
    assert.equal((await shown(page)).state, 'waiting');

    await page.click('#cancel');
    const view = await outcome;
    assert.equal(view.raw, '0019VEVU00040005VEVU1');
    assert.match(view.resultNote, /cancelled/);
    assert.deepEqual(stops, [['POST', '0016VEVU00000004STOP']]);
    // The dispatcher took it as a STOP message and answered it.
    assert.match(await world.agentLog(), /\[DLL_LOGIC *\]\[STOP\]/);
    // The cancel told the terminal: EOT after the host's ACK.
    const line = await world.received();
    assert.ok(line.subarray(line.lastIndexOf(0x06)).includes(0x04), line.toString('hex'));
    // The STOP's own reply, from P + 1, is in the page's history.
    await waitFor('the STOP reply in the history', () =>
      page.evaluate(() => document.getElementById('history').textContent.includes('0019VEVU00070007REQSTOP')),
      { limit: 60_000 });

    // The agent serves the next message.
    const last = await send(page, '#cmd-last');
    assert.equal(last.result, '0000');
    assert.deepEqual(world.pageErrors, []);
  });
});
