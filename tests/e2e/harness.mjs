// What the browser end-to-end tests share: the built programs, a data root
// per test with the terminal simulator on COM5 and the agent's settings,
// the agent as a real process, the example page in Debian's chromium (from
// disk, or from a small web server of its own on another loopback port),
// and waits on conditions (never on a fixed time).
//
// Programs come from the environment, with defaults in build/default:
//   OVT_BIN_DIR   folder of OVTelquin and the libraries it loads
//   OVT_CATSIM    the terminal simulator
//   OVT_CHROMIUM  the browser (Debian's chromium; playwright downloads none)
//
// Every process a test starts is ended and reaped by the test's clean-up,
// including an agent that replaced itself (RRUN): agents are found by the
// test's own data root in their environment.

import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync, readFileSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, readdir, readlink, rm, writeFile } from 'node:fs/promises';
import http from 'node:http';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, extname, join, normalize, resolve, sep } from 'node:path';
import { createInterface } from 'node:readline';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { chromium } from 'playwright-core';

const repoRoot = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
const binDir = process.env.OVT_BIN_DIR || join(repoRoot, 'build', 'default', 'bin');

export const paths = {
  agent: join(binDir, 'OVTelquin'),
  catsim: process.env.OVT_CATSIM || join(repoRoot, 'build', 'default', 'tools', 'catsim', 'catsim'),
  chromium: process.env.OVT_CHROMIUM || '/usr/bin/chromium',
  pageDir: join(repoRoot, 'examples', 'pos-page'),
  page: join(repoRoot, 'examples', 'pos-page', 'index.html'),
};

// Generous limits: a wait that runs into one means the awaited thing did
// not happen, not that the machine was slow.
export const LIMIT = {
  start: 60_000,   // a process up and ready (the agent probes the terminal first)
  reply: 60_000,   // a reply in the page
  exit: 30_000,    // a process gone after being told to end
};

const cp949 = new TextDecoder('euc-kr');

// Waits until probe() gives a truthy value and returns it. Polls every
// `every` ms; gives up after `limit` ms with an error naming `what`.
export async function waitFor(what, probe, { limit = LIMIT.start, every = 100 } = {}) {
  const deadline = Date.now() + limit;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`gave up after ${limit} ms waiting for ${what}`);
    await sleep(every);
  }
}

// Debian's chromium, headless; `args` are further command-line switches.
export async function launchBrowser({ args = [] } = {}) {
  return chromium.launch({
    executablePath: paths.chromium,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--no-first-run', ...args],
  });
}

// ---------------------------------------------------------------------------
// Processes and sockets, as Linux's /proc shows them.
// ---------------------------------------------------------------------------

async function readText(path) {
  try {
    return await readFile(path, 'latin1');
  } catch {
    return null;
  }
}

// Live processes (not zombies) whose environment holds OVTELQUIN_ROOT=root:
// the agents of one test, whoever started them.
export async function agentPids(root) {
  const marker = `\0OVTELQUIN_ROOT=${root}\0`;
  const pids = [];
  for (const entry of await readdir('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    const environ = await readText(`/proc/${entry}/environ`);
    if (environ !== null && `\0${environ}`.includes(marker)) pids.push(Number(entry));
  }
  return pids;
}

// Inodes of the sockets listening on `port` (IPv4 and IPv6 tables).
async function listeningInodes(port) {
  const inodes = new Set();
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    const text = await readText(table);
    if (text === null) continue;
    for (const line of text.split('\n').slice(1)) {
      const f = line.trim().split(/\s+/);
      if (f.length < 10 || f[3] !== '0A') continue; // 0A: LISTEN
      if (parseInt(f[1].split(':').pop(), 16) === port) inodes.add(f[9]);
    }
  }
  return inodes;
}

async function socketInodesOf(pid) {
  const inodes = new Set();
  let fds;
  try {
    fds = await readdir(`/proc/${pid}/fd`);
  } catch {
    return inodes;
  }
  for (const fd of fds) {
    try {
      const m = /^socket:\[(\d+)\]$/.exec(await readlink(`/proc/${pid}/fd/${fd}`));
      if (m) inodes.add(m[1]);
    } catch { /* closed meanwhile */ }
  }
  return inodes;
}

