// idle_face_bench: what the agent costs while it waits, with its desktop
// face and without it, side by side in one run.
//
// Starts an X server of its own (Xvfb) with a notification area (trayer),
// then two agents against two terminal simulators, each in a data root of
// its own: one with the Qt face (its tray icon docked in trayer), one with
// --headless. After both have started up and listen, it measures each over
// the same idle period: resident memory at its start and end, CPU time,
// and context switches of all threads (each is a wake-up; a program at
// rest should have none). Figures, not pass/fail; the targets are noted.
//
//   idle_face_bench [--seconds S]     (default 60)
//
// Needs Xvfb and trayer (scripts/install-deps.sh test brings them).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_agent.h"
#include "support/simulator.h"

namespace {

using namespace bench;
using ovt_test::TempRoot;

constexpr const char* kBench = "idle_face_bench";
constexpr double kQtRssTargetKb = 40 * 1024.0;
constexpr double kHeadlessRssTargetKb = 10 * 1024.0;

// A display number nobody uses: no lock file and no socket for it.
int FreeDisplay() {
  for (int n = 80; n < 200; ++n) {
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    if (!std::filesystem::exists(lock) && !std::filesystem::exists(socket)) return n;
  }
  return -1;
}

// Polls `done` every 50 ms for up to 20 s.
template <typename Done>
bool WaitUntil(Done done) {
  for (int i = 0; i < 400; ++i) {
    if (done()) return true;
    SleepFor(std::chrono::milliseconds(50));
  }
  return false;
}

bool CommandSucceeds(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Measured {
  ProcessFigures start;
  ProcessFigures end;
};

void Report(const char* face, const Agent& agent, const Measured& m, double rss_target_kb,
            int seconds) {
  Heading(std::string("The agent with the ") + face);
  Fine("start-up until both listeners listen", agent.ready_ms, "ms",
       "includes the agent's fixed 500 ms waits");
  Count("resident memory (VmRSS) after start-up", m.start.rss_kb, "kB",
        std::string("target: under ") + std::to_string(static_cast<int>(rss_target_kb / 1024)) +
            " MB: " + Verdict(m.start.rss_kb >= 0 && m.start.rss_kb < rss_target_kb));
  Count("resident memory (VmRSS) after the idle period", m.end.rss_kb, "kB");
  Count("threads", m.end.threads);
  Count("open descriptors", m.end.fds);
  Count("idle period", seconds, "s");
  Fine("cpu time while idle (utime + stime)", m.end.cpu_ms - m.start.cpu_ms, "ms");
  if (m.start.run_ns_known && m.end.run_ns_known)
    Micro("time on a cpu while idle (threads' schedstat)", (m.end.run_ns - m.start.run_ns) / 1e6);
  const long wakeups = m.end.context_switches - m.start.context_switches;
  Count("context switches while idle (all threads)", wakeups, "",
        "each is a wake-up; target: none: " + Verdict(wakeups == 0));
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--seconds" && i + 1 < argc &&
        ParseCount(argv[i + 1], 1, 3600, &seconds)) {
      ++i;
      continue;
    }
    std::fprintf(stderr, "usage: %s [--seconds S]\n", kBench);
    return 2;
  }
  PrepareOutput();
  MachineHeader(kBench, argc, argv);
  const std::string program = OVT_AGENT_PROGRAM;
  Text("agent program", program);
  if (!ProgramPresent(kBench, program, "the agent")) return 1;
  const std::string xvfb = FindOnPath("Xvfb");
  const std::string trayer = FindOnPath("trayer");
  if (xvfb.empty() || trayer.empty()) {
    std::fprintf(stderr, "%s: Xvfb and trayer are needed (scripts/install-deps.sh test)\n",
                 kBench);
    return 1;
  }

  const int display = FreeDisplay();
  if (display < 0) {
    std::fprintf(stderr, "%s: no free display number\n", kBench);
    return 1;
  }
  const std::string name = ":" + std::to_string(display);
  TempRoot scratch;
  Child x_server;
  if (!x_server.Start({xvfb, name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                      scratch.path(), scratch.path() + "/xvfb.out", false, false) ||
      !WaitUntil([&] {
        return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display));
      })) {
    std::fprintf(stderr, "%s: Xvfb did not start\n", kBench);
    return 1;
  }
  setenv("DISPLAY", name.c_str(), 1);
  // Qt wants a runtime folder of the user's own.
  const std::string runtime = scratch.path() + "/runtime";
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  Child tray;
  if (!tray.Start({trayer, "--edge", "top", "--align", "right", "--widthtype", "request",
                   "--height", "32", "--SetDockType", "true", "--transparent", "false"},
                  scratch.path(), scratch.path() + "/trayer.out", false, false) ||
      !WaitUntil([] {
        return CommandSucceeds("xwininfo -root -tree | grep -q '\"panel\": (\"panel\" \"trayer\")'");
      })) {
    std::fprintf(stderr, "%s: trayer did not start\n", kBench);
    return 1;
  }
  Text("display", name + " (Xvfb, trayer)");

  // Both agents run at once, each against a simulator that answers its
  // probe, so neither shows a box at start-up.
  TempRoot qt_root, headless_root;
  ovt_test::Simulator qt_terminal(qt_root, 5, "answer");
  ovt_test::Simulator headless_terminal(headless_root, 5, "answer");
  if (!qt_terminal.Ready() || !headless_terminal.Ready()) {
    std::fprintf(stderr, "%s: the terminal simulators did not start\n", kBench);
    return 1;
  }
  AgentLaunch qt_launch;
  qt_launch.bench = kBench;
  qt_launch.program = program;
  qt_launch.port_key = "ServerPortWebsocket";
  qt_launch.address = INADDR_ANY;
  qt_launch.com = 5;
  qt_launch.arguments = {};  // the face a display brings
  AgentLaunch headless_launch = qt_launch;
  headless_launch.arguments = {"--headless"};
  Agent qt_agent, headless_agent;
  Heading("Start-up");
  // Each agent finds its data root in its environment.
  setenv("OVTELQUIN_ROOT", qt_root.path().c_str(), 1);
  if (!StartAgent(qt_launch, qt_root, &qt_agent)) return 1;
  setenv("OVTELQUIN_ROOT", headless_root.path().c_str(), 1);
  if (!StartAgent(headless_launch, headless_root, &headless_agent)) return 1;
  Text("the Qt agent's tray icon docked",
       CommandSucceeds("xwininfo -root -tree | grep -q '\"OVTelquin\": (\"OVTelquin\"'")
           ? "yes  (expected yes)"
           : "no  (expected yes)");

  // Settled: the first second after start-up is not idle yet.
  SleepFor(std::chrono::seconds(1));
  Measured qt, headless;
  qt.start = ReadProcess(qt_agent.child.pid());
  headless.start = ReadProcess(headless_agent.child.pid());
  SleepFor(std::chrono::seconds(seconds));
  qt.end = ReadProcess(qt_agent.child.pid());
  headless.end = ReadProcess(headless_agent.child.pid());
  if (!qt.end.alive || !headless.end.alive) {
    std::fprintf(stderr, "%s: an agent ended while idle\n", kBench);
    return 1;
  }
  Report("Qt face", qt_agent, qt, kQtRssTargetKb, seconds);
  Report("console face (--headless)", headless_agent, headless, kHeadlessRssTargetKb, seconds);

  Heading("End");
  for (Agent* agent : {&qt_agent, &headless_agent}) {
    agent->child.Stop();
  }
  Text("both agents ended on SIGTERM", "yes");
  tray.Stop();
  x_server.Stop();
  return 0;
}
