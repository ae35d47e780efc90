// The dispatcher through the real link library and the real print
// stand-in, loaded by file name, against the simulator on a
// pseudo-terminal.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_texts.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/dll_logic.h"
#include "dispatcher/last_result.h"
#include "platform/module.h"
#include "platform/process.h"
#include "probe_runner.h"
#include "support/agent_log_reader.h"
#include "support/simulator.h"
#include "support/temp_root.h"

namespace agent {
namespace {

namespace fs = std::filesystem;
using ovt_test::Simulator;
using Bytes = std::vector<uint8_t>;

constexpr int kCom = 5;

// A VEVU request: total length, "VEVU", code "0000", data length, data.
std::string Vevu(const std::string& data, long long data_length) {
  return Field4(static_cast<long long>(data.size()) + 12) + "VEVU0000" + Field4(data_length) +
         data;
}
std::string Vevu(const std::string& data) {
  return Vevu(data, static_cast<long long>(data.size()));
}
std::string Command(const std::string& command) { return Vevu(command, 4); }

const std::string kFailure3 = "0019VEVU00030005VEVU1";
const std::string kStopReply = "0019VEVU00070007REQSTOP";
const std::string kNoCommand = "0022VEVU00140010NO COMMAND";
const std::string k0099 = "0019VEVU00990005VEVU1";

std::string Answer(const std::string& text) { return "\x02" + text + "\x03"; }
std::string AnswerReply(const std::string& text) {
  const std::string answer = Answer(text);
  return Field4(static_cast<long long>(answer.size()) + 12) + "VEVU0000" +
         Field4(static_cast<long long>(answer.size())) + answer;
}

// Each test runs in its own data root and working directory, with the
// terminal on COM5 at 115200 baud in the configuration, and loads the
// libraries from the build's library folder.
class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_dir_ = fs::current_path();
    fs::current_path(root_.path());
    fs::create_directories(root_.path() + "/OVVarsel");
    ovt_test::WriteFile(root_.path() + "/OVVarsel/OVVARSEL.ini",
                        "[CAT]\r\nCatComPort=5\r\nCatComBaud=115200\r\n");
    platform::testing::SetModuleDirectory(OVT_MODULE_DIR);
    g_bResultSaved = 0;
    testing::ForgetLatestReply();
  }
  void TearDown() override {
    platform::testing::SetModuleDirectory("");
    fs::current_path(previous_dir_);
  }

  static std::string Dispatch(const std::string& request) {
    std::vector<char> writable(request.begin(), request.end());
    writable.push_back('\0');
    std::vector<char> reply(kReplyBufferSize, '\0');
    DllLogic(writable.data(), reply.data());
    return reply.data();
  }

  // The "label|text" tails of the agent log lines.
  std::vector<std::string> LogTails() const {
    std::vector<std::string> tails;
    for (const ovt_test::AgentLogLine& line : ovt_test::ReadAgentLog(root_.path())) {
      tails.push_back(line.label + "|" + line.text);
    }
    return tails;
  }
  bool Logged(const std::string& tail) const {
    const auto tails = LogTails();
    return std::find(tails.begin(), tails.end(), tail) != tails.end();
  }
  std::string Stored() const { return ovt_test::ReadFile(root_.path() + "/orvaResult.txt"); }

  ovt_test::TempRoot root_;
  fs::path previous_dir_;
};

