// Looking for the terminal: the candidate ports the platform lists, and
// SearchPortForCat with the real link library, loaded by file name, probing
// simulators on pseudo-terminals. A probe that nobody answers costs the
// link library's 5-second ack time-out and its 1-second close, so the
// searches here keep their silent probes few.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/agent_texts.h"
#include "dispatcher/port_search.h"
#include "platform/module.h"
#include "platform/serial_ports.h"
#include "support/agent_log_reader.h"
#include "support/simulator.h"
#include "support/temp_root.h"

namespace agent {
namespace {

namespace fs = std::filesystem;
using ovt_test::Simulator;
using std::chrono::milliseconds;

// The fixed table's devices are looked for in a folder of the data root,
// which holds only what a test puts there; /dev of the machine never leaks
// in.
class PortsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Devices());
    platform::testing::SetSerialDeviceDirectory(Devices());
  }
  void TearDown() override { platform::testing::SetSerialDeviceDirectory(""); }

  std::string Devices() const { return root_.path() + "/dev"; }
  std::string DosDevices() const { return root_.path() + "/dosdevices"; }

  // Links dosdevices/<name> to a device that need not exist: the listing
  // goes by the links, not by what they point at.
  void Link(const std::string& name) {
    fs::create_directories(DosDevices());
    fs::create_symlink("/nonexistent/" + name, DosDevices() + "/" + name);
  }
  void Device(const std::string& name) { ovt_test::WriteFile(Devices() + "/" + name, ""); }

  ovt_test::TempRoot root_;
};

using SerialPortList = PortsFixture;

std::vector<std::string> Com(std::initializer_list<int> numbers) {
  std::vector<std::string> names;
  for (int n : numbers) names.push_back("COM" + std::to_string(n));
  return names;
}
std::vector<std::string> ComRange(int first, int last) {
  std::vector<std::string> names;
  for (int n = first; n <= last; ++n) names.push_back("COM" + std::to_string(n));
  return names;
}

TEST_F(SerialPortList, LinksInNumericOrderAndOnlyNamesThatResolve) {
  for (const char* name : {"com10", "com2", "com3", "lpt1", "c:", "com", "com02", "comX",
                           "COM4", "com12345", "com0"}) {
    Link(name);
  }
  // A plain file is not a link, and the table's devices stay unused while
  // any link exists.
  ovt_test::WriteFile(DosDevices() + "/com7", "");
  Device("ttyS0");
  EXPECT_EQ(platform::ListSerialPorts(), Com({2, 3, 10}));
}

TEST_F(SerialPortList, TableDevicesOnlyWithoutAnyLink) {
  EXPECT_TRUE(platform::ListSerialPorts().empty());
  for (const char* name : {"ttyACM0", "ttyUSB1", "ttyS3", "ttyS0", "ttyS32", "ttyXYZ0"}) {
    Device(name);
  }
  fs::create_directories(DosDevices());
  ovt_test::WriteFile(DosDevices() + "/com9", "");  // not a link
  EXPECT_EQ(platform::ListSerialPorts(), Com({1, 4, 34, 65}));
  Link("com20");
  EXPECT_EQ(platform::ListSerialPorts(), Com({20}));
}

TEST_F(SerialPortList, AtMostFortyAndAtMostTheCountAsked) {
  for (int i = 0; i < 32; ++i) {
    Device("ttyS" + std::to_string(i));
    Device("ttyUSB" + std::to_string(i));
  }
  EXPECT_EQ(platform::ListSerialPorts(), ComRange(1, 40));
  EXPECT_EQ(platform::ListSerialPorts(3), ComRange(1, 3));
  EXPECT_TRUE(platform::ListSerialPorts(0).empty());
  for (int n = 45; n >= 1; --n) Link("com" + std::to_string(n));
  EXPECT_EQ(platform::ListSerialPorts(), ComRange(1, 40));
  EXPECT_EQ(platform::ListSerialPorts(100), ComRange(1, 40));
  EXPECT_EQ(platform::ListSerialPorts(2), ComRange(1, 2));
}

