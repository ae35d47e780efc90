// Smoke test of the Windows build of Telquin.dll, run under Wine by
// run-smoke.sh. It uses the library the way the agent does: loaded by file
// name, every export bound by its plain name.
//
//   smoke.exe [--terminal=N] <signature fixture directory> <fixture name>...
//
// For each fixture name, <name>.txt holds a signature text (one line) and
// <name>.bmp the bitmap that SetBmpFile must write for it. With --terminal,
// COMN is a line to fake_terminal.py playing the scenarios "answer answer
// cancel", and the exchanges over a real (pseudo) serial line are checked.
//
// Prints one line per check and ends with "N passed, M failed"; the exit
// code is 1 when any check failed.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Telquin.h"

#include "check.h"

namespace {

using wine_check::Check;

bool ReadWholeFile(const std::string& path, std::string* content) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  content->clear();
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content->append(chunk, n);
  std::fclose(file);
  return true;
}

// Calls the function at `fn` with `count` 32-bit arguments pushed right to
// left, the way a caller does, and measures how many bytes of arguments
// the function itself removed from the stack: 4 x count for the callee-cleans
// convention, 0 for the plain C one. A mismatch with what the agent's
// pointer types assume would corrupt the agent's stack, so it is checked at
// the machine level. `result` receives the function's return value.
extern "C" uint32_t CalleePoppedBytes(const void* fn, const uint32_t* args,
                                      uint32_t count, uint32_t* result);
asm(R"(
    .text
    .globl _CalleePoppedBytes
_CalleePoppedBytes:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
    movl  %esp, %edi
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  call  *8(%ebp)
    movl  20(%ebp), %ecx
    movl  %eax, (%ecx)
    movl  %esp, %eax
    subl  %edi, %eax
    movl  16(%ebp), %ecx
    leal  (%eax,%ecx,4), %eax
    movl  %edi, %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

uint32_t Arg(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
uint32_t Arg(int value) { return static_cast<uint32_t>(value); }

struct Exports {
  ReqToCat_WS_fn req_to_cat_ws = nullptr;
  ReqToCat_fn req_to_cat = nullptr;
  ReqStop_fn req_stop = nullptr;
  SetBmpFile_fn set_bmp_file = nullptr;
  base64e_fn base64e = nullptr;
  base64d_fn base64d = nullptr;
};

template <typename Fn>
void Bind(HMODULE library, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  Check(*fn != nullptr, std::string("GetProcAddress ") + name);
}

void CheckVersionResource(HMODULE library) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(library, path, MAX_PATH);
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &unused);
  std::vector<char> info(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  const bool found = size > 0 && GetFileVersionInfoA(path, 0, size, info.data()) &&
                     VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed),
                                    &fixed_size) &&
                     fixed_size >= sizeof(VS_FIXEDFILEINFO);
  Check(found && fixed->dwFileVersionMS == MAKELONG(7, 22) &&
            fixed->dwFileVersionLS == MAKELONG(1, 13),
        "version resource: file version 22.7.13.1");
  Check(found && fixed->dwProductVersionMS == MAKELONG(0, 4) &&
            fixed->dwProductVersionLS == MAKELONG(4, 0),
        "version resource: product version 4.0.0.4");
}

void CheckCallingConventions(const Exports& x) {
  char out[64];
  uint32_t result = 0;
  const uint32_t encode[] = {Arg("foo"), Arg(out), Arg(3)};
  Check(CalleePoppedBytes(reinterpret_cast<const void*>(x.base64e), encode, 3, &result) == 12,
        "base64e removes its 12 bytes of arguments");
  const uint32_t decode[] = {Arg("Zm9v"), Arg(out)};
  Check(CalleePoppedBytes(reinterpret_cast<const void*>(x.base64d), decode, 2, &result) == 8 &&
            result == 4,
        "base64d removes its 8 bytes of arguments");
  // The length does not match the text: -3 before any file is touched.
  const uint32_t sign[] = {Arg("0000310012"), Arg(9), Arg("C:\\smoke\\never.bmp")};
  Check(CalleePoppedBytes(reinterpret_cast<const void*>(x.set_bmp_file), sign, 3, &result) ==
                12 &&
            static_cast<int>(result) == -3,
        "SetBmpFile removes its 12 bytes of arguments (and returns -3 for a wrong length)");
  Check(GetFileAttributesA("C:\\smoke\\never.bmp") == INVALID_FILE_ATTRIBUTES,
        "SetBmpFile with a wrong length writes no file");
}

