// A second agent on the same data root refuses to start; the first keeps
// serving the page.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { LIMIT, inWorld, launchBrowser, listenerOf, send, waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('a second agent says it is already running and ends', { timeout: 240_000 }, async () => {
  await inWorld({}, async (world) => {
    const first = await world.startAgent();
    const second = world.spawnAgent();
    await waitFor('the second agent to end', () => second.exit, { limit: LIMIT.exit });
    assert.match(second.stderr, /이미 프로그램이 실행중입니다\./);
    assert.match(await world.agentLog(), /이미 프로그램이 실행중입니다\./);

    assert.equal(first.exit, null);
    assert.equal(await listenerOf(world.root, world.port), first.pid);
    const page = await world.openPage(browser);
    const view = await send(page, '#pay');
    assert.equal(view.result, '0000');
    assert.match(view.data, /승인/);
    assert.deepEqual(world.pageErrors, []);
  });
});
