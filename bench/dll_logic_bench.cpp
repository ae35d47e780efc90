// dll_logic_bench: what the agent's dispatcher costs on top of the work it
// hands on, measured through agent::DllLogic with the built libraries.
//
// Every DllLogic call binds libTelquin.so and libOrvaPrintV105.so by file
// name and releases both at its end, reads the terminal's two settings from
// the configuration file and writes its agent log lines; a payment also
// stores its reply in the last-result file. The libraries are loaded from
// the build's library folder (platform::testing::SetModuleDirectory), the
// way the agent loads them from its own folder. Every figure comes from
// this one run, so figures printed side by side were measured under the
// same load. The program reports; a missed target is printed as "MISSED"
// and never changes the exit status. It exits non-zero only when it cannot
// measure at all (libraries or simulator unavailable, bad arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. DllLogic for LAST and for a request without a command, each called
//      many times in a row (--calls N), with the resources before and after;
//   2. a payment through DllLogic beside a bare ReqToCat_WS exchange,
//      alternating, against the simulator answering at once (--payments N);
//   3. the parts of a call on their own: binding and releasing, the
//      settings, one log line, the store step (--parts N, 0 skips it).
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "Telquin.h"
#include "bench_report.h"
#include "common/agent_config.h"
#include "common/agent_log.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/dll_logic.h"
#include "dispatcher/last_result.h"
#include "dispatcher/link_binding.h"
#include "platform/module.h"
#include "support/simulator.h"
#include "support/temp_root.h"

#ifndef OVT_MODULE_DIR
#error "OVT_MODULE_DIR must name the folder of the built shared libraries"
#endif
#ifndef OVT_CATSIM
#error "OVT_CATSIM must name the built catsim program"
#endif

namespace {

namespace fs = std::filesystem;
using namespace bench;
using ovt_test::Simulator;
using ovt_test::TempRoot;

constexpr int kCom = 5;
constexpr int kBaud = 115200;
constexpr int kAckSeconds = 5;  // what DllLogic passes to ReqToCat_WS
constexpr const char* kIni = "[CAT]\r\nCatComPort=5\r\nCatComBaud=115200\r\n";
constexpr const char* kTelquinFile = "libTelquin.so";
constexpr const char* kPrintFile = "libOrvaPrintV105.so";

// The reply that LAST finds stored: a payment reply with a 10-byte answer.
const std::string kStoredReply =
    "0022VEVU00000010\x02"
    "ANSWER01\x03";
const std::string kNoCommandRequest = "0000XXXX00000004D1AB";
const std::string kNoCommandReply = "0022VEVU00140010NO COMMAND";
constexpr const char* kPaymentData = "D1AB";

// The library's fixed waits in a successful exchange on its product
// timings: the close sleep and one poll each of the ack and answer waits.
constexpr double kCloseSleepMs = 1000.0;
constexpr double kPollMs = 50.0;
constexpr double kFloorMs = kCloseSleepMs + 2 * kPollMs;

// Targets, printed beside the figures they apply to.
constexpr double kCallTargetMs = 0.5;      // median of a LAST or NO COMMAND call
constexpr double kOverheadTargetMs = 5.0;  // payment: DllLogic minus the bare exchange

constexpr int kWarmUpCalls = 100;  // calls before the first resource sample
constexpr int kMinCalls = 100;
constexpr int kMinPayments = 20;
constexpr long kMaxCount = 10000000;
// Progress shows every this many steps: the calls are short.
constexpr int kProgressEvery = 100;

struct Options {
  int calls = 10000;
  int payments = 25;
  int parts = 1000;
};

const char* Usage() {
  return "usage: dll_logic_bench [--calls N] [--payments N] [--parts N]\n"
         "  --calls N     DllLogic calls per command in section 1, at least 100 (default 10000)\n"
         "  --payments N  payments of each kind in section 2, at least 20 (default 25)\n"
         "  --parts N     repetitions of each part in section 3, 0 skips it (default 1000)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  const auto take = [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--calls") {
      ok = ParseCount(value, kMinCalls, kMaxCount, &options->calls);
    } else if (arg == "--payments") {
      ok = ParseCount(value, kMinPayments, kMaxCount, &options->payments);
    } else if (arg == "--parts") {
      ok = ParseCount(value, 0, kMaxCount, &options->parts);
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  };
  return bench::ParseOptions(argc, argv, "dll_logic_bench", Usage(), take);
}

