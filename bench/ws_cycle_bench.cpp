// ws_cycle_bench: one WebSocket message cycle as a browser makes it, against
// the agent and against a reference server written with Node.js and the
// `ws` package, side by side; then the agent's resident memory and its CPU
// time while idle.
//
// A cycle is one short connection: connect, the opening handshake for
// /VEVU, one masked text frame with the LAST request, the reply frame, the
// agent's closing frame, the client's closing frame in answer, close. Every
// answer is checked (status line, accept key, reply bytes, closing frame),
// so a server that answers wrongly is counted as failing, never as fast.
// The two servers take turns in blocks of cycles, so both see the same load
// on the machine. The program reports; a missed target is printed as
// "MISSED" and never changes the exit status. It exits non-zero only when
// it cannot measure at all (agent or Node.js unavailable, bad arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. the agent at rest after start-up: resident memory, and its CPU time
//      over --idle-seconds S;
//   2. --cycles N cycles against each server, alternating in blocks, with
//      the phases of a cycle and each server's CPU per cycle;
//   3. the agent after the cycles: memory, threads, descriptors, its log.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_agent.h"
#include "bench_report.h"
#include "bench_ws_client.h"
#include "support/temp_root.h"

#ifndef OVT_AGENT_PROGRAM
#error "OVT_AGENT_PROGRAM must name the agent program the build makes"
#endif
#ifndef OVT_WS_REFERENCE_SERVER
#error "OVT_WS_REFERENCE_SERVER must name bench/ws_reference_server.js"
#endif

namespace {

using namespace bench;
using ovt_test::TempRoot;

// ---------------------------------------------------------------- messages

// Every cycle sends kLastRequest and gets kStoredReplyUtf8 back, or with
// --no-stored-reply LAST's answer when nothing is stored: its header counts
// the 32 bytes of the text in code page 949, the browser receives the text
// in UTF-8.
constexpr std::string_view kNoStoredReplyUtf8 = "0044VEVU00000032결과데이터 파일을 열수 없습니다.";

// ---------------------------------------------------------------- settings

constexpr double kRatioTarget = 1.0;      // agent median / Node median, at most
constexpr double kRssTargetKb = 10240.0;  // idle agent after start-up, under
constexpr double kIdleCpuTargetMs = 50.0;  // over 60 idle seconds, under

struct Options {
  int cycles = 2000;
  int warmup = 200;
  int block = 100;
  int idle_seconds = 60;
  bool stored_reply = true;
  std::string agent = OVT_AGENT_PROGRAM;
  std::string node = "node";
};

const char* Usage() {
  return "usage: ws_cycle_bench [--cycles N] [--warmup N] [--block N] [--idle-seconds S]\n"
         "                      [--no-stored-reply] [--agent PATH] [--node PATH]\n"
         "  --cycles N        timed cycles against each server, at least 10 (default 2000)\n"
         "  --warmup N        untimed cycles against each server first (default 200)\n"
         "  --block N         cycles in a row against one server before the other's turn\n"
         "                    (default 100)\n"
         "  --idle-seconds S  the agent's idle CPU is measured over S seconds, 0 skips it\n"
         "                    (default 60)\n"
         "  --no-stored-reply no orvaResult.txt: LAST answers with the \"0044\" reply\n"
         "  --agent PATH      the agent program (default: the one built beside the bench)\n"
         "  --node PATH       the Node.js program (default: node on the PATH)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  const auto take = [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--cycles") {
      ok = ParseCount(value, 10, 10000000, &options->cycles);
    } else if (arg == "--warmup") {
      ok = ParseCount(value, 0, 10000000, &options->warmup);
    } else if (arg == "--block") {
      ok = ParseCount(value, 1, 10000000, &options->block);
    } else if (arg == "--idle-seconds") {
      ok = ParseCount(value, 0, 3600, &options->idle_seconds);
    } else if (arg == "--agent") {
      ok = value != nullptr && *value != '\0';
      if (ok) options->agent = value;
    } else if (arg == "--node") {
      ok = value != nullptr && *value != '\0';
      if (ok) options->node = value;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  };
  // --no-stored-reply takes no value; the shared parser walks pairs, so it
  // is taken out of the arguments first.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::string_view(argv[i]) == "--no-stored-reply") {
      options->stored_reply = false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  return bench::ParseOptions(static_cast<int>(rest.size()), rest.data(), "ws_cycle_bench",
                             Usage(), take);
}

// ---------------------------------------------------------------- one cycle

// What a cycle sends (Prepare) is made before its clock starts.

