// The agent program OVTelquin as a real process in a temporary data root:
// its start-up sequence and log, the terminal check against the simulator
// on a pseudo-terminal, its listeners on real loopback sockets, the single
// instance, and its end on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_config.h"
#include "common/agent_texts.h"
#include "support/simulator.h"
#include "support/temp_root.h"
#include "websocket/ws_test_client.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a port search probes a silent speed for about six seconds, and
// the sanitizers slow everything down.
constexpr auto kLimit = 120s;

const fs::path kAgentProgram = OVT_AGENT_PROGRAM;
const fs::path kLibraryFolder = kAgentProgram.parent_path();

// ---------------------------------------------------------------------------
// The agent's log and its ports

using ovt_test::AgentLogLine;

// The texts of the start-up's own lines, in order.
std::vector<std::string> StartupTexts(const std::vector<AgentLogLine>& log) {
  std::vector<std::string> texts;
  for (const AgentLogLine& l : log) {
    if (l.label == "OnInitDialog") texts.push_back(l.text);
  }
  return texts;
}

size_t CountLines(const ovt_test::TempRoot& root, std::string_view label, std::string_view text) {
  return ovt_test::CountAgentLog(root.path(), label, text);
}

// Looks every 20 ms until `done` holds or the limit has passed.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kLimit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

const std::string kEndLine = "===========END==========";

// Waits until the start-up's END line has been logged `count` times.
bool WaitForEnd(const ovt_test::TempRoot& root, size_t count = 1) {
  return ovt_test::WaitForAgentLogCount(root.path(), "OnInitDialog", kEndLine, count, kLimit);
}

// Waits until the port takes a connection (its listener may still be
// starting). A connection to P + 1 cancels a running exchange: only for
// an idle agent.
bool WaitUntilAccepts(int port) { return ovt_test::TcpClient(port, kLimit).Connected(); }

bool Refuses(int port) { return ovt_test::ConnectionRefused(port); }

// ---------------------------------------------------------------------------
// The agent process

class Agent {
 public:
  explicit Agent(const ovt_test::TempRoot& root, const fs::path& program = kAgentProgram,
                 const std::vector<std::string>& args = {}) {
    static int serial = 0;
    const std::string base = root.path() + "/agent-" + std::to_string(++serial);
    stdout_path_ = base + ".out";
    stderr_path_ = base + ".err";
    std::vector<std::string> strings = {program.string()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The last-result file lands in the working directory: keep it in the
    // root, out of the build tree.
    posix_spawn_file_actions_addchdir_np(&actions, root.path().c_str());
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ > 0) pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }

  // A child still running is killed and reaped: nothing outlives the test.
  ~Agent() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (pidfd_ >= 0) close(pidfd_);
  }

  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  bool Started() const { return pid_ > 0 && pidfd_ >= 0; }
  pid_t Pid() const { return pid_; }
  void Signal(int signal) const { kill(pid_, signal); }

  // True when the process has ended within `limit`; `status` gets its
  // wait status.
  bool WaitForExit(int* status, std::chrono::milliseconds limit = kLimit) {
    if (reaped_) {
      *status = status_;
      return true;
    }
    pollfd fd = {pidfd_, POLLIN, 0};
    const auto deadline = Clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const int n = poll(&fd, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
      if (n > 0) break;
      if (n == 0) return false;
      if (errno != EINTR) return false;
    }
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    *status = status_;
    return true;
  }

  bool Running() {
    int status = 0;
    return !WaitForExit(&status, 0ms);
  }

  std::string Stdout() const { return ovt_test::ReadFile(stdout_path_); }
  std::string Stderr() const { return ovt_test::ReadFile(stderr_path_); }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string stdout_path_;
  std::string stderr_path_;
};

