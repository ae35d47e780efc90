// The tray icon docked in trayer, its menu (설정 bold, 종료), and the
// settings dialog it opens: the stored settings shown, Escape keeping them
// even after a field was changed, 확인 on what is shown writing nothing new.

import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { test } from 'node:test';

import { LIMIT, agentPids, around, inDesktop, waitFor } from './desktop.mjs';

// The settings dialog's template (agent/resources/resources.h,
// kSettingsDialog) in dialog units, and the WebSocket port field in it.
const DIALOG_UNITS = { width: 211, height: 143 };
const WS_PORT_FIELD = { x: 71, y: 38, width: 44, height: 12 };

// Menu 129: 설정, then 종료.
const MENU_ITEMS = 2;
const SETTINGS_ITEM = 0;

// The AJAX port stored beside the WebSocket port: not the default 9088, so
// a dialog that showed defaults would be caught.
const AJAX_PORT = 19188;

test('the tray icon docks in trayer; its menu opens the settings dialog, which shows the stored settings and keeps them', { timeout: 240_000 }, async () => {
  await inDesktop('tray_menu_settings', { http: { ServerPortAjax: AJAX_PORT } }, async (world) => {
    const { desktop } = world;
    const agent = await world.startAgent();

    // Docked: the agent's icon window is inside trayer's panel, and the
    // only one there.
    const icon = await world.trayIconOf(agent.pid);
    assert.deepEqual((await desktop.trayIcons()).map((w) => w.id), [icon.id]);

    const menu = await world.openTrayMenu(icon);
    const panel = await desktop.info(desktop.panel);
    await world.screenshot('screen-with-menu');
    await world.screenshot('tray-menu', { region: around([panel, menu], 24) });

    await world.chooseFromMenu(menu, SETTINGS_ITEM, MENU_ITEMS);
    const dialog = await world.windowTitled('OVTelquin', agent.pid);
    assert.ok(dialog.types.includes('_NET_WM_WINDOW_TYPE_DIALOG'), JSON.stringify(dialog));
    await world.screenshot('settings', { window: dialog.id });
    const stored = await readFile(world.settingsFile(), 'utf8');

    // Another WebSocket port typed in, then Escape: nothing is saved.
    const unitX = dialog.width / DIALOG_UNITS.width;
    const unitY = dialog.height / DIALOG_UNITS.height;
    await desktop.click(dialog.id,
                        Math.round((WS_PORT_FIELD.x + WS_PORT_FIELD.width / 2) * unitX),
                        Math.round((WS_PORT_FIELD.y + WS_PORT_FIELD.height / 2) * unitY));
    await desktop.press(dialog.id, 'ctrl+a');
    await desktop.type(String(world.port + 7));
    await world.screenshot('settings-changed', { window: dialog.id });
    await desktop.press(dialog.id, 'Escape');
    await desktop.waitGone('the settings dialog to close on Escape', dialog.id);
    assert.equal(await readFile(world.settingsFile(), 'utf8'), stored);

    // Opened again, 확인 (Enter) on what the dialog shows: the terminal is
    // probed again and every setting written back as shown. Had the dialog
    // shown anything but the stored mode and ports, the agent would say
    // the ports changed and restart itself.
    await world.chooseFromMenu(await world.openTrayMenu(icon), SETTINGS_ITEM, MENU_ITEMS);
    const again = await world.windowTitled('OVTelquin', agent.pid);
    await desktop.press(again.id, 'Return');
    const outcome = await waitFor('the settings dialog to close, or a box', async () => {
      const others = (await world.windowsTitled('OVTelquin', agent.pid)).filter((w) => w.id !== again.id);
      if (others.length > 0) return 'a box';
      const w = await desktop.info(again.id);
      return w === null || !w.viewable ? 'closed' : null;
    }, { limit: LIMIT.reply });
    assert.equal(outcome, 'closed');
    assert.equal(await readFile(world.settingsFile(), 'utf8'), stored);
    assert.equal(agent.exit, null);
    assert.deepEqual(await agentPids(world.root), [agent.pid]);
  });
});