TEST_F(Dispatcher, PaymentAnsweredIsRepliedStoredAndReturnedByLast) {
  Simulator sim(root_, kCom, "answer", {"--answer", "APPROVED"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string reply = Dispatch(Vevu("D1XY"));
  EXPECT_EQ(reply, AnswerReply("APPROVED"));
  EXPECT_EQ(g_bResultSaved, 1);
  EXPECT_EQ(Stored(), reply);
  EXPECT_FALSE(fs::exists(root_.path() + "/orvaResult.txt.new"));

  const std::vector<std::string> expected = {
      "DLL_LOGIC|VEVU - ReqToCat_WS Call", "orvaSend|D1XY",
      "recievedString|" + Vevu("D1XY"),    "DLL_LOGIC|Success(1)",
      "orvaRecv|" + Answer("APPROVED"),    "DLL_LOGIC|orvaResult",
      "DLL_LOGIC|" + reply};
  EXPECT_EQ(LogTails(), expected);

  // LAST returns it byte for byte and does not store again.
  EXPECT_EQ(Dispatch(Command("LAST")), reply);
  EXPECT_EQ(g_bResultSaved, 0);
}

struct PaymentCase {
  const char* name;
  const char* scenario;
  std::string request;
  std::string reply;
  std::string sent_text;  // what the terminal receives ("" nothing)
};
void PrintTo(const PaymentCase& c, std::ostream* os) { *os << c.name; }

class Payments : public Dispatcher, public ::testing::WithParamInterface<PaymentCase> {};

TEST_P(Payments, ReplyAndWhatReachesTheTerminal) {
  const PaymentCase& c = GetParam();
  Simulator sim(root_, kCom, c.scenario, {"--answer", "OK"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(Dispatch(c.request), c.reply);
  if (c.sent_text.empty()) {
    EXPECT_TRUE(sim.Received().empty());
  } else {
    const Bytes frame = c.sent_text.rfind("***", 0) == 0
                            ? Bytes(c.sent_text.begin(), c.sent_text.end())
                            : Simulator::RequestFrame(c.sent_text);
    const Bytes received = sim.Received();
    ASSERT_GE(received.size(), frame.size());
    EXPECT_EQ(Bytes(received.begin(), received.begin() + frame.size()), frame);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Payments,
    ::testing::Values(
        PaymentCase{"data_length_4_of_D1", "answer", Vevu("D1AB"), AnswerReply("OK"), "D1AB"},
        PaymentCase{"not_acknowledged", "nak", Vevu("D1AB"), kFailure3, "D1AB"},
        PaymentCase{"data_length_shorter_than_data", "answer", Vevu("D1234567", 5),
                    AnswerReply("OK"), "D1234"},
        PaymentCase{"data_length_longer_than_data", "answer", Vevu("SC12", 40),
                    AnswerReply("OK"), "SC12"},
        PaymentCase{"raw_command", "answer", Vevu("***VER"), "0020VEVU00000008TQSIM OK",
                    "***VER"},
        PaymentCase{"unknown_transaction_code", "answer", Vevu("Z9AB"), k0099, ""},
        PaymentCase{"lower_case_code", "answer", Vevu("d1AB"), k0099, ""},
        PaymentCase{"data_length_not_a_number", "answer", Vevu("D1AB", 0).replace(12, 4, "00x4"),
                    k0099, ""},
        PaymentCase{"data_length_negative", "answer", Vevu("D1AB").replace(12, 4, "-004"), k0099,
                    ""},
        PaymentCase{"request_of_eight_bytes", "answer", "0000VEVU", k0099, ""},
        PaymentCase{"not_a_vevu_request", "answer", "0000XXXX00000004D1AB", kNoCommand, ""},
        PaymentCase{"empty_request", "answer", "", kNoCommand, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatcher, UnknownCodeIsLoggedAfterTheRequestAndNotStored) {
  Simulator sim(root_, kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(Dispatch(Vevu("Z9AB")), k0099);
  const auto tails = LogTails();
  const auto request = std::find(tails.begin(), tails.end(), "recievedString|" + Vevu("Z9AB"));
  ASSERT_NE(request, tails.end());
  EXPECT_EQ(*(request + 1), "DLL_LOGIC|ReqMsg Error(-)");
  EXPECT_EQ(g_bResultSaved, 0);
  EXPECT_FALSE(fs::exists(root_.path() + "/orvaResult.txt"));
}

TEST_F(Dispatcher, StopCancelsARunningPaymentAndASecondPaymentIsRefused) {
  Simulator sim(root_, kCom, "ack-silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  std::string first;
  std::thread payer([&] { first = Dispatch(Vevu("D1AB")); });
  const Bytes sent = Simulator::RequestFrame("D1AB");
  ASSERT_TRUE(sim.WaitForReceived(sent.size() + 1, std::chrono::seconds(10)));

  EXPECT_EQ(Dispatch(Vevu("D2CD")), "0019VEVU00020005VEVU1");
  EXPECT_EQ(Dispatch(Command("STOP")), kStopReply);
  payer.join();
  EXPECT_EQ(first, "0019VEVU00040005VEVU1");
  EXPECT_TRUE(Logged("DLL_LOGIC|STOP"));
  EXPECT_FALSE(fs::exists(root_.path() + "/orvaResult.txt")) << "no success to store";
}

TEST_F(Dispatcher, StopWithoutAPaymentStillReplies) {
  EXPECT_EQ(Dispatch(Command("STOP")), kStopReply);
  EXPECT_EQ(g_bResultSaved, 0);
}

// The product's 100-second answer wait, once: an answer that never
// completes is a failure with the code "0000", which is stored.
TEST_F(Dispatcher, AnswerTimeOutGivesCodeZeroAndIsStored) {
  Simulator sim(root_, kCom, "ack-partial");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string reply = Dispatch(Vevu("D1AB"));
  EXPECT_EQ(reply, "0019VEVU00000005VEVU1");
  EXPECT_EQ(g_bResultSaved, 1);
  EXPECT_EQ(Stored(), reply);
}

TEST_F(Dispatcher, LastWithoutAStoredReply) {
  const std::string reply = Dispatch(Command("LAST"));
  const std::string text = texts::Ansi(texts::kNoResultFile);
  ASSERT_EQ(text.size(), 32u);
  EXPECT_EQ(reply, "0044VEVU00000032" + text);
  EXPECT_TRUE(Logged("DLL_LOGIC|fp==NULL"));
}

TEST_F(Dispatcher, LastKeepsTheStoredReplyAcrossRepliesThatAreNotStored) {
  const std::string stored = "0020VEVU00000008\x02LINE\nX\x03";
  ovt_test::WriteFile(root_.path() + "/orvaResult.txt", stored);
  Dispatch(Command("STOP"));
  Dispatch("0000XXXX");  // NO COMMAND
  Dispatch(Vevu("Z9"));  // 0099
  {
    Simulator sim(root_, kCom, "nak");
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    EXPECT_EQ(Dispatch(Vevu("D1AB")), kFailure3);
  }
  // The whole reply, line feed and all.
  EXPECT_EQ(Dispatch(Command("LAST")), stored);
}

TEST_F(Dispatcher, LastReturnsAtMostWhatTheReplyBufferHolds) {
  ovt_test::WriteFile(root_.path() + "/orvaResult.txt", std::string(6000, 'R'));
  EXPECT_EQ(Dispatch(Command("LAST")), std::string(kReplyBufferSize - 1, 'R'));
}

struct SbmpCase {
  const char* name;
  std::string arguments;
  std::vector<std::string> fields;
};
void PrintTo(const SbmpCase& c, std::ostream* os) { *os << c.name; }

class SbmpFields : public Dispatcher, public ::testing::WithParamInterface<SbmpCase> {};

TEST_P(SbmpFields, SplitAtTheSeparator) {
  const SbmpCase& c = GetParam();
  const std::string reply = Dispatch(Command("SBMP") + c.arguments);
  // None of these is a valid signature: SetBmpFile refuses with -2 or -3.
  EXPECT_TRUE(reply == "0019VEVU00020005VEVU1" || reply == "0019VEVU00030005VEVU1") << reply;
  const auto tails = LogTails();
  const auto start = std::find(tails.begin(), tails.end(), "DLL_LOGIC|SETBMPFILE");
  ASSERT_NE(start, tails.end());
  ASSERT_GE(tails.end() - start, 4);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(*(start + 1 + i), "DLL_LOGIC|" + c.fields[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SbmpFields,
    ::testing::Values(
        SbmpCase{"three_with_an_empty_last", "AAAA\x1c" "4\x1c\x1c", {"AAAA", "4", ""}},
        SbmpCase{"only_the_first", "AAAA", {"AAAA", "", ""}},
        SbmpCase{"leading_separators_skipped", "\x1c\x1c" "AB\x1c" "2\x1cp.bmp", {"AB", "2", "p.bmp"}},
        SbmpCase{"adjacent_separators_give_an_empty_field", "AB\x1c\x1c" "x.bmp",
                 {"AB", "", "x.bmp"}},
        SbmpCase{"a_fourth_field_is_ignored", "AB\x1c" "2\x1c" "a.bmp\x1c" "more",
                 {"AB", "2", "a.bmp"}},
        SbmpCase{"nothing", "", {"", "", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatcher, SbmpWritesTheSignatureBitmap) {
  std::string sign = ovt_test::ReadFile(std::string(OVT_FIXTURES) + "/sign/dot_top_left.txt");
  while (!sign.empty() && (sign.back() == '\n' || sign.back() == '\r')) sign.pop_back();
  const std::string path = root_.path() + "/sign.bmp";
  const std::string reply =
      Dispatch(Command("SBMP") + sign + "\x1c" + std::to_string(sign.size()) + "\x1c" + path);
  EXPECT_EQ(reply, "0022VEVU00000010SETBMPFILE");
  EXPECT_EQ(ovt_test::ReadFile(path),
            ovt_test::ReadFile(std::string(OVT_FIXTURES) + "/sign/dot_top_left.bmp"));
  EXPECT_EQ(g_bResultSaved, 1);
  EXPECT_EQ(Stored(), reply);
}

// With a SignatureFolder, SBMP writes only a bare file name, in that
// folder; a name with a folder part, a drive or ".." gets SBMP's failure
// reply and writes nothing anywhere.
TEST_F(Dispatcher, SbmpWithASignatureFolderWritesOnlyThere) {
  std::string sign = ovt_test::ReadFile(std::string(OVT_FIXTURES) + "/sign/dot_top_left.txt");
  while (!sign.empty() && (sign.back() == '\n' || sign.back() == '\r')) sign.pop_back();
  const std::string bitmap =
      ovt_test::ReadFile(std::string(OVT_FIXTURES) + "/sign/dot_top_left.bmp");
  const std::string folder = root_.path() + "/signs";
  fs::create_directories(folder);
  fs::create_directories(root_.path() + "/elsewhere");
  ovt_test::WriteFile(root_.path() + "/OVVarsel/OVVARSEL.ini",
                      "[CAT]\r\nCatComPort=5\r\nCatComBaud=115200\r\n"
                      "[SECURITY]\r\nSignatureFolder=" + folder + "\r\n");
  const auto sbmp = [&](const std::string& name) {
    return Dispatch(Command("SBMP") + sign + "\x1c" + std::to_string(sign.size()) + "\x1c" + name);
  };
  const struct {
    std::string name;
    std::string written;  // "" for a refusal
  } cases[] = {
      {"receipt-1.bmp", folder + "/receipt-1.bmp"},
      {"", folder + "/Signdata.bmp"},
      {root_.path() + "/elsewhere/a.bmp", ""},
      {"../elsewhere/b.bmp", ""},
      {"..", ""},
      {"sub\\c.bmp", ""},
      {"C:\\d.bmp", ""},
      {"e.bmp\nX", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.written.empty()) {
      EXPECT_EQ(sbmp(c.name), "0019VEVU00050005VEVU1");
    } else {
      EXPECT_EQ(sbmp(c.name), "0022VEVU00000010SETBMPFILE");
      EXPECT_EQ(ovt_test::ReadFile(c.written), bitmap);
    }
  }
  EXPECT_TRUE(fs::is_empty(root_.path() + "/elsewhere"));
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(root_.path())) {
    if (entry.path().extension() == ".bmp") ++files;
  }
  EXPECT_EQ(files, 2u);
  const auto tails = LogTails();
  EXPECT_EQ(std::count(tails.begin(), tails.end(), "DLL_LOGIC|SignatureFolder: not a bare file name"),
            6);
}

struct PrintCase {
  const char* name;
  std::string request;
};
void PrintTo(const PrintCase& c, std::ostream* os) { *os << c.name; }

// "가나 ok" in UTF-8: 9 bytes; in code page 949: 7 bytes.
const std::string kPrintUtf8 = "\xEA\xB0\x80\xEB\x82\x98 ok";
const std::string kPrintCp949 = "\xB0\xA1\xB3\xAA ok";
const std::string kPrintLength4 = Field4(4 + 9);

class PrintForms : public Dispatcher, public ::testing::WithParamInterface<PrintCase> {};

TEST_P(PrintForms, TextReachesThePrinterInCodePage949) {
  Simulator sim(root_, kCom, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string reply = Dispatch(GetParam().request);
  EXPECT_EQ(reply, "0012VEVU00000000");
  std::string job = "\x1b@" + kPrintCp949 + "\n\n\n\x1dV\x01";
  ASSERT_TRUE(sim.WaitForReceived(job.size(), std::chrono::seconds(5)));
  EXPECT_EQ(sim.Received(), Bytes(job.begin(), job.end()));
  EXPECT_TRUE(Logged("DLL_LOGIC|VEVU - OrvaprintV105 call"));
  EXPECT_TRUE(Logged("DLL_LOGIC|Success(1)"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PrintForms,
    ::testing::Values(
        PrintCase{"vevu_at_4_prnt_at_16", "0025VEVU0000" + kPrintLength4 + "PRNT" + kPrintUtf8},
        PrintCase{"vevu_at_4_prnt_at_17", "0025VEVU00000" + kPrintLength4 + "PRNT" + kPrintUtf8},
        PrintCase{"vevu_at_5_prnt_at_17", "00025VEVU0000" + kPrintLength4 + "PRNT" + kPrintUtf8},
        PrintCase{"vevu_at_5_prnt_at_18",
                  "00025VEVU00000" + kPrintLength4 + "PRNT" + kPrintUtf8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatcher, PrintFailuresAndStoring) {
  // No printer on the port: the print component's failure becomes the code.
  const std::string reply = Dispatch("0025VEVU0000" + kPrintLength4 + "PRNT" + kPrintUtf8);
  EXPECT_EQ(reply.substr(0, 8), "0019VEVU");
  EXPECT_NE(reply.substr(8, 4), "0000");
  EXPECT_EQ(reply.substr(12), "0005VEVU1");
  EXPECT_TRUE(Logged("DLL_LOGIC|Fail(-)"));
  // A data length below 4 or not a number is refused before printing.
  EXPECT_EQ(Dispatch("0025VEVU00000003PRNTx"), k0099);
  EXPECT_EQ(Dispatch("0025VEVU000000x9PRNTxxxxx"), k0099);
  // Print data beyond the 100,000-byte buffer is refused, not cut.
  EXPECT_EQ(Dispatch("0025VEVU0000100005PRNTxxxxxxxxxx"), k0099);
  EXPECT_EQ(g_bResultSaved, 0);
}

TEST_F(Dispatcher, PrintSuccessIsStoredOnlyWithVevuAtFour) {
  Simulator sim(root_, kCom, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(Dispatch("00025VEVU0000" + kPrintLength4 + "PRNT" + kPrintUtf8), "0012VEVU00000000");
  EXPECT_EQ(g_bResultSaved, 0);
  EXPECT_EQ(Dispatch("0025VEVU0000" + kPrintLength4 + "PRNT" + kPrintUtf8), "0012VEVU00000000");
  EXPECT_EQ(g_bResultSaved, 1);
  EXPECT_EQ(Stored(), "0012VEVU00000000");
}

// Binding failures, with libraries made for the purpose.
class Binding : public Dispatcher {
 protected:
  // A folder holding the named files, each a link to a built library.
  void UseModules(const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string dir = root_.path() + "/modules";
    fs::create_directories(dir);
    for (const auto& [name, target] : files) fs::create_symlink(target, dir + "/" + name);
    platform::testing::SetModuleDirectory(dir);
  }
  // The reply buffer stays as the caller left it.
  std::string DispatchUntouched(const std::string& request, bool* untouched) {
    std::vector<char> writable(request.begin(), request.end());
    writable.push_back('\0');
    std::vector<char> reply(kReplyBufferSize, 'U');
    DllLogic(writable.data(), reply.data());
    *untouched = std::all_of(reply.begin(), reply.end(), [](char c) { return c == 'U'; });
    return std::string(reply.begin(), reply.end());
  }
};

TEST_F(Binding, WithoutThePrintComponentNothingWorks) {
  UseModules({{"libTelquin.so", std::string(OVT_MODULE_DIR) + "/libTelquin.so"}});
  ::testing::internal::CaptureStderr();
  bool untouched = false;
  DispatchUntouched(Vevu("D1AB"), &untouched);
  const std::string box = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(untouched);
  EXPECT_NE(box.find("OrvaPrintV105.dll 로드 실패!"), std::string::npos) << box;
  EXPECT_TRUE(Logged("DLL_LOGIC|" + texts::Ansi("OrvaPrintV105.dll 로드 실패!")));
  EXPECT_FALSE(Logged("DLL_LOGIC|orvaResult"));
}

TEST_F(Binding, LinkLibraryWithoutItsEntry) {
  UseModules({{"libTelquin.so", OVT_FAKE_LINK_LIBRARY},
              {"libOrvaPrintV105.so", std::string(OVT_MODULE_DIR) + "/libOrvaPrintV105.so"}});
  g_bResultSaved = 1;
  ::testing::internal::CaptureStderr();
  bool untouched = false;
  DispatchUntouched(Command("LAST"), &untouched);
  const std::string box = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(untouched);
  // The box has always named the entry shorter than the log does.
  EXPECT_NE(box.find("ReqToCat 함수 찾기 실패!"), std::string::npos) << box;
  EXPECT_EQ(box.find("ReqToCat_WS"), std::string::npos) << box;
  EXPECT_TRUE(Logged("DLL_LOGIC|" + texts::Ansi("ReqToCat_WS 함수 찾기 실패!")));
  EXPECT_EQ(g_bResultSaved, 1) << "a call that ends at binding leaves the flag";
}

TEST_F(Binding, WithoutTheLinkLibrary) {
  UseModules({});
  ::testing::internal::CaptureStderr();
  bool untouched = false;
  DispatchUntouched(Command("STOP"), &untouched);
  const std::string box = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(untouched);
  EXPECT_NE(box.find("Telquin.dll 로드 실패!"), std::string::npos) << box;
  EXPECT_TRUE(Logged("DLL_LOGIC|" + texts::Ansi("Telquin.dll 로드 실패!")));
}

}  // namespace
}  // namespace agent

namespace agent {
namespace {

// What happens across processes: the probe runs the dispatcher in its own.
class DispatcherProcess : public Dispatcher {
 protected:
  int RunProbe(const std::vector<std::string>& args) {
    std::vector<std::string> all = {OVT_MODULE_DIR};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = ovt_test::StartProbe(OVT_DISPATCH_PROBE, all);
    return pid < 0 ? -1 : ovt_test::WaitForExit(pid);
  }
};

TEST_F(DispatcherProcess, LastAfterARestartReturnsTheReplyStoredBefore) {
  {
    Simulator sim(root_, kCom, "answer", {"--answer", "BEFORE"});
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    ASSERT_EQ(Dispatch(Vevu("D1AB")), AnswerReply("BEFORE"));
  }
  const int status = RunProbe({"dispatch", Command("LAST")});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ovt_test::ReadFile(root_.path() + "/probe-reply.txt"), AnswerReply("BEFORE"));
}

// When the file cannot be replaced (here a folder stands where the new
// file would be written; a full disk does the same), the payment's reply
// still reaches the caller and LAST answers it for the rest of the run;
// the older reply in the file is removed, so that an agent started later
// never takes it for the latest.
TEST_F(DispatcherProcess, ReplyThatCannotBeStoredIsNeverShadowedByAnOlderOne) {
  Simulator sim(root_, kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string first = Dispatch(Vevu("D1AA"));
  ASSERT_EQ(Stored(), first);
  fs::create_directory(root_.path() + "/orvaResult.txt.new");

  const std::string second = Dispatch(Vevu("D1BB"));
  EXPECT_NE(second.find("OK:D1BB"), std::string::npos) << second;
  EXPECT_EQ(g_bResultSaved, 0);
  EXPECT_TRUE(Logged("DLL_LOGIC|orvaResult.txt store Fail!"));
  EXPECT_FALSE(fs::exists(root_.path() + "/orvaResult.txt"));
  EXPECT_EQ(Dispatch(Command("LAST")), second);
  EXPECT_TRUE(Logged("DLL_LOGIC|latest reply of this run"));

  const int status = RunProbe({"dispatch", Command("LAST")});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ovt_test::ReadFile(root_.path() + "/probe-reply.txt"),
            "0044VEVU00000032" + texts::Ansi(texts::kNoResultFile));

  // Once the file can be written again, storing goes on as before.
  fs::remove(root_.path() + "/orvaResult.txt.new");
  const std::string third = Dispatch(Vevu("D1CC"));
  EXPECT_EQ(g_bResultSaved, 1);
  EXPECT_EQ(Stored(), third);
  EXPECT_EQ(Dispatch(Command("LAST")), third);
}

TEST_F(DispatcherProcess, RrunStartsAFreshAgentAndEndsTheOldOne) {
  ::testing::internal::CaptureStderr();
  const int status = RunProbe({"dispatch", Command("RRUN")});
  const std::string boxes = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), platform::TerminationStatus());
  EXPECT_NE(boxes.find(std::string(texts::kRestartRequested)), std::string::npos) << boxes;
  // The old agent ended before it could deliver the reply.
  EXPECT_FALSE(fs::exists(root_.path() + "/probe-reply.txt"));
  ASSERT_TRUE(ovt_test::WaitForFile(root_.path() + "/probe-restarted.txt"));
  EXPECT_NE(ovt_test::ReadFile(root_.path() + "/probe-restarted.txt").find(" --Restart"),
            std::string::npos);
  EXPECT_TRUE(Logged("DLL_LOGIC|RESTART"));
  EXPECT_FALSE(Logged("DLL_LOGIC|RESTART Fail"));
}

TEST_F(DispatcherProcess, TheStoredReplySurvivesAKillAtAnyMoment) {
  const std::string a = "0020VEVU00000008\x02" "SHORT1\x03";
  const std::string b = "0030VEVU00000018\x02" "A LONGER ANSWER\x03";
  for (int round = 0; round < 20; ++round) {
    const pid_t pid = ovt_test::StartProbe(OVT_DISPATCH_PROBE, {OVT_MODULE_DIR, "store-loop"});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
    kill(pid, SIGKILL);
    ovt_test::WaitForExit(pid);
    if (!fs::exists(root_.path() + "/orvaResult.txt")) continue;  // killed before the first
    const std::string stored = Stored();
    EXPECT_TRUE(stored == a || stored == b) << "round " << round << ": [" << stored << "]";
  }
}

}  // namespace
}  // namespace agent
