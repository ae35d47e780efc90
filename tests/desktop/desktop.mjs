// What the desktop tests share: a private X server (Xvfb) with trayer as
// its notification area, the real agent on it with its Qt face, xdotool to
// click and type like a person, and screenshots a person can look at.
// Built on tests/support/world.mjs (data root, simulator, agent process,
// waits on conditions), so each test has its own display, trayer, data
// root, simulator and agent, and its clean-up ends all of them.
//
// Besides OVT_BIN_DIR and OVT_CATSIM (see world.mjs):
//   OVT_SHOTS_DIR  where screenshots go (default: tests/desktop/shots in
//                  the build tree of OVT_BIN_DIR, build/default/...)
//
// Facts this relies on (measured with Debian 12's Xvfb 21.1.7, trayer
// 1.1.8, xdotool 3.20160805 and Qt 6.4.2):
// - Without a session bus that has a StatusNotifierItem host, Qt docks the
//   tray icon into trayer by XEmbed: the icon is a window of the agent's
//   (WM_CLASS "OVTelquin", _NET_WM_PID the agent) below trayer's panel.
// - There is no window manager: windows have no frames, and a window that
//   Qt activates gets the input focus directly (XSetInputFocus).
// - Keys go through XTEST to the focused window (`xdotool key`), never as
//   sent events (`xdotool key --window`): after a sent Escape closed a
//   dialog, its key release has no window to go to, and the agent's Qt
//   then ignores the next mouse input (the tray menu does not open).
// - `xdotool mousemove --sync` to where the pointer already is waits about
//   15 s before it gives up; the moves here do not sync (the click after
//   the move reaches the server after it anyway).
// - An X server resets itself when its last client disconnects, and a
//   client connecting meanwhile is refused: an xdotool call ending just
//   as trayer starts made trayer fail ("cannot open display"). Xvfb runs
//   with -noreset.
// - Xvfb's -displayfd reports the display once it accepts clients, but in
//   that mode Xvfb neither takes nor heeds /tmp/.X<n>-lock. So the lock
//   file is taken here first, and a number whose lock or socket exists is
//   skipped.

