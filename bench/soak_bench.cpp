// soak_bench: many payments in a row through the agent, against the terminal
// simulator, the way a point-of-sale page makes them: over WebSocket and
// over AJAX, one agent run per mode, each in a data root of its own on a
// free pair of ports.
//
// Every payment carries its own data ("D1", the mode's letter and a
// six-digit number), and the simulator's answer echoes the request, so
// every reply is matched to its request: a reply of another payment, or
// anything else, counts as wrong, never as delivered. Among the payments:
//   - every --cancel-every'th is cancelled while it is in the terminal (the
//     simulator acknowledges and never answers; once it has the request
//     and the agent's acknowledgement, the bench connects to P + 1 in
//     WebSocket mode, or POSTs STOP to P + 1 in AJAX mode); its reply must
//     be the failure reply with the link library's cancel code;
//   - every --reset-every'th that is not a cancel is sent by a client that
//     then resets its connection (SO_LINGER 0, close) before the reply, as
//     a closed browser tab does; a LAST on a new connection must then
//     return exactly that payment's reply.
// The agent's memory, descriptors and threads are read from /proc after
// the first payment and at the end of each mode.
//
// The program reports; it never fails on a figure. It exits with 1 when a
// reply was lost or wrong or a mode could not run all its payments, so it
// can serve as a check, with 2 on bad arguments, and with 0 otherwise.
// See bench/README.md for the figures.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bench_agent.h"
#include "bench_report.h"
#include "bench_ws_client.h"
#include "support/simulator.h"
#include "support/temp_root.h"

#ifndef OVT_AGENT_PROGRAM
#error "OVT_AGENT_PROGRAM must name the agent program the build makes"
#endif
#ifndef OVT_CATSIM
#error "OVT_CATSIM must name the built catsim program"
#endif

namespace {

using namespace bench;
using ovt_test::Simulator;
using ovt_test::TempRoot;

// ---------------------------------------------------------------- settings

// The terminal's port in the agent's settings; the simulator plays it.
constexpr int kTerminalCom = 5;
// The simulator's scenarios: a terminal that answers at once, and one that
// acknowledges a request and then waits (a card that is never presented),
// so that a cancel finds the payment in the terminal.
constexpr const char* kAnswering = "answer";
constexpr const char* kWaiting = "ack-silent";
// Every receive of a reply gives up after this long. A payment takes about
// 1.1 s, a cancelled one about 3.6 s from the cancel, and a LAST right
// after a reset waits for the payment the agent is still making.
constexpr int kReplyTimeoutMs = 15000;
// How long the bench waits for a payment to be cancelled to reach the
// terminal (the request frame and the agent's acknowledgement).
constexpr auto kReachTimeout = std::chrono::milliseconds(10000);
// A mode is given up after this many lost replies in a row.
constexpr int kMaxLostInARow = kMaxFailuresInARow;
// After a payment with a lost reply the next one waits this long, as a
// cashier would before trying again: a front end that is starting again
// after a failure refuses connections for a moment, and attempts a few
// milliseconds apart would count it out at once. With the pause, giving
// up means that the mode stopped answering for seconds.
constexpr auto kPauseAfterLoss = std::chrono::milliseconds(1000);
// Wrong replies shown with their text, per mode (and twice as many causes
// of lost ones).
constexpr size_t kShown = 3;
// The resource samples between the first payment and the end.
constexpr int kTrailSamples = 10;

// The cancel message of AJAX mode and the dispatcher's reply to it.
constexpr std::string_view kStopRequest = "0016VEVU00000004STOP";
constexpr std::string_view kStopReply = "0019VEVU00070007REQSTOP";
// The Korean word for "approved" at the end of the simulator's answer: four
// bytes in code page 949 at the terminal, six in UTF-8 for the browser.
constexpr size_t kApprovedCp949Bytes = 4;
constexpr std::string_view kApprovedUtf8 = "\xEC\x8A\xB9\xEC\x9D\xB8";

enum class Mode { kWebSocket, kAjax };

struct Options {
  int payments = 500;
  int cancel_every = 50;
  int reset_every = 25;
  bool websocket = true;
  bool ajax = true;
};

const char* Usage() {
  return "usage: soak_bench [PAYMENTS] [--payments N] [--modes ws,ajax]\n"
         "                  [--cancel-every N] [--reset-every N]\n"
         "  PAYMENTS, --payments N  payments per mode (default 500)\n"
         "  --modes LIST      ws, ajax or ws,ajax (default ws,ajax)\n"
         "  --cancel-every N  every N-th payment is cancelled in the terminal; 0: none\n"
         "                    (default 50)\n"
         "  --reset-every N   every N-th payment that is not cancelled is sent by a client\n"
         "                    that resets its connection before the reply, then LAST is\n"
         "                    asked; 0: none (default 25)\n"
         "environment:\n"
         "  OVT_BIN_DIR  the folder of OVTelquin and its libraries (default: this build's)\n"
         "  OVT_CATSIM   the terminal simulator (default: this build's)\n"
         "exit status: 0 every reply correct, 1 a reply lost or wrong or a mode cut\n"
         "short, 2 bad arguments or nothing could be run\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  const auto take = [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--payments") {
      ok = ParseCount(value, 1, 1000000, &options->payments);
    } else if (arg == "--cancel-every") {
      ok = ParseCount(value, 0, 1000000, &options->cancel_every);
    } else if (arg == "--reset-every") {
      ok = ParseCount(value, 0, 1000000, &options->reset_every);
    } else if (arg == "--modes") {
      const std::string_view list = value != nullptr ? value : "";
      options->websocket = list == "ws" || list == "ws,ajax" || list == "ajax,ws";
      options->ajax = list == "ajax" || list == "ws,ajax" || list == "ajax,ws";
      ok = options->websocket || options->ajax;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  };
  // The number of payments may stand alone as the first argument; the
  // shared parser walks "--name value" pairs, so it is taken out first.
  std::vector<char*> rest(argv, argv + argc);
  if (argc > 1 && argv[1][0] != '-') {
    if (!ParseCount(argv[1], 1, 1000000, &options->payments)) {
      std::fprintf(stderr, "soak_bench: bad number of payments %s\n%s", argv[1], Usage());
      return 2;
    }
    rest.erase(rest.begin() + 1);
  }
  return bench::ParseOptions(static_cast<int>(rest.size()), rest.data(), "soak_bench", Usage(),
                             take);
}

