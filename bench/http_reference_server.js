// http_reference_server.js: a reference HTTP server for ajax_bench, written
// with Node.js's own `http` module, that answers an agent message the way
// the agent's AJAX front end answers a POST: 200 OK, the header
// "Access-Control-Allow-Origin: *", a Content-Length and no Content-Type,
// the reply as the body. Connections are kept alive as Node keeps them.
//
//   node bench/http_reference_server.js --request TEXT --reply-hex HEX [--port N]
//
// --request   the POST body that gets the reply (UTF-8 text);
// --reply-hex the reply body, in hex, exactly as the agent sends it (its
//             UTF-8 form);
// --port      the port on 127.0.0.1; 0 (the default) lets the system choose.
//
// Any other body gets the reply the agent gives a request without a
// command. Once listening it prints "LISTENING <port>" on stdout. It ends on
// SIGTERM or SIGINT, and when its stdin reaches its end (the bench that
// started it has gone), so it never outlives the run.
'use strict';

const http = require('node:http');

const { NO_COMMAND_REPLY, optionsOrExit, serveUntilStopped } = require('./reference_server_common');

function main() {
  const options = optionsOrExit('http_reference_server');

  const server = http.createServer((request, response) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => {
      const body = Buffer.concat(chunks);
      const reply = request.method === 'POST' && body.equals(options.request)
        ? options.reply : NO_COMMAND_REPLY;
      response.writeHead(200, 'OK', {
        'Access-Control-Allow-Origin': '*',
        'Content-Length': reply.length,
      });
      response.end(reply);
    });
  });

  serveUntilStopped('http_reference_server', server);
  server.listen(options.port, '127.0.0.1');
}

main();
