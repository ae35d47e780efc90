// A double-click on the tray icon shows the version window; Enter and
// Escape hide it again, and the agent runs on.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { inDesktop, listenerOf } from './desktop.mjs';

test('a double-click shows the version window; Enter or Escape hides it', { timeout: 240_000 }, async () => {
  await inDesktop('version_window', {}, async (world) => {
    const { desktop } = world;
    const agent = await world.startAgent();
    const icon = await world.trayIconOf(agent.pid);

    for (const key of ['Return', 'Escape']) {
      await world.clickIcon(icon, { double: true });
      const window = await world.windowTitled('Orva Virtual Telquin', agent.pid);
      // Shown in front: it has the input focus (press waits for that).
      await world.screenshot(`version-before-${key}`, { window: window.id });
      await desktop.press(window.id, key);
      await desktop.waitGone(`the version window to hide on ${key}`, window.id);
    }

    assert.equal(agent.exit, null);
    assert.equal(await listenerOf(world.root, world.port), agent.pid);
    assert.deepEqual((await desktop.trayIcons()).map((w) => w.id), [icon.id]);
  });
});