void CheckBase64(const Exports& x) {
  // RFC 4648, section 10.
  const struct {
    const char* plain;
    const char* encoded;
  } kVectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                  {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                  {"foobar", "Zm9vYmFy"}};
  for (const auto& v : kVectors) {
    char out[32];
    std::memset(out, '#', sizeof out);
    const size_t n = std::strlen(v.encoded);
    x.base64e(v.plain, out, static_cast<int>(std::strlen(v.plain)));
    Check(std::memcmp(out, v.encoded, n) == 0 && out[n] == '#',
          std::string("base64e(\"") + v.plain + "\") = \"" + v.encoded + "\", nothing after");

    std::memset(out, '#', sizeof out);
    const int processed = x.base64d(v.encoded, out);
    // Three bytes per group of four; padding positions decode to 0.
    std::string expected = v.plain;
    expected.resize((n / 4) * 3, '\0');
    Check(processed == static_cast<int>(n) && std::string(out, expected.size()) == expected &&
              out[expected.size()] == '#',
          std::string("base64d(\"") + v.encoded + "\") returns " + std::to_string(n) +
              " and writes " + std::to_string(expected.size()) + " bytes");
  }

  char out[16];
  std::memset(out, '#', sizeof out);
  x.base64e("abc", out, -1);
  Check(out[0] == '#', "base64e of a negative length writes nothing");

  // All 256 byte values, with the high ones that a signed char would turn
  // negative.
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(255 - i);
  std::string encoded(4 * 86 + 1, '#');
  x.base64e(all.data(), &encoded[0], 256);
  Check(encoded.compare(0, 8, "//79/Pv6") == 0 && encoded[4 * 86 - 2] == '=' &&
            encoded[4 * 86 - 1] == '=' && encoded[4 * 86] == '#',
        "base64e of the 256 byte values 255..0");
  encoded.resize(4 * 86);
  std::string decoded(3 * 86 + 1, '#');
  const int processed = x.base64d(encoded.c_str(), &decoded[0]);
  Check(processed == 4 * 86 && decoded.compare(0, 256, all) == 0 && decoded[256] == '\0' &&
            decoded[257] == '\0' && decoded[258] == '#',
        "base64d round trip of the 256 byte values");
}

std::string Today(const char* format) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[64];
  std::snprintf(text, sizeof text, format, now.wYear, now.wMonth, now.wDay);
  return text;
}

void CheckSignatureFixtures(const Exports& x, const std::string& dir,
                            const std::vector<std::string>& names) {
  Check(!names.empty(), "signature fixtures given");
  CreateDirectoryA("C:\\smoke", nullptr);
  CreateDirectoryA("C:\\smoke\\out", nullptr);
  for (const std::string& name : names) {
    std::string text, expected;
    const bool have = ReadWholeFile(dir + "\\" + name + ".txt", &text) &&
                      ReadWholeFile(dir + "\\" + name + ".bmp", &expected);
    Check(have, "fixture " + name + " readable");
    if (!have) continue;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();

    const std::string out = "C:\\smoke\\out\\" + name + ".bmp";
    const int rc = x.set_bmp_file(text.c_str(), static_cast<int>(text.size()), out.c_str());
    std::string written;
    const bool same = ReadWholeFile(out, &written) && written == expected;
    Check(rc == 1 && same, "SetBmpFile " + name + ": returns 1, file equals " + name +
                               ".bmp byte for byte (" + std::to_string(rc) + ", " +
                               std::to_string(written.size()) + " bytes)");
  }

  // An empty path means Signdata.bmp in the current directory.
  std::string text, expected, written;
  if (ReadWholeFile(dir + "\\dot_top_left.txt", &text) &&
      ReadWholeFile(dir + "\\dot_top_left.bmp", &expected)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    DeleteFileA("Signdata.bmp");
    const int rc = x.set_bmp_file(text.c_str(), static_cast<int>(text.size()), "");
    Check(rc == 1 && ReadWholeFile("Signdata.bmp", &written) && written == expected,
          "SetBmpFile with an empty path writes Signdata.bmp in the current directory");
  }
}