// ---------------------------------------------------------------- machine

// The file system that holds `path`, from /proc/self/mounts: the type of
// the longest mount point that is a prefix of it. The store step syncs to
// it, so its kind matters for the payment figures.
std::string FileSystemOf(const std::string& path) {
  std::ifstream in("/proc/self/mounts");
  std::string device, point, type, rest, best_device, best_point, best_type = "unknown";
  while (in >> device >> point >> type && std::getline(in, rest)) {
    const bool prefix = path.rfind(point, 0) == 0 &&
                        (point == "/" || path.size() == point.size() || path[point.size()] == '/');
    if (prefix && point.size() >= best_point.size()) {
      best_device = device;
      best_point = point;
      best_type = type;
    }
  }
  return best_type + " (" + best_device + " mounted on " + best_point + ")";
}

// ---------------------------------------------------------------- resources

// Whether a file of this name is mapped into the process now: between two
// calls it should not be, since every call releases what it bound.
bool Mapped(const char* file) {
  std::ifstream in("/proc/self/maps");
  std::string line;
  const std::string tail = std::string("/") + file;
  while (std::getline(in, line)) {
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      return true;
  }
  return false;
}

std::string YesNo(bool value) { return value ? "yes" : "no"; }

// ---------------------------------------------------------------- messages

// "%04d", first four characters: the header's number fields.
std::string Field4(long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%04lld", value);
  return std::string(text).substr(0, 4);
}

// A VEVU request with the data length field matching the data.
std::string VevuRequest(const std::string& data) {
  const auto size = static_cast<long long>(data.size());
  return Field4(size + 12) + "VEVU0000" + Field4(size) + data;
}

// The simulator's answer frame for the payment data, STX through ETX, as
// ReqToCat_WS hands it back, and the reply DllLogic builds around it.
std::string ExpectedAnswer() {
  const std::vector<uint8_t> frame = Simulator::AnswerFrame(Simulator::DefaultAnswer(kPaymentData));
  return std::string(frame.begin(), frame.end() - 1);
}
std::string ExpectedPaymentReply() {
  const std::string answer = ExpectedAnswer();
  const auto size = static_cast<long long>(answer.size());
  return Field4(size + 12) + "VEVU0000" + Field4(size) + answer;
}

// One DllLogic call as a front end makes it: a writable copy of the request
// and a zeroed reply buffer, both prepared before the clock starts.
struct Call {
  std::vector<char> request;
  std::vector<char> reply = std::vector<char>(agent::kReplyBufferSize, '\0');
  explicit Call(const std::string& text) : request(text.begin(), text.end()) {
    request.push_back('\0');
  }
};

struct Timed {
  double wall_ms = 0;
  double cpu_ms = 0;
  std::string reply;
};

Timed TimeDllLogic(const std::string& request) {
  Call call(request);
  Timed t;
  const double cpu_before = ProcessCpuMs();
  const auto start = Clock::now();
  agent::DllLogic(call.request.data(), call.reply.data());
  const auto end = Clock::now();
  t.cpu_ms = ProcessCpuMs() - cpu_before;
  t.wall_ms = MsBetween(start, end);
  t.reply = call.reply.data();
  return t;
}

// ---------------------------------------------------------------- 1. calls