// Milliseconds from the start of a cycle to each of its steps.
struct CycleTimes {
  double connected = 0;  // connect() returned
  double upgraded = 0;   // the whole 101 answer has arrived
  double replied = 0;    // the whole reply frame has arrived
  double closed = 0;     // the server's closing frame has arrived
  double done = 0;       // the client's closing frame sent and the socket closed
};

bool RunCycle(int port, const Prepared& p, std::string_view expected_reply, CycleTimes* t,
              std::string* error) {
  const auto start = Clock::now();
  Connection c;
  if (!c.Open(port, error)) return false;
  t->connected = MsBetween(start, Clock::now());

  if (!c.SendAll(p.handshake, error)) return false;
  std::string head;
  if (!c.Receive(HeadSize, &head, error, "the 101 answer")) return false;
  if (!CheckUpgrade(head, p.accept, error)) return false;
  t->upgraded = MsBetween(start, Clock::now());

  if (!c.SendAll(p.text_frame, error)) return false;
  std::string frame;
  if (!c.Receive(ServerFrameSize, &frame, error, "the reply frame")) return false;
  if (!CheckReplyFrame(frame, expected_reply, error)) return false;
  t->replied = MsBetween(start, Clock::now());

  if (!c.Receive(ServerFrameSize, &frame, error, "the closing frame")) return false;
  if (frame != std::string_view("\x88\x00", 2)) {
    *error = "closing frame \"" + Visible(frame) + "\", expected \\x88\\x00";
    return false;
  }
  t->closed = MsBetween(start, Clock::now());

  c.SendAndForget(p.close_frame);
  c.Close();
  t->done = MsBetween(start, Clock::now());
  return true;
}

// ---------------------------------------------------------------- a server's series

struct Series {
  const char* name = "";
  int port = 0;
  pid_t pid = -1;
  std::vector<double> connected, upgraded, replied, closed, done;
  long failures = 0;
  long failures_in_a_row = 0;
  bool given_up = false;
  std::string first_error;
  ServerTime server;  // over its timed blocks
  long timed = 0;
};

// One cycle of `s`; timed ones go into its figures.
void Cycle(Series& s, std::mt19937& random, std::string_view expected, bool timed) {
  if (s.given_up) return;
  const Prepared p = Prepare(random, s.port, kLastRequest);
  CycleTimes t;
  std::string error;
  if (!RunCycle(s.port, p, expected, &t, &error)) {
    ++s.failures;
    if (s.first_error.empty()) s.first_error = error;
    if (++s.failures_in_a_row >= kMaxFailuresInARow) {
      s.given_up = true;
      std::fprintf(stderr, "ws_cycle_bench: %s failed %d cycles in a row, the last: %s\n", s.name,
                   kMaxFailuresInARow, error.c_str());
    }
    return;
  }
  s.failures_in_a_row = 0;
  if (!timed) return;
  s.connected.push_back(t.connected);
  s.upgraded.push_back(t.upgraded - t.connected);
  s.replied.push_back(t.replied - t.upgraded);
  s.closed.push_back(t.closed - t.replied);
  s.done.push_back(t.done);
  ++s.timed;
}

// `count` timed cycles of `s`, with its CPU time around them.
void Block(Series& s, std::mt19937& random, std::string_view expected, int count) {
  const ProcessFigures before = ReadProcess(s.pid);
  for (int i = 0; i < count && !s.given_up; ++i) Cycle(s, random, expected, true);
  s.server.Add(before, ReadProcess(s.pid));
}

// ---------------------------------------------------------------- sections

void IdleSection(Agent& agent, int seconds, const TempRoot& root) {
  Heading("1. The agent at rest after start-up");
  const ProcessFigures start = ReadProcess(agent.child.pid());
  Fine("start-up until both listeners listen", agent.ready_ms, "ms",
       "includes the agent's fixed 500 ms waits");
  Text("start-up END line in the agent log",
       AgentLogHas(root.path(), "===========END==========") ? "yes  (expected yes)"
                                                            : "no  (expected yes)");
  Count("resident memory (VmRSS) after start-up", start.rss_kb, "kB",
        "target: under 10 MB: " + Verdict(start.rss_kb >= 0 && start.rss_kb < kRssTargetKb));
  Count("threads after start-up", start.threads);
  Count("open descriptors after start-up", start.fds);
  Fine("cpu time of the start-up (utime + stime)", start.cpu_ms, "ms");
  if (start.run_ns_known)
    Micro("time on a cpu during start-up (schedstat)", start.run_ns / 1e6,
          "its live threads; finer than the ticks");
  if (seconds == 0) {
    Text("idle cpu", "skipped (--idle-seconds 0)");
    return;
  }
  SleepFor(std::chrono::seconds(seconds));
  const ProcessFigures end = ReadProcess(agent.child.pid());
  if (!end.alive) {
    Text("idle cpu", "the agent ended while idle");
    return;
  }
  const double scale = 60.0 / seconds;
  const double idle_cpu = end.cpu_ms - start.cpu_ms;
  Count("idle period", seconds, "s");
  Fine("cpu time while idle (utime + stime)", idle_cpu, "ms",
       seconds == 60 ? "target: under 50 ms: " + Verdict(idle_cpu < kIdleCpuTargetMs)
                     : "target over 60 s: under 50 ms");
  if (seconds != 60)
    Fine("the same per 60 s", idle_cpu * scale, "ms",
         "target: under 50 ms: " + Verdict(idle_cpu * scale < kIdleCpuTargetMs));
  if (start.run_ns_known && end.run_ns_known)
    Micro("time on a cpu while idle (threads' schedstat)", (end.run_ns - start.run_ns) / 1e6,
          "finer than the clock ticks of utime + stime");
  Count("context switches while idle (all threads)", end.context_switches - start.context_switches,
        "", "each is a wake-up; expected few or none");
  Count("resident memory (VmRSS) after the idle period", end.rss_kb, "kB");
}

