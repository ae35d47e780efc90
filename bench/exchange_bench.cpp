// exchange_bench: what whole exchanges cost when the library runs on its
// product timings, measured against the terminal simulator on a
// pseudo-terminal.
//
// The library is loaded the way the agent loads it: dlopen of the built
// shared object by its path, then dlsym of ReqToCat_WS and ReqStop. Every
// figure comes from this one run, so medians and ratios printed side by side
// were measured under the same load. The program reports; a missed target is
// printed as "missed" and never changes the exit status. It exits non-zero
// only when it cannot measure at all (library or simulator unavailable, bad
// arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. one successful exchange, repeated (--exchanges N, at least 20);
//   2. descriptors, threads and resident memory over many exchanges
//      (--soak N, 0 skips it);
//   3. ReqStop while an exchange waits for the answer and while it waits for
//      the acknowledgement (--stops N repetitions each, 0 skips it).
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Telquin.h"
#include "bench_report.h"
#include "support/simulator.h"
#include "support/temp_root.h"

#ifndef OVT_TELQUIN_SO
#error "OVT_TELQUIN_SO must name the built shared library"
#endif
#ifndef OVT_CATSIM
#error "OVT_CATSIM must name the built catsim program"
#endif

namespace {

using namespace bench;
using ovt_test::Simulator;
using ovt_test::TempRoot;
using std::chrono::milliseconds;

constexpr int kCom = 5;
constexpr int kBaud = 115200;
constexpr int kAckSeconds = 5;
constexpr const char* kRequest = "0200PAY1000";

// The library's fixed waits on its product timings.
constexpr double kCloseSleepMs = 1000.0;  // start of every port close
constexpr double kPollMs = 50.0;          // one cycle of the ack and answer waits
constexpr double kGraceMs = 500.0;        // second look at a lost acknowledgement
constexpr double kEotSpacingMs = 500.0;   // between the three closing EOTs
constexpr double kAckTimeoutMs = kAckSeconds * 1000.0;

// Targets, printed beside the figures they apply to.
constexpr double kWallToleranceMs = 120.0;  // median within this of the close sleep
constexpr double kCpuTargetMs = 20.0;       // process CPU per exchange

constexpr int kMinExchanges = 20;
constexpr int kWarmUp = 10;  // soak exchanges before the first resource sample
constexpr long kMaxCount = 1000000;

struct Options {
  int exchanges = 25;
  int soak = 200;
  int stops = 5;
  std::string library = OVT_TELQUIN_SO;
};

const char* Usage() {
  return "usage: exchange_bench [--exchanges N] [--soak N] [--stops N] [--library PATH]\n"
         "  --exchanges N  successful exchanges to time, at least 20 (default 25)\n"
         "  --soak N       exchanges of the resource soak, 0 skips it (default 200)\n"
         "  --stops N      ReqStop repetitions per case, 0 skips them (default 5)\n"
         "  --library PATH shared library to load (default: the one built beside)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  const auto take = [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--exchanges") {
      ok = ParseCount(value, kMinExchanges, kMaxCount, &options->exchanges);
    } else if (arg == "--soak") {
      ok = ParseCount(value, 0, kMaxCount, &options->soak);
    } else if (arg == "--stops") {
      ok = ParseCount(value, 0, kMaxCount, &options->stops);
    } else if (arg == "--library") {
      ok = value != nullptr && *value != '\0';
      if (ok) options->library = value;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  };
  return bench::ParseOptions(argc, argv, "exchange_bench", Usage(), take);
}

// ---------------------------------------------------------------- library

struct Library {
  void* handle = nullptr;
  ReqToCat_WS_fn exchange = nullptr;
  ReqStop_fn stop = nullptr;
};

bool Load(const std::string& path, Library* lib) {
  lib->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib->handle == nullptr) {
    std::fprintf(stderr, "exchange_bench: dlopen %s: %s\n", path.c_str(), dlerror());
    return false;
  }
  lib->exchange = reinterpret_cast<ReqToCat_WS_fn>(dlsym(lib->handle, "ReqToCat_WS"));
  lib->stop = reinterpret_cast<ReqStop_fn>(dlsym(lib->handle, "ReqStop"));
  if (lib->exchange == nullptr || lib->stop == nullptr) {
    std::fprintf(stderr, "exchange_bench: %s lacks ReqToCat_WS or ReqStop\n", path.c_str());
    return false;
  }
  return true;
}

