// ajax_bench: one AJAX request as a browser's page makes it (a POST of the
// LAST message), against the agent's HTTP front end and against a
// reference server written with Node.js's `http` module, side by side.
//
// Two kinds of request, each timed on its own:
//   keep-alive: requests one after another on one open connection;
//   new connection: connect, one request, the whole response, close.
// Every response is checked (status line, the CORS header, Content-Length,
// no Content-Type, the body bytes), so a server that answers wrongly is
// counted as failing, never as fast. The servers take turns in blocks of
// requests, so both see the same load on the machine. The program reports;
// a missed target is printed as "MISSED" and never changes the exit status.
// It exits non-zero only when it cannot measure at all (agent or Node.js
// unavailable, bad arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. the agent after start-up;
//   2. --requests N requests of each kind against each server, alternating
//      in blocks, with each server's CPU per request;
//   3. the agent after the requests: its log per request, temp files left,
//      memory, threads, descriptors.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench_agent.h"
#include "bench_report.h"
#include "support/temp_root.h"

#ifndef OVT_AGENT_PROGRAM
#error "OVT_AGENT_PROGRAM must name the agent program the build makes"
#endif
#ifndef OVT_HTTP_REFERENCE_SERVER
#error "OVT_HTTP_REFERENCE_SERVER must name bench/http_reference_server.js"
#endif

namespace {

using namespace bench;
using ovt_test::TempRoot;

// ---------------------------------------------------------------- messages

// Every request is a browser's POST (PostRequest) whose body is
// kLastRequest, and the response body it must get is kStoredReplyUtf8.

// ---------------------------------------------------------------- settings

constexpr double kRatioTarget = 1.0;  // agent median / Node median, at most

struct Options {
  int requests = 5000;
  int warmup = 200;
  int block = 100;
  std::string agent = OVT_AGENT_PROGRAM;
  std::string node = "node";
};

const char* Usage() {
  return "usage: ajax_bench [--requests N] [--warmup N] [--block N] [--agent PATH] [--node PATH]\n"
         "  --requests N  timed requests of each kind against each server, at least 10\n"
         "                (default 5000)\n"
         "  --warmup N    untimed requests of each kind against each server first\n"
         "                (default 200)\n"
         "  --block N     requests in a row against one server before the other's turn\n"
         "                (default 100)\n"
         "  --agent PATH  the agent program (default: the one built beside the bench)\n"
         "  --node PATH   the Node.js program (default: node on the PATH)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  return bench::ParseOptions(argc, argv, "ajax_bench", Usage(),
                             [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--requests") {
      ok = ParseCount(value, 10, 10000000, &options->requests);
    } else if (arg == "--warmup") {
      ok = ParseCount(value, 0, 10000000, &options->warmup);
    } else if (arg == "--block") {
      ok = ParseCount(value, 1, 10000000, &options->block);
    } else if (arg == "--agent" || arg == "--node") {
      ok = value != nullptr && *value != '\0';
      if (ok) (arg == "--agent" ? options->agent : options->node) = value;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  });
}

// ---------------------------------------------------------------- one request

