// A terminal that does not answer the start-up probe: the agent shows
// "단말기 연결 실패! 단말기 연결상태를 확인해주세요!" in a box, and its
// WebSocket ports open only after OK.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { LIMIT, inDesktop, probePort, waitFor } from './desktop.mjs';

test('a silent terminal gets a box at start-up; the ports open only after OK', { timeout: 240_000 }, async () => {
  await inDesktop('terminal_off', { simulatorArgs: ['--scenario', 'silent'] }, async (world) => {
    const { desktop } = world;
    const agent = world.spawnAgent();
    const box = await world.windowTitled('OVTelquin', agent.pid);
    await world.screenshot('box', { window: box.id });
    await world.screenshot('screen-with-box');

    // While the box is up: the icon is there, the ports are not.
    await world.trayIconOf(agent.pid);
    for (const port of [world.port, world.port + 1]) {
      assert.equal(await probePort(port), 'refused', `port ${port} while the box is up`);
    }
    assert.equal(agent.exit, null);

    await desktop.press(box.id, 'Return');
    await world.waitUntilServing(agent.pid, agent);
    assert.equal(await probePort(world.port), 'accepted');
    assert.match(await world.agentLog(), /ReqToCat_WS Fail!/);
  });
});

// A stop while that box is up ends the agent at once, the clean way: no
// front end runs yet, so nothing waits for someone to press OK.
test('a stop while the start-up box is up ends the agent at once with 0', { timeout: 240_000 }, async () => {
  await inDesktop('terminal_off-stop', { simulatorArgs: ['--scenario', 'silent'] }, async (world) => {
    const agent = world.spawnAgent();
    await world.windowTitled('OVTelquin', agent.pid);
    process.kill(agent.pid, 'SIGTERM');
    await waitFor('the agent to end', () => agent.exit, { limit: LIMIT.exit });
    assert.deepEqual(agent.exit, { code: 0, signal: null });
    assert.equal(await probePort(world.port), 'refused');
    assert.doesNotMatch(await world.agentLog(), /AcceptFunc Call!/);
  });
});
