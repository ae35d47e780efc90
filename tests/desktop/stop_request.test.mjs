// A stop request (SIGTERM, the path a session's end takes too) while one of
// the agent's windows is open: the agent ends the clean way, status 0,
// whatever is open.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { LIMIT, inDesktop, waitFor } from './desktop.mjs';

// Menu 129: 설정, then 종료.
const MENU_ITEMS = 2;
const SETTINGS_ITEM = 0;

// The tray menu and the settings dialog run their loops inside the tray
// icon's own mouse handler: a stop that removed the icon while they were
// open made the agent crash (SIGSEGV) once they returned.
const CASES = [
  { open: 'nothing', show: async () => {} },
  {
    open: 'the version window',
    show: async (world, agent, icon) => {
      await world.clickIcon(icon, { double: true });
      await world.windowTitled('Orva Virtual Telquin', agent.pid);
    },
  },
  {
    open: 'the tray menu',
    show: async (world, agent, icon) => { await world.openTrayMenu(icon); },
  },
  {
    open: 'the settings dialog',
    show: async (world, agent, icon) => {
      await world.chooseFromMenu(await world.openTrayMenu(icon), SETTINGS_ITEM, MENU_ITEMS);
      await world.windowTitled('OVTelquin', agent.pid);
    },
  },
];

test('SIGTERM ends the agent with status 0 whatever window is open', { timeout: 600_000 }, async (t) => {
  for (const c of CASES) {
    await t.test(`with ${c.open} open`, async () => {
      await inDesktop(`stop_request-${c.open.replace(/\W+/g, '_')}`, {}, async (world) => {
        const agent = await world.startAgent();
        const icon = await world.trayIconOf(agent.pid);
        await c.show(world, agent, icon);
        process.kill(agent.pid, 'SIGTERM');
        await waitFor('the agent to end', () => agent.exit, { limit: LIMIT.exit });
        assert.deepEqual(agent.exit, { code: 0, signal: null });
        assert.deepEqual(await world.desktop.trayIcons(), []);
      });
    });
  }
});