TEST(SearchedPortNumber, DigitsAfterTheComPrefix) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"COM3", 3},   {"COM10", 10}, {"com7", 7},   {"COM03", 3},   {"COM123456789", 123456789},
      {"COM", 0},    {"", 0},       {"CO", 0},     {"COM0", 0},    {"COM3x", 0},
      {"COM-1", 0},  {"CNCA0", 0},  {"LPT1", 0},   {"COM 3", 0},   {"COM1234567890", 0},
  };
  for (const auto& [name, number] : cases) {
    EXPECT_EQ(SearchedPortNumber(name), number) << name;
  }
}

// The search with the libraries of the build.
class PortSearch : public PortsFixture {
 protected:
  void SetUp() override {
    PortsFixture::SetUp();
    platform::testing::SetModuleDirectory(OVT_MODULE_DIR);
  }
  void TearDown() override {
    platform::testing::SetModuleDirectory("");
    PortsFixture::TearDown();
  }

  // "label|text" of each agent log line of the day, labels without their
  // padding.
  std::vector<std::string> AgentLog() const {
    std::vector<std::string> tails;
    for (const ovt_test::AgentLogLine& line : ovt_test::ReadAgentLog(root_.path())) {
      tails.push_back(line.label + "|" + line.text);
    }
    return tails;
  }

  // The port and baud rate of every exchange the link library made, in
  // order: "3 9600".
  std::vector<std::string> Probes() const {
    std::vector<std::string> probes;
    for (const std::string& entry : root_.LinkLogEntries()) {
      if (entry.rfind("Port|", 0) == 0) probes.push_back(entry.substr(5));
      if (entry.rfind("Baud|", 0) == 0 && !probes.empty()) probes.back() += " " + entry.substr(5);
    }
    return probes;
  }

  // The line speeds the simulator saw the probes' raw commands at.
  static std::vector<std::string> Speeds(const Simulator& sim) {
    std::vector<std::string> speeds;
    for (const std::string& line : sim.RecordLines()) {
      if (line.rfind("BAUD ", 0) == 0) speeds.push_back(line.substr(5));
    }
    return speeds;
  }
};

TEST_F(PortSearch, NothingListedIsNotFoundWithoutAProbe) {
  int port = 77, baud = 88;
  EXPECT_EQ(SearchPortForCat(&port, &baud), -1);
  EXPECT_EQ(port, 77);
  EXPECT_EQ(baud, 88);
  EXPECT_EQ(AgentLog(),
            (std::vector<std::string>{"SearchPort|SearchPort Start!!", "SearchPort|Port Not Found!!"}));
  EXPECT_TRUE(root_.LinkLogLines().empty()) << "no exchange was made";
}

// COM3 answers only at 57600, COM4's device is missing, COM5 answers at
// 115200: the first pass tries 9600 and 115200 on every port in turn and
// finds COM5 before the second pass would reach COM3's speed.
TEST_F(PortSearch, FirstPassFindsTheTerminalAt115200) {
  Simulator com3(root_, 3, "answer", {"--baud", "57600"});
  Simulator com5(root_, 5, "answer", {"--baud", "115200"});
  ASSERT_TRUE(com3.Ready()) << com3.Error();
  ASSERT_TRUE(com5.Ready()) << com5.Error();
  Link("com4");

  int port = 0, baud = 0;
  EXPECT_EQ(SearchPortForCat(&port, &baud), 1);
  EXPECT_EQ(port, 5);
  EXPECT_EQ(baud, 115200);
  EXPECT_EQ(Probes(), (std::vector<std::string>{"3 9600", "3 115200", "4 9600", "4 115200",
                                                "5 9600", "5 115200"}));
  EXPECT_EQ(Speeds(com3), (std::vector<std::string>{"9600", "115200"}));
  // The answered probe's raw command is recorded once its reply is written.
  ASSERT_TRUE(com5.WaitForLines("TX ", 1, milliseconds(5000)));
  EXPECT_EQ(Speeds(com5), (std::vector<std::string>{"9600", "115200"}));
  EXPECT_EQ(com5.Sent(), Simulator::RawReply());
  EXPECT_EQ(AgentLog(), (std::vector<std::string>{
                            "SearchPort|SearchPort Start!!", "SearchedPort|3", "SearchedPort|4",
                            "SearchedPort|5", "iComPort|5", "iBaudRate|115200",
                            "SearchPort|SearchPort Success."}));
}

