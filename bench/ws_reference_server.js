// ws_reference_server.js: a reference WebSocket server for ws_cycle_bench,
// written with the `ws` package, that serves one agent message per
// connection the way the agent does: the opening handshake for /VEVU, one
// text frame in, one text frame out, then a closing frame without payload
// (0x88 0x00).
//
//   node bench/ws_reference_server.js --request TEXT --reply-hex HEX [--port N]
//
// --request   the agent message that gets the reply (UTF-8 text);
// --reply-hex the reply frame's payload bytes, in hex, exactly as the agent
//             sends them (its UTF-8 form);
// --port      the port on 127.0.0.1; 0 (the default) lets the system choose.
//
// Any other message gets the reply the agent gives a request without a
// command. Once listening it prints "LISTENING <port>" on stdout. It ends on
// SIGTERM or SIGINT, and when its stdin reaches its end (the bench that
// started it has gone), so it never outlives the run.
'use strict';

const { WebSocketServer } = require('ws');

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

function main() {
  let options;
  try {
    options = parseArguments(process.argv.slice(2));
  } catch (error) {
    process.stderr.write(`ws_reference_server: ${error.message}\n`);
    process.exit(2);
  }

  const server = new WebSocketServer({
    host: '127.0.0.1',
    port: options.port,
    path: '/VEVU',
    perMessageDeflate: false,
    clientTracking: false,
  });

  server.on('connection', (socket) => {
    socket.on('error', () => {});
    // One message per connection, as the agent serves it: the reply as a
    // text frame, then the closing frame. The client answers the close and
    // the package then ends the TCP connection.
    socket.once('message', (data, isBinary) => {
      const reply = !isBinary && data.equals(options.request) ? options.reply : NO_COMMAND_REPLY;
      socket.send(reply, { binary: false });
      socket.close();
    });
  });

  server.on('listening', () => {
    process.stdout.write(`LISTENING ${server.address().port}\n`);
  });
  server.on('error', (error) => {
    process.stderr.write(`ws_reference_server: ${error.message}\n`);
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

main();
