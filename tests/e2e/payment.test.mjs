// A payment from the example page through the agent to the simulated
// terminal and back, with the replies around it: the Korean answer arrives
// decoded from UTF-8, lengths in code page 949 bytes, and the stored reply
// matches what the page showed.

import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { cp949, inWorld, launchBrowser, send, visible } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('a payment, an unknown transaction code and LAST through the page', { timeout: 240_000 }, async () => {
  await inWorld({}, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser);

    // Nothing stored yet: LAST says so, in Korean.
    let view = await send(page, '#cmd-last');
    assert.deepEqual([view.total, view.kind, view.result, view.dataLength, view.data],
      ['0044', 'VEVU', '0000', '0032', '결과데이터 파일을 열수 없습니다.']);
    assert.match(view.dataLengthNote, /matches/);

    // The simulator answers "OK:" + the payment data + " 승인".
    await page.fill('#tx-code', 'D1');
    await page.fill('#tx-data', '0000001000');
    view = await send(page, '#pay');
    const answer = '\x02OK:D10000001000 승인\x03';
    assert.equal(view.state, 'replied', view.status);
    assert.deepEqual([view.total, view.kind, view.result, view.dataLength, view.data],
      ['0034', 'VEVU', '0000', '0022', visible(answer)]);
    assert.match(view.totalNote, /matches/);
    assert.match(view.dataLengthNote, /matches/);
    assert.equal(view.raw, visible(`0034VEVU00000022${answer}`));

    // The agent kept that reply in its working folder, in code page 949.
    const stored = cp949.decode(await readFile(join(world.root, 'orvaResult.txt')));
    assert.equal(visible(stored), view.raw);

    // A code outside the table never reaches the terminal.
    const framesBefore = (await world.received()).length;
    await page.fill('#tx-code', 'Z9');
    view = await send(page, '#pay');
    assert.equal(view.raw, '0019VEVU00990005VEVU1');
    assert.match(view.resultNote, /unknown transaction code/);
    assert.equal((await world.received()).length, framesBefore);

    // LAST gives the payment's reply back, byte for byte.
    view = await send(page, '#cmd-last');
    assert.equal(view.raw, visible(`0034VEVU00000022${answer}`));

    assert.deepEqual(world.pageErrors, []);
  });
});