// The value of the environment variable `name`, or `fallback`.
std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

// ---------------------------------------------------------------- messages

std::string Field4(size_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04zu", value);
  return text;
}

// The payment data of payment `number` in a mode: unique within the run.
std::string PaymentData(Mode mode, int number) {
  char text[32];
  std::snprintf(text, sizeof text, "D1%c%06d", mode == Mode::kWebSocket ? 'W' : 'A', number);
  return text;
}

// The agent message of a payment with `data`.
std::string PaymentMessage(std::string_view data) {
  return Field4(12 + data.size()) + "VEVU0000" + Field4(data.size()) + std::string(data);
}

// The reply the browser must get for a payment with `data`: the
// simulator's answer frame from STX through ETX ("OK:", the request, a
// blank and "approved"), with the lengths counted in code page 949 as the
// agent counts them, the text in UTF-8 as it leaves.
std::string ApprovedReply(std::string_view data) {
  const size_t answer = 1 + 3 + data.size() + 1 + kApprovedCp949Bytes + 1;
  return Field4(answer + 12) + "VEVU0000" + Field4(answer) + "\x02OK:" + std::string(data) + " " +
         std::string(kApprovedUtf8) + "\x03";
}

// The failure reply of a payment that ended with the link library's
// result -`code`.
std::string FailureReply(int code) { return "0019VEVU" + Field4(code) + "0005VEVU1"; }

// The payment data an approved reply carries, or "" for any other reply.
std::string DataOfReply(std::string_view reply) {
  const size_t start = reply.find("\x02OK:");
  if (start == std::string_view::npos) return "";
  const size_t end = reply.find(' ', start);
  return end == std::string_view::npos ? "" : std::string(reply.substr(start + 4, end - start - 4));
}

// ---------------------------------------------------------------- the browser's side

// One message's connection: the bytes a WebSocket client still has to send
// after its reply, kept with it.
struct Message {
  Connection c;
  Prepared ws;
};

// The browser's side of the agent's front end in one mode.
class Client {
 public:
  Client(Mode mode, int port) : mode_(mode), port_(port), random_(std::random_device{}()) {}