// Exit status of a process that ended on its own, or -1.
int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Waits until the process has no copy of the link library mapped: the
// start-up releases the one it loaded, and an idle WebSocket front end
// holds none (the stop listener binds it per connection only).
bool WaitUntilLinkLibraryReleased(const Agent& agent) {
  const std::string maps = "/proc/" + std::to_string(agent.Pid()) + "/maps";
  return WaitUntil([&] {
    const std::string mapped = ovt_test::ReadFile(maps);
    return !mapped.empty() && mapped.find("libTelquin.so") == std::string::npos;
  });
}

// ---------------------------------------------------------------------------
// The data root

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Setting(std::u16string_view section, std::u16string_view key) {
  const std::u16string value = agent::ReadAgentSetting(section, key, u"");
  return std::string(value.begin(), value.end());
}

struct Settings {
  std::string web_mode;  // empty: not written
  int websocket_port = 0;
  int com_port = 0;
  int com_baud = 0;
};

// The configuration folder, and the settings that are given.
void Configure(const ovt_test::TempRoot& root, const Settings& settings) {
  fs::create_directories(fs::path(root.path()) / "OVVarsel");
  using namespace agent;
  if (!settings.web_mode.empty()) WriteAgentSetting(kSectionHttp, kKeyWebMode, U16(settings.web_mode));
  if (settings.websocket_port != 0) {
    WriteAgentSetting(kSectionHttp, kKeyServerPortWebsocket,
                      U16(std::to_string(settings.websocket_port)));
  }
  if (settings.com_port != 0) {
    WriteAgentSetting(kSectionCat, kKeyCatComPort, U16(std::to_string(settings.com_port)));
  }
  if (settings.com_baud != 0) {
    WriteAgentSetting(kSectionCat, kKeyCatComBaud, U16(std::to_string(settings.com_baud)));
  }
}

// COMn leads nowhere: opening it fails at once.
void DeadPort(const ovt_test::TempRoot& root, int com) {
  const fs::path devices = fs::path(root.path()) / "dosdevices";
  fs::create_directories(devices);
  fs::create_symlink(fs::path(root.path()) / "no-such-device", devices / ("com" + std::to_string(com)));
}

// A folder of its own with copies of the agent under the given file names
// and, unless left out, links to the libraries it loads from its folder.
fs::path AgentFolder(const ovt_test::TempRoot& root, const std::vector<std::string>& names,
                     bool with_link_library = true) {
  const fs::path folder = fs::path(root.path()) / "bin";
  fs::create_directories(folder);
  for (const std::string& name : names) fs::copy_file(kAgentProgram, folder / name);
  for (const char* library : {"libTelquin.so", "libOrvaPrintV105.so"}) {
    if (!with_link_library && std::string(library) == "libTelquin.so") continue;
    fs::create_symlink(kLibraryFolder / library, folder / library);
  }
  return folder;
}

// The line speeds of the requests the simulator saw, in order.
std::vector<std::string> ProbedSpeeds(const ovt_test::Simulator& sim) {
  std::vector<std::string> speeds;
  for (const std::string& line : sim.RecordLines()) {
    if (line.rfind("BAUD ", 0) == 0) speeds.push_back(line.substr(5));
  }
  return speeds;
}

// ---------------------------------------------------------------------------
// Tests

// No configuration file, only its folder: the agent searches the ports,
// finds the terminal at the second speed it tries, stores what it found and
// serves on the default ports. (Default ports: this test holds the ctest
// resource lock for 8088.)
TEST(AgentStartup, WithoutConfigurationSearchesThePortsStoresTheTerminalAndListensOn8088) {
  ovt_test::TempRoot root;
  fs::create_directories(fs::path(root.path()) / "OVVarsel");
  ovt_test::Simulator sim(root, 5, "answer", {"--baud", "115200"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();

  EXPECT_EQ(CountLines(root, "iComPort", "5"), 1u);
  EXPECT_EQ(CountLines(root, "iBaudRate", "115200"), 1u);
  EXPECT_EQ(CountLines(root, "OnInitDialog", "ReqToCat_WS Success"), 1u);
  EXPECT_EQ(CountLines(root, "OnInitDialog", "ReqToCat_WS Fail!"), 0u);
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComPort), "5");
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComBaud), "115200");

  // COM5 was tried at 9600 first, silent there, then found at 115200.
  EXPECT_EQ(ProbedSpeeds(sim), (std::vector<std::string>{"9600", "115200"}));

  EXPECT_TRUE(WaitUntilAccepts(8088));
  EXPECT_TRUE(WaitUntilAccepts(8089));

  agent.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(agent.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0) << agent.Stderr();
}

