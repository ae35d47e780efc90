// RRUN from the page: the agent starts its successor with --Restart and
// ends without replying; the successor, another process, serves port P.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { agentPids, commandLineOf, endProcess, inWorld, launchBrowser, listenerOf, send,
         waitFor } from './harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

test('RRUN replaces the agent by a new process that answers on the same port', { timeout: 240_000 }, async () => {
  await inWorld({}, async (world) => {
    const old = await world.startAgent();
    const page = await world.openPage(browser);

    let view = await send(page, '#cmd-rrun');
    assert.equal(view.state, 'closed');
    assert.match(view.status, /restarts itself/);
    // An agent that replaced itself exits with status 3.
    assert.deepEqual(await old.exited, { code: 3, signal: null });

    const successor = await waitFor('another agent to listen on the port', async () => {
      const pid = await listenerOf(world.root, world.port);
      return pid !== null && pid !== old.pid ? pid : null;
    });
    await world.waitUntilServing(successor);
    assert.ok((await commandLineOf(successor)).includes('--Restart'));

    view = await send(page, '#pay');
    assert.equal(view.result, '0000');
    assert.match(view.data, /승인/);

    // The successor is not our child: end it by its pid.
    assert.ok(await endProcess(successor), 'the successor ends on SIGTERM');
    assert.deepEqual(await agentPids(world.root), []);
    assert.deepEqual(world.pageErrors, []);
  });
});
