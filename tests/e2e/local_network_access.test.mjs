// The example page served from an origin that chromium counts as public,
// as a point-of-sale site on the internet is: Local Network Access lets such
// a page reach the agent on the loopback address only with the user's
// permission. Headless chromium refuses the permission prompt, so without
// the permission the page must say that the browser blocked it (and the
// message must not reach the agent); with the permission granted through
// the browser automation, a payment goes through. When the agent is not
// there at all, the page must not claim that the browser blocked it.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { freePortPair, inWorld, launchBrowser, paths, send, serveDirectory, visible } from './harness.mjs';

// The page's own web server, on a loopback port that chromium is told to
// count as public.
let pageServer;
let browser;
before(async () => {
  pageServer = await serveDirectory(paths.pageDir);
  const pagePort = new URL(pageServer.origin).port;
  browser = await launchBrowser({ args: [`--ip-address-space-overrides=127.0.0.1:${pagePort}=public`] });
});
after(async () => {
  await browser?.close();
  await pageServer?.close();
});

// A browser context whose pages from the page server may (or may not)
// reach the local network. Playwright's "local-network-access" grants
// chromium's loopbackNetwork permission, the one that counts for
// 127.0.0.1 in chromium 156, along with localNetwork and the older
// localNetworkAccess.
async function context({ allowed }) {
  const ctx = await browser.newContext();
  if (allowed) await ctx.grantPermissions(['local-network-access'], { origin: pageServer.origin });
  return ctx;
}

async function inContext(options, body) {
  const ctx = await context(options);
  try {
    return await body(ctx);
  } finally {
    await ctx.close();
  }
}

const MODES = [
  { mode: 'websocket', webMode: 0, url: (port) => `ws://127.0.0.1:${port}/VEVU` },
  { mode: 'ajax', webMode: 1, url: (port) => `http://127.0.0.1:${port}/` },
];

// The simulator answers "OK:" + the payment data + " 승인".
const PAYMENT_DATA = 'D10000001000';
const PAYMENT_REPLY = visible(`0034VEVU00000022\x02OK:${PAYMENT_DATA} 승인\x03`);

// Requests the dispatcher took, and payments the terminal received.
const dispatched = (log) => log.split('\n').filter((l) => l.includes('[VEVU - ReqToCat_WS Call]')).length;
const paymentsReceived = async (world) => (await world.received()).toString('latin1').split(PAYMENT_DATA).length - 1;

for (const { mode, webMode, url } of MODES) {
  test(`${mode}: refused, the page says the browser blocked it and the agent sees nothing; allowed, a payment goes through`,
    { timeout: 240_000 }, async () => {
      await inWorld({ webMode }, async (world) => {
        await world.startAgent();

        await inContext({ allowed: false }, async (ctx) => {
          const page = await world.openPage(ctx, { mode, origin: pageServer.origin });
          const view = await send(page, '#pay');
          assert.equal(view.state, 'blocked', view.status);
          assert.equal(view.status,
            `Payment: the browser blocked this page's access to the local network, where the agent listens ` +
            `(${url(world.port)}); the message was not sent.`);
          assert.match(view.help, /^To allow it, click the icon at the left of the address bar.*Apps on device/);
          assert.match(view.help, /administrator.*LoopbackNetworkAllowedForUrls/);
          assert.equal(view.raw, '');
          assert.deepEqual(world.pageErrors, []);
        });
        assert.equal(dispatched(await world.agentLog()), 0);
        assert.equal(await paymentsReceived(world), 0);

        await inContext({ allowed: true }, async (ctx) => {
          const page = await world.openPage(ctx, { mode, origin: pageServer.origin });
          const view = await send(page, '#pay');
          assert.equal(view.state, 'replied', view.status);
          assert.equal(view.raw, PAYMENT_REPLY);
          assert.equal(view.help, '');
        });
        // The agent serves one connection at a time, in order: had the
        // refused attempt carried the message, it would be here too.
        assert.equal(dispatched(await world.agentLog()), 1);
        assert.equal(await paymentsReceived(world), 1);
        assert.deepEqual(world.pageErrors, []);
      });
    });
}

// Nothing listens on the port. With the permission granted the browser did
// not block anything, so the page names the agent alone; from disk, where
// the browser applies no such check and the permission stays at "prompt",
// the page cannot tell, names both causes, and says how to allow.
test('no agent: the page does not blame the browser when it allowed the page', { timeout: 120_000 }, async () => {
  const port = await freePortPair();
  const cases = [
    { from: 'a public origin, allowed', allowed: true, origin: pageServer.origin,
      state: 'unreachable', cause: 'it is not running, or it listens on another port', help: '' },
    { from: 'disk', allowed: false, origin: null,
      state: 'unreachable', cause: "it is not running, or the browser blocked this page's access to the local network",
      help: /^If the browser blocked it, click the icon at the left of the address bar/ },
  ];
  for (const c of cases) {
    for (const { mode, url } of MODES) {
      await inContext({ allowed: c.allowed }, async (ctx) => {
        const page = await ctx.newPage();
        await page.goto(c.origin === null ? pathToFileURL(paths.page).href : `${c.origin}/index.html`);
        await page.selectOption('#mode', mode);
        await page.fill('#port', String(port));
        const view = await send(page, '#pay');
        const what = `${mode} from ${c.from}`;
        assert.equal(view.state, c.state, what);
        assert.equal(view.status, `Payment: could not connect to the agent at ${url(port)}: ${c.cause}.`, what);
        if (typeof c.help === 'string') assert.equal(view.help, c.help, what);
        else assert.match(view.help, c.help, what);
      });
    }
  }
});