// COM3 at 19200 and COM5 at 38400: nobody answers in the first pass; the
// second pass tries 57600, 38400 and 19200 on COM3 before it reaches COM5.
TEST_F(PortSearch, SecondPassAfterTheFirstPassOfEveryPort) {
  Simulator com3(root_, 3, "answer", {"--baud", "19200"});
  Simulator com5(root_, 5, "answer", {"--baud", "38400"});
  ASSERT_TRUE(com3.Ready()) << com3.Error();
  ASSERT_TRUE(com5.Ready()) << com5.Error();

  int port = 0, baud = 0;
  EXPECT_EQ(SearchPortForCat(&port, &baud), 1);
  EXPECT_EQ(port, 3);
  EXPECT_EQ(baud, 19200);
  EXPECT_EQ(Probes(), (std::vector<std::string>{"3 9600", "3 115200", "5 9600", "5 115200",
                                                "3 57600", "3 38400", "3 19200"}));
  EXPECT_EQ(Speeds(com5), (std::vector<std::string>{"9600", "115200"}));
  EXPECT_TRUE(com5.Sent().empty());
  const std::vector<std::string> log = AgentLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"iComPort|3", "iBaudRate|19200",
                                      "SearchPort|SearchPort Success."}));
}

// Nothing acknowledges: every rate of every listed port is tried once,
// the outputs stay as they were. Only ports that fail at once are listed,
// so the search is quick.
TEST_F(PortSearch, NoAnswerAnywhereFailsAndLeavesTheOutputs) {
  Link("com8");
  Link("com6");
  int port = 77, baud = 88;
  EXPECT_EQ(SearchPortForCat(&port, &baud), -1);
  EXPECT_EQ(port, 77);
  EXPECT_EQ(baud, 88);
  EXPECT_EQ(Probes(), (std::vector<std::string>{"6 9600", "6 115200", "8 9600", "8 115200",
                                                "6 57600", "6 38400", "6 19200", "8 57600",
                                                "8 38400", "8 19200"}));
  EXPECT_EQ(AgentLog(),
            (std::vector<std::string>{"SearchPort|SearchPort Start!!", "SearchedPort|6",
                                      "SearchedPort|8", "SearchPort|SearchPort Fail."}));
}

// Binding failures: a box (standard error without a desktop), a log line
// under the search's own name, the result 0 and no probe.
TEST_F(PortSearch, BindingFailures) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;  // module folder
    std::string box;
    std::string log;
  };
  const std::vector<Case> cases = {
      {{}, "Telquin.dll 로드 실패!", "포트 자동 찾기 실패!(DLL)"},
      {{{"libTelquin.so", OVT_FAKE_LINK_LIBRARY}},
       "ReqToCat_WS 함수 찾기 실패!",
       "포트 자동 찾기 실패!(WS)"},
  };
  Link("com3");  // a port is listed, yet nothing is probed
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = root_.path() + "/modules" + std::to_string(n++);
    fs::create_directories(dir);
    for (const auto& [name, target] : c.files) fs::create_symlink(target, dir + "/" + name);
    platform::testing::SetModuleDirectory(dir);
    fs::remove_all(root_.path() + "/ORVAlog");

    int port = 77, baud = 88;
    ::testing::internal::CaptureStderr();
    const int result = SearchPortForCat(&port, &baud);
    const std::string box = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0) << c.box;
    EXPECT_EQ(port, 77);
    EXPECT_EQ(baud, 88);
    EXPECT_NE(box.find(c.box), std::string::npos) << box;
    EXPECT_EQ(AgentLog(), (std::vector<std::string>{"SearchPortForCat|" + texts::Ansi(c.log)}));
    EXPECT_TRUE(root_.LinkLogLines().empty());
  }
}

}  // namespace
}  // namespace agent