// A configured terminal is probed with a raw command instead of searched
// for; the start-up logs its steps in order either way.
TEST(AgentStartup, ProbesTheConfiguredTerminalAndLogsTheStepsInOrder) {
  ovt_test::TempRoot root;
  const int port = ovt_test::FreePortPair();
  ASSERT_NE(port, 0);
  Configure(root, {.web_mode = "0", .websocket_port = port, .com_port = 5, .com_baud = 115200});
  ovt_test::Simulator sim(root, 5, "answer", {"--baud", "115200"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();

  const std::vector<AgentLogLine> log = ovt_test::ReadAgentLog(root.path());
  EXPECT_EQ(StartupTexts(log),
            (std::vector<std::string>{"==========START==========", "ReqToCat_WS Success",
                                      "AcceptFunc Call!", kEndLine}));
  EXPECT_EQ(CountLines(root, "SearchPort", "SearchPort Start!!"), 0u) << "no search";
  // The probe: one raw command, at the configured speed.
  EXPECT_EQ(ProbedSpeeds(sim), (std::vector<std::string>{"115200"}));
  EXPECT_EQ(agent.Stderr().find(std::string(agent::texts::kTerminalConnectFailed)),
            std::string::npos);
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComPort), "5");
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComBaud), "115200");
  EXPECT_TRUE(WaitUntilAccepts(port));
  ASSERT_TRUE(WaitUntilLinkLibraryReleased(agent));
  EXPECT_TRUE(WaitUntilAccepts(port + 1));
}

// Nothing answers on the configured port: the user is told, the log says
// so, the settings stay as they were, and the agent serves all the same.
TEST(AgentStartup, FailedProbeIsShownAndLoggedAndTheListenersStartAnyway) {
  ovt_test::TempRoot root;
  const int port = ovt_test::FreePortPair();
  ASSERT_NE(port, 0);
  Configure(root, {.web_mode = "0", .websocket_port = port, .com_port = 7, .com_baud = 9600});
  DeadPort(root, 7);

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();

  const std::vector<AgentLogLine> log = ovt_test::ReadAgentLog(root.path());
  EXPECT_EQ(StartupTexts(log),
            (std::vector<std::string>{"==========START==========", "ReqToCat_WS Fail!",
                                      "AcceptFunc Call!", kEndLine}));
  EXPECT_NE(agent.Stderr().find(std::string(agent::texts::kTerminalConnectFailed)),
            std::string::npos)
      << agent.Stderr();
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComPort), "7");
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComBaud), "9600");
  EXPECT_TRUE(WaitUntilAccepts(port));
  EXPECT_TRUE(WaitUntilAccepts(port + 1));
  EXPECT_TRUE(agent.Running());
}