// The agent of `root` that listens on `port`, or null.
export async function listenerOf(root, port) {
  const listening = await listeningInodes(port);
  if (listening.size === 0) return null;
  for (const pid of await agentPids(root)) {
    for (const inode of await socketInodesOf(pid)) {
      if (listening.has(inode)) return pid;
    }
  }
  return null;
}

export async function commandLineOf(pid) {
  const text = await readText(`/proc/${pid}/cmdline`);
  return text === null ? null : text.split('\0').filter(Boolean);
}

function isGone(pid) {
  try {
    process.kill(pid, 0);
  } catch {
    return true;
  }
  // A zombie has ended; its parent (init, for a re-parented agent) reaps it.
  let status = '';
  try {
    status = readFileSync(`/proc/${pid}/status`, 'latin1');
  } catch { /* reaped meanwhile */ }
  return status === '' || /^State:\s+Z/m.test(status);
}

// Ends a process that is not our child: SIGTERM, then SIGKILL if it is
// still there after the limit. Returns true when SIGTERM was enough.
export async function endProcess(pid) {
  try {
    process.kill(pid, 'SIGTERM');
  } catch {
    return true;
  }
  try {
    await waitFor(`process ${pid} to end`, () => isGone(pid), { limit: LIMIT.exit });
    return true;
  } catch {
    try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
    await waitFor(`process ${pid} to die`, () => isGone(pid), { limit: LIMIT.exit });
    return false;
  }
}