import { execFile, spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdir, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import { dirname, join } from 'node:path';
import { promisify } from 'node:util';

import { Child, LIMIT, World, binDir, isGone, readText, sleep, waitFor } from '../support/world.mjs';

export * from '../support/world.mjs';

const execFileP = promisify(execFile);

// Beside the programs' build: build/<preset>/tests/desktop/shots.
export const shotsDir =
  process.env.OVT_SHOTS_DIR || join(dirname(binDir), 'tests', 'desktop', 'shots');

// Waits on windows: a window mapped or gone, the focus moved. Each look
// runs a few X tools per window, so they look less often than other waits.
const WINDOW_LIMIT = 30_000;
const WINDOW_WAIT = { limit: WINDOW_LIMIT, every: 200 };

// The first display number tried; high, to stay clear of real desktops.
const FIRST_DISPLAY = 90;
const SCREEN = { width: 1024, height: 768 };

// ---------------------------------------------------------------------------
// The X server and the notification area.
// ---------------------------------------------------------------------------

export class Desktop {
  // An Xvfb on the first free display from FIRST_DISPLAY on, with trayer
  // at the top right, waited for until its panel is visible.
  static async start() {
    const desktop = new Desktop();
    try {
      await desktop.startServer();
      await desktop.startTrayer();
    } catch (err) {
      await desktop.close();
      throw err;
    }
    return desktop;
  }

  async startServer() {
    for (let n = FIRST_DISPLAY; n < FIRST_DISPLAY + 100; n++) {
      if (existsSync(`/tmp/.X11-unix/X${n}`) || !(await takeDisplayLock(n))) continue;
      this.lock = `/tmp/.X${n}-lock`;
      const server = spawn('Xvfb', [`:${n}`, '-screen', '0', `${SCREEN.width}x${SCREEN.height}x24`,
                                    '-nolisten', 'tcp', '-noreset', '-displayfd', '3'],
                           { stdio: ['ignore', 'ignore', 'pipe', 'pipe'] });
      let stderr = '';
      server.stderr.setEncoding('utf8').on('data', (s) => { stderr += s; });
      const exited = new Promise((ok) => server.once('exit', () => ok(null)));
      const ready = await Promise.race([
        new Promise((ok) => {
          let text = '';
          server.stdio[3].setEncoding('utf8').on('data', (s) => {
            text += s;
            if (text.includes('\n')) ok(text.trim());
          });
        }),
        exited,
        sleep(LIMIT.start, null, { ref: false }),
      ]);
      if (ready === String(n)) {
        this.server = server;
        this.serverExited = exited;
        this.display = `:${n}`;
        return;
      }
      server.kill('SIGKILL');
      await exited;
      await this.releaseLock();
      // An X server that takes no lock may hold the number: try the next.
      if (ready !== null) throw new Error(`Xvfb :${n} did not start: ${ready} ${stderr}`);
    }
    throw new Error('found no free X display');
  }

  async releaseLock() {
    if (this.lock) await rm(this.lock, { force: true });
    this.lock = null;
  }

  async startTrayer() {
    this.trayer = new Child('trayer', 'trayer',
      ['--edge', 'top', '--align', 'right', '--widthtype', 'request', '--height', '32',
       '--SetDockType', 'true', '--transparent', 'false'],
      { env: this.env() });
    this.panel = await waitFor('trayer\'s panel', async () => {
      if (this.trayer.exit) throw new Error(`trayer ended: ${this.trayer.stderr}`);
      return (await this.search(['--onlyvisible', '--class', '^trayer$']))[0];
    }, { limit: LIMIT.start });
  }

  // The environment of an X client of this display.
  env(extra = {}) {
    const env = { ...process.env, DISPLAY: this.display, ...extra };
    delete env.WAYLAND_DISPLAY;
    return env;
  }

  // Runs an X tool; its standard output. Rejects when it fails.
  async tool(program, args) {
    const { stdout } = await execFileP(program, args, { env: this.env(), encoding: 'utf8' });
    return stdout;
  }

  async xdotool(...args) { return this.tool('xdotool', args); }

  // Windows that `xdotool search` finds (none is not an error).
  async search(args) {
    try {
      return (await this.xdotool('search', ...args)).split('\n').filter(Boolean).map(Number);
    } catch {
      return [];
    }
  }

  // A window's place, size and properties, or null when it has gone:
  // { id, x, y, width, height, viewable, overrideRedirect, pid, name,
  //   className, types, transientFor }.
  async info(id) {
    let geometry;
    let props;
    try {
      geometry = await this.tool('xwininfo', ['-all', '-id', String(id)]);
      props = await this.tool('xprop', ['-id', String(id), '_NET_WM_PID', 'WM_CLASS', '_NET_WM_NAME',
                                        '_NET_WM_WINDOW_TYPE', 'WM_TRANSIENT_FOR']);
    } catch {
      return null;
    }
    const number = (label) => Number(new RegExp(`${label}:\\s+(-?\\d+)`).exec(geometry)?.[1]);
    const prop = (name) => new RegExp(`^${name}\\([^)]*\\)\\s*[:=]\\s*(.*)$`, 'm').exec(props)?.[1] ?? null;
    const strings = (text) => [...(text ?? '').matchAll(/"((?:[^"\\]|\\.)*)"/g)].map((m) => m[1]);
    return {
      id,
      x: number('Absolute upper-left X'),
      y: number('Absolute upper-left Y'),
      width: number('Width'),
      height: number('Height'),
      viewable: /Map State:\s+IsViewable/.test(geometry),
      overrideRedirect: /Override Redirect State:\s+yes/.test(geometry),
      pid: prop('_NET_WM_PID') === null ? null : Number(prop('_NET_WM_PID')),
      name: strings(prop('_NET_WM_NAME'))[0] ?? null,
      className: strings(prop('WM_CLASS'))[1] ?? null,
      types: (prop('_NET_WM_WINDOW_TYPE') ?? '').split(/,\s*/).filter(Boolean),
      transientFor: /window id # (0x[0-9a-f]+)/.exec(prop('WM_TRANSIENT_FOR') ?? '')?.[1] ?? null,
    };
  }

  // The windows docked in trayer (its panel's descendants that have a
  // class), each with info(): the tray icons.
  async trayIcons() {
    let tree;
    try {
      tree = await this.tool('xwininfo', ['-tree', '-id', String(this.panel)]);
    } catch {
      return [];
    }
    const icons = [];
    for (const m of tree.matchAll(/^\s*(0x[0-9a-f]+) .*?: \(("[^)]*)\)/gm)) {
      const icon = await this.info(Number(m[1]));
      if (icon !== null) icons.push(icon);
    }
    return icons;
  }

  // Visible windows of `pid` (by _NET_WM_PID) that `match` accepts.
  async windowsOf(pid, match = () => true) {
    const found = [];
    for (const id of await this.search(['--onlyvisible', '--name', '.*'])) {
      const w = await this.info(id);
      if (w !== null && w.viewable && w.pid === pid && match(w)) found.push(w);
    }
    return found;
  }

  // Waits for one visible window of `pid` that `match` accepts.
  async waitWindow(what, pid, match) {
    return waitFor(what, async () => (await this.windowsOf(pid, match))[0], WINDOW_WAIT);
  }

  async waitGone(what, id) {
    await waitFor(what, async () => {
      const w = await this.info(id);
      return w === null || !w.viewable;
    }, WINDOW_WAIT);
  }

  async focus() {
    return Number(await this.xdotool('getwindowfocus'));
  }

  // Presses `keys` (xdotool key names) on window `id` once it has the
  // input focus, as a keyboard does (XTEST).
  async press(id, keys) {
    await waitFor(`window ${id} to have the input focus`, async () => (await this.focus()) === id,
                  WINDOW_WAIT);
    await this.xdotool('key', keys);
  }

  // Types `text` into the focused window.
  async type(text) {
    await this.xdotool('type', text);
  }

  // Moves the pointer to (x, y) of window `id` (absolute when id is null)
  // and clicks `button`, twice for a double-click.
  async click(id, x, y, { button = 1, double = false } = {}) {
    const move = id === null ? ['mousemove', String(x), String(y)]
                             : ['mousemove', '--window', String(id), String(x), String(y)];
    const click = double ? ['click', '--repeat', '2', '--delay', '120', String(button)]
                         : ['click', String(button)];
    await this.xdotool(...move, ...click);
  }

  // Saves a PNG of the whole screen, of a window (`window`: an id), or of a
  // rectangle of the screen (`region`: { x, y, width, height }) as
  // shotsDir/name.png; returns its path.
  async screenshot(name, { window = null, region = null } = {}) {
    await mkdir(shotsDir, { recursive: true });
    const file = join(shotsDir, `${name}.png`);
    const args = ['-window', window === null ? 'root' : String(window)];
    if (region !== null) {
      const r = clip(region);
      args.push('-crop', `${r.width}x${r.height}+${r.x}+${r.y}`, '+repage');
    }
    await this.tool('import', [...args, file]);
    return file;
  }

  async close() {
    await this.trayer?.stop();
    if (this.server) {
      this.server.kill('SIGTERM');
      const ended = await Promise.race([this.serverExited, sleep(LIMIT.exit, 'late', { ref: false })]);
      if (ended === 'late') {
        this.server.kill('SIGKILL');
        await this.serverExited;
      }
    }
    await this.releaseLock();
  }
}

// Takes display n's lock file the way X servers do (created exclusively,
// holding a pid: ours), so that tests starting side by side, and X servers
// that lock, never pick the same number. A lock whose process has gone (a
// test killed before its clean-up) is stale and removed, as X servers do.
// False when a living process holds it.
async function takeDisplayLock(n) {
  const path = `/tmp/.X${n}-lock`;
  for (let attempt = 0; attempt < 2; attempt++) {
    try {
      await writeFile(path, `${String(process.pid).padStart(10)}\n`, { flag: 'wx', mode: 0o444 });
      return true;
    } catch (err) {
      if (err.code !== 'EEXIST') throw err;
    }
    const holder = Number((await readText(path)) ?? '');
    if (!(holder > 0) || !isGone(holder)) return false;
    await rm(path, { force: true });
  }
  return false;
}

// A rectangle kept on the screen.
function clip({ x, y, width, height }) {
  const left = Math.max(0, x);
  const top = Math.max(0, y);
  return {
    x: left,
    y: top,
    width: Math.min(SCREEN.width, x + width) - left,
    height: Math.min(SCREEN.height, y + height) - top,
  };
}

// The smallest rectangle around `rects`, `margin` pixels wider each way.
export function around(rects, margin = 0) {
  const left = Math.min(...rects.map((r) => r.x)) - margin;
  const top = Math.min(...rects.map((r) => r.y)) - margin;
  const right = Math.max(...rects.map((r) => r.x + r.width)) + margin;
  const bottom = Math.max(...rects.map((r) => r.y + r.height)) + margin;
  return { x: left, y: top, width: right - left, height: bottom - top };
}

// ---------------------------------------------------------------------------
// One test's world on its own desktop.
// ---------------------------------------------------------------------------

export class DesktopWorld extends World {
  rootPrefix() { return 'ovt-desktop-'; }

  async prepare() {
    this.desktop = await Desktop.start();
    this.cleanups.push(() => this.desktop.close());
    // Qt wants a private runtime folder; without one it warns.
    this.runtimeDir = join(this.root, 'xdg-runtime');
    await mkdir(this.runtimeDir, { mode: 0o700 });
  }

  // The agent on this display with its Qt face: no --headless, no
  // QT_QPA_PLATFORM, and a session bus address that leads nowhere, so that
  // a session bus of the machine's cannot take the icon away from trayer.
  agentEnvironment() {
    const env = this.desktop.env({
      OVTELQUIN_ROOT: this.root,
      XDG_RUNTIME_DIR: this.runtimeDir,
      DBUS_SESSION_BUS_ADDRESS: `unix:path=${join(this.root, 'no-session-bus')}`,
    });
    delete env.QT_QPA_PLATFORM;
    return env;
  }

  // Saves a screenshot named after the test (see Desktop.screenshot).
  async screenshot(what, options) {
    return this.desktop.screenshot(`${this.name}-${what}`, options);
  }

  // Waits until `pid` has its icon in trayer and returns it.
  async trayIconOf(pid) {
    return waitFor(`the tray icon of pid ${pid} in trayer`, async () =>
      (await this.desktop.trayIcons()).find((w) => w.pid === pid && w.className === 'OVTelquin'),
      { limit: LIMIT.start });
  }

  // Visible windows of `pid` titled `title` (message boxes, dialogs; the
  // tray icon and pop-ups, which carry the application's name too, left
  // out).
  async windowsTitled(title, pid) {
    return this.desktop.windowsOf(pid, (w) => w.name === title && !w.overrideRedirect);
  }

  // Waits for one of them.
  async windowTitled(title, pid) {
    return waitFor(`a window "${title}" of pid ${pid}`,
                   async () => (await this.windowsTitled(title, pid))[0], WINDOW_WAIT);
  }

  // Clicks the tray icon: the right button (the menu), or a double-click
  // of the left one (the version window).
  async clickIcon(icon, { button = 1, double = false } = {}) {
    await this.desktop.click(icon.id, Math.floor(icon.width / 2), Math.floor(icon.height / 2),
                             { button, double });
  }

  // Right-clicks the tray icon and waits for the agent's pop-up menu. The
  // click is low on the icon, so the menu, which opens at the pointer,
  // leaves the icon in sight.
  async openTrayMenu(icon) {
    await this.desktop.click(icon.id, Math.floor(icon.width / 2), icon.height - 3, { button: 3 });
    return this.desktop.waitWindow(`the tray menu of pid ${icon.pid}`, icon.pid,
                                   (w) => w.overrideRedirect && w.id !== icon.id);
  }

  // Clicks item `position` (from 0) of a pop-up menu of `count` items of
  // equal height.
  async chooseFromMenu(menu, position, count) {
    const x = menu.x + Math.floor(menu.width / 2);
    const y = menu.y + Math.floor((menu.height * (2 * position + 1)) / (2 * count));
    await this.desktop.click(null, x, y);
    await this.desktop.waitGone('the tray menu to close', menu.id);
  }

  async diagnostics() {
    let text = await super.diagnostics();
    try {
      const shot = await this.screenshot('failure');
      const icons = await this.desktop.trayIcons();
      const windows = [];
      for (const id of await this.desktop.search(['--onlyvisible', '--name', '.*'])) {
        windows.push(await this.desktop.info(id));
      }
      text += `\n--- screen: ${shot}\n--- tray icons: ${JSON.stringify(icons)}` +
              `\n--- visible windows: ${JSON.stringify(windows.filter(Boolean))}`;
    } catch (err) {
      text += `\n--- no picture of the screen: ${err}`;
    }
    return text;
  }
}

// Runs `body` in a fresh desktop world; screenshots are named after `name`.
export async function inDesktop(name, options, body) {
  return DesktopWorld.run(options, async (world) => {
    world.name = name;
    await body(world);
  });
}

// ---------------------------------------------------------------------------
// The agent's ports.
// ---------------------------------------------------------------------------

// 'accepted' or 'refused': what a TCP connection to 127.0.0.1:port meets.
// An accepted connection is closed at once.
export function probePort(port) {
  return new Promise((ok, fail) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); ok('accepted'); });
    socket.once('error', (err) => (err.code === 'ECONNREFUSED' ? ok('refused') : fail(err)));
  });
}

