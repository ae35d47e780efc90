// The example point-of-sale page: it builds agent messages, sends each one
// to the OVTelquin agent (a WebSocket connection or an HTTP request of its
// own) and shows the reply field by field. A plain script (no module), so the page also works when
// opened from disk.
"use strict";

// ---------------------------------------------------------------------------
// The agent message format. Pure functions, used by the page below and
// callable as AgentMessage from the browser's console.
//
// Request:  total length | "VEVU" | code | data length | body
//           4 digits       4        4      4             the payment data,
//                                                        or a command and
//                                                        its arguments
// Reply:    total length | "VEVU" | result code | data length | data
//
// Lengths count bytes. The body of a request leaves the browser as UTF-8;
// the agent builds its reply in code page 949 and converts it to UTF-8 for
// the browser, so the lengths in a reply count code page 949 bytes.
// ---------------------------------------------------------------------------
const AgentMessage = (() => {
  const KIND = "VEVU";
  const REQUEST_CODE = "0000"; // the agent does not read a request's code
  const FS = "\x1c";           // separates the arguments of SBMP
  const HEADER_LENGTH = 16;
  const MAX_FOUR_DIGITS = 9999;
  const MAX_FIVE_DIGITS = 99999;

  const encoder = new TextEncoder();
  const utf8Length = (text) => encoder.encode(text).length;

  // Every character of code page 949 outside ASCII takes two bytes there.
  const cp949Length = (text) => {
    let n = 0;
    for (const ch of text) n += ch.codePointAt(0) < 0x80 ? 1 : 2;
    return n;
  };

  const digits = (n, width) => String(n).padStart(width, "0");

  // A request whose body is `body`: payment data, or a command with its
  // arguments. The total length counts the bytes after its own field.
  function request(body) {
    const n = utf8Length(body);
    const total = 12 + n;
    if (total > MAX_FOUR_DIGITS) {
      throw new RangeError(`the message is ${n} bytes long; at most ${MAX_FOUR_DIGITS - 12} fit`);
    }
    return digits(total, 4) + KIND + REQUEST_CODE + digits(n, 4) + body;
  }

  // Payment data begins with the transaction code ("D1", ..., "SC"), or
  // with "***" for a raw command that goes to the terminal as it is.
  const payment = (code, rest) => request(code + rest);

  // "LAST", "STOP" or "RRUN": the command is the whole body.
  const command = (name) => request(name);

  // SBMP: the signature data as the terminal sent it, its length, and the
  // path of the bitmap file to write (relative paths are taken from the
  // agent's working folder).
  const signature = (data, path) =>
    request("SBMP" + data + FS + String(utf8Length(data)) + FS + path);

  // PRNT: the data length is 4 ("PRNT") plus the UTF-8 bytes of the text.
  // A length above 9999 takes five digits; the fields after it move along,
  // which the agent expects.
  function print(text) {
    const dataLength = 4 + utf8Length(text);
    const dataField = digits(dataLength, dataLength > MAX_FOUR_DIGITS ? 5 : 4);
    const total = KIND.length + REQUEST_CODE.length + dataField.length + dataLength;
    if (total > MAX_FIVE_DIGITS) {
      throw new RangeError(`the text is ${dataLength - 4} bytes long; it does not fit a message`);
    }
    const totalField = digits(total, total > MAX_FOUR_DIGITS ? 5 : 4);
    return totalField + KIND + REQUEST_CODE + dataField + "PRNT" + text;
  }

  // The four header fields and the data of a reply, as received. A short
  // reply (an empty one: the agent could not load its libraries) gives
  // short fields.
  function parseReply(text) {
    return {
      total: text.slice(0, 4),
      kind: text.slice(4, 8),
      result: text.slice(8, 12),
      dataLength: text.slice(12, 16),
      data: text.slice(HEADER_LENGTH),
    };
  }

  // The failure reply: a call to the terminal or the printer did not
  // succeed; the result code is that call's result without its sign.
  const isFailure = (reply) =>
    reply.total === "0019" && reply.dataLength === "0005" && reply.data === KIND + "1";

  // Control bytes as their Unicode pictures (STX as ␂, ETX as ␃), so the
  // raw reply can be shown and read.
  const visible = (text) =>
    text.replace(/[\x00-\x1f\x7f]/g, (c) =>
      String.fromCharCode(c === "\x7f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));

  return { request, payment, command, signature, print, parseReply, isFailure,
           visible, cp949Length, utf8Length };
})();

// A sample of the terminal's signature data: a horizontal line across the
// middle of the 128 x 64 image. Characters 4-5 "31" mark it compressed, 8-47
// are skipped, and the rest is the run-length coded image in hex.
const SAMPLE_SIGNATURE =
  "0000" + "31" + "00" + "0".repeat(40) +
  "0138" + "FA00FF00FF0002" + "7F01" + "0101" + "FC00FF0081";

// ---------------------------------------------------------------------------
// Transports: one connection (WebSocket) or one request (AJAX) per message.
// send(host, port, text, options) resolves with the reply text; cancel(host,
// port) interrupts the payment the agent is running.
// ---------------------------------------------------------------------------
const urlHost = (host) => (host.includes(":") && !host.startsWith("[") ? `[${host}]` : host);

// No connection to the agent came about: nothing listens at `url` (the
// agent is not running, or uses another port), or the browser did not let
// the page reach the loopback address at all (Local Network Access, for a
// page from an origin it counts as public). The failure alone looks the
// same in both cases; explainUnreachable() asks the browser which it was.
class AgentUnreachable extends Error {
  constructor(url) {
    super(`could not connect to ${url}`);
    this.name = "AgentUnreachable";
    this.url = url;
  }
}

// One HTTP exchange with the agent: the reply is the body of a 200 answer.
// Any other status (the agent answers 503 to every method but GET and
// POST) is a failure. A request the browser stops rejects with a
// TypeError: no server, a refusal to reach the local network, or (from an
// agent that left out the CORS header) an answer the page may not read.
async function httpExchange(url, init) {
  let response;
  try {
    response = await fetch(url, init);
  } catch (err) {
    if (err instanceof TypeError) throw new AgentUnreachable(url.split("?")[0]);
    throw err;
  }
  if (response.status !== 200) {
    throw new Error(`the agent answered ${response.status} ${response.statusText}`);
  }
  return response.text();
}

// A POST whose body is the message, sent as a string: the browser labels it
// text/plain, which keeps it a "simple" cross-origin request, so no OPTIONS
// preflight goes first (the agent would refuse it with 503). The agent
// percent-decodes the body, so a "%" of the message travels as "%25".
const postMessage = (url, text) =>
  httpExchange(url, { method: "POST", body: text.replace(/%/g, "%25"), cache: "no-store" });

const transports = {
  websocket: {
    defaultPort: 8088,
    requestUrl: (host, port) => `ws://${urlHost(host)}:${port}/VEVU`,
    cancelUrl: (host, port) => `ws://${urlHost(host)}:${port + 1}/`,

    // Opens the connection, sends the message as one text frame and
    // resolves with the one reply. The agent then closes the connection;
    // a connection that closes before any reply rejects, with
    // AgentUnreachable when it never opened.
    send(host, port, text) {
      return new Promise((resolve, reject) => {
        const url = this.requestUrl(host, port);
        let ws;
        try {
          ws = new WebSocket(url);
        } catch (err) {
          reject(err);
          return;
        }
        let opened = false;
        let replied = false;
        ws.onopen = () => {
          opened = true;
          ws.send(text);
        };
        ws.onmessage = (event) => {
          replied = true;
          resolve(event.data);
        };
        ws.onclose = (event) => {
          if (replied) return;
          reject(opened ? new Error(`the connection closed without a reply (code ${event.code})`)
                        : new AgentUnreachable(url));
        };
      });
    },

    // Any connection to the port + 1 makes the agent cancel the running
    // payment. The agent closes it without a WebSocket handshake, so the
    // browser reports the connection as failed (and logs an error in its
    // console): that is expected, the cancel has arrived all the same.
    // Resolves with no reply.
    cancel(host, port) {
      return new Promise((resolve) => {
        const ws = new WebSocket(this.cancelUrl(host, port));
        ws.onerror = () => {};
        ws.onclose = () => resolve(null);
      });
    },
  },

  ajax: {
    defaultPort: 9088,
    requestUrl: (host, port) => `http://${urlHost(host)}:${port}/`,
    cancelUrl: (host, port) => `http://${urlHost(host)}:${port + 1}/`,

    // POST by default; with `get`, the message percent-encoded as the
    // query string (the agent serves GET only when its setting GET is Y,
    // and otherwise answers with the 0099 refusal reply).
    send(host, port, text, { get = false } = {}) {
      const url = this.requestUrl(host, port);
      if (!get) return postMessage(url, text);
      return httpExchange(`${url}?${encodeURIComponent(text)}`, { cache: "no-store" });
    },

    // The agent's second server, on the port + 1, takes a STOP while the
    // first one is busy with the payment. Resolves with the STOP reply.
    cancel(host, port) {
      return postMessage(this.cancelUrl(host, port), AgentMessage.command("STOP"));
    },
  },
};

// ---------------------------------------------------------------------------
// The page.
// ---------------------------------------------------------------------------
const $ = (id) => document.getElementById(id);

function agentAddress() {
  const host = $("host").value.trim() || "127.0.0.1";
  const port = Number($("port").value);
  if (!Number.isInteger(port) || port < 1 || port > 65534) {
    throw new RangeError("the port must be a number from 1 to 65534");
  }
  const mode = $("mode").value;
  return { transport: transports[mode], host, port, get: mode === "ajax" && $("ajax-get").checked };
}

function showAddress() {
  try {
    const { transport, host, port } = agentAddress();
    $("request-url").textContent = transport.requestUrl(host, port) + ($("ajax-get").checked ? "?<message>" : "");
    $("cancel-url").textContent = transport.cancelUrl(host, port);
  } catch (err) {
    $("request-url").textContent = $("cancel-url").textContent = `(${err.message})`;
  }
}

function showPaymentPreview() {
  try {
    $("request-preview").textContent =
      AgentMessage.payment($("tx-code").value, $("tx-data").value);
  } catch (err) {
    $("request-preview").textContent = `(${err.message})`;
  }
}

const RESULT_NOTES = {
  "0000": "success",
  "0007": "STOP passed to the terminal",
  "0014": "NO COMMAND: the agent did not understand the message",
};

// The failure reply's code is the result of the terminal link (or of the
// print component, for PRNT) without its sign.
const FAILURE_NOTES = {
  "0000": "the terminal's answer began but did not end in time",
  "0001": "the terminal's port could not be opened",
  "0002": "the terminal is busy with another payment",
  "0003": "the terminal did not acknowledge the request",
  "0004": "the payment was cancelled, refused, or not answered",
};

// `viaGet`: the message went as an AJAX GET, which the agent refuses with
// the same 0099 reply unless its setting GET is Y.
function resultNote(reply, command, viaGet) {
  if (!AgentMessage.isFailure(reply)) return RESULT_NOTES[reply.result] || "";
  if (reply.result === "0099" && viaGet) {
    return "refused: GET is not enabled in the agent (setting GET=Y), or unknown transaction code; the terminal was not asked";
  }
  if (reply.result === "0099") return "refused: unknown transaction code, the terminal was not asked";
  if (command === "PRNT") return `failed: the print component did not print (its result without sign: ${Number(reply.result)})`;
  return `failed: ${FAILURE_NOTES[reply.result] || "the call's result, without its sign"}`;
}

function lengthNotes(reply) {
  const dataBytes = AgentMessage.cp949Length(reply.data);
  const dataNote = Number(reply.dataLength) === dataBytes
    ? `${dataBytes} bytes of data in code page 949: matches`
    : `${dataBytes} bytes of data in code page 949: does not match`;
  let totalNote;
  if (AgentMessage.isFailure(reply)) {
    totalNote = "the failure reply always says 0019, although 17 bytes follow";
  } else if (Number(reply.total) === 12 + dataBytes) {
    totalNote = "12 + data length: matches";
  } else {
    totalNote = `${12 + dataBytes} bytes follow: does not match`;
  }
  return { totalNote, dataNote };
}

// Local Network Access: a page from an origin that the browser counts as
// public (a web site, unlike a file on disk or a page from this computer)
// may reach the loopback address, where the agent listens, only once the
// user has allowed it (or a policy has). The browser then answers the
// permission "loopback-network" (in versions before that name existed:
// "local-network-access"): "granted", "denied" or "prompt". Null where the
// browser knows neither name.
async function loopbackPermission() {
  if (!navigator.permissions) return null;
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      return (await navigator.permissions.query({ name })).state;
    } catch {
      // not a permission this browser knows
    }
  }
  return null;
}