bool StartSimulator(const Simulator& sim, const char* scenario) {
  if (sim.Ready()) return true;
  std::fprintf(stderr, "exchange_bench: catsim (%s) not ready: %s\n", scenario,
               sim.Error().c_str());
  return false;
}

// What a successful exchange hands back for kRequest: the simulator's
// answer frame from STX through ETX (without its LRC).
std::string ExpectedResponse() {
  const std::vector<uint8_t> frame = Simulator::AnswerFrame(Simulator::DefaultAnswer(kRequest));
  return std::string(frame.begin(), frame.end() - 1);
}

// ---------------------------------------------------------------- 1. exchange

void TimeExchanges(const Library& lib, const TempRoot& root, int count) {
  Heading("1. One successful exchange (scenario \"answer\", " + std::to_string(count) +
          " exchanges)");
  Simulator sim(root.path(), kCom, "answer");
  if (!StartSimulator(sim, "answer")) return;

  const std::string expected = ExpectedResponse();
  std::vector<double> wall, cpu;
  long failures = 0, wrong_answers = 0;
  for (int i = 0; i < count; ++i) {
    char response[TELQUIN_RESPONSE_SIZE] = {};
    const double cpu_before = ProcessCpuMs();
    const auto start = Clock::now();
    const int code = lib.exchange(kCom, kBaud, kRequest, response, kAckSeconds);
    const auto end = Clock::now();
    const double cpu_after = ProcessCpuMs();
    wall.push_back(MsBetween(start, end));
    cpu.push_back(cpu_after - cpu_before);
    if (code != 1) {
      ++failures;
    } else if (expected != response) {
      ++wrong_answers;
    }
    Progress("exchange", i + 1, count);
  }

  const Summary w = Summarize(wall);
  const Summary c = Summarize(cpu);
  const bool wall_met = std::fabs(w.median - kCloseSleepMs) <= kWallToleranceMs;
  const bool cpu_met = c.median < kCpuTargetMs;
  Count("exchanges", static_cast<long>(w.count));
  Count("failures (result other than 1)", failures, "", "expected 0");
  Count("wrong answers (result 1, other bytes)", wrong_answers, "", "expected 0");
  Figure("wall per exchange, median", w.median, "ms",
         "target: within 120 ms of 1000 ms: " + Verdict(wall_met));
  Figure("wall per exchange, min", w.min, "ms");
  Figure("wall per exchange, max", w.max, "ms");
  Figure("wall per exchange, p90", w.p90, "ms");
  Figure("wall median minus the 1000 ms close sleep", w.median - kCloseSleepMs, "ms",
         "floor: one 50 ms poll for the ACK, one for the answer");
  Figure("wall median minus the floor (1000 + 2 x 50)", w.median - kCloseSleepMs - 2 * kPollMs,
         "ms", "the exchange's own work");
  Ratio("wall median / 1000 ms close sleep", w.median / kCloseSleepMs);
  Fine("cpu per exchange, median", c.median, "ms", "target: under 20 ms: " + Verdict(cpu_met));
  Fine("cpu per exchange, mean", c.mean, "ms");
  Fine("cpu per exchange, max", c.max, "ms");
}

// ---------------------------------------------------------------- 2. soak