struct ModeCase {
  const char* name;
  const char* web_mode;
  const char* stderr_mentions;  // nullptr: nothing in particular
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class AgentWebModeTest : public ::testing::TestWithParam<ModeCase> {};

// Modes without a WebSocket front end: nothing listens on P or P + 1 once
// the start-up is over, and the agent keeps running until it is stopped.
TEST_P(AgentWebModeTest, StartsNoWebSocketListenerAndKeepsRunning) {
  ovt_test::TempRoot root;
  const int port = ovt_test::FreePortPair();
  ASSERT_NE(port, 0);
  Configure(root, {.web_mode = GetParam().web_mode, .websocket_port = port, .com_port = 7,
                   .com_baud = 9600});
  DeadPort(root, 7);

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();
  EXPECT_TRUE(Refuses(port));
  EXPECT_TRUE(Refuses(port + 1));
  EXPECT_TRUE(agent.Running());
  if (GetParam().stderr_mentions != nullptr) {
    EXPECT_NE(agent.Stderr().find(GetParam().stderr_mentions), std::string::npos)
        << agent.Stderr();
  }

  agent.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(agent.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, AgentWebModeTest,
                         ::testing::Values(ModeCase{"Other", "2", nullptr},
                                           ModeCase{"Negative", "-1", nullptr}),
                         [](const auto& info) { return std::string(info.param.name); });

// WebMode 1: the AJAX servers answer on P and P + 1 of "ServerPortAjax",
// nothing listens on the WebSocket ports, and SIGTERM ends the agent.
TEST(AgentStartup, AjaxModeServesBothAjaxPorts) {
  ovt_test::TempRoot root;
  const int port = ovt_test::FreePortPair();
  int ajax = ovt_test::FreePortPair();
  while (ajax != 0 && ajax >= port - 1 && ajax <= port + 1) ajax = ovt_test::FreePortPair();
  ASSERT_NE(port, 0);
  ASSERT_NE(ajax, 0);
  Configure(root, {.web_mode = "1", .websocket_port = port, .com_port = 7, .com_baud = 9600});
  agent::WriteAgentSetting(agent::kSectionHttp, agent::kKeyServerPortAjax,
                           U16(std::to_string(ajax)));
  DeadPort(root, 7);

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();
  for (int offset : {0, 1}) {
    SCOPED_TRACE("AJAX port + " + std::to_string(offset));
    ovt_test::TcpClient client(ajax + offset, kLimit);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    bool closed = false;
    const std::string response = client.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(response.rfind("HTTP/1.1 503 Not Implemented\r\n", 0), 0u) << response;
  }
  EXPECT_TRUE(Refuses(port));
  EXPECT_TRUE(Refuses(port + 1));

  agent.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(agent.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_TRUE(Refuses(ajax));
  EXPECT_TRUE(Refuses(ajax + 1));
}

// A second copy of the same program refuses to run and leaves the first
// alone; a copy under another file name is another program and runs.
TEST(AgentStartup, SecondInstanceRefusesButACopyUnderAnotherNameRuns) {
  ovt_test::TempRoot root;
  Configure(root, {.web_mode = "2", .com_port = 7, .com_baud = 9600});
  DeadPort(root, 7);
  const fs::path folder = AgentFolder(root, {"OVTelquin", "OVTelquinCopy"});

  Agent first(root, folder / "OVTelquin");
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(WaitForEnd(root)) << first.Stderr();

  Agent second(root, folder / "OVTelquin");
  ASSERT_TRUE(second.Started());
  int status = 0;
  ASSERT_TRUE(second.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 18);
  EXPECT_NE(second.Stderr().find(std::string(agent::texts::kAlreadyRunning)), std::string::npos)
      << second.Stderr();
  EXPECT_EQ(CountLines(root, "OnInitDialog",
                       agent::texts::Ansi(agent::texts::kAlreadyRunning)),
            1u);
  EXPECT_TRUE(first.Running());

  Agent copy(root, folder / "OVTelquinCopy");
  ASSERT_TRUE(copy.Started());
  ASSERT_TRUE(WaitForEnd(root, 2)) << copy.Stderr();
  EXPECT_TRUE(copy.Running());
  EXPECT_EQ(copy.Stderr().find(std::string(agent::texts::kAlreadyRunning)), std::string::npos);

  // Once the first has ended, the same program starts again.
  first.Signal(SIGTERM);
  ASSERT_TRUE(first.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0);
  Agent again(root, folder / "OVTelquin");
  ASSERT_TRUE(again.Started());
  ASSERT_TRUE(WaitForEnd(root, 3)) << again.Stderr();
  EXPECT_TRUE(again.Running());
}

struct BindingCase {
  const char* name;
  bool link_library;    // libTelquin.so beside the program
  bool without_entry;   // ...but one lacking ReqToCat_WS
  std::string message;  // UTF-8
};

void PrintTo(const BindingCase& c, std::ostream* os) { *os << c.name; }

class AgentBindingTest : public ::testing::TestWithParam<BindingCase> {};

// Without a usable link library the start-up shows and logs why and the
// program ends with a failure status, before it writes the terminal
// settings back.
TEST_P(AgentBindingTest, EndsWithTheFailureShownAndLogged) {
  ovt_test::TempRoot root;
  Configure(root, {.web_mode = "2"});
  const fs::path folder = AgentFolder(root, {"OVTelquin"}, GetParam().link_library);
  if (GetParam().without_entry) {
    fs::remove(folder / "libTelquin.so");
    fs::create_symlink(OVT_FAKE_LINK_LIBRARY, folder / "libTelquin.so");
  }

  Agent agent(root, folder / "OVTelquin");
  ASSERT_TRUE(agent.Started());
  int status = 0;
  ASSERT_TRUE(agent.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 1);
  EXPECT_NE(agent.Stderr().find(GetParam().message), std::string::npos) << agent.Stderr();
  const std::vector<AgentLogLine> log = ovt_test::ReadAgentLog(root.path());
  EXPECT_EQ(StartupTexts(log),
            (std::vector<std::string>{"==========START==========",
                                      agent::texts::Ansi(GetParam().message)}));
  EXPECT_EQ(Setting(agent::kSectionCat, agent::kKeyCatComPort), "");
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, AgentBindingTest,
    ::testing::Values(
        BindingCase{"NoLibrary", false, false,
                    "Telquin.dll" + std::string(agent::texts::kLoadFailed)},
        BindingCase{"NoEntry", true, true,
                    "ReqToCat_WS" + std::string(agent::texts::kEntryNotFound)}),
    [](const auto& info) { return std::string(info.param.name); });

// The version texts of the build go to the log right after the start line,
// file version first; --version prints the display form.
TEST(AgentStartup, LogsItsVersionTexts) {
  ovt_test::TempRoot root;
  Configure(root, {.web_mode = "2", .com_port = 7, .com_baud = 9600});
  DeadPort(root, 7);

  Agent agent(root);
  ASSERT_TRUE(agent.Started());
  ASSERT_TRUE(WaitForEnd(root)) << agent.Stderr();
  const std::vector<AgentLogLine> log = ovt_test::ReadAgentLog(root.path());
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].label, "OnInitDialog");
  EXPECT_EQ(log[0].text, "==========START==========");
  EXPECT_EQ(log[1].label, "FILE DATE");
  EXPECT_EQ(log[1].text, OVT_FILE_VERSION);
  EXPECT_EQ(log[2].label, "FILE VERSION");
  EXPECT_EQ(log[2].text, OVT_PRODUCT_VERSION);

  Agent version(root, kAgentProgram, {"--version"});
  int status = 0;
  ASSERT_TRUE(version.WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_EQ(version.Stdout(),
            std::string("OVTelquin ") + OVT_PRODUCT_VERSION + " (" + OVT_FILE_VERSION + ")\n");
}

// Stopped while idle: the listeners close and the program ends with 0; a
// new agent can take over the ports and the single-instance claim at once.
TEST(AgentStartup, SigtermEndsItCleanlyAndAnotherCanStartRightAway) {
  ovt_test::TempRoot root;
  const int port = ovt_test::FreePortPair();
  ASSERT_NE(port, 0);
  Configure(root, {.web_mode = "0", .websocket_port = port, .com_port = 7, .com_baud = 9600});
  DeadPort(root, 7);

  for (int run = 1; run <= 2; ++run) {
    Agent agent(root);
    ASSERT_TRUE(agent.Started());
    ASSERT_TRUE(WaitForEnd(root, static_cast<size_t>(run))) << agent.Stderr();
    ASSERT_TRUE(WaitUntilAccepts(port + 1));
    agent.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(agent.WaitForExit(&status));
    EXPECT_EQ(ExitCode(status), 0) << agent.Stderr();
    EXPECT_TRUE(Refuses(port));
    EXPECT_TRUE(Refuses(port + 1));
  }
  EXPECT_EQ(CountLines(root, "OnInitDialog",
                       agent::texts::Ansi(agent::texts::kAlreadyRunning)),
            0u);
}

// A payment as the browser sends it: code D1, data "D1AB".
const std::string kPayment = "0016VEVU00000004D1AB";

// Starts a WebSocket agent with the terminal on COM5 and sends a payment
// over a connection that stays open; returns once the terminal has the
// request.
struct PaymentUnderWay {
  PaymentUnderWay(const ovt_test::TempRoot& root, const std::string& scenario,
                  const std::vector<std::string>& sim_args)
      : port(ovt_test::FreePortPair()), sim(root, 5, scenario, sim_args) {
    Configure(root, {.web_mode = "0", .websocket_port = port, .com_port = 5, .com_baud = 115200});
  }

  // Fails the test (and returns false) when a step does not happen.
  bool Start(const ovt_test::TempRoot& root) {
    EXPECT_TRUE(sim.Ready()) << sim.Error();
    agent = std::make_unique<Agent>(root);
    if (!sim.Ready() || !agent->Started() || !WaitForEnd(root)) return false;
    client = std::make_unique<ovt_test::TcpClient>(port, kLimit);
    if (!client->Connected() || !client->Send(ovt_test::Handshake())) return false;
    // The 101 answer (its accept key is the front end's own business).
    const std::string answer = client->Read(ovt_test::HandshakeAnswer().size());
    EXPECT_EQ(answer.rfind("HTTP/1.1 101 ", 0), 0u) << answer;
    if (!client->Send(ovt_test::TextFrame(kPayment))) return false;
    // The request frame has reached the terminal (the start-up's probe was a
    // raw command, which has no LRC line).
    return sim.WaitForLines("LRC ", 1, kLimit);
  }

  int port;
  ovt_test::Simulator sim;
  std::unique_ptr<Agent> agent;
  std::unique_ptr<ovt_test::TcpClient> client;
};

// A stop request while a payment runs lets the payment finish: the browser
// still gets the reply, then the program ends with 0.
TEST(AgentLifetime, StopDuringAPaymentFinishesItAndDeliversTheReply) {
  ovt_test::TempRoot root;
  PaymentUnderWay payment(root, "answer", {"--delay", "1500"});
  ASSERT_TRUE(payment.Start(root)) << (payment.agent ? payment.agent->Stderr() : "");

  payment.agent->Signal(SIGTERM);
  bool closed = false;
  const std::string received = payment.client->ReadUntilClosed(&closed, kLimit);
  EXPECT_TRUE(closed);
  EXPECT_NE(received.find("VEVU0000"), std::string::npos) << received;
  EXPECT_NE(received.find("OK:D1AB"), std::string::npos) << received;

  int status = 0;
  ASSERT_TRUE(payment.agent->WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 0) << payment.agent->Stderr();
}

// A second request does not wait for the payment: the program ends at once
// with its own status. (SIGINT, then SIGTERM: two different signals are
// never merged into one while pending.)
TEST(AgentLifetime, SecondStopRequestEndsAtOnceWithoutWaitingForThePayment) {
  ovt_test::TempRoot root;
  // The terminal acknowledges and then never answers: the payment would
  // run for its whole answer wait.
  PaymentUnderWay payment(root, "ack-silent", {});
  ASSERT_TRUE(payment.Start(root)) << (payment.agent ? payment.agent->Stderr() : "");

  payment.agent->Signal(SIGINT);
  payment.agent->Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(payment.agent->WaitForExit(&status));
  EXPECT_EQ(ExitCode(status), 2) << payment.agent->Stderr();
}

}  // namespace