  // Opens a connection and sends `text` as a page does: in WebSocket mode
  // the handshake, and after the 101 answer the text frame; in AJAX mode
  // the POST.
  bool Send(Message& m, std::string_view text, std::string* error) {
    if (!m.c.Open(port_, error, kReplyTimeoutMs)) return false;
    if (mode_ == Mode::kAjax) return m.c.SendAll(PostRequest(port_, text), error);
    m.ws = Prepare(random_, port_, text);
    if (!m.c.SendAll(m.ws.handshake, error)) return false;
    std::string head;
    if (!m.c.Receive(HeadSize, &head, error, "the 101 answer")) return false;
    if (!CheckUpgrade(head, m.ws.accept, error)) return false;
    return m.c.SendAll(m.ws.text_frame, error);
  }

  // The reply to what Send sent, then the end of the connection. In
  // WebSocket mode the agent's closing frame is answered with the
  // client's; in AJAX mode the client sends FIN. Either way the client then
  // waits until the agent has closed its end, so that the agent holds no
  // descriptor of a finished message when the bench samples it. A missing
  // closing frame or close is counted in *unclosed; the reply stands.
  bool Receive(Message& m, std::string* reply, std::string* error, long* unclosed) {
    std::string ignored;
    if (mode_ == Mode::kAjax) {
      if (!ReceivePostResponse(m.c, false, reply, error)) return false;
      if (!m.c.Idle()) {
        *error = "bytes after the response body";
        return false;
      }
      m.c.ShutdownSending();
    } else {
      std::string frame;
      if (!m.c.Receive(ServerFrameSize, &frame, error, "the reply frame")) return false;
      if (!ReplyPayload(frame, reply, error)) return false;
      std::string closing;
      if (!m.c.Receive(ServerFrameSize, &closing, &ignored, "the closing frame") ||
          closing != std::string_view("\x88\x00", 2))
        ++*unclosed;
      m.c.SendAndForget(m.ws.close_frame);
    }
    if (!m.c.WaitForClose(&ignored) || !m.c.Idle()) ++*unclosed;
    m.c.Close();
    return true;
  }

  // One message and its reply on a connection of its own.
  bool Ask(std::string_view text, std::string* reply, std::string* error, long* unclosed) {
    Message m;
    return Send(m, text, error) && Receive(m, reply, error, unclosed);
  }

  // The cancel of the payment in progress, on P + 1. WebSocket mode: a bare
  // connection, which the agent closes once ReqStop has returned
  // (*reply stays empty). AJAX mode: a POST of STOP, whose reply is in
  // *reply.
  bool Cancel(std::string* reply, std::string* error) {
    Connection c;
    if (!c.Open(port_ + 1, error, kReplyTimeoutMs)) return false;
    if (mode_ == Mode::kWebSocket) return c.WaitForClose(error);
    return c.SendAll(PostRequest(port_ + 1, kStopRequest), error) &&
           ReceivePostResponse(c, false, reply, error);
  }

 private:
  Mode mode_;
  int port_;
  std::mt19937 random_;
};

// ---------------------------------------------------------------- a mode's figures

// Replies of one kind: as many expected as messages were sent.
struct Tally {
  long sent = 0;
  long correct = 0;
  long wrong = 0;
  long lost = 0;
};

struct Sample {
  int after = 0;  // payments made
  ProcessFigures figures;
};

struct ModeRun {
  Mode mode = Mode::kWebSocket;
  const char* name = "";
  int planned = 0;
  bool started = false;
  std::string stop_reason;  // why the payments ended early; empty when they did not

  // By kind of payment, the replies expected and what came of them.
  Tally paid;       // a payment the terminal answers: its reply
  Tally cancelled;  // a payment cancelled in the terminal: its reply
  Tally stops;      // AJAX: the reply to the STOP on P + 1 of each cancel
  Tally lasts;      // a payment reset by its client: the LAST after it
  long resets = 0;    // payments sent, then reset by the client
  long not_sent = 0;  // payments whose message could not be sent at all
  long ws_cancels_closed = 0;  // WebSocket: cancel connections the agent closed
  long ws_cancels_open = 0;    // ... and those it did not close in time
  long cancels_early = 0;      // cancels sent without seeing the payment at the terminal
  long unclosed = 0;  // replies after which the agent did not close the connection properly
  std::map<std::string, long> cancel_codes;  // result code of a cancelled payment's reply
  long lost_in_a_row = 0;
  std::vector<std::string> wrong_shown;
  // Lost replies by what was lost and why: how many, and the first payment.
  struct Cause {
    long count = 0;
    int first = 0;
  };
  std::map<std::string, Cause> lost_causes;
  std::vector<double> paid_ms, cancel_ms, last_ms;