void Soak(const Library& lib, const TempRoot& root, int count) {
  Heading("2. Resource growth (scenario \"answer\", " + std::to_string(count) + " exchanges)");
  if (count == 0) {
    Text("skipped", "--soak 0");
    return;
  }
  Simulator sim(root.path(), kCom, "answer");
  if (!StartSimulator(sim, "answer")) return;

  const int warm_up = std::min(kWarmUp, count);
  const std::string expected = ExpectedResponse();
  const Resources at_start = Sample();
  Resources warm;
  std::vector<double> wall;
  long failures = 0, wrong_answers = 0;
  for (int i = 0; i < count; ++i) {
    char response[TELQUIN_RESPONSE_SIZE] = {};
    const auto start = Clock::now();
    const int code = lib.exchange(kCom, kBaud, kRequest, response, kAckSeconds);
    wall.push_back(MsBetween(start, Clock::now()));
    if (code != 1) {
      ++failures;
    } else if (expected != response) {
      ++wrong_answers;
    }
    if (i + 1 == warm_up) warm = Sample();
    Progress("soak", i + 1, count);
  }
  const Resources at_end = Sample();

  Count("exchanges", count);
  Count("failures (result other than 1)", failures, "", "expected 0");
  Count("wrong answers (result 1, other bytes)", wrong_answers, "", "expected 0");
  Figure("wall per exchange, median", Summarize(wall).median, "ms");
  Count("sampled after exchange (warm-up)", warm_up);
  ResourceReport("exchange", at_start, warm, at_end);
}

// ---------------------------------------------------------------- 3. ReqStop

struct StopRun {
  bool reached = false;        // the simulator saw what it waited for
  int code = 99;               // the exchange's result
  double start_to_stop = 0;    // exchange start to the ReqStop call
  double stop_call = 0;        // the ReqStop call itself
  double stop_to_return = 0;   // ReqStop call to the exchange's return
  double start_to_return = 0;  // the whole exchange
};

// Starts one exchange on a second thread, waits until the simulator has
// received `wait_bytes` more bytes than before, then calls ReqStop here.
StopRun StopOnce(const Library& lib, const Simulator& sim, size_t wait_bytes) {
  StopRun run;
  const size_t base = sim.Received().size();
  char response[TELQUIN_RESPONSE_SIZE] = {};
  std::atomic<int> code{99};
  Clock::time_point returned;
  const auto start = Clock::now();
  std::thread runner([&] {
    const int result = lib.exchange(kCom, kBaud, kRequest, response, kAckSeconds);
    returned = Clock::now();
    code.store(result);
  });
  run.reached = sim.WaitForReceived(base + wait_bytes, milliseconds(10000));
  const auto stop_at = Clock::now();
  lib.stop();
  const auto stop_done = Clock::now();
  runner.join();
  run.code = code.load();
  run.start_to_stop = MsBetween(start, stop_at);
  run.stop_call = MsBetween(stop_at, stop_done);
  run.stop_to_return = MsBetween(stop_at, returned);
  run.start_to_return = MsBetween(start, returned);
  // ReqStop's EOT reaches the record before the next round counts bytes.
  sim.WaitForReceived(base + wait_bytes + 1, milliseconds(1000));
  return run;
}

std::string Codes(const std::vector<StopRun>& runs) {
  std::map<int, int> tally;
  for (const StopRun& r : runs) ++tally[r.code];
  std::string text;
  for (const auto& [code, n] : tally) {
    if (!text.empty()) text += ", ";
    text += std::to_string(code) + " x" + std::to_string(n);
  }
  return text.empty() ? "none" : text;
}

// The two situations ReqStop can meet. In the answer wait, ReqStop's close
// resets the acknowledgement, ReadAnal notices it and the exchange fails on
// its own; in the ack wait nothing shortens RecvAck, so the exchange runs
// into its ack time-out, counted from its start.
struct StopCase {
  const char* scenario;
  size_t wait_bytes;  // bytes the simulator must have before the stop
  int expected_code;
  bool in_ack_wait;
};

