// The page's SBMP and PRNT messages through the agent: the sample
// signature becomes a bitmap file, and a Korean receipt text reaches the
// printer whole, in code page 949.

import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { cp949, inWorld, launchBrowser, send } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('SBMP writes the sample signature and PRNT prints the whole text', { timeout: 240_000 }, async () => {
  await inWorld({}, async (world) => {
    await world.startAgent();
    const page = await world.openPage(browser);

    let view = await send(page, '#cmd-sbmp');
    assert.equal(view.raw, '0022VEVU00000010SETBMPFILE');
    // 128 x 64, one bit per pixel, bottom row first: the sample is one
    // line of ink (bit 0) across image row 32, the 32nd row of the file.
    const bmp = await readFile(join(world.root, 'Signdata.bmp'));
    assert.equal(bmp.length, 1086);
    for (let row = 0; row < 64; row++) {
      const bytes = bmp.subarray(62 + row * 16, 62 + (row + 1) * 16);
      assert.ok(bytes.every((b) => b === (row === 31 ? 0x00 : 0xff)), `bitmap row ${row}`);
    }

    // The print component is the stand-in, writing its job to COM5, where
    // the simulator records it.
    const text = '영수증 테스트\n합계 1,000원\nReceipt test';
    await page.fill('#print-text', text);
    const before = (await world.received()).length;
    view = await send(page, '#cmd-prnt');
    assert.equal(view.raw, '0012VEVU00000000');
    const job = (await world.received()).subarray(before);
    const start = job.indexOf(Buffer.from([0x1b, 0x40]));
    const end = job.indexOf(Buffer.from([0x0a, 0x0a, 0x0a, 0x1d, 0x56, 0x01]));
    assert.ok(start >= 0 && end > start, `an ESC/POS job in ${job.toString('hex')}`);
    assert.equal(cp949.decode(job.subarray(start + 2, end)), text);

    assert.deepEqual(world.pageErrors, []);
  });
});