const ALLOW_STEPS =
  "click the icon at the left of the address bar, open the site settings " +
  "and set “Apps on device” (in older versions “Local network access”) to Allow, " +
  "then send again. On a shop PC that an administrator manages, ask the administrator " +
  "to allow this site by the browser policy LoopbackNetworkAllowedForUrls.";

const HTTPS_HELP =
  "This page is not served over https, and the browser lets only secure (https) pages " +
  "reach the local network, whatever the settings: ask whoever runs this site to serve it over https.";

// What the page says when no connection to the agent at `url` came about:
// the state of the reply section, the status and, where the browser may be
// the cause, how to allow the page. A refused connection and an agent that
// is not running fail alike; the permission tells them apart where it can.
async function explainUnreachable(url) {
  const permission = await loopbackPermission();
  if (permission === "denied") {
    return {
      state: "blocked",
      why: `the browser blocked this page's access to the local network, where the agent listens ` +
           `(${url}); the message was not sent`,
      help: window.isSecureContext ? `To allow it, ${ALLOW_STEPS}` : HTTPS_HELP,
    };
  }
  if (permission === "granted") {
    return {
      state: "unreachable",
      why: `could not connect to the agent at ${url}: it is not running, or it listens on another port`,
      help: "",
    };
  }
  return {
    state: "unreachable",
    why: `could not connect to the agent at ${url}: it is not running, or the browser blocked ` +
         "this page's access to the local network",
    help: `If the browser blocked it, ${ALLOW_STEPS}`,
  };
}

