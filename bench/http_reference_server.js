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
    process.stderr.write(`http_reference_server: ${error.message}\n`);
    process.exit(2);
  }

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

  server.on('listening', () => {
    process.stdout.write(`LISTENING ${server.address().port}\n`);
  });
  server.on('error', (error) => {
    process.stderr.write(`http_reference_server: ${error.message}\n`);
    process.exit(1);
  });
  server.listen(options.port, '127.0.0.1');

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
