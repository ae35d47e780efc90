// What the browser end-to-end tests share: on top of tests/support/world.mjs
// (the built programs, a data root per test with the terminal simulator on
// COM5 and the agent's settings, the agent as a real process, waits on
// conditions), the example page in Debian's chromium, from disk or from a
// small web server of its own on another loopback port.
//
// Programs come from the environment, with defaults in build/default:
//   OVT_BIN_DIR   folder of OVTelquin and the libraries it loads
//   OVT_CATSIM    the terminal simulator
//   OVT_CHROMIUM  the browser (Debian's chromium; playwright downloads none)

import { readFile } from 'node:fs/promises';
import http from 'node:http';
import { extname, join, normalize, sep } from 'node:path';
import { pathToFileURL } from 'node:url';

import { chromium } from 'playwright-core';

import { LIMIT, World, paths as programs, repoRoot } from '../support/world.mjs';

export {
  LIMIT, agentPids, commandLineOf, cp949, endProcess, freePortPair, listenerOf, readText, sleep,
  waitFor,
} from '../support/world.mjs';

export const paths = {
  ...programs,
  chromium: process.env.OVT_CHROMIUM || '/usr/bin/chromium',
  pageDir: join(repoRoot, 'examples', 'pos-page'),
  page: join(repoRoot, 'examples', 'pos-page', 'index.html'),
};

// Debian's chromium, headless; `args` are further command-line switches.
export async function launchBrowser({ args = [] } = {}) {
  return chromium.launch({
    executablePath: paths.chromium,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--no-first-run', ...args],
  });
}

// ---------------------------------------------------------------------------
// The example page over HTTP, so that it has an origin of its own.
// ---------------------------------------------------------------------------

const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.md': 'text/plain; charset=utf-8',
};

// Serves the files of `dir` (GET only, no listings) on 127.0.0.1 and a
// port of the system's choice. Resolves with { origin, close }.
export async function serveDirectory(dir) {
  const server = http.createServer(async (request, response) => {
    let body = null;
    let type;
    try {
      const path = normalize(join(dir, decodeURIComponent(new URL(request.url, 'http://x').pathname)));
      type = CONTENT_TYPES[extname(path)];
      if (request.method === 'GET' && path.startsWith(dir + sep) && type) body = await readFile(path);
    } catch {
      body = null; // a malformed address or a missing file
    }
    if (body === null) {
      response.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
      return;
    }
    response.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' }).end(body);
  });
  await new Promise((ok, fail) => {
    server.once('error', fail);
    server.listen(0, '127.0.0.1', ok);
  });
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    close: () => new Promise((ok) => {
      server.closeAllConnections();
      server.close(() => ok());
    }),
  };
}

// ---------------------------------------------------------------------------
// One test's world, with the page.
// ---------------------------------------------------------------------------

export class PageWorld extends World {
  constructor() {
    super();
    this.pageErrors = [];
  }

  // The example page in `mode` ("websocket" or "ajax"), pointed at port
  // P, in a new page of `browser` (a browser or one of its contexts). It
  // comes from the web server at `origin` when one is given. Otherwise, in
  // WebSocket mode it comes from disk; in AJAX mode from a web server on
  // another loopback port, so the browser applies its cross-origin rules
  // to every request the page makes to the agent.
  async openPage(browser, { mode = 'websocket', origin = null } = {}) {
    const page = await browser.newPage();
    page.on('pageerror', (err) => this.pageErrors.push(String(err)));
    if (origin !== null) {
      await page.goto(`${origin}/index.html`);
    } else if (mode === 'ajax') {
      if (!this.pageServer) {
        this.pageServer = await serveDirectory(paths.pageDir);
        this.cleanups.push(() => this.pageServer.close());
      }
      await page.goto(`${this.pageServer.origin}/index.html`);
    } else {
      await page.goto(pathToFileURL(paths.page).href);
    }
    await page.selectOption('#mode', mode);
    await page.fill('#port', String(this.port));
    return page;
  }
}

// Runs `body` in a fresh world and always cleans up. A failure carries what
// the agent said.
export async function inWorld(options, body) {
  return PageWorld.run(options, body);
}

// ---------------------------------------------------------------------------
// The page.
// ---------------------------------------------------------------------------

// Clicks `selector` and waits for the outcome of the message it sends:
// a reply or a connection closed without one. Returns what the page shows.
export async function send(page, selector) {
  const before = Number(await page.getAttribute('#reply', 'data-exchange'));
  await page.click(selector);
  await page.waitForFunction((n) => {
    const r = document.getElementById('reply');
    return Number(r.dataset.exchange) > n && r.dataset.state !== 'waiting';
  }, before, { timeout: LIMIT.reply, polling: 100 });
  return shown(page);
}

export async function shown(page) {
  return page.evaluate(() => {
    const text = (id) => document.getElementById(id).textContent;
    const help = document.getElementById('access-help');
    return {
      state: document.getElementById('reply').dataset.state,
      status: text('status'),
      help: help.hidden ? '' : help.textContent,
      raw: text('reply-raw'),
      total: text('reply-total'),
      kind: text('reply-kind'),
      result: text('reply-result'),
      dataLength: text('reply-data-length'),
      data: text('reply-data'),
      totalNote: text('reply-total-note'),
      resultNote: text('reply-result-note'),
      dataLengthNote: text('reply-data-length-note'),
    };
  });
}

// The page's view of text: control bytes as their pictures.
export const visible = (s) =>
  s.replace(/[\x00-\x1f]/g, (c) => String.fromCharCode(0x2400 + c.charCodeAt(0)));