let exchangeCount = 0;

function setState(state, status, help = "") {
  $("reply").dataset.state = state;
  $("status").textContent = status;
  $("access-help").textContent = help;
  $("access-help").hidden = help === "";
}

function addHistory(label, outcome) {
  const item = document.createElement("li");
  item.textContent = `${label}: ${outcome}`;
  $("history").prepend(item);
}

function showReply(label, command, text, viaGet = false) {
  const reply = AgentMessage.parseReply(text);
  $("reply-raw").textContent = AgentMessage.visible(text);
  $("reply-total").textContent = reply.total;
  $("reply-kind").textContent = reply.kind;
  $("reply-result").textContent = reply.result;
  $("reply-data-length").textContent = reply.dataLength;
  $("reply-data").textContent = AgentMessage.visible(reply.data);
  if (text === "") {
    $("reply-total-note").textContent = "";
    $("reply-result-note").textContent =
      "empty reply: the agent could not load its libraries (see its log)";
    $("reply-data-length-note").textContent = "";
  } else {
    const notes = lengthNotes(reply);
    $("reply-total-note").textContent = notes.totalNote;
    $("reply-result-note").textContent = resultNote(reply, command, viaGet);
    $("reply-data-length-note").textContent = notes.dataNote;
  }
  setState("replied", `Reply to ${label} received.`);
  addHistory(label, AgentMessage.visible(text) || "(empty reply)");
}

