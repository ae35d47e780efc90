// The Windows backend's text, profile, module, process and exclusive-append
// functions, run under Wine by run-smoke.sh in C:\smoke, beside
// Telquin.dll.
//
//   platform_win32_test.exe                    the checks
//   platform_win32_test.exe --child <file>     (started by the checks) writes
//                                              its command line to <file>
//   platform_win32_test.exe --terminate        (started by the checks) ends
//                                              through TerminateCurrentProcess
//
// Prints one line per check and ends with "N passed, M failed"; the exit
// code is 1 when any check failed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

#include "check.h"

namespace {

using wine_check::Check;

std::string Hex(const std::string& bytes) {
  std::string out;
  char digits[4];
  for (const char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X ", static_cast<unsigned char>(c));
    out += digits;
  }
  return out;
}

void CheckText() {
  const std::string sentence = "결과데이터 파일을 열수 없습니다.";
  const std::string cp949 = platform::Utf16ToCp949(platform::Utf8ToUtf16(sentence));
  Check(cp949.size() == 32, "the Korean sentence is 32 bytes in code page 949 (" +
                                std::to_string(cp949.size()) + ")");
  Check(platform::Utf16ToUtf8(platform::Cp949ToUtf16(cp949)) == sentence,
        "code page 949 round trip");
  Check(platform::Utf16ToCp949(u"\uC2B9\uC778") == "\xBD\xC2\xC0\xCE", "승인 is BD C2 C0 CE");
  const std::string lacking = platform::Utf16ToCp949(u"a\u0E01b");
  Check(lacking == "a?b", "a character code page 949 lacks becomes '?' (" + Hex(lacking) + ")");
  Check(platform::Utf8ToUtf16("a\xFF" "b") == u"a\uFFFDb", "malformed UTF-8 becomes U+FFFD");
  Check(platform::Utf16ToUtf8(u"\U0001F600") == "\xF0\x9F\x98\x80", "a surrogate pair to UTF-8");
  Check(platform::Utf8ToUtf16("").empty() && platform::Utf16ToCp949(u"").empty(),
        "empty texts stay empty");
}

void CheckProfile() {
  const std::string folder = "C:\\smoke\\OVVarsel";
  const std::string path = folder + "\\OVVARSEL.ini";
  Check(!platform::WriteProfileValue("C:\\smoke\\missing\\x.ini", u"CAT", u"A", u"1") &&
            !platform::DirectoryExists("C:\\smoke\\missing"),
        "a write into a missing folder fails and creates nothing");
  platform::MakeDirectory(folder);
  Check(platform::ReadProfileValue(path, u"HTTP", u"GET", u"N", 64) == u"N",
        "a missing file gives the default");
  Check(platform::WriteProfileValue(path, u"CAT", u"CatComPort", u"3"),
        "a write creates the file");
  Check(platform::ReadProfileValue(path, u"cat", u"CATCOMPORT", u"", 64) == u"3",
        "names match regardless of case");
  const std::u16string seventy(70, u'7');
  platform::WriteProfileValue(path, u"CAT", u"Long", seventy);
  Check(platform::ReadProfileValue(path, u"CAT", u"Long", u"", 64) == seventy.substr(0, 63),
        "a 70-character value read with size 64 gives 63");
  Check(platform::ReadProfileValue(path, u"CAT", u"Long", u"", 0).empty(), "size 0 gives nothing");
  Check(!platform::WriteProfileValue(path, u"CAT", u"A", u"1\r\n[X]"),
        "a value with a line end is refused");
}

void CheckModule() {
  platform::SystemError error;
  auto module = platform::Module::Load("Telquin.dll", &error);
  Check(module != nullptr, "Telquin.dll loads by name from the program's directory (" +
                               error.text + ")");
  if (module) {
    Check(module->Find("ReqToCat_WS") != nullptr, "ReqToCat_WS is found");
    Check(module->Find("NoSuchEntry") == nullptr, "a missing entry is nullptr");
  }
  platform::SystemError missing;
  const bool refused = platform::Module::Load("OvtNoSuchModule.dll", &missing) == nullptr;
  Check(refused && missing.code == ERROR_MOD_NOT_FOUND,
        "a missing library fails with the system's code (" + std::to_string(missing.code) + ": " +
            missing.text + ")");
  Check(platform::ModuleFileName("Telquin.dll") == "Telquin.dll", "file names stay as they are");
}

// Waits for the process and gives its exit code.
DWORD WaitForExit(long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                               static_cast<DWORD>(pid));
  if (process == nullptr) return 0xFFFFFFFF;
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

void CheckProcess() {
  Check(platform::ApplicationName() == "platform_win32_test",
        "the application name is the executable's name (" + platform::ApplicationName() + ")");
  const std::string self = platform::OwnExecutablePath();
  const std::string out = "C:\\smoke\\child command line.txt";
  long pid = 0;
  platform::SystemError error;
  const std::string line = "\"" + self + "\" --child \"" + out + "\"";
  const bool child_started = platform::StartProcess(line, &error, &pid);
  Check(child_started && pid != 0,
        "StartProcess starts a program (" + error.text + ")");
  if (pid != 0) {
    Check(WaitForExit(pid) == 0, "the started program ended well");
    FILE* file = std::fopen(out.c_str(), "rb");
    char text[1024] = {};
    if (file != nullptr) {
      std::fread(text, 1, sizeof text - 1, file);
      std::fclose(file);
    }
    Check(std::string(text) == line,
          "it saw its command line as given (" + std::string(text) + ")");
  }
  platform::SystemError failed;
  const bool started = platform::StartProcess("\"C:\\smoke\\no such program.exe\" x", &failed);
  Check(!started && failed.code == ERROR_FILE_NOT_FOUND,
        "a missing program fails with the system's code (" + std::to_string(failed.code) + ")");

  pid = 0;
  platform::StartProcess("\"" + self + "\" --terminate", &error, &pid);
  const DWORD code = pid != 0 ? WaitForExit(pid) : 0;
  Check(platform::TerminationStatus() == 259 && code == 259,
        "TerminateCurrentProcess ends with STILL_ACTIVE (" + std::to_string(code) + ")");
}

void CheckLock() {
  using Opened = platform::ProcessLock::Opened;
  Opened opened = Opened::kDenied;
  auto held = platform::ProcessLock::Open("OVT_TEST_MUTEX", true, &opened, nullptr);
  Check(held && opened == Opened::kCreated, "a new lock is created and taken");
  auto other = platform::ProcessLock::Open("OVT_TEST_MUTEX", false, &opened, nullptr);
  Check(other && opened == Opened::kExisted, "opened again it existed");
  if (held) held->WaitUntilFree();  // the owner passes at once
  held.reset();
  if (other) other->WaitUntilFree();  // free now
  other.reset();
  auto again = platform::ProcessLock::Open("OVT_TEST_MUTEX", true, &opened, nullptr);
  Check(again && opened == Opened::kCreated, "released, it is created anew");
}

void CheckExclusiveAppend() {
  const std::string path = "C:\\smoke\\exclusive.log";
  HANDLE holder = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  using platform::AppendResult;
  Check(platform::AppendToFileExclusive(path, "lost\r\n", 6) == AppendResult::kHeldByAnother,
        "an exclusive append gives up while another handle holds the file");
  CloseHandle(holder);
  Check(platform::AppendToFileExclusive(path, "one\r\n", 5) == AppendResult::kAppended &&
            platform::AppendToFileExclusive(path, "two\r\n", 5) == AppendResult::kAppended,
        "and succeeds once it is closed");
  Check(platform::AppendToFileExclusive("C:\\smoke\\absent\\x.log", "x", 1) ==
            AppendResult::kFailed,
        "a missing folder is a failure, not another writer's turn");
  FILE* file = std::fopen(path.c_str(), "rb");
  char text[64] = {};
  if (file != nullptr) {
    std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
  }
  Check(std::string(text) == "one\r\ntwo\r\n", "the file holds the two appends");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--child") {
    FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr) return 2;
    const std::string line = platform::OwnCommandLine();
    std::fwrite(line.data(), 1, line.size(), file);
    return std::fclose(file) == 0 ? 0 : 2;
  }
  if (argc == 2 && std::string(argv[1]) == "--terminate") {
    platform::TerminateCurrentProcess();
    return 1;
  }
  CheckText();
  CheckProfile();
  CheckModule();
  CheckProcess();
  CheckLock();
  CheckExclusiveAppend();
  return wine_check::Summary();
}
