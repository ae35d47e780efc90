// What the Node.js tests share (the browser tests in tests/e2e, the desktop
// tests in tests/desktop): the built programs, a data root per test with
// the terminal simulator on COM5 and the agent's settings, the agent as a
// real process, and waits on conditions (never on a fixed time).
//
// Programs come from the environment, with defaults in build/default:
//   OVT_BIN_DIR   folder of OVTelquin and the libraries it loads
//   OVT_CATSIM    the terminal simulator
//
// Every process a test starts is ended and reaped by the test's clean-up,
// including an agent that replaced itself (RRUN): agents are found by the
// test's own data root in their environment.

import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync, readFileSync } from 'node:fs';
import { mkdir, mkdtemp, readFile, readdir, readlink, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { createInterface } from 'node:readline';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

export const repoRoot = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
export const binDir = process.env.OVT_BIN_DIR || join(repoRoot, 'build', 'default', 'bin');

export const paths = {
  agent: join(binDir, 'OVTelquin'),
  catsim: process.env.OVT_CATSIM || join(repoRoot, 'build', 'default', 'tools', 'catsim', 'catsim'),
};

// Generous limits: a wait that runs into one means the awaited thing did
// not happen, not that the machine was slow.
export const LIMIT = {
  start: 60_000,   // a process up and ready (the agent probes the terminal first)
  reply: 60_000,   // a reply in the page
  exit: 30_000,    // a process gone after being told to end
};

export const cp949 = new TextDecoder('euc-kr');

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

// ---------------------------------------------------------------------------
// Processes and sockets, as Linux's /proc shows them.
// ---------------------------------------------------------------------------

export async function readText(path) {
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

export function isGone(pid) {
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

// A child process with its output collected.
export class Child {
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

// ---------------------------------------------------------------------------
// One test's world.
// ---------------------------------------------------------------------------

export class World {
  constructor() {
    this.cleanups = [];
    this.agents = [];
  }

  // A fresh data root, the simulator on COM5 (with `simulatorArgs`) and
  // the agent's settings: COM5 at 115200 baud, port P for the front end of
  // `webMode` (0 WebSocket, 1 AJAX; `get` is the AJAX setting GET, absent
  // when null); `http` adds keys to the [HTTP] section. A subclass gets a
  // world of its own kind.
  static async create({ simulatorArgs = [], webMode = 0, get = null, http = {} } = {}) {
    const world = new this();
    world.root = await mkdtemp(join(tmpdir(), world.rootPrefix()));
    world.cleanups.push(() => rm(world.root, { recursive: true, force: true }));
    world.record = join(world.root, 'catsim-com5.record');
    try {
      await world.prepare();
      await world.startSimulator(simulatorArgs);
      world.port = await freePortPair();
      await mkdir(join(world.root, 'OVVarsel'));
      const portKey = webMode === 1 ? 'ServerPortAjax' : 'ServerPortWebsocket';
      const extra = Object.entries(http).map(([key, value]) => `${key}=${value}\n`).join('');
      await writeFile(world.settingsFile(),
        '[CAT]\nCatComPort=5\nCatComBaud=115200\n' +
        `[HTTP]\nWebMode=${webMode}\n${portKey}=${world.port}\n` +
        (get === null ? '' : `GET=${get}\n`) + extra);
    } catch (err) {
      await world.close();
      throw err;
    }
    return world;
  }

  rootPrefix() { return 'ovt-e2e-'; }

  // What a subclass sets up before the simulator starts.
  async prepare() {}

  settingsFile() { return join(this.root, 'OVVarsel', 'OVVARSEL.ini'); }

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

  // The agent's environment: ours with the data root.
  agentEnvironment() {
    return { ...process.env, OVTELQUIN_ROOT: this.root };
  }

  // Starts an agent in the data root (its working folder too, where it
  // keeps orvaResult.txt). Does not wait for it.
  spawnAgent(args = []) {
    const agent = new Child('OVTelquin', paths.agent, args, {
      cwd: this.root,
      env: this.agentEnvironment(),
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
  // the rest in the reverse order of its set-up, and removes the root.
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

  // Runs `body` in a fresh world of this kind and always cleans up. A
  // failure carries what the agent said.
  static async run(options, body) {
    const world = await this.create(options);
    try {
      await body(world);
    } catch (err) {
      err.message += await world.diagnostics().catch(() => '');
      throw err;
    } finally {
      await world.close();
    }
  }
}

export { sleep };
