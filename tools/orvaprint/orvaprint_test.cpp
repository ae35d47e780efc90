// The print-component stand-in, loaded from its built file by path as the
// agent loads it by name, and driven against catsim playing a receipt
// printer on a pseudo-terminal: what reaches the line, byte for byte, and
// each failure's result.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OrvaPrint.h"
#include "platform/serial.h"
#include "support/simulator.h"
#include "support/temp_root.h"

#ifndef OVT_ORVAPRINT_SO
#error "OVT_ORVAPRINT_SO must name the built print component"
#endif
#ifndef OVT_NM
#error "OVT_NM must name the nm program"
#endif

namespace {

using ovt_test::Simulator;
using ovt_test::TempRoot;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr int kBaud = 9600;
constexpr milliseconds kArrival(5000);
// How long a test listens for bytes that must not come.
constexpr milliseconds kQuiet(200);

// "영수증 합계 12,000원" in code page 949, as the agent hands it over.
const std::string kKoreanReceipt =
    "\xBF\xB5\xBC\xF6\xC1\xF5 \xC7\xD5\xB0\xE8 12,000\xBF\xF8";
// "카드 결제 감사합니다".
const std::string kKoreanThanks =
    "\xC4\xAB\xB5\xE5 \xB0\xE1\xC1\xA6 \xB0\xA8\xBB\xE7\xC7\xD5\xB4\xCF\xB4\xD9";

// The library, opened once for the whole program and bound by name.
class Component {
 public:
  static Component& Get() {
    static Component component;
    return component;
  }
  void* handle() const { return handle_; }
  Orva_Print_fn print() const { return print_; }
  const std::string& error() const { return error_; }

 private:
  Component() {
    handle_ = ::dlopen(OVT_ORVAPRINT_SO, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      error_ = ::dlerror();
      return;
    }
    print_ = reinterpret_cast<Orva_Print_fn>(::dlsym(handle_, "Orva_Print"));
    if (print_ == nullptr) error_ = ::dlerror();
  }
  ~Component() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  void* handle_ = nullptr;
  Orva_Print_fn print_ = nullptr;
  std::string error_;
};

// The job as the printer must receive it: ESC @, the text, LF LF LF, GS V 1.
Bytes Job(const std::string& text) {
  static constexpr uint8_t kHead[] = {0x1B, 0x40};
  static constexpr uint8_t kTail[] = {0x0A, 0x0A, 0x0A, 0x1D, 0x56, 0x01};
  Bytes job;
  job.reserve(sizeof kHead + text.size() + sizeof kTail);
  job.insert(job.end(), std::begin(kHead), std::end(kHead));
  job.insert(job.end(), text.begin(), text.end());
  job.insert(job.end(), std::begin(kTail), std::end(kTail));
  return job;
}

// Every byte value in turn, `size` bytes.
std::string AllByteValues(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(i & 0xFF);
  return text;
}

// The port name the link library uses for a number.
std::string PortName(int port) {
  return port < 10 ? "COM" + std::to_string(port) : "\\\\.\\COM" + std::to_string(port);
}

// A command's standard output; `status` gets its exit status.
std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// The symbol names of `nm` output lines ("<address> <type> <name>[@version]").
std::vector<std::string> SymbolNames(const std::string& nm_output) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < nm_output.size()) {
    size_t end = nm_output.find('\n', start);
    if (end == std::string::npos) end = nm_output.size();
    const std::string line = nm_output.substr(start, end - start);
    start = end + 1;
    const size_t blank = line.rfind(' ');
    if (blank == std::string::npos) continue;
    std::string name = line.substr(blank + 1);
    name = name.substr(0, name.find('@'));
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

class OrvaPrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    print_ = Component::Get().print();
    ASSERT_NE(print_, nullptr) << OVT_ORVAPRINT_SO << ": " << Component::Get().error();
  }

  TempRoot root_;
  Orva_Print_fn print_ = nullptr;
};

// ---------------------------------------------------------------- printing

struct Printed {
  const char* name;
  int port;
  int baud;
  std::string buffer;  // what the caller's pointer points at
  int length;          // what the caller says counts; -1: all of `buffer`
  bool null_text = false;
};

void PrintTo(const Printed& p, std::ostream* os) { *os << p.name; }

class Prints : public OrvaPrintTest, public ::testing::WithParamInterface<Printed> {};