// One request on `c` and its whole response, checked.
bool Exchange(Connection& c, std::string_view request, bool keep_alive,
              std::string_view expected_body, std::string* error) {
  if (!c.SendAll(request, error)) return false;
  std::string body;
  if (!ReceivePostResponse(c, keep_alive, &body, error)) return false;
  if (body != expected_body) {
    *error = "body \"" + Visible(body) + "\"";
    return false;
  }
  if (!c.Idle()) {
    *error = "bytes after the response body";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- a server's series

enum class Kind { kKeepAlive, kNewConnection };

struct Series {
  std::string name;
  int port = 0;
  pid_t pid = -1;
  std::string request;  // the whole request, head and body
  std::vector<double> times;
  long timed = 0;
  long failures = 0;
  long failures_in_a_row = 0;
  bool given_up = false;
  std::string first_error;
  ServerTime server;  // over its timed blocks
};

void Failed(Series& s, const std::string& error) {
  ++s.failures;
  if (s.first_error.empty()) s.first_error = error;
  if (++s.failures_in_a_row >= kMaxFailuresInARow) s.given_up = true;
}

// `count` requests of `s`, timed when `timed`. Keep-alive requests share
// one connection, opened and closed outside the clock (and opened again
// after a failure); each new-connection request is timed from the socket's
// creation until it is closed after the whole response.
void Run(Series& s, Kind kind, std::string_view expected, int count, bool timed) {
  const ProcessFigures before = ReadProcess(s.pid);
  Connection kept;
  bool open = false;
  for (int i = 0; i < count && !s.given_up; ++i) {
    std::string error;
    if (kind == Kind::kKeepAlive && !open) {
      open = kept.Open(s.port, &error);
      if (!open) {
        kept.Close();
        Failed(s, error);
        continue;
      }
    }
    const auto start = Clock::now();
    bool ok;
    if (kind == Kind::kKeepAlive) {
      ok = Exchange(kept, s.request, true, expected, &error);
    } else {
      Connection c;
      ok = c.Open(s.port, &error) && Exchange(c, s.request, false, expected, &error);
      c.Close();
    }
    const double ms = MsBetween(start, Clock::now());
    if (!ok) {
      if (kind == Kind::kKeepAlive) {
        kept.Close();
        open = false;
      }
      Failed(s, error);
      continue;
    }
    s.failures_in_a_row = 0;
    if (timed) {
      s.times.push_back(ms);
      ++s.timed;
    }
  }
  if (!timed) return;
  s.server.Add(before, ReadProcess(s.pid));
}

// ---------------------------------------------------------------- report

void PrintSeries(const Series& s) {
  const Summary t = Summarize(s.times);
  Count((s.name + ": requests timed").c_str(), s.timed);
  Count((s.name + ": failed requests").c_str(), s.failures, "", "expected 0");
  if (!s.first_error.empty()) Text((s.name + ": first failure").c_str(), s.first_error);
  Micro((s.name + ": median").c_str(), t.median);
  Micro((s.name + ": p99").c_str(), t.p99);
  Micro((s.name + ": p90, min, max").c_str(), t.p90,
        Format("%.3f", t.min) + ", " + Format("%.3f", t.max) + " ms");
  if (s.timed > 0 && s.server.run_known)
    Micro((s.name + ": server cpu per request").c_str(),
          s.server.run_ns / 1e6 / static_cast<double>(s.timed), "threads' schedstat");
}

void Compare(const char* what, const Series& agent, const Series& node) {
  const Summary a = Summarize(agent.times), n = Summarize(node.times);
  const double ratio = n.median > 0 ? a.median / n.median : 0;
  Line((std::string(what) + ": median, agent / node").c_str(), Format("%.3f", ratio), "",
       "target: at most 1: " +
           Verdict(agent.timed > 0 && node.timed > 0 && ratio <= kRatioTarget));
  Ratio((std::string(what) + ": p99, agent / node").c_str(), n.p99 > 0 ? a.p99 / n.p99 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  if (!BeginRun("ajax_bench", argc, argv, options.agent, OVT_HTTP_REFERENCE_SERVER,
                &options.node))
    return 1;
  Text("request body (POST, text/plain)", "\"" + std::string(kLastRequest) + "\"");
  Text("stored reply in orvaResult.txt", "\"" + Visible(kStoredReply) + "\"");
  Text("expected response body (UTF-8)", "\"" + Visible(kStoredReplyUtf8) + "\"");
  Text("load average at start", LoadAverage());

  TempRoot root;
  Agent agent;
  const AgentLaunch launch{.bench = "ajax_bench",
                           .program = options.agent,
                           .web_mode = 1,
                           .port_key = "ServerPortAjax",
                           .address = INADDR_LOOPBACK,  // the AJAX servers bind loopback
                           .stored_reply = kStoredReply,
                           .serve = "serve",
                           .shut_hint = " (is its AJAX front end built?)"};
  if (!StartAgent(launch, root, &agent)) return 1;
  Text("agent pid, port, second port", std::to_string(agent.child.pid()) + ", " +
                                           std::to_string(agent.port) + ", " +
                                           std::to_string(agent.port + 1));
  const auto begun = Clock::now();

  Heading("1. The agent after start-up");
  Fine("start-up until both servers listen", agent.ready_ms, "ms",
       "includes the agent's fixed 500 ms waits");
  const ProcessFigures started = ReadProcess(agent.child.pid());
  Count("resident memory (VmRSS) after start-up", started.rss_kb, "kB");
  Count("threads, open descriptors after start-up", started.threads, "",
        std::to_string(started.fds) + " descriptors");

  Child node;
  int node_port = 0;
  if (!StartReferenceServer("ajax_bench", options.node, OVT_HTTP_REFERENCE_SERVER, kLastRequest,
                            kStoredReplyUtf8, root, "", &node, &node_port))
    return 1;
  Text("node pid, port", std::to_string(node.pid()) + ", " + std::to_string(node_port));

  // series[kind][server]: server 0 the agent, 1 Node.
  Series series[2][2];
  const char* kind_names[2] = {"keep-alive", "new connection"};
  for (int k = 0; k < 2; ++k) {
    for (int v = 0; v < 2; ++v) {
      Series& s = series[k][v];
      s.name = std::string(v == 0 ? "agent" : "node") + ", " + kind_names[k];
      s.port = v == 0 ? agent.port : node_port;
      s.pid = v == 0 ? agent.child.pid() : node.pid();
      s.request = PostRequest(s.port, kLastRequest);
    }
  }
  const Kind kinds[2] = {Kind::kKeepAlive, Kind::kNewConnection};

  Heading("2. Requests: " + std::to_string(options.requests) +
          " timed of each kind against each server after " + std::to_string(options.warmup) +
          " of warm-up, in blocks of " + std::to_string(options.block) + ", alternating");
  Text("load average before the requests", LoadAverage());
  for (int k = 0; k < 2; ++k) {
    Run(series[k][0], kinds[k], kStoredReplyUtf8, options.warmup, false);
    Run(series[k][1], kinds[k], kStoredReplyUtf8, options.warmup, false);
  }
  const long warm_failures = series[0][0].failures + series[1][0].failures;
  const long warm_failures_node = series[0][1].failures + series[1][1].failures;
  const ProcessFigures agent_warm = ReadProcess(agent.child.pid());
  const LogSize log_before = AgentLogSize(root.path());

  // Blocks in the order A B B A A B ... for each kind: neither server
  // always follows the other.
  int done = 0;
  for (int b = 0; done < options.requests; ++b) {
    const int count = std::min(options.block, options.requests - done);
    for (int k = 0; k < 2; ++k) {
      const int first = b % 2;
      Run(series[k][first], kinds[k], kStoredReplyUtf8, count, true);
      Run(series[k][1 - first], kinds[k], kStoredReplyUtf8, count, true);
    }
    done += count;
    Progress("requests of each", done, options.requests, options.block * 5);
    if (!agent.child.Running()) {
      std::fprintf(stderr, "ajax_bench: the agent ended during the requests (%s)\n",
                   agent.child.ending().c_str());
      break;
    }
  }
  const LogSize log_after = AgentLogSize(root.path());
  const ProcessFigures agent_end = ReadProcess(agent.child.pid());
  const ProcessFigures node_end = ReadProcess(node.pid());
  Text("load average after the requests", LoadAverage());
  Text("failed warm-up requests, agent / node",
       std::to_string(warm_failures) + " / " + std::to_string(warm_failures_node) +
           "  (expected 0 / 0)");
  for (int k = 0; k < 2; ++k) {
    PrintSeries(series[k][0]);
    PrintSeries(series[k][1]);
  }
  for (int k = 0; k < 2; ++k) Compare(kind_names[k], series[k][0], series[k][1]);

  Heading("3. The agent after the requests");
  const double agent_requests = static_cast<double>(
      series[0][0].timed + series[0][0].failures + series[1][0].timed + series[1][0].failures -
      warm_failures);
  if (agent_requests > 0) {
    Fine("agent log lines per request",
         static_cast<double>(log_after.lines - log_before.lines) / agent_requests, "",
         "each line opens, appends to and closes the file");
    Fine("agent log bytes per request",
         static_cast<double>(log_after.bytes - log_before.bytes) / agent_requests, "bytes");
  }
  Count("temp files (\"New*\") left in the working directory", TempFilesLeft(root.path()), "",
        "expected 0");
  GrowthReport("requests", agent_warm, agent_end, node_end);

  EndRun(node, agent, begun);
  return 0;
}
