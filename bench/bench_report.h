// bench_report.h: what the benchmarks in this folder share: the layout of
// their figure lines, the statistics behind the figures, the clocks, the
// description of the machine a run was made on, the samples of the
// process's descriptors, threads and memory, and the size of the agent's
// log.
//
// The output of the benchmarks is read by people and compared between runs
// and machines, so every benchmark prints through these functions: the
// same label column, value width and number formats everywhere. Linux only
// (/proc, mallinfo2), as are the benchmarks.
#ifndef OVT_BENCH_BENCH_REPORT_H
#define OVT_BENCH_BENCH_REPORT_H

#include <dirent.h>
#include <malloc.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// The build names its compiler and build type for the header block.
#ifndef OVT_BENCH_COMPILER
#define OVT_BENCH_COMPILER "unknown compiler"
#endif
#ifndef OVT_BENCH_BUILD_TYPE
#define OVT_BENCH_BUILD_TYPE "unknown"
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- options

// A whole number from `min` to `max` with nothing after it; false leaves
// *out as it was.
inline bool ParseCount(const char* text, long min, long max, int* out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < min || value > max) return false;
  *out = static_cast<int>(value);
  return true;
}

// What an option handler made of one option and its value.
enum class Taken { kOk, kBadValue, kUnknown };

// Walks the "--name value" pairs of the command line, handing each to
// take(name, value), where value is nullptr after the last argument.
// --help and -h print the usage on stdout. Returns 0 when all were taken,
// 1 when the usage was shown, 2 when an error and the usage went to stderr.
template <class Take>
int ParseOptions(int argc, char** argv, const char* program, const char* usage, Take take) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 1;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const Taken taken = take(arg, value);
    if (taken == Taken::kUnknown) {
      std::fprintf(stderr, "%s: unknown argument %s\n%s", program, argv[i], usage);
      return 2;
    }
    if (taken == Taken::kBadValue) {
      std::fprintf(stderr, "%s: bad value for %s\n%s", program, argv[i], usage);
      return 2;
    }
    ++i;
  }
  return 0;
}

// ---------------------------------------------------------------- statistics

struct Summary {
  size_t count = 0;
  double median = 0, mean = 0, min = 0, max = 0, p90 = 0, p99 = 0;
};

// Nearest rank: the smallest value that at least `share` of the sorted
// values do not exceed. `sorted` must not be empty.
inline double Percentile(const std::vector<double>& sorted, double share) {
  const size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::min(std::max<size_t>(rank, 1), sorted.size()) - 1];
}

// All figures 0 for no values, so that an empty series prints as zeros
// rather than failing.
inline Summary Summarize(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  double sum = 0;
  for (double v : values) sum += v;
  s.mean = sum / static_cast<double>(n);
  s.min = values.front();
  s.max = values.back();
  s.p90 = Percentile(values, 0.90);
  s.p99 = Percentile(values, 0.99);
  return s;
}

// The median of values[from, to).
inline double MedianOf(const std::vector<double>& values, size_t from, size_t to) {
  return Summarize(std::vector<double>(values.begin() + static_cast<long>(from),
                                       values.begin() + static_cast<long>(to)))
      .median;
}

// ---------------------------------------------------------------- lines