void RepeatCommand(const TempRoot& root, const std::string& title, const std::string& request,
                   const std::string& expected, int count) {
  Heading(title + " (" + std::to_string(count) + " calls after " + std::to_string(kWarmUpCalls) +
          " of warm-up)");
  // The bench's own storage for the figures is taken and written first
  // (its pages resident), so that the samples below see only what the
  // calls leave behind.
  std::vector<double> wall(static_cast<size_t>(count), 0.0);
  std::vector<double> cpu(static_cast<size_t>(count), 0.0);
  const Resources at_start = Sample(true);
  long wrong = 0;
  for (int i = 0; i < kWarmUpCalls; ++i) {
    if (TimeDllLogic(request).reply != expected) ++wrong;
  }
  // The look-ups first, the sample last: their own first-use allocations
  // then fall before it.
  const LogSize log_before = AgentLogSize(root.path());
  const bool telquin_mapped = Mapped(kTelquinFile);
  const bool print_mapped = Mapped(kPrintFile);
  const Resources warm = Sample(true);

  for (int i = 0; i < count; ++i) {
    const Timed t = TimeDllLogic(request);
    wall[static_cast<size_t>(i)] = t.wall_ms;
    cpu[static_cast<size_t>(i)] = t.cpu_ms;
    if (t.reply != expected) ++wrong;
    Progress("calls", i + 1, count, kProgressEvery);
  }
  const Resources at_end = Sample(true);
  const LogSize log_after = AgentLogSize(root.path());

  const Summary w = Summarize(wall);
  const Summary c = Summarize(cpu);
  const size_t tenth = std::max<size_t>(wall.size() / 10, 1);
  Text("request", "\"" + request + "\"");
  Count("calls timed", static_cast<long>(w.count));
  Count("wrong replies (warm-up included)", wrong, "", "expected 0");
  Micro("wall per call, median", w.median,
        "target: under 0.5 ms: " + Verdict(w.median < kCallTargetMs));
  Micro("wall per call, p90", w.p90);
  Micro("wall per call, p99", w.p99);
  Micro("wall per call, max", w.max);
  Micro("wall per call, min", w.min);
  Micro("wall per call, mean", w.mean);
  Micro("wall median, first tenth of the calls", MedianOf(wall, 0, tenth));
  Micro("wall median, last tenth of the calls", MedianOf(wall, wall.size() - tenth, wall.size()),
        "expected: as the first (the log's size costs nothing)");
  Micro("cpu per call, median", c.median);
  Text("libTelquin.so mapped between calls", YesNo(telquin_mapped) + "  (expected no)");
  Text("libOrvaPrintV105.so mapped between calls", YesNo(print_mapped) + "  (expected no)");
  const double per_call = static_cast<double>(count);
  Count("agent log before the timed calls", static_cast<long>(log_before.bytes), "bytes");
  Count("agent log after the timed calls", static_cast<long>(log_after.bytes), "bytes");
  Fine("agent log growth per call",
       static_cast<double>(log_after.bytes - log_before.bytes) / per_call, "bytes");
  Fine("agent log lines per call",
       static_cast<double>(log_after.lines - log_before.lines) / per_call, "");
  ResourceReport("call", at_start, warm, at_end);
}

void Calls(const TempRoot& root, int count) {
  // LAST reads the stored reply; it does not store again, so the file stays
  // as written here throughout.
  ovt_test::WriteFile(root.path() + "/" + agent::kLastResultFile, kStoredReply);
  RepeatCommand(root, "1a. DllLogic, LAST with one stored reply", VevuRequest("LAST"), kStoredReply,
                count);
  const bool unchanged =
      ovt_test::ReadFile(root.path() + "/" + agent::kLastResultFile) == kStoredReply;
  Text("stored reply unchanged by LAST", YesNo(unchanged) + "  (expected yes)");
  RepeatCommand(root, "1b. DllLogic, NO COMMAND", kNoCommandRequest, kNoCommandReply, count);
}

// ---------------------------------------------------------------- 2. payment

// The bare exchange binds the link library itself, as exchange_bench does,
// but only around its own call and outside its timing. A handle held across
// the DllLogic calls would turn their load into a reference count and hide
// the loading and unloading that the agent pays for every message.
struct BareExchange {
  double open_ms = 0;   // dlopen + dlsym
  double call_ms = 0;   // ReqToCat_WS alone
  double close_ms = 0;  // dlclose
  double cpu_ms = 0;    // process CPU of the call alone
  int code = 99;
  std::string response;
  bool loaded = false;
};