// A link log line without its time stamp.
std::string LogLine(int number, const char* name, const char* text) {
  char line[128];
  std::snprintf(line, sizeof line, "[%06d] [%-17s] [%s]\r\n", number, name, text);
  return line;
}

void CheckMissingPort(const Exports& x) {
  const std::string log_before = Today("C:\\ORVAlog\\%04d%02d%02d.log");
  char response[TELQUIN_RESPONSE_SIZE];
  std::memset(response, 0x5A, sizeof response);
  uint32_t result = 0;
  const uint32_t args[] = {Arg(77), Arg(9600), Arg("ABC"), Arg(response), Arg(1)};
  const DWORD start = GetTickCount();
  const uint32_t popped =
      CalleePoppedBytes(reinterpret_cast<const void*>(x.req_to_cat_ws), args, 5, &result);
  const DWORD took = GetTickCount() - start;
  Check(static_cast<int>(result) == -1,
        "ReqToCat_WS(77, 9600, \"ABC\") on a missing port returns -1 (got " +
            std::to_string(static_cast<int>(result)) + ")");
  Check(popped == 20, "ReqToCat_WS removes its 20 bytes of arguments");
  bool untouched = true;
  for (char c : response) untouched = untouched && c == 0x5A;
  Check(untouched, "ReqToCat_WS leaves the response buffer alone on -1");
  // No port was opened, so no Close_Port second is spent.
  Check(took < 1000, "ReqToCat_WS fails at once (" + std::to_string(took) + " ms)");

  std::string log;
  const std::string log_path = Today("C:\\ORVAlog\\%04d%02d%02d.log");
  const bool found = ReadWholeFile(log_path, &log) ||
                     (log_before != log_path && ReadWholeFile(log_before, &log));
  Check(found, "link log " + log_path + " exists");
  Check(log.find(LogLine(77, "ERROR", "-1 port open error!")) != std::string::npos,
        "link log holds the port's \"-1 port open error!\" line");
  Check(log.find(LogLine(9999, "Return", "-1")) != std::string::npos,
        "link log holds the \"Return\" line with -1");
  Check(log.find(LogLine(1, "DLLVER", "4.0.0.4")) != std::string::npos &&
            log.find(LogLine(1, "SenBuf", "ABC")) != std::string::npos,
        "link log holds the DLLVER and SenBuf lines");

  // ReqToCat: the same path with its fixed ack time-out and 16 bytes.
  const uint32_t args4[] = {Arg(78), Arg(9600), Arg("ABC"), Arg(response)};
  const uint32_t popped4 =
      CalleePoppedBytes(reinterpret_cast<const void*>(x.req_to_cat), args4, 4, &result);
  Check(static_cast<int>(result) == -1 && popped4 == 16,
        "ReqToCat(78, ...) on a missing port returns -1 and removes its 16 bytes");
}

void CheckReqStop(const Exports& x) {
  uint32_t result = 0;
  const DWORD start = GetTickCount();
  const uint32_t popped =
      CalleePoppedBytes(reinterpret_cast<const void*>(x.req_stop), nullptr, 0, &result);
  const DWORD took = GetTickCount() - start;
  Check(result == 1 && popped == 0,
        "ReqStop without an exchange returns 1, plain C convention (" + std::to_string(took) +
            " ms)");
}

// The other thread of the cancel check: while the exchange waits for the
// answer, a second exchange is refused, then ReqStop cancels the first.
struct Interloper {
  const Exports* x;
  int port;
  int second_result = 0;
  bool second_untouched = false;
  int stop_result = 0;
};

DWORD WINAPI Interfere(LPVOID parameter) {
  auto* it = static_cast<Interloper*>(parameter);
  Sleep(300);
  char response[TELQUIN_RESPONSE_SIZE];
  std::memset(response, 0x5A, sizeof response);
  it->second_result = it->x->req_to_cat_ws(it->port, 9600, "ABC", response, 3);
  it->second_untouched = true;
  for (char c : response) it->second_untouched = it->second_untouched && c == 0x5A;
  Sleep(400);
  it->stop_result = it->x->req_stop();
  return 0;
}