TEST_P(Prints, OneJobArrivesByteForByteAndThePortIsFreeAfterwards) {
  const Printed& p = GetParam();
  Simulator sim(root_, p.port, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const int length = p.length < 0 ? static_cast<int>(p.buffer.size()) : p.length;
  const char* text = p.null_text ? nullptr : p.buffer.data();

  ASSERT_EQ(print_(p.port, p.baud, text, length), ORVAPRINT_OK);

  const Bytes expected = Job(p.buffer.substr(0, static_cast<size_t>(length)));
  ASSERT_TRUE(sim.WaitForReceived(expected.size(), kArrival));
  sim.WaitForReceived(expected.size() + 1, kQuiet);  // nothing more may come
  EXPECT_EQ(sim.Received(), expected);
  EXPECT_TRUE(sim.Sent().empty());

  // Closed before it returned: the device can be had exclusively again.
  platform::SystemError error;
  EXPECT_NE(platform::OpenSerialPort(PortName(p.port), {kBaud, 8, 0, 0}, &error), nullptr)
      << error.text;
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, Prints,
    ::testing::Values(
        Printed{"KoreanOnCom5", 5, kBaud, kKoreanReceipt, -1},
        Printed{"KoreanOnCom9LastShortName", 9, 115200, kKoreanThanks, -1},
        // From 10 on the port is named "\\.\COM<n>".
        Printed{"Com10FirstDeviceName", 10, kBaud, kKoreanThanks, -1},
        Printed{"Com12DeviceName", 12, 19200, kKoreanReceipt + "\n" + kKoreanThanks, -1},
        // The length counts, not a NUL: bytes after it stay home, a NUL and
        // control bytes inside it go out unchanged.
        Printed{"LengthNotNulCounts", 5, kBaud, std::string("A\0B\x02\x03\x1B" "C|rest", 12), 7},
        Printed{"EmptyTextWithoutPointer", 5, kBaud, "", 0, true},
        Printed{"LargestJobEveryByteValue", 5, 115200, AllByteValues(ORVAPRINT_MAX_TEXT), -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrvaPrintTest, JobsInARowEachOpenAndCloseThePort) {
  Simulator sim(root_, 3, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(print_(3, kBaud, kKoreanReceipt.data(), static_cast<int>(kKoreanReceipt.size())),
            ORVAPRINT_OK);
  ASSERT_TRUE(sim.WaitForReceived(Job(kKoreanReceipt).size(), kArrival));
  ASSERT_EQ(print_(3, kBaud, kKoreanThanks.data(), static_cast<int>(kKoreanThanks.size())),
            ORVAPRINT_OK);
  Bytes both = Job(kKoreanReceipt);
  const Bytes second = Job(kKoreanThanks);
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(sim.WaitForReceived(both.size(), kArrival));
  EXPECT_EQ(sim.Received(), both);
}

// ---------------------------------------------------------------- failures

// A line whose output is stopped (as a printer's flow control stops it)
// takes no byte: the write runs out of time and nothing is printed.
TEST_F(OrvaPrintTest, WriteThatCannotCompleteGivesWriteError) {
  Simulator sim(root_, 6, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  // Output flow belongs to the device, so stopping it on a descriptor of our
  // own stops the component's writes too.
  const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::tcflow(fd, TCOOFF), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(print_(6, kBaud, kKoreanReceipt.data(), static_cast<int>(kKoreanReceipt.size())),
            ORVAPRINT_WRITE_ERROR);
  // The port's write time, not a hang.
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(3000));
  ASSERT_EQ(::tcflow(fd, TCOON), 0);
  ::close(fd);

  // Nothing of the failed job is left to come out later, and the port is
  // free for the next one.
  ASSERT_EQ(print_(6, kBaud, kKoreanThanks.data(), static_cast<int>(kKoreanThanks.size())),
            ORVAPRINT_OK);
  ASSERT_TRUE(sim.WaitForReceived(Job(kKoreanThanks).size(), kArrival));
  sim.WaitForReceived(Job(kKoreanThanks).size() + 1, kQuiet);
  EXPECT_EQ(sim.Received(), Job(kKoreanThanks));
}

enum class Line {
  kPrinter,       // catsim prints on the port
  kHeld,          // catsim --hold: another program owns the device
  kDanglingLink,  // the port's link points at nothing
  kNone,          // nothing set up for the port
};

struct Refused {
  const char* name;
  Line line;
  int port;
  int baud;
  int length;
  bool null_text;
  int result;
};

void PrintTo(const Refused& r, std::ostream* os) { *os << r.name; }

class Refuses : public OrvaPrintTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(Refuses, WithItsResultAndNothingOnTheLine) {
  const Refused& r = GetParam();
  std::unique_ptr<Simulator> sim;
  if (r.line == Line::kPrinter || r.line == Line::kHeld) {
    sim = std::make_unique<Simulator>(root_, r.port, "printer",
                                      r.line == Line::kHeld ? std::vector<std::string>{"--hold"}
                                                            : std::vector<std::string>{});
    ASSERT_TRUE(sim->Ready()) << sim->Error();
  } else if (r.line == Line::kDanglingLink) {
    const std::filesystem::path dir = std::filesystem::path(root_.path()) / "dosdevices";
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(dir / "no-such-device",
                                    dir / ("com" + std::to_string(r.port)));
  }
  // A real buffer behind the pointer even where the length is refused, so a
  // component that read it anyway would not go unnoticed by the sanitizer
  // only by luck.
  const std::string text = AllByteValues(ORVAPRINT_MAX_TEXT + 16);
  EXPECT_EQ(print_(r.port, r.baud, r.null_text ? nullptr : text.data(), r.length), r.result);

  if (sim) {
    // Whatever the call wrote was on the line before it returned.
    EXPECT_FALSE(sim->WaitForReceived(1, kQuiet));
    EXPECT_TRUE(sim->Received().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Refuses,
    ::testing::Values(
        Refused{"LinkToAMissingDevice", Line::kDanglingLink, 5, kBaud, 4, false,
                ORVAPRINT_PORT_ERROR},
        // Beyond the fixed device table there is no device at all.
        Refused{"NumberWithoutADevice", Line::kNone, 200, kBaud, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"PortZero", Line::kNone, 0, kBaud, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"NegativePort", Line::kNone, -1, kBaud, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"HeldByAnotherProgram", Line::kHeld, 5, kBaud, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"BaudZero", Line::kPrinter, 5, 0, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"BaudNegative", Line::kPrinter, 5, -9600, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"BaudNotALineRate", Line::kPrinter, 5, 12345, 4, false, ORVAPRINT_PORT_ERROR},
        Refused{"NegativeLength", Line::kPrinter, 5, kBaud, -1, false, ORVAPRINT_BAD_ARGUMENTS},
        Refused{"NullTextWithALength", Line::kPrinter, 5, kBaud, 4, true,
                ORVAPRINT_BAD_ARGUMENTS},
        Refused{"JobOverTheLimit", Line::kPrinter, 5, kBaud, ORVAPRINT_MAX_TEXT + 1, false,
                ORVAPRINT_BAD_ARGUMENTS},
        // The arguments are judged before the port is looked for.
        Refused{"NegativeLengthOnAMissingPort", Line::kNone, 200, kBaud, -5, false,
                ORVAPRINT_BAD_ARGUMENTS}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- exports

TEST(OrvaPrintExports, OnlyOrvaPrintLeavesTheLibrary) {
  const std::string nm = std::string(OVT_NM) + " --defined-only ";
  const std::string library = "'" OVT_ORVAPRINT_SO "'";
  int status = -1;
  std::vector<std::string> exported;
  for (const std::string& name : SymbolNames(RunCommand(nm + "-D " + library, &status))) {
    // Sanitizer runtime hooks and the loader's own entries are not ours.
    if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
        name.rfind("__tsan", 0) == 0 || name.rfind("__lsan", 0) == 0 ||
        name.rfind("__sanitizer", 0) == 0 || name == "_init" || name == "_fini") {
      continue;
    }
    exported.push_back(name);
  }
  ASSERT_EQ(status, 0);
  EXPECT_EQ(exported, std::vector<std::string>{"Orva_Print"});

  // The platform layer is linked in, but none of it can be bound by name.
  const std::vector<std::string> all = SymbolNames(RunCommand(nm + library, &status));
  ASSERT_EQ(status, 0);
  const auto inside = std::find_if(all.begin(), all.end(), [](const std::string& n) {
    return n.find("OpenSerialPort") != std::string::npos;
  });
  ASSERT_NE(inside, all.end());
  void* handle = Component::Get().handle();
  ASSERT_NE(handle, nullptr) << Component::Get().error();
  EXPECT_EQ(::dlsym(handle, inside->c_str()), nullptr) << *inside;
  EXPECT_NE(::dlsym(handle, "Orva_Print"), nullptr);
}

}  // namespace