  double ready_ms = 0;
  double wall_ms = 0;
  int payments_made = 0;
  std::vector<Sample> trail;
  LogSize log_first, log_end;
  long temp_files_left = -1;
  std::string ending;
  std::string agent_output;

  long Lost() const { return paid.lost + cancelled.lost + stops.lost + lasts.lost; }
  long Wrong() const { return paid.wrong + cancelled.wrong + stops.wrong + lasts.wrong; }
  long Correct() const { return paid.correct + cancelled.correct + stops.correct + lasts.correct; }
  long Expected() const { return paid.sent + cancelled.sent + stops.sent + lasts.sent; }
};

void Correct(ModeRun& run, Tally& tally) {
  ++tally.correct;
  run.lost_in_a_row = 0;
}

void Wrong(ModeRun& run, Tally& tally, int number, const char* what, const std::string& reply,
           const std::string& expected) {
  ++tally.wrong;
  run.lost_in_a_row = 0;
  if (run.wrong_shown.size() >= kShown) return;
  std::string line = "payment " + std::to_string(number) + ", " + what + ": \"" + Visible(reply) +
                     "\", expected \"" + Visible(expected) + "\"";
  const std::string other = DataOfReply(reply);
  if (!other.empty()) line += " (the reply of " + other + ")";
  run.wrong_shown.push_back(line);
}

void Lost(ModeRun& run, Tally& tally, int number, const char* what, const std::string& error) {
  ++tally.lost;
  ++run.lost_in_a_row;
  ModeRun::Cause& cause = run.lost_causes[std::string(what) + ": " + error];
  if (cause.count++ == 0) cause.first = number;
}

// ---------------------------------------------------------------- the payments

// A simulator on the terminal's port with `scenario`, in place of the one
// in *sim (stopped first: it owns the port's link while it runs).
bool Play(std::unique_ptr<Simulator>* sim, const TempRoot& root, const char* scenario,
          const std::string& catsim) {
  sim->reset();
  *sim = std::make_unique<Simulator>(root, kTerminalCom, scenario, std::vector<std::string>{},
                                     catsim);
  if ((*sim)->Ready()) return true;
  std::fprintf(stderr, "soak_bench: the simulator (%s) did not start: %s\n", scenario,
               (*sim)->Error().c_str());
  return false;
}

void Payment(ModeRun& run, Client& client, int number, const std::string& data) {
  const std::string expected = ApprovedReply(data);
  ++run.paid.sent;
  const auto start = Clock::now();
  std::string reply, error;
  Message m;
  if (!client.Send(m, PaymentMessage(data), &error)) {
    ++run.not_sent;
    Lost(run, run.paid, number, "payment", error);
    return;
  }
  if (!client.Receive(m, &reply, &error, &run.unclosed)) {
    Lost(run, run.paid, number, "payment", error);
    return;
  }
  run.paid_ms.push_back(MsBetween(start, Clock::now()));
  if (reply == expected) {
    Correct(run, run.paid);
  } else {
    Wrong(run, run.paid, number, "payment", reply, expected);
  }
}

