// A second agent on the same data root shows "이미 프로그램이 실행중입니다."
// in a real box and ends with 18 once OK is pressed; the first agent, its
// icon and its ports stay as they were.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { LIMIT, inDesktop, listenerOf, waitFor } from './desktop.mjs';

const TEXT = '이미 프로그램이 실행중입니다.';

test('a second copy says it is already running in a box and ends with 18 after OK', { timeout: 240_000 }, async () => {
  await inDesktop('second_copy', {}, async (world) => {
    const { desktop } = world;
    const first = await world.startAgent();
    const icon = await world.trayIconOf(first.pid);

    const second = world.spawnAgent();
    const box = await world.windowTitled('OVTelquin', second.pid);
    await world.screenshot('box', { window: box.id });
    await world.screenshot('screen-with-box');
    // The box waits for OK: the second copy is still there.
    assert.equal(second.exit, null);

    await desktop.press(box.id, 'Return');
    await waitFor('the second copy to end', () => second.exit, { limit: LIMIT.exit });
    assert.deepEqual(second.exit, { code: 18, signal: null });
    // The text was shown in the box, not written as a line, and logged.
    assert.ok(!second.stderr.includes(TEXT), second.stderr);
    assert.ok((await world.agentLog()).includes(TEXT));

    assert.equal(first.exit, null);
    assert.equal(await listenerOf(world.root, world.port), first.pid);
    assert.equal(await listenerOf(world.root, world.port + 1), first.pid);
    assert.deepEqual((await desktop.trayIcons()).map((w) => w.id), [icon.id]);
  });
});