BareExchange RunBare(const std::string& library) {
  BareExchange b;
  const auto opening = Clock::now();
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "dll_logic_bench: dlopen %s: %s\n", library.c_str(), dlerror());
    return b;
  }
  const auto exchange = reinterpret_cast<ReqToCat_WS_fn>(dlsym(handle, "ReqToCat_WS"));
  const auto opened = Clock::now();
  if (exchange == nullptr) {
    std::fprintf(stderr, "dll_logic_bench: %s lacks ReqToCat_WS\n", library.c_str());
    dlclose(handle);
    return b;
  }
  b.loaded = true;
  // As large as the answer buffer DllLogic hands over, and zeroed before the
  // clock starts.
  std::vector<char> response(100000, '\0');
  const double cpu_before = ProcessCpuMs();
  const auto start = Clock::now();
  b.code = exchange(kCom, kBaud, kPaymentData, response.data(), kAckSeconds);
  const auto end = Clock::now();
  b.cpu_ms = ProcessCpuMs() - cpu_before;
  dlclose(handle);
  const auto closed = Clock::now();
  b.open_ms = MsBetween(opening, opened);
  b.call_ms = MsBetween(start, end);
  b.close_ms = MsBetween(end, closed);
  b.response = response.data();
  return b;
}

void Payments(const TempRoot& root, int count) {
  const std::string request = VevuRequest(kPaymentData);
  Heading("2. Payment through DllLogic beside a bare ReqToCat_WS (scenario \"answer\", " +
          std::to_string(count) + " of each, alternating)");
  Simulator sim(root.path(), kCom, "answer");
  if (!sim.Ready()) {
    std::fprintf(stderr, "dll_logic_bench: catsim (answer) not ready: %s\n", sim.Error().c_str());
    Text("skipped", "the simulator did not start");
    return;
  }
  const std::string library = std::string(OVT_MODULE_DIR) + "/" + kTelquinFile;
  const std::string expected_reply = ExpectedPaymentReply();
  const std::string expected_answer = ExpectedAnswer();

  std::vector<double> logic_wall, logic_cpu, bare_wall, bare_cpu, differences, opens, closes;
  long logic_failures = 0, bare_failures = 0, bare_unloaded = 0;
  std::string last_reply;
  for (int i = 0; i < count; ++i) {
    // The order changes every pair, so neither kind always runs first
    // after the other's close.
    Timed logic;
    BareExchange bare;
    if (i % 2 == 0) {
      logic = TimeDllLogic(request);
      bare = RunBare(library);
    } else {
      bare = RunBare(library);
      logic = TimeDllLogic(request);
    }
    logic_wall.push_back(logic.wall_ms);
    logic_cpu.push_back(logic.cpu_ms);
    if (logic.reply != expected_reply) ++logic_failures;
    last_reply = logic.reply;
    if (!bare.loaded) {
      ++bare_unloaded;
    } else {
      bare_wall.push_back(bare.call_ms);
      bare_cpu.push_back(bare.cpu_ms);
      opens.push_back(bare.open_ms);
      closes.push_back(bare.close_ms);
      differences.push_back(logic.wall_ms - bare.call_ms);
      if (bare.code != 1 || bare.response != expected_answer) ++bare_failures;
    }
    Progress("payment pairs", i + 1, count, kProgressEvery);
  }

  const Summary lw = Summarize(logic_wall);
  const Summary bw = Summarize(bare_wall);
  const Summary d = Summarize(differences);
  Text("DllLogic request", "\"" + request + "\"");
  Text("bare call", "ReqToCat_WS(" + std::to_string(kCom) + ", " + std::to_string(kBaud) + ", \"" +
                        kPaymentData + "\", answer, " + std::to_string(kAckSeconds) + ")");
  Count("DllLogic payments", static_cast<long>(lw.count));
  Count("DllLogic wrong replies", logic_failures, "", "expected 0");
  Count("bare exchanges", static_cast<long>(bw.count));
  Count("bare failures or wrong answers", bare_failures + bare_unloaded, "", "expected 0");
  Figure("DllLogic wall, median", lw.median, "ms");
  Figure("DllLogic wall, min", lw.min, "ms");
  Figure("DllLogic wall, p90", lw.p90, "ms");
  Figure("DllLogic wall, max", lw.max, "ms");
  Figure("bare wall, median", bw.median, "ms");
  Figure("bare wall, min", bw.min, "ms");
  Figure("bare wall, p90", bw.p90, "ms");
  Figure("bare wall, max", bw.max, "ms");
  Fine("DllLogic minus bare, median of differences", d.median, "ms",
       "target: under 5 ms: " + Verdict(d.count > 0 && d.median < kOverheadTargetMs));
  Fine("DllLogic minus bare, min of differences", d.min, "ms");
  Fine("DllLogic minus bare, max of differences", d.max, "ms");
  Fine("DllLogic median minus bare median", lw.median - bw.median, "ms");
  Fine("DllLogic median minus the floor", lw.median - kFloorMs, "ms",
       "floor: 1000 close sleep + 2 x 50 polls");
  Fine("bare median minus the floor", bw.median - kFloorMs, "ms");
  Fine("cpu per payment, DllLogic, median", Summarize(logic_cpu).median, "ms");
  Fine("cpu per payment, bare, median", Summarize(bare_cpu).median, "ms");
  Micro("bare: dlopen + dlsym, median (not in its wall)", Summarize(opens).median);
  Micro("bare: dlclose, median (not in its wall)", Summarize(closes).median);
  const bool stored = ovt_test::ReadFile(root.path() + "/" + agent::kLastResultFile) == last_reply;
  Text("last-result file holds the last reply", YesNo(stored) + "  (expected yes)");
}