// A WebSocket client of the smallest kind: the opening handshake, then one
// masked text frame. Resolves with { socket, received() } once the agent
// has answered 101; received() is every byte that came after the
// handshake's answer.
export async function sendWebSocketText(port, text) {
  const socket = net.connect(port, '127.0.0.1');
  let head = Buffer.alloc(0);
  let after = Buffer.alloc(0);
  let opened = false;
  await new Promise((ok, fail) => {
    socket.once('error', fail);
    socket.once('connect', () => {
      socket.write('GET /VEVU HTTP/1.1\r\nHost: 127.0.0.1:' + port + '\r\n' +
                   'Upgrade: websocket\r\nConnection: Upgrade\r\n' +
                   'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n');
    });
    socket.on('data', (chunk) => {
      if (opened) {
        after = Buffer.concat([after, chunk]);
        return;
      }
      head = Buffer.concat([head, chunk]);
      const end = head.indexOf('\r\n\r\n');
      if (end < 0) return;
      opened = true;
      after = head.subarray(end + 4);
      const status = head.subarray(0, head.indexOf('\r\n')).toString('latin1');
      if (!/^HTTP\/1\.1 101 /.test(status)) fail(new Error(`handshake answered: ${status}`));
      else ok();
    });
  });
  const payload = Buffer.from(text, 'utf8');
  if (payload.length > 125) throw new Error('a longer frame than this client makes');
  const mask = Buffer.from([0x12, 0x34, 0x56, 0x78]);
  const frame = Buffer.concat([
    Buffer.from([0x81, 0x80 | payload.length]),
    mask,
    Buffer.from(payload.map((b, i) => b ^ mask[i % 4])),
  ]);
  socket.write(frame);
  return { socket, received: () => after };
}
