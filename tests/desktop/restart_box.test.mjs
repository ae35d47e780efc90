// RRUN over WebSocket: the worker shows "데몬 프로그램 재실행을
// 요청했습니다. 데몬 프로그램 재실행 됩니다." in a box and waits there; only
// after OK does the agent start its successor and end. The successor,
// with the --Restart flag, docks its own icon and serves the ports.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { LIMIT, agentPids, commandLineOf, endProcess, inDesktop, listenerOf, sendWebSocketText,
         waitFor } from './desktop.mjs';

// One line per agent start.
const starts = (log) => log.match(/\]\[OnInitDialog +\]\[==========START==========\]/g)?.length ?? 0;

test('RRUN shows a box from the worker; the agent restarts only after OK', { timeout: 240_000 }, async () => {
  await inDesktop('restart_box', {}, async (world) => {
    const { desktop } = world;
    const old = await world.startAgent();
    await world.trayIconOf(old.pid);

    const client = await sendWebSocketText(world.port, '0016VEVU00000004RRUN');
    const box = await world.windowTitled('OVTelquin', old.pid);
    await world.screenshot('box', { window: box.id });
    await world.screenshot('screen-with-box');

    // The worker waits in the box: no successor, no reply, the old agent
    // alone, started once.
    assert.equal(old.exit, null);
    assert.deepEqual(await agentPids(world.root), [old.pid]);
    const log = await world.agentLog();
    assert.match(log, /\]\[RESTART\]/);
    assert.equal(starts(log), 1);
    assert.equal(client.received().length, 0);
    assert.equal(client.socket.destroyed, false);

    await desktop.press(box.id, 'Return');
    await waitFor('the old agent to end', () => old.exit, { limit: LIMIT.exit });
    // An agent that replaced itself exits with status 3.
    assert.deepEqual(old.exit, { code: 3, signal: null });
    client.socket.destroy();

    const successor = await waitFor('another agent to listen on the port', async () => {
      const pid = await listenerOf(world.root, world.port);
      return pid !== null && pid !== old.pid ? pid : null;
    });
    await world.waitUntilServing(successor);
    assert.ok((await commandLineOf(successor)).includes('--Restart'));
    const icon = await world.trayIconOf(successor);
    assert.deepEqual((await desktop.trayIcons()).map((w) => w.id), [icon.id]);
    assert.equal(starts(await world.agentLog()), 2);

    // The successor is not our child: end it by its pid.
    assert.ok(await endProcess(successor), 'the successor ends on SIGTERM');
    assert.deepEqual(await agentPids(world.root), []);
  });
});
