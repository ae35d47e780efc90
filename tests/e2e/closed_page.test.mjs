// A page closed while its payment runs never sees the reply: the agent
// tells the user so, and a new page gets that payment's reply with LAST.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { inWorld, launchBrowser, send, shown, visible, waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('LAST on a new page returns the payment of a page closed meanwhile', { timeout: 240_000 }, async () => {
  // 3 s before each of the terminal's writes: time to close the page
  // between its acknowledgement and its answer.
  await inWorld({ simulatorArgs: ['--delay', '3000'] }, async (world) => {
    await world.startAgent();
    const first = await world.openPage(browser);
    await first.fill('#tx-code', 'D2');
    await first.fill('#tx-data', '0000005000');
    await first.click('#pay');
    await waitFor('the payment to wait for the terminal\'s answer',
      async () => (await world.linkLog()).includes('ReadAnal Chk'));
    assert.equal((await shown(first)).state, 'waiting');
    await first.close();

    // The agent serves one connection at a time: LAST is answered after
    // the payment has ended and its reply has been stored.
    const second = await world.openPage(browser);
    const view = await send(second, '#cmd-last');
    assert.equal(view.raw, visible('0034VEVU00000022\x02OK:D20000005000 승인\x03'));
    assert.equal(world.agents[0].exit, null, 'the agent still runs');
    // Its message box (standard error here) told the user where to look.
    await waitFor('the agent to say that the browser has gone', () =>
      world.agents[0].stderr.includes('브라우저가 종료되었습니다. 이전 결과데이터를 확인해보시길 바랍니다.'));
    assert.deepEqual(world.pageErrors, []);
  });
});