// Two free loopback ports P and P + 1 (the agent's request and stop ports).
export async function freePortPair() {
  const listen = (port) => new Promise((ok, fail) => {
    const server = net.createServer();
    server.once('error', fail);
    server.listen(port, '127.0.0.1', () => ok(server));
  });
  for (let attempt = 0; attempt < 50; attempt++) {
    const first = await listen(0);
    const port = first.address().port;
    let second = null;
    if (port < 65535) second = await listen(port + 1).catch(() => null);
    first.close();
    if (second) {
      second.close();
      return port;
    }
  }
  throw new Error('found no two free neighbouring ports');
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
// One test's world.
// ---------------------------------------------------------------------------

// A child process with its output collected.
class Child {
  constructor(name, file, args, options) {
    this.name = name;
    this.stdout = '';
    this.stderr = '';
    this.exit = null; // { code, signal } once it has ended
    this.proc = spawn(file, args, { ...options, stdio: ['ignore', 'pipe', 'pipe'] });
    this.pid = this.proc.pid;
    this.proc.stdout.setEncoding('utf8');
    this.proc.stderr.setEncoding('utf8');
    this.proc.stderr.on('data', (s) => { this.stderr += s; });
    this.exited = new Promise((ok) => {
      this.proc.on('error', (err) => { this.stderr += String(err); this.exit = { code: null, signal: null }; ok(this.exit); });
      this.proc.on('exit', (code, signal) => { this.exit = { code, signal }; ok(this.exit); });
    });
  }

  async stop() {
    if (this.exit === null) {
      this.proc.kill('SIGTERM');
      const ended = await Promise.race([this.exited, sleep(LIMIT.exit, null, { ref: false })]);
      if (ended === null) {
        this.proc.kill('SIGKILL');
        await this.exited;
      }
    }
    // A restarted agent inherits these pipes; do not wait for it to close them.
    this.proc.stdout.destroy();
    this.proc.stderr.destroy();
    return this.exit;
  }
}

export class World {
  constructor() {
    this.cleanups = [];
    this.agents = [];
    this.pageErrors = [];
  }

  // A fresh data root, the simulator on COM5 (with `simulatorArgs`) and
  // the agent's settings: COM5 at 115200 baud, port P for the front end of
  // `webMode` (0 WebSocket, 1 AJAX; `get` is the AJAX setting GET, absent
  // when null).
  static async create({ simulatorArgs = [], webMode = 0, get = null } = {}) {
    const world = new World();
    world.root = await mkdtemp(join(tmpdir(), 'ovt-e2e-'));
    world.cleanups.push(() => rm(world.root, { recursive: true, force: true }));
    world.record = join(world.root, 'catsim-com5.record');
    try {
      await world.startSimulator(simulatorArgs);
      world.port = await freePortPair();
      await mkdir(join(world.root, 'OVVarsel'));
      const portKey = webMode === 1 ? 'ServerPortAjax' : 'ServerPortWebsocket';
      await writeFile(join(world.root, 'OVVarsel', 'OVVARSEL.ini'),
        '[CAT]\nCatComPort=5\nCatComBaud=115200\n' +
        `[HTTP]\nWebMode=${webMode}\n${portKey}=${world.port}\n` +
        (get === null ? '' : `GET=${get}\n`));
    } catch (err) {
      await world.close();
      throw err;
    }
    return world;
  }

  async startSimulator(args) {
    const sim = new Child('catsim', paths.catsim,
      ['--root', this.root, '--com', '5', '--record', this.record, ...args], {});
    this.cleanups.push(() => sim.stop());
    const lines = createInterface({ input: sim.proc.stdout });
    const ready = await Promise.race([
      once(lines, 'line').then(([line]) => line),
      sim.exited.then(() => null),
      sleep(LIMIT.start, null, { ref: false }),
    ]);
    lines.close();
    if (!ready || !ready.startsWith('READY ')) {
      throw new Error(`the terminal simulator did not start: ${ready} ${sim.stderr}`);
    }
    this.simulator = sim;
  }

  // Starts an agent in the data root (its working folder too, where it
  // keeps orvaResult.txt). Does not wait for it.
  spawnAgent(args = []) {
    const agent = new Child('OVTelquin', paths.agent, args, {
      cwd: this.root,
      env: { ...process.env, OVTELQUIN_ROOT: this.root },
    });
    this.agents.push(agent);
    return agent;
  }

  // Starts the agent and waits until it listens on P and P + 1.
  async startAgent() {
    const agent = this.spawnAgent();
    await this.waitUntilServing(agent.pid, agent);
    return agent;
  }

  // Waits until `pid` listens on both ports; fails at once if `child`
  // ends meanwhile.
  async waitUntilServing(pid, child = null) {
    await waitFor(`the agent (pid ${pid}) to listen on ${this.port} and ${this.port + 1}`, async () => {
      if (child && child.exit) {
        throw new Error(`the agent ended while starting (${JSON.stringify(child.exit)}): ${child.stderr}`);
      }
      return (await listenerOf(this.root, this.port)) === pid &&
             (await listenerOf(this.root, this.port + 1)) === pid;
    });
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

  // Every line the agent logged, decoded from code page 949.
  async agentLog() {
    return this.logs((name) => name.startsWith('OVTelquin_'));
  }

  // The link library's log (the terminal exchanges).
  async linkLog() {
    return this.logs((name) => /^\d{8}\.log$/.test(name));
  }

  async logs(pick) {
    const dir = join(this.root, 'ORVAlog');
    if (!existsSync(dir)) return '';
    let text = '';
    for (const name of (await readdir(dir)).filter(pick).sort()) {
      text += cp949.decode(await readFile(join(dir, name)));
    }
    return text;
  }

  // Bytes the simulator received from the line, in order.
  async received() {
    const text = (await readText(this.record)) || '';
    const hex = text.split('\n').filter((l) => l.startsWith('RX ')).map((l) => l.slice(3)).join(' ');
    return Buffer.from(hex.replace(/\s+/g, ''), 'hex');
  }

  // What the agent and the logs said, for a failed test's message.
  async diagnostics() {
    const tail = (s, n) => s.split('\n').slice(-n).join('\n');
    let text = '';
    for (const a of this.agents) {
      text += `\n--- agent pid ${a.pid} exit ${JSON.stringify(a.exit)} stderr:\n${tail(a.stderr, 20)}`;
    }
    text += `\n--- agent log (end):\n${tail(await this.agentLog(), 40)}`;
    text += `\n--- simulator record (end):\n${tail((await readText(this.record)) || '', 15)}`;
    return text;
  }

  // Ends every agent of this root (also one that replaced itself), then
  // the simulator, and removes the root.
  async close() {
    for (const a of this.agents) await a.stop();
    for (const pid of await agentPids(this.root)) await endProcess(pid);
    for (const fn of this.cleanups.reverse()) {
      try {
        await fn();
      } catch (err) {
        console.error(`clean-up: ${err}`);
      }
    }
  }
}

// Runs `body` in a fresh world and always cleans up. A failure carries what
// the agent said.
export async function inWorld(options, body) {
  const world = await World.create(options);
  try {
    await body(world);
  } catch (err) {
    err.message += await world.diagnostics().catch(() => '');
    throw err;
  } finally {
    await world.close();
  }
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

export { cp949, readText, sleep };