// Exclusive use of the port is not checked here: Wine does not apply the
// sharing mode to serial devices, so a second open succeeds under Wine.
void CheckExchanges(const Exports& x, int port) {
  const std::string label = "COM" + std::to_string(port);
  char response[TELQUIN_RESPONSE_SIZE];

  // Twice: the first exchange must give the port back whole.
  for (int round = 1; round <= 2; ++round) {
    std::memset(response, 0x5A, sizeof response);
    const DWORD start = GetTickCount();
    const int rc = x.req_to_cat_ws(port, 9600, "ABC", response, 3);
    const DWORD took = GetTickCount() - start;
    const std::string tag = "exchange " + std::to_string(round) + " on " + label;
    Check(rc == 1, tag + " returns 1 (got " + std::to_string(rc) + ")");
    Check(std::memcmp(response, "\x02OK\x03", 5) == 0,
          tag + ": the response is STX \"OK\" ETX NUL");
    // The second of Close_Port, no more: the reader thread woke at once
    // when the port was closed.
    Check(took < 3000, tag + " takes " + std::to_string(took) + " ms (< 3000)");
  }

  Interloper it{&x, port};
  HANDLE other = CreateThread(nullptr, 0, Interfere, &it, 0, nullptr);
  const DWORD start = GetTickCount();
  const int rc = x.req_to_cat_ws(port, 9600, "ABC", response, 3);
  const DWORD took = GetTickCount() - start;
  WaitForSingleObject(other, 10000);
  CloseHandle(other);
  Check(it.second_result == -2 && it.second_untouched,
        "a second exchange during the first returns -2 and leaves its buffer alone (got " +
            std::to_string(it.second_result) + ")");
  Check(rc == -4 && it.stop_result == 1,
        "ReqStop from another thread ends the exchange with -4 (got " + std::to_string(rc) +
            ", ReqStop " + std::to_string(it.stop_result) + ", " + std::to_string(took) +
            " ms)");
  Check(took < 10000, "the cancelled exchange ends within 10 s");
}

}  // namespace

int main(int argc, char** argv) {
  int terminal_port = 0;
  int first = 1;
  if (argc > first && std::strncmp(argv[first], "--terminal=", 11) == 0) {
    terminal_port = std::atoi(argv[first] + 11);
    ++first;
  }
  if (argc <= first) {
    std::fprintf(stderr,
                 "usage: smoke.exe [--terminal=N] <signature fixture dir> <fixture name>...\n");
    return 2;
  }
  const std::string fixture_dir = argv[first];
  const std::vector<std::string> fixture_names(argv + first + 1, argv + argc);

  HMODULE library = LoadLibraryA("Telquin.dll");
  Check(library != nullptr, "LoadLibraryA(\"Telquin.dll\") (error " +
                                std::to_string(library ? 0 : GetLastError()) + ")");
  if (library == nullptr) {
    wine_check::Summary();
    return 1;
  }

  Exports x;
  Bind(library, "ReqToCat_WS", &x.req_to_cat_ws);
  Bind(library, "ReqToCat", &x.req_to_cat);
  Bind(library, "ReqStop", &x.req_stop);
  Bind(library, "SetBmpFile", &x.set_bmp_file);
  Bind(library, "base64e", &x.base64e);
  Bind(library, "base64d", &x.base64d);
  Check(GetProcAddress(library, "_ReqToCat_WS@20") == nullptr &&
            GetProcAddress(library, "ReqToCat_WS@20") == nullptr,
        "no decorated export names");
  CheckVersionResource(library);

  if (x.req_to_cat_ws && x.req_to_cat && x.req_stop && x.set_bmp_file && x.base64e &&
      x.base64d) {
    CheckCallingConventions(x);
    CheckBase64(x);
    CheckSignatureFixtures(x, fixture_dir, fixture_names);
    CheckMissingPort(x);
    CheckReqStop(x);
    if (terminal_port > 0) CheckExchanges(x, terminal_port);
  }

  Check(FreeLibrary(library) != FALSE, "FreeLibrary");
  return wine_check::Summary();
}