function clearReply() {
  for (const id of ["reply-raw", "reply-total", "reply-total-note", "reply-kind", "reply-result",
                    "reply-result-note", "reply-data-length", "reply-data-length-note", "reply-data"]) {
    $(id).textContent = "";
  }
}

// Sends one message and shows what comes back. `label` names the message
// in the status line; `command` is its command ("PAY" for a payment).
async function exchange(label, command, buildText) {
  let address;
  let text;
  try {
    address = agentAddress();
    text = buildText();
  } catch (err) {
    setState("error", `${label} not sent: ${err.message}`);
    return;
  }
  const number = ++exchangeCount;
  $("reply").dataset.exchange = String(number);
  clearReply();
  setState("waiting", `${label} sent, waiting for the reply...`);
  try {
    const reply = await address.transport.send(address.host, address.port, text, { get: address.get });
    if (number === exchangeCount) showReply(label, command, reply, address.get);
    else addHistory(label, AgentMessage.visible(reply) || "(empty reply)");
  } catch (err) {
    let outcome = { state: "closed", why: `no reply: ${err.message}`, help: "" };
    if (command === "RRUN") {
      // RRUN ends the agent before it replies; a new agent takes its place.
      outcome.why = "no reply: the agent restarts itself and does not answer RRUN";
    } else if (err instanceof AgentUnreachable) {
      outcome = await explainUnreachable(err.url);
    }
    if (number === exchangeCount) setState(outcome.state, `${label}: ${outcome.why}.`, outcome.help);
    addHistory(label, outcome.why);
  }
}