// ---------------------------------------------------------------- 3. parts

// The steps of a call, each timed on its own. The steps that only compute
// and touch cached files take turns in one loop, with a whole LAST call
// among them, so that their medians stand beside the call they make up.
// The store step waits for the disk; it runs in a loop of its own, so that
// its idle waits do not slow the others down.
void Parts(const TempRoot& root, int count) {
  Heading("3. Parts of one call on their own (" + std::to_string(count) + " of each)");
  if (count == 0) {
    Text("skipped", "--parts 0");
    return;
  }
  // Section 2 left a payment reply stored; LAST here finds the same reply
  // as in section 1.
  ovt_test::WriteFile(root.path() + "/" + agent::kLastResultFile, kStoredReply);
  const std::string last_request = VevuRequest("LAST");
  std::vector<double> whole, link_only, print_only, bind, settings, log_line;
  long failures = 0;
  platform::SystemError error;
  for (int i = 0; i < count; ++i) {
    const Timed call = TimeDllLogic(last_request);
    // Each library alone, loaded and released through the platform layer as
    // the binding does, then the whole binding with its five look-ups.
    const auto t0 = Clock::now();
    if (!platform::Module::Load("Telquin.dll", &error)) ++failures;
    const auto t1 = Clock::now();
    if (!platform::Module::Load("OrvaPrintV105.dll", &error)) ++failures;
    const auto t2 = Clock::now();
    {
      agent::LinkBinding binding;
      if (!agent::BindLinkLibraries(binding)) ++failures;
    }  // released here, the link library first
    const auto t3 = Clock::now();
    const int port = agent::ParseSettingNumber(
        agent::ReadAgentSetting(agent::kSectionCat, agent::kKeyCatComPort, u""));
    const int baud = agent::ParseSettingNumber(
        agent::ReadAgentSetting(agent::kSectionCat, agent::kKeyCatComBaud, u""));
    const auto t4 = Clock::now();
    agent::WriteAgentLog(0, "DLL_LOGIC", "dll_logic_bench");
    const auto t5 = Clock::now();
    if (port != kCom || baud != kBaud || call.reply != kStoredReply) ++failures;
    whole.push_back(call.wall_ms);
    link_only.push_back(MsBetween(t0, t1));
    print_only.push_back(MsBetween(t1, t2));
    bind.push_back(MsBetween(t2, t3));
    settings.push_back(MsBetween(t3, t4));
    log_line.push_back(MsBetween(t4, t5));
    Progress("parts", i + 1, count, kProgressEvery);
  }

  const std::string payment_request = VevuRequest(kPaymentData);
  const std::string reply = ExpectedPaymentReply();
  const agent::Request parsed(payment_request.c_str());
  std::vector<double> store;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    agent::StoreLastResult(parsed, reply);
    store.push_back(MsBetween(t0, Clock::now()));
    Progress("store", i + 1, count, kProgressEvery);
  }
  if (ovt_test::ReadFile(root.path() + "/" + agent::kLastResultFile) != reply) ++failures;

  const Summary w = Summarize(whole), b = Summarize(bind), s = Summarize(settings),
                l = Summarize(log_line), st = Summarize(store);
  Count("failures (loads, settings, replies, store)", failures, "", "expected 0");
  Micro("DllLogic LAST, whole call, median", w.median, "beside the parts below");
  Micro("bind and release both libraries, median", b.median,
        Format("%.0f %% of the whole call", 100.0 * b.median / w.median));
  Micro("bind and release both libraries, p90", b.p90);
  Micro("link library alone, load + release, median", Summarize(link_only).median);
  Micro("print library alone, load + release, median", Summarize(print_only).median);
  Micro("read CatComPort and CatComBaud, median", s.median, "every call");
  Micro("one agent log line, median", l.median, "LAST writes 4, NO COMMAND 3, a payment 7");
  Micro("whole call minus bind, settings, 4 lines", w.median - b.median - s.median - 4 * l.median,
        "the rest: parsing, reading the stored reply");
  Micro("store the reply in orvaResult.txt, median", st.median, "payments only; loop of its own");
  Micro("store the reply in orvaResult.txt, p90", st.p90);
  Micro("store the reply in orvaResult.txt, max", st.max);
  Text("data root's file system", FileSystemOf(fs::canonical(root.path()).string()));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  MachineHeader("dll_logic_bench", argc, argv);
  Text("libraries loaded from", OVT_MODULE_DIR);
  Text("simulator", OVT_CATSIM);
  Text("configuration", "CatComPort=" + std::to_string(kCom) +
                            ", CatComBaud=" + std::to_string(kBaud) + " (COM5 is the simulator)");

  for (const char* file : {kTelquinFile, kPrintFile}) {
    struct stat st {};
    const std::string path = std::string(OVT_MODULE_DIR) + "/" + file;
    if (stat(path.c_str(), &st) != 0) {
      std::fprintf(stderr, "dll_logic_bench: %s is missing; build it first\n", path.c_str());
      return 1;
    }
  }

  // The data root first (the log, the configuration and the port link live
  // under OVTELQUIN_ROOT, read on every use); the working directory inside
  // it, where DllLogic keeps the last-result file.
  TempRoot root;
  const fs::path previous_dir = fs::current_path();
  fs::current_path(root.path());
  fs::create_directories(root.path() + "/OVVarsel");
  ovt_test::WriteFile(root.path() + "/OVVarsel/OVVARSEL.ini", kIni);
  platform::testing::SetModuleDirectory(OVT_MODULE_DIR);
  Text("data root and working directory", root.path());
  Text("load average at start", LoadAverage());

  const auto begun = Clock::now();
  Calls(root, options.calls);
  Payments(root, options.payments);
  Parts(root, options.parts);

  Heading("Run");
  const LogSize log = AgentLogSize(root.path());
  Count("agent log at the end", static_cast<long>(log.bytes), "bytes",
        std::to_string(log.lines) + " lines");
  Figure("total run time", MsBetween(begun, Clock::now()) / 1000.0, "s");
  Text("load average at the end", LoadAverage());

  platform::testing::SetModuleDirectory("");
  fs::current_path(previous_dir);
  return 0;
}