void RunStopCase(const Library& lib, const TempRoot& root, int repeats, const StopCase& c) {
  Simulator sim(root.path(), kCom, c.scenario);
  if (!StartSimulator(sim, c.scenario)) return;
  std::vector<StopRun> runs;
  long unreached = 0;
  for (int i = 0; i < repeats; ++i) {
    const StopRun run = StopOnce(lib, sim, c.wait_bytes);
    if (run.reached) {
      runs.push_back(run);
    } else {
      ++unreached;
    }
    Progress(c.scenario, i + 1, repeats);
  }
  std::vector<double> start_to_stop, stop_call, stop_to_return, start_to_return;
  long unexpected = 0;
  for (const StopRun& r : runs) {
    start_to_stop.push_back(r.start_to_stop);
    stop_call.push_back(r.stop_call);
    stop_to_return.push_back(r.stop_to_return);
    start_to_return.push_back(r.start_to_return);
    if (r.code != c.expected_code) ++unexpected;
  }
  const Summary to_stop = Summarize(start_to_stop);
  const Summary call = Summarize(stop_call);
  const Summary to_return = Summarize(stop_to_return);

  double expected = 0;
  std::string composition;
  if (c.in_ack_wait) {
    expected = kAckTimeoutMs - to_stop.median + kCloseSleepMs;
    composition =
        "(5000 ack time-out - " + Format("%.0f", to_stop.median) + " to the stop) + 1000 own close";
  } else {
    expected = kCloseSleepMs + kPollMs + kGraceMs + 2 * kEotSpacingMs + kCloseSleepMs;
    composition = "1000 stop close + <=50 poll + 500 grace + 2x500 EOTs + 1000 own close";
  }

  Count("repetitions measured", static_cast<long>(runs.size()));
  Count("repetitions where the simulator never saw it", unreached, "", "expected 0");
  Text("exchange results", Codes(runs) + "  (expected " + std::to_string(c.expected_code) +
                               " every time; " + std::to_string(unexpected) + " other)");
  Figure("exchange start to ReqStop call, median", to_stop.median, "ms");
  Figure("ReqStop call itself, median", call.median, "ms",
         "expected: about 1000 (its close sleep)");
  Figure("ReqStop call itself, max", call.max, "ms");
  Figure("ReqStop call to exchange return, median", to_return.median, "ms",
         "expected: about " + Format("%.0f", expected) + " = " + composition);
  Figure("ReqStop call to exchange return, min", to_return.min, "ms");
  Figure("ReqStop call to exchange return, max", to_return.max, "ms");
  Figure("ReqStop return to exchange return, median", to_return.median - call.median, "ms");
  if (c.in_ack_wait) {
    Figure("exchange start to return, median", Summarize(start_to_return).median, "ms",
           "expected: about 6000 = 5000 ack time-out + 1000 own close");
  }
}

void Stops(const Library& lib, const TempRoot& root, int repeats) {
  const std::string times =
      " " + std::to_string(repeats) + (repeats == 1 ? " repetition)" : " repetitions)");
  const size_t frame = Simulator::RequestFrame(kRequest).size();

  Heading("3a. ReqStop while the exchange waits for the answer (scenario \"ack-silent\"," + times);
  if (repeats == 0) {
    Text("skipped", "--stops 0");
  } else {
    // The request frame and the library's ACK: the exchange is in ReadAnal.
    RunStopCase(lib, root, repeats, {"ack-silent", frame + 1, TELQUIN_CANCELLED, false});
  }

  Heading(
      "3b. ReqStop while the exchange waits for the ACK (scenario \"silent\", ack time-out 5 s," +
      times);
  if (repeats == 0) {
    Text("skipped", "--stops 0");
  } else {
    // The request frame only: the exchange is in RecvAck.
    RunStopCase(lib, root, repeats, {"silent", frame, TELQUIN_NO_ACK, true});
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  MachineHeader("exchange_bench", argc, argv);
  Text("library", options.library);
  Text("simulator", OVT_CATSIM);
  Text("port, baud, request", "COM" + std::to_string(kCom) + ", " + std::to_string(kBaud) + ", \"" +
                                  kRequest + "\", ack time-out " + std::to_string(kAckSeconds) +
                                  " s");
  Text("load average at start", LoadAverage());

  // The data root first: the library finds "COM5" and writes its log under
  // OVTELQUIN_ROOT, which it reads on every use.
  TempRoot root;
  Library lib;
  if (!Load(options.library, &lib)) return 1;

  const auto begun = Clock::now();
  TimeExchanges(lib, root, options.exchanges);
  Soak(lib, root, options.soak);
  Stops(lib, root, options.stops);

  Heading("Run");
  Figure("total run time", MsBetween(begun, Clock::now()) / 1000.0, "s");
  Text("load average at the end", LoadAverage());
  // The library stays loaded until the process ends, as it would in a
  // caller that binds it once.
  return 0;
}