// One figure per line: label, value and unit in fixed columns, then an
// optional note (the target or the expected value).
inline void Line(const char* label, const std::string& value, const char* unit,
                 const std::string& note) {
  std::string line = "  ";
  line += label;
  line.resize(std::max<size_t>(line.size() + 1, 49), ' ');
  line += std::string(value.size() < 10 ? 10 - value.size() : 0, ' ') + value;
  line += std::string(" ") + unit;
  if (!note.empty()) line.resize(std::max<size_t>(line.size() + 2, 63), ' ');
  line += note;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::printf("%s\n", line.c_str());
}
inline std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
inline void Figure(const char* label, double value, const char* unit,
                   const std::string& note = "") {
  Line(label, Format("%.1f", value), unit, note);
}
inline void Fine(const char* label, double value, const char* unit, const std::string& note = "") {
  Line(label, Format("%.2f", value), unit, note);
}
// Sub-millisecond figures, in ms with microsecond resolution.
inline void Micro(const char* label, double value_ms, const std::string& note = "") {
  Line(label, Format("%.3f", value_ms), "ms", note);
}
inline void Ratio(const char* label, double value) { Line(label, Format("%.3f", value), "", ""); }
inline void Count(const char* label, long value, const char* unit = "",
                  const std::string& note = "") {
  Line(label, std::to_string(value), unit, note);
}
// A value that is not a number: it starts in the value column, unaligned.
inline void Text(const char* label, const std::string& value) {
  std::string line = "  ";
  line += label;
  line.resize(std::max<size_t>(line.size() + 1, 49), ' ');
  std::printf("%s%s\n", line.c_str(), value.c_str());
}
inline void Heading(const std::string& title) { std::printf("\n%s\n", title.c_str()); }

inline std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

// Prints progress on stderr, only when someone watches a terminal, so that
// the figures on stdout stay clean when they are captured. Only every
// `every`-th step and the last are shown, so that long loops of short
// steps do not spend their time on the terminal.
inline void Progress(const char* what, int done, int total, int every = 1) {
  static const bool shown = isatty(STDERR_FILENO) != 0;
  if (!shown) return;
  if (done != total && done % every != 0) return;
  std::fprintf(stderr, "\r  [%s %d/%d]%s", what, done, total, done == total ? "\n" : "");
  std::fflush(stderr);
}

// ---------------------------------------------------------------- clocks

inline double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// CPU time of the whole process (every thread, the link library's reader
// thread included) in milliseconds. The simulator is a process of its own
// and is not counted.
inline double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// ---------------------------------------------------------------- machine

inline std::string FirstLineOf(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

inline std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown";
}

inline std::string LoadAverage() {
  const std::string line = FirstLineOf("/proc/loadavg");
  // The first three fields: 1, 5 and 15 minute averages.
  size_t end = 0;
  for (int field = 0; field < 3 && end != std::string::npos; ++field) {
    end = line.find(' ', end + (field ? 1 : 0));
  }
  return end == std::string::npos ? line : line.substr(0, end);
}

inline std::string LocalTimeNow() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local);
  return text;
}

// The start of every report: the program's name, how it was called, when,
// and on what machine and build. The caller adds its own lines after it.
inline void MachineHeader(const char* program, int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) command += (i ? " " : "") + std::string(argv[i]);
  utsname host{};
  uname(&host);

  std::printf("OVTelquin %s\n", program);
  Text("command", command);
  Text("started", LocalTimeNow());
  Text("processors (nproc)", std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
  Text("cpu", CpuModel());
  Text("system", std::string(host.sysname) + " " + host.release + " " + host.machine);
  Text("compiler", std::string(OVT_BENCH_COMPILER) + ", build type " + OVT_BENCH_BUILD_TYPE);
}

// ---------------------------------------------------------------- resources

// What the process holds at one moment. The memory detail (anonymous
// memory and malloc's figures) is filled only when asked for; without it
// those fields stay -1 and the report leaves them out.
struct Resources {
  long fds = -1;
  long threads = -1;
  long rss_kb = -1;
  bool memory_detail = false;
  long anon_kb = -1;               // the heap and other private memory, without mapped files
  long long heap_bytes = -1;       // malloc's bytes in use, mapped blocks included
  long long free_heap_bytes = -1;  // malloc's free bytes, kept for later requests
};

inline long OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  const int own = dirfd(dir);
  long count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (std::atoi(entry->d_name) == own) continue;  // the listing's own descriptor
    ++count;
  }
  closedir(dir);
  return count;
}

inline Resources Sample(bool memory_detail = false) {
  Resources r;
  r.fds = OpenDescriptors();
  r.memory_detail = memory_detail;
  if (memory_detail) {
    // Before the status file's stream allocates anything.
    const struct mallinfo2 heap = mallinfo2();
    r.heap_bytes = static_cast<long long>(heap.uordblks + heap.hblkhd);
    r.free_heap_bytes = static_cast<long long>(heap.fordblks);
  }
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) r.threads = std::atol(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) r.rss_kb = std::atol(line.c_str() + 6);
    if (memory_detail && line.rfind("RssAnon:", 0) == 0) r.anon_kb = std::atol(line.c_str() + 8);
  }
  return r;
}