void PrintSeries(const Series& s) {
  const Summary total = Summarize(s.done);
  Count((std::string(s.name) + ": cycles timed").c_str(), s.timed);
  Count((std::string(s.name) + ": failed cycles").c_str(), s.failures, "", "expected 0");
  if (!s.first_error.empty()) Text((std::string(s.name) + ": first failure").c_str(), s.first_error);
  Micro((std::string(s.name) + ": cycle, median").c_str(), total.median);
  Micro((std::string(s.name) + ": cycle, p99").c_str(), total.p99);
  Micro((std::string(s.name) + ": cycle, p90").c_str(), total.p90);
  Micro((std::string(s.name) + ": cycle, min").c_str(), total.min);
  Micro((std::string(s.name) + ": cycle, max").c_str(), total.max);
}

void Phases(const Series& agent, const Series& node) {
  std::printf("  %-47s %12s %12s\n", "phase, median (ms)", agent.name, node.name);
  const auto row = [&](const char* label, const std::vector<double>& a,
                       const std::vector<double>& n) {
    std::printf("  %-47s %12.3f %12.3f\n", label, Summarize(a).median, Summarize(n).median);
  };
  row("connect", agent.connected, node.connected);
  row("handshake sent until the 101 answer is in", agent.upgraded, node.upgraded);
  row("text frame sent until the reply frame is in", agent.replied, node.replied);
  row("reply frame until the closing frame is in", agent.closed, node.closed);
  std::vector<double> a_close, n_close;
  const auto tail = [](const Series& s, std::vector<double>* out) {
    for (size_t i = 0; i < s.done.size(); ++i)
      out->push_back(s.done[i] - s.connected[i] - s.upgraded[i] - s.replied[i] - s.closed[i]);
  };
  tail(agent, &a_close);
  tail(node, &n_close);
  row("closing frame answered and socket closed", a_close, n_close);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  if (!BeginRun("ws_cycle_bench", argc, argv, options.agent, OVT_WS_REFERENCE_SERVER,
                &options.node))
    return 1;
  const std::string_view expected = options.stored_reply ? kStoredReplyUtf8 : kNoStoredReplyUtf8;
  Text("request (one masked text frame)", "\"" + std::string(kLastRequest) + "\"");
  Text("stored reply in orvaResult.txt",
       options.stored_reply ? "\"" + Visible(kStoredReply) + "\"" : "none (--no-stored-reply)");
  Text("expected reply frame payload (UTF-8)", "\"" + Visible(expected) + "\"");
  Text("load average at start", LoadAverage());

  TempRoot root;
  Agent agent;
  const AgentLaunch launch{.bench = "ws_cycle_bench",
                           .program = options.agent,
                           .web_mode = 0,
                           .port_key = "ServerPortWebsocket",
                           .address = INADDR_ANY,  // the WebSocket listeners bind all addresses
                           .stored_reply = options.stored_reply ? kStoredReply : ""};
  if (!StartAgent(launch, root, &agent)) return 1;
  Text("agent pid, port, stop port", std::to_string(agent.child.pid()) + ", " +
                                         std::to_string(agent.port) + ", " +
                                         std::to_string(agent.port + 1));
  const auto begun = Clock::now();

  IdleSection(agent, options.idle_seconds, root);

  Child node;
  int node_port = 0;
  if (!StartReferenceServer("ws_cycle_bench", options.node, OVT_WS_REFERENCE_SERVER, kLastRequest,
                            expected, root,
                            " (is `ws` installed? run `npm ci` at the repository root)", &node,
                            &node_port))
    return 1;

  Series a, n;
  a.name = "agent";
  a.port = agent.port;
  a.pid = agent.child.pid();
  n.name = "node";
  n.port = node_port;
  n.pid = node.pid();
  std::mt19937 random(std::random_device{}());

  Heading("2. Cycles: " + std::to_string(options.cycles) + " timed against each server after " +
          std::to_string(options.warmup) + " of warm-up, in blocks of " +
          std::to_string(options.block) + ", alternating");
  Text("node pid, port", std::to_string(node.pid()) + ", " + std::to_string(node_port));
  Text("load average before the cycles", LoadAverage());
  for (int i = 0; i < options.warmup; ++i) {
    Cycle(a, random, expected, false);
    Cycle(n, random, expected, false);
    Progress("warm-up", i + 1, options.warmup, 50);
  }
  const long warm_failures_agent = a.failures, warm_failures_node = n.failures;
  const ProcessFigures agent_warm = ReadProcess(a.pid);
  const ProcessFigures node_warm = ReadProcess(n.pid);
  const LogSize log_before = AgentLogSize(root.path());

  // Blocks in the order A B B A A B ...: neither server always follows
  // the other.
  int done = 0;
  for (int b = 0; done < options.cycles; ++b) {
    const int count = std::min(options.block, options.cycles - done);
    Series& first = (b % 2 == 0) ? a : n;
    Series& second = (b % 2 == 0) ? n : a;
    Block(first, random, expected, count);
    Block(second, random, expected, count);
    done += count;
    Progress("cycles of each", done, options.cycles);
    if (!agent.child.Running()) {
      std::fprintf(stderr, "ws_cycle_bench: the agent ended during the cycles (%s)\n",
                   agent.child.ending().c_str());
      break;
    }
  }
  const LogSize log_after = AgentLogSize(root.path());
  const ProcessFigures agent_end = ReadProcess(a.pid);
  const ProcessFigures node_end = ReadProcess(n.pid);
  Text("load average after the cycles", LoadAverage());

  Text("failed warm-up cycles, agent / node",
       std::to_string(warm_failures_agent) + " / " + std::to_string(warm_failures_node) +
           "  (expected 0 / 0)");
  PrintSeries(a);
  PrintSeries(n);
  const double a_median = Summarize(a.done).median, n_median = Summarize(n.done).median;
  const double ratio = n_median > 0 ? a_median / n_median : 0;
  Line("cycle median, agent / node", Format("%.3f", ratio), "",
       "target: at most 1: " + Verdict(a.timed > 0 && n.timed > 0 && ratio <= kRatioTarget));
  Ratio("cycle p99, agent / node",
        Summarize(n.done).p99 > 0 ? Summarize(a.done).p99 / Summarize(n.done).p99 : 0);
  std::vector<double> a_reply, n_reply;
  for (size_t i = 0; i < a.done.size(); ++i)
    a_reply.push_back(a.connected[i] + a.upgraded[i] + a.replied[i]);
  for (size_t i = 0; i < n.done.size(); ++i)
    n_reply.push_back(n.connected[i] + n.upgraded[i] + n.replied[i]);
  Micro("agent: start until the reply is in, median", Summarize(a_reply).median,
        "what the page waits for its answer");
  Micro("node: start until the reply is in, median", Summarize(n_reply).median);
  Phases(a, n);
  for (const Series* s : {&a, &n}) {
    if (s->timed == 0) continue;
    const double cycles = static_cast<double>(s->timed);
    const std::string name = s->name;
    if (s->server.run_known)
      Micro((name + ": server time on a cpu per cycle").c_str(), s->server.run_ns / 1e6 / cycles,
            "threads' schedstat over its blocks");
    Micro((name + ": server cpu per cycle (utime + stime)").c_str(), s->server.cpu_ms / cycles,
          "clock ticks");
  }

  Heading("3. The agent after the cycles");
  const double cycles_logged = static_cast<double>(a.timed + a.failures - warm_failures_agent);
  if (cycles_logged > 0) {
    Fine("agent log lines per cycle",
         static_cast<double>(log_after.lines - log_before.lines) / cycles_logged, "");
    Fine("agent log bytes per cycle",
         static_cast<double>(log_after.bytes - log_before.bytes) / cycles_logged, "bytes");
  }
  Count("agent log at the end", static_cast<long>(log_after.bytes), "bytes",
        std::to_string(log_after.lines) + " lines");
  GrowthReport("cycles", agent_warm, agent_end, node_end);
  (void)node_warm;

  EndRun(node, agent, begun);
  return 0;
}