// A payment the terminal holds, cancelled once it is there. The payment's
// reply must be the failure reply with the cancel's code (-3 when the
// cancel ended the wait for the terminal's acknowledgement, -4 when it
// ended the wait for its answer).
void CancelledPayment(ModeRun& run, Client& client, Simulator& waiting, int number,
                      const std::string& data) {
  ++run.cancelled.sent;
  Message m;
  std::string error;
  if (!client.Send(m, PaymentMessage(data), &error)) {
    ++run.not_sent;
    Lost(run, run.cancelled, number, "cancelled payment", error);
    return;
  }
  // The request frame (STX, data, ETX, 0x17, LRC) and the agent's ACK.
  if (!waiting.WaitForReceived(data.size() + 4 + 1, kReachTimeout)) ++run.cancels_early;
  const auto cancelled = Clock::now();
  std::string stop_reply, stop_error;
  const bool stop_done = client.Cancel(&stop_reply, &stop_error);
  if (run.mode == Mode::kAjax) {
    ++run.stops.sent;
    if (!stop_done) {
      Lost(run, run.stops, number, "STOP on P + 1", stop_error);
    } else if (stop_reply == kStopReply) {
      Correct(run, run.stops);
    } else {
      Wrong(run, run.stops, number, "STOP on P + 1", stop_reply, std::string(kStopReply));
    }
  } else if (stop_done) {
    ++run.ws_cancels_closed;
  } else {
    ++run.ws_cancels_open;
  }

  std::string reply;
  if (!client.Receive(m, &reply, &error, &run.unclosed)) {
    Lost(run, run.cancelled, number, "cancelled payment", error);
    return;
  }
  run.cancel_ms.push_back(MsBetween(cancelled, Clock::now()));
  if (reply == FailureReply(3) || reply == FailureReply(4)) {
    ++run.cancel_codes[reply.substr(8, 4)];
    Correct(run, run.cancelled);
  } else {
    ++run.cancel_codes["other"];
    Wrong(run, run.cancelled, number, "cancelled payment", reply,
          FailureReply(4) + "\" or \"" + FailureReply(3));
  }
}

// A payment whose client resets its connection right after sending it,
// then a LAST on a new connection, which must return that payment's reply.
void ResetPayment(ModeRun& run, Client& client, int number, const std::string& data) {
  ++run.lasts.sent;
  {
    Message m;
    std::string error;
    if (!client.Send(m, PaymentMessage(data), &error)) {
      // The message never went out: there is nothing to reset or ask for,
      // and the reply the page was to get by LAST counts as lost.
      ++run.not_sent;
      Lost(run, run.lasts, number, "payment to be reset", error);
      return;
    }
    m.c.Reset();
    ++run.resets;
  }
  const std::string expected = ApprovedReply(data);
  const auto start = Clock::now();
  std::string reply, error;
  if (!client.Ask(kLastRequest, &reply, &error, &run.unclosed)) {
    Lost(run, run.lasts, number, "LAST after the reset", error);
    return;
  }
  run.last_ms.push_back(MsBetween(start, Clock::now()));
  if (reply == expected) {
    Correct(run, run.lasts);
  } else {
    Wrong(run, run.lasts, number, "LAST after the reset", reply, expected);
  }
}

// One agent run: start-up, the payments, the figures.
void RunMode(ModeRun& run, const Options& options, const std::string& agent_program,
             const std::string& catsim) {
  Heading(std::string(run.name) + ": " + std::to_string(run.planned) + " payments");
  TempRoot root;
  std::unique_ptr<Simulator> sim;
  if (!Play(&sim, root, kAnswering, catsim)) {
    run.stop_reason = "the simulator did not start";
    return;
  }
  Agent agent;
  const bool ajax = run.mode == Mode::kAjax;
  AgentLaunch launch{.bench = "soak_bench",
                     .program = agent_program,
                     .web_mode = ajax ? 1 : 0,
                     .port_key = ajax ? "ServerPortAjax" : "ServerPortWebsocket",
                     // The AJAX servers bind loopback, the WebSocket listeners all addresses.
                     .address = ajax ? INADDR_LOOPBACK : INADDR_ANY,
                     .stored_reply = "",
                     .serve = ajax ? "serve" : "listen",
                     .shut_hint = ajax ? " (is its AJAX front end built?)" : nullptr,
                     .com = kTerminalCom};
  if (!StartAgent(launch, root, &agent)) {
    run.stop_reason = "the agent did not start";
    return;
  }
  run.started = true;
  run.ready_ms = agent.ready_ms;
  const pid_t pid = agent.child.pid();
  Text("agent pid, port, cancel port", std::to_string(pid) + ", " + std::to_string(agent.port) +
                                           ", " + std::to_string(agent.port + 1));
  Text("load average before the payments", LoadAverage());

  Client client(run.mode, agent.port);
  const int trail_every = std::max(1, run.planned / kTrailSamples);
  const auto begun = Clock::now();
  for (int number = 1; number <= run.planned; ++number) {
    const std::string data = PaymentData(run.mode, number);
    const bool cancel = options.cancel_every > 0 && number % options.cancel_every == 0;
    const bool reset = !cancel && options.reset_every > 0 && number % options.reset_every == 0;
    const long lost_before = run.Lost();
    if (cancel) {
      if (!Play(&sim, root, kWaiting, catsim)) {
        run.stop_reason = "the simulator did not start";
        break;
      }
      CancelledPayment(run, client, *sim, number, data);
      if (!Play(&sim, root, kAnswering, catsim)) {
        run.stop_reason = "the simulator did not start";
        break;
      }
    } else if (reset) {
      ResetPayment(run, client, number, data);
    } else {
      Payment(run, client, number, data);
    }
    run.payments_made = number;
    if (number == 1) run.log_first = AgentLogSize(root.path());
    if (number == 1 || number % trail_every == 0 || number == run.planned)
      run.trail.push_back({number, ReadProcess(pid)});
    Progress(run.name, number, run.planned, 10);
    if (!agent.child.Running()) {
      run.stop_reason = "the agent ended (" + agent.child.ending() + ") after payment " +
                        std::to_string(number);
      break;
    }
    if (run.lost_in_a_row >= kMaxLostInARow) {
      run.stop_reason = "given up after payment " + std::to_string(number) + ": " +
                        std::to_string(kMaxLostInARow) + " replies lost in a row";
      break;
    }
    if (run.Lost() > lost_before) SleepFor(kPauseAfterLoss);
  }
  run.wall_ms = MsBetween(begun, Clock::now());
  if (!run.stop_reason.empty() && isatty(STDERR_FILENO)) std::fputs("\n", stderr);
  if (agent.child.Running() && (run.trail.empty() || run.trail.back().after != run.payments_made))
    run.trail.push_back({run.payments_made, ReadProcess(pid)});
  run.log_end = AgentLogSize(root.path());
  if (ajax) run.temp_files_left = TempFilesLeft(root.path());
  Text("load average after the payments", LoadAverage());
  agent.child.Stop();
  run.ending = agent.child.ending().empty() ? "unknown" : agent.child.ending();
  run.agent_output = agent.child.Output();
}