// The resources before the first `event` (an exchange, a call), after the
// warm-up and at the end, with the growth after the warm-up, which should
// be none. The memory detail follows when both later samples have it.
inline void ResourceReport(const std::string& event, const Resources& at_start,
                           const Resources& warm, const Resources& at_end) {
  const std::string before = ", before any " + event;
  Count(("open descriptors" + before).c_str(), at_start.fds);
  Count("open descriptors, after warm-up", warm.fds);
  Count("open descriptors, at the end", at_end.fds);
  Count("open descriptors, end minus warm-up", at_end.fds - warm.fds, "", "expected 0");
  Count(("threads" + before).c_str(), at_start.threads);
  Count("threads, after warm-up", warm.threads);
  Count("threads, at the end", at_end.threads);
  Count("threads, end minus warm-up", at_end.threads - warm.threads, "", "expected 0");
  Count(("resident memory (VmRSS)" + before).c_str(), at_start.rss_kb, "kB");
  Count("resident memory (VmRSS), after warm-up", warm.rss_kb, "kB");
  Count("resident memory (VmRSS), at the end", at_end.rss_kb, "kB");
  Count("resident memory, end minus warm-up", at_end.rss_kb - warm.rss_kb, "kB",
        "expected about 0");
  if (!warm.memory_detail || !at_end.memory_detail) return;
  // VmRSS also counts the pages of mapped files, which come and go with the
  // libraries and the page cache; the anonymous part is where a leak shows.
  Count("anonymous memory (RssAnon), after warm-up", warm.anon_kb, "kB");
  Count("anonymous memory (RssAnon), at the end", at_end.anon_kb, "kB");
  Count("anonymous memory, end minus warm-up", at_end.anon_kb - warm.anon_kb, "kB",
        "expected about 0");
  // What malloc hands out and has not had back, whoever asked for it (the
  // bench, the agent core, the libraries and the loader share one heap).
  Count("heap in use (mallinfo2), after warm-up", static_cast<long>(warm.heap_bytes), "bytes");
  Count("heap in use (mallinfo2), at the end", static_cast<long>(at_end.heap_bytes), "bytes");
  Count("heap in use, end minus warm-up", static_cast<long>(at_end.heap_bytes - warm.heap_bytes),
        "bytes", "expected about 0");
  // Memory that malloc has back but keeps (mostly the top of its heap) is
  // resident too: it explains a VmRSS growth while the heap in use stays.
  Count("free heap kept by malloc, end minus warm-up",
        static_cast<long>(at_end.free_heap_bytes - warm.free_heap_bytes), "bytes");
}

// ---------------------------------------------------------------- the agent's log

// The agent's daily logs in a data root: their bytes and lines together
// (a run that passes midnight writes two files).
struct LogSize {
  long long bytes = 0;
  long long lines = 0;
};

// Each of the agent's daily logs in `root`, whole.
template <class Visit>
void ForEachAgentLog(const std::string& root, Visit visit) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/ORVAlog", ec)) {
    if (entry.path().filename().string().rfind("OVTelquin_", 0) != 0) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    visit(content.str());
  }
}

inline LogSize AgentLogSize(const std::string& root) {
  LogSize size;
  ForEachAgentLog(root, [&size](const std::string& content) {
    size.bytes += static_cast<long long>(content.size());
    for (size_t at = content.find("\r\n"); at != std::string::npos;
         at = content.find("\r\n", at + 2))
      ++size.lines;
  });
  return size;
}

inline bool AgentLogHas(const std::string& root, std::string_view text) {
  bool found = false;
  ForEachAgentLog(root, [&](const std::string& content) {
    found = found || content.find(text) != std::string::npos;
  });
  return found;
}

}  // namespace bench

#endif  // OVT_BENCH_BENCH_REPORT_H
