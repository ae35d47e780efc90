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

const { NO_COMMAND_REPLY, optionsOrExit, serveUntilStopped } = require('./reference_server_common');

function main() {
  const options = optionsOrExit('ws_reference_server');

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

  serveUntilStopped('ws_reference_server', server);
}

main();