async function cancel() {
  let address;
  try {
    address = agentAddress();
  } catch (err) {
    $("status").textContent = `Cancel not sent: ${err.message}`;
    return;
  }
  const url = address.transport.cancelUrl(address.host, address.port);
  addHistory("Cancel", `sent to ${url}`);
  try {
    const reply = await address.transport.cancel(address.host, address.port);
    if (reply !== null) addHistory("Cancel", AgentMessage.visible(reply) || "(empty reply)");
  } catch (err) {
    addHistory("Cancel", `no reply: ${err.message}`);
  }
}

// A port still at the other mode's default follows the mode; one the user
// typed stays.
function changeMode() {
  const mode = $("mode").value;
  const port = Number($("port").value);
  for (const [name, transport] of Object.entries(transports)) {
    if (name !== mode && port === transport.defaultPort) {
      $("port").value = String(transports[mode].defaultPort);
    }
  }
  $("ajax-get").disabled = mode !== "ajax";
  if (mode !== "ajax") $("ajax-get").checked = false;
  showAddress();
}

function init() {
  $("sign-data").value = SAMPLE_SIGNATURE;
  for (const id of ["host", "port"]) $(id).addEventListener("input", showAddress);
  $("ajax-get").addEventListener("change", showAddress);
  $("mode").addEventListener("change", changeMode);
  for (const id of ["tx-code", "tx-data"]) $(id).addEventListener("input", showPaymentPreview);

  $("payment-form").addEventListener("submit", (event) => {
    event.preventDefault();
    exchange("Payment", "PAY", () => AgentMessage.payment($("tx-code").value, $("tx-data").value));
  });
  $("cancel").addEventListener("click", cancel);
  for (const name of ["LAST", "STOP", "RRUN"]) {
    $(`cmd-${name.toLowerCase()}`).addEventListener("click",
      () => exchange(name, name, () => AgentMessage.command(name)));
  }
  $("cmd-sbmp").addEventListener("click", () =>
    exchange("SBMP", "SBMP", () => AgentMessage.signature($("sign-data").value.trim(), $("sign-file").value)));
  $("cmd-prnt").addEventListener("click", () =>
    exchange("PRNT", "PRNT", () => AgentMessage.print($("print-text").value)));

  changeMode(); // a reloaded page may come back with AJAX chosen
  showPaymentPreview();
}

init();