// ---------------------------------------------------------------- report

void TallyRow(const char* kind, const Tally& t) {
  std::printf("  %-47s %7ld %8ld %6ld %6ld\n", kind, t.sent, t.correct, t.wrong, t.lost);
}

// Text as it is (UTF-8 included), control bytes as \xNN.
std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out += Visible(std::string_view(reinterpret_cast<const char*>(&c), 1));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The distinct lines of the agent's stdout and stderr with their counts:
// message boxes land there.
void OutputLines(const std::string& output) {
  std::map<std::string, long> counts;
  std::vector<std::string> order;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (counts[line]++ == 0) order.push_back(line);
  }
  for (size_t i = 0; i < order.size() && i < 8; ++i)
    Text(("  x" + std::to_string(counts[order[i]])).c_str(), Printable(order[i]));
  if (order.size() > 8) Count("  further distinct lines", static_cast<long>(order.size() - 8));
}

std::string Trail(const std::vector<Sample>& trail, long ProcessFigures::*field) {
  std::string text;
  for (const Sample& s : trail) text += (text.empty() ? "" : " ") + std::to_string(s.figures.*field);
  return text;
}

void Report(const ModeRun& run) {
  Heading(std::string(run.name) + ": the figures");
  if (!run.started) {
    Text("not run", run.stop_reason);
    return;
  }
  Fine("start-up until both ports listen", run.ready_ms, "ms");
  Count("payments planned", run.planned);
  const long attempted = run.paid.sent + run.cancelled.sent + run.lasts.sent;
  Count("payments sent", attempted - run.not_sent, "",
        "of " + std::to_string(attempted) + ": " + std::to_string(run.paid.sent) + " paid, " +
            std::to_string(run.cancelled.sent) + " cancelled, " +
            std::to_string(run.lasts.sent) + " reset");
  Count("payments whose message could not be sent", run.not_sent, "",
        "no connection or no 101 answer; counted as lost");
  if (!run.stop_reason.empty()) Text("payments cut short", run.stop_reason);
  std::printf("  %-47s %7s %8s %6s %6s\n", "replies, by kind of payment", "sent", "correct",
              "wrong", "lost");
  TallyRow("paid: the payment's reply", run.paid);
  TallyRow("cancelled: the payment's reply", run.cancelled);
  if (run.mode == Mode::kAjax) TallyRow("cancelled: the reply to STOP on P + 1", run.stops);
  TallyRow("reset: the reply of LAST on a new connection", run.lasts);
  Tally all{run.Expected(), run.Correct(), run.Wrong(), run.Lost()};
  TallyRow("all replies", all);
  Count("replies wrong", run.Wrong(), "", "target 0");
  for (const std::string& line : run.wrong_shown) Text("  wrong", line);
  Count("replies lost", run.Lost(), "", "target 0");
  std::vector<std::pair<int, std::string>> causes;
  for (const auto& [text, cause] : run.lost_causes)
    causes.emplace_back(cause.first, "x" + std::to_string(cause.count) + ", first payment " +
                                         std::to_string(cause.first) + ", " + text);
  std::sort(causes.begin(), causes.end());
  for (size_t i = 0; i < causes.size() && i < 2 * kShown; ++i) Text("  lost", causes[i].second);
  if (causes.size() > 2 * kShown)
    Count("  further causes of lost replies", static_cast<long>(causes.size() - 2 * kShown));

  std::string codes;
  for (const auto& [code, count] : run.cancel_codes)
    codes += (codes.empty() ? "" : ", ") + code + " x" + std::to_string(count);
  Text("cancel codes in the payments' replies",
       codes.empty() ? "none" : codes + "  (0004: -4, the answer wait; 0003: -3, the ack wait)");
  if (run.mode == Mode::kWebSocket)
    Text("cancel connections to P + 1 the agent closed",
         std::to_string(run.ws_cancels_closed) + " of " +
             std::to_string(run.ws_cancels_closed + run.ws_cancels_open) + "  (expected all)");
  Count("cancels before the payment was at the terminal", run.cancels_early, "",
        "expected 0");
  Text("resets whose LAST returned the payment's reply",
       std::to_string(run.lasts.correct) + " of " + std::to_string(run.resets) +
           "  (expected all)");
  Count("replies the agent did not close after", run.unclosed, "",
        run.mode == Mode::kWebSocket ? "closing frame, then close; expected 0"
                                     : "close after the client's FIN; expected 0");

  const Summary paid = Summarize(run.paid_ms);
  Fine("payment, start until its reply, median", paid.median, "ms");
  Fine("payment, start until its reply, p90 / max", paid.p90, "ms",
       Format("%.2f", paid.max) + " ms");
  if (!run.cancel_ms.empty())
    Fine("cancel until the payment's reply, median", Summarize(run.cancel_ms).median,
         "ms");
  if (!run.last_ms.empty())
    Fine("LAST after a reset until its reply, median", Summarize(run.last_ms).median,
         "ms", "includes the payment still under way");
  Figure("wall time of the payments", run.wall_ms / 1000.0, "s",
         std::to_string(run.payments_made) + " payments");

  if (!run.trail.empty()) {
    const ProcessFigures& first = run.trail.front().figures;
    const ProcessFigures& end = run.trail.back().figures;
    const std::string at_end = "at the end (after " + std::to_string(run.trail.back().after) + ")";
    Count("VmRSS after the first payment", first.rss_kb, "kB");
    Count(("VmRSS " + at_end).c_str(), end.rss_kb, "kB");
    Count("VmRSS, end minus first", end.rss_kb - first.rss_kb, "kB", "expected about 0");
    Count("open descriptors after the first payment", first.fds);
    Count(("open descriptors " + at_end).c_str(), end.fds);
    Count("open descriptors, end minus first", end.fds - first.fds, "", "expected 0");
    Count("threads after the first payment", first.threads);
    Count(("threads " + at_end).c_str(), end.threads);
    Count("threads, end minus first", end.threads - first.threads, "", "expected 0");
    std::string after;
    for (const Sample& s : run.trail) after += (after.empty() ? "" : " ") + std::to_string(s.after);
    Text("samples after payments", after);
    Text("  VmRSS (kB)", Trail(run.trail, &ProcessFigures::rss_kb));
    Text("  descriptors", Trail(run.trail, &ProcessFigures::fds));
    Text("  threads", Trail(run.trail, &ProcessFigures::threads));
  }
  if (run.payments_made > 1) {
    const double later = run.payments_made - 1;
    Fine("agent log per payment after the first",
         static_cast<double>(run.log_end.bytes - run.log_first.bytes) / later, "bytes",
         Format("%.1f", static_cast<double>(run.log_end.lines - run.log_first.lines) / later) +
             " lines");
  }
  if (run.temp_files_left >= 0)
    Count("temp files (\"New*\") left", run.temp_files_left, "",
          "expected 0");
  Text("agent ended by SIGTERM", run.ending);
  Count("agent stdout and stderr", static_cast<long>(run.agent_output.size()), "bytes",
        "message boxes go there; distinct lines below");
  OutputLines(run.agent_output);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  PrepareOutput();
  const std::string bin_dir = FromEnvironment("OVT_BIN_DIR", "");
  const std::string agent_program =
      bin_dir.empty() ? std::string(OVT_AGENT_PROGRAM) : bin_dir + "/OVTelquin";
  const std::string catsim = FromEnvironment("OVT_CATSIM", OVT_CATSIM);

  MachineHeader("soak_bench", argc, argv);
  Text("agent program", agent_program + (bin_dir.empty() ? "" : "  (OVT_BIN_DIR)"));
  Text("simulator", catsim + (std::getenv("OVT_CATSIM") != nullptr ? "  (OVT_CATSIM)" : ""));
  Text("modes", std::string(options.websocket ? "WebSocket" : "") +
                    (options.websocket && options.ajax ? ", " : "") +
                    (options.ajax ? "AJAX" : ""));
  Count("payments per mode", options.payments);
  Text("cancelled", options.cancel_every > 0
                        ? "every " + std::to_string(options.cancel_every) + "th payment"
                        : "none");
  Text("reset by the client, then LAST",
       options.reset_every > 0
           ? "every " + std::to_string(options.reset_every) + "th payment not cancelled"
           : "none");
  Text("payment message, e.g.", "\"" + PaymentMessage(PaymentData(Mode::kWebSocket, 1)) + "\"");
  Text("its expected reply (UTF-8)",
       "\"" + Visible(ApprovedReply(PaymentData(Mode::kWebSocket, 1))) + "\"");
  Text("cancelled payment's expected reply",
       "\"" + FailureReply(4) + "\" or \"" + FailureReply(3) + "\"");
  Text("terminal", "COM" + std::to_string(kTerminalCom) + " at " + std::to_string(kBaud) +
                       " baud: the simulator, scenario \"" + kAnswering + "\"; \"" + kWaiting +
                       "\" for a cancelled payment");
  Count("reply time-out", kReplyTimeoutMs, "ms");
  Text("load average at start", LoadAverage());
  if (!ProgramPresent("soak_bench", agent_program, "the agent") ||
      !ProgramPresent("soak_bench", catsim, "catsim"))
    return 2;

  const auto begun = Clock::now();
  std::vector<ModeRun> runs;
  for (const Mode mode : {Mode::kWebSocket, Mode::kAjax}) {
    if (!(mode == Mode::kWebSocket ? options.websocket : options.ajax)) continue;
    ModeRun& run = runs.emplace_back();
    run.mode = mode;
    run.name = mode == Mode::kWebSocket ? "WebSocket" : "AJAX";
    run.planned = options.payments;
  }
  for (ModeRun& run : runs) {
    RunMode(run, options, agent_program, catsim);
  }
  for (const ModeRun& run : runs) Report(run);

  Heading("Run");
  long lost = 0, wrong = 0;
  bool whole = true;
  bool any_started = false;
  for (const ModeRun& run : runs) {
    lost += run.Lost();
    wrong += run.Wrong();
    whole = whole && run.stop_reason.empty();
    any_started = any_started || run.started;
    Text((std::string(run.name) + ": payments; correct / wrong / lost").c_str(),
         std::to_string(run.payments_made) + "; " + std::to_string(run.Correct()) + " / " +
             std::to_string(run.Wrong()) + " / " + std::to_string(run.Lost()));
  }
  Count("replies lost, all modes", lost, "", "target 0");
  Count("replies wrong, all modes", wrong, "", "target 0");
  Figure("total run time", MsBetween(begun, Clock::now()) / 1000.0, "s");
  Text("load average at the end", LoadAverage());
  if (!any_started) return 2;
  const int status = lost == 0 && wrong == 0 && whole ? 0 : 1;
  Text("exit status", std::to_string(status) +
                          (status == 0 ? "  (every reply correct)"
                                       : "  (a reply lost or wrong, or a mode cut short)"));
  return status;
}
