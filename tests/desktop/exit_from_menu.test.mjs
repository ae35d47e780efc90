// 종료 in the tray menu ends the agent the clean way: status 0, its icon
// taken out of trayer, both ports closed.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { LIMIT, agentPids, inDesktop, probePort, waitFor } from './desktop.mjs';

// Menu 129: 설정, then 종료.
const MENU_ITEMS = 2;
const EXIT_ITEM = 1;

test('종료 ends the agent with status 0, takes its icon away and closes its ports', { timeout: 240_000 }, async () => {
  await inDesktop('exit_from_menu', {}, async (world) => {
    const agent = await world.startAgent();
    const icon = await world.trayIconOf(agent.pid);
    await world.chooseFromMenu(await world.openTrayMenu(icon), EXIT_ITEM, MENU_ITEMS);

    await waitFor('the agent to end', () => agent.exit, { limit: LIMIT.exit });
    assert.deepEqual(agent.exit, { code: 0, signal: null });
    assert.deepEqual(await world.desktop.trayIcons(), []);
    await world.screenshot('tray-after-exit', { region: { x: 824, y: 0, width: 200, height: 60 } });
    for (const port of [world.port, world.port + 1]) {
      assert.equal(await probePort(port), 'refused', `port ${port}`);
    }
    assert.deepEqual(await agentPids(world.root), []);
  });
});
