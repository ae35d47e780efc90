// reference_server_common.js: what the reference servers of the benchmarks
// share: their command line, the reply to a request without a command, and
// how they announce themselves and end.
//
// Command line: --request TEXT --reply-hex HEX [--port N]
//   --request   the agent message that gets the reply (UTF-8 text);
//   --reply-hex the reply bytes, in hex, exactly as the agent sends them
//               (its UTF-8 form);
//   --port      the port on 127.0.0.1; 0 (the default) lets the system
//               choose.
'use strict';

// What the agent answers a request without a command.
const NO_COMMAND_REPLY = Buffer.from('0022VEVU00140010NO COMMAND', 'latin1');

function parseArguments(argv) {
  const options = { port: 0, request: null, reply: null };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i];
    const value = argv[i + 1];
    if (value === undefined) throw new Error(`${name} needs a value`);
    if (name === '--port') {
      if (!/^\d+$/.test(value) || Number(value) > 65535) throw new Error(`bad port ${value}`);
      options.port = Number(value);
    } else if (name === '--request') {
      options.request = Buffer.from(value, 'utf8');
    } else if (name === '--reply-hex') {
      if (!/^([0-9a-fA-F]{2})*$/.test(value)) throw new Error('--reply-hex needs pairs of hex digits');
      options.reply = Buffer.from(value, 'hex');
    } else {
      throw new Error(`unknown argument ${name}`);
    }
  }
  if (options.request === null || options.reply === null) {
    throw new Error('--request and --reply-hex are required');
  }
  return options;
}

// The options of this process's command line; on a bad one the process
// ends with status 2 after a message on stderr that starts with `name`.
function optionsOrExit(name) {
  try {
    return parseArguments(process.argv.slice(2));
  } catch (error) {
    process.stderr.write(`${name}: ${error.message}\n`);
    process.exit(2);
  }
  return null;
}

// Once `server` listens, "LISTENING <port>" goes to stdout; a server error
// ends the process with status 1. The process ends on SIGTERM or SIGINT,
// and when its stdin reaches its end (the bench that started it has gone),
// so it never outlives the run.
function serveUntilStopped(name, server) {
  server.on('listening', () => {
    process.stdout.write(`LISTENING ${server.address().port}\n`);
  });
  server.on('error', (error) => {
    process.stderr.write(`${name}: ${error.message}\n`);
    process.exit(1);
  });

  const stop = () => {
    server.close();
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  process.stdin.on('end', stop);
  process.stdin.on('error', stop);
  process.stdin.resume();
}

module.exports = { NO_COMMAND_REPLY, optionsOrExit, serveUntilStopped };
