// One exchange with the card terminal through the link library, bound by
// name at run time as the agent binds it:
//
//   telquin_demo [--library PATH] [--com N] [--baud B] [--ack S] [REQUEST]
//
// Prints the result code, the terminal's answer and where the day's link
// log is. The answer's text is in code page 949; it is shown converted to
// UTF-8 beside its bytes.
#include <dlfcn.h>
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Telquin.h"
#include "platform/files.h"
#include "platform/serial.h"

namespace {

const char* Meaning(int code) {
  switch (code) {
    case 1: return "answer received and acknowledged";
    case 0: return "answer started but did not complete in time";
    case -1: return "port could not be opened";
    case -2: return "another exchange is running";
    case -3: return "no acknowledgement from the terminal";
    case -4: return "terminal cancelled, refused or did not answer";
    default: return "unknown";
  }
}

std::string Cp949ToUtf8(const std::string& in) {
  iconv_t cd = iconv_open("UTF-8", "CP949");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out(in.size() * 3 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  while (src_left > 0) {
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1)) {
      if (dst_left == 0) break;
      *dst++ = '?';  // a byte the code page does not know
      --dst_left;
      ++src;
      --src_left;
    }
  }
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

std::string Printable(const std::string& bytes) {
  std::string s;
  for (unsigned char c : bytes) {
    if (c == 0x02) s += "<STX>";
    else if (c == 0x03) s += "<ETX>";
    else if (c < 0x20) { char hex[8]; std::snprintf(hex, sizeof hex, "<%02X>", c); s += hex; }
    else s += static_cast<char>(c);
  }
  return s;
}

std::string DefaultLibrary(const char* argv0) {
  std::string dir = argv0;
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  return dir + "/../../bin/libTelquin.so";
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = DefaultLibrary(argv[0]);
  int com = 5, baud = 115200, ack = 5;
  std::string request = "0200PAY0000001000";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--library") library = value();
    else if (arg == "--com") com = std::atoi(value());
    else if (arg == "--baud") baud = std::atoi(value());
    else if (arg == "--ack") ack = std::atoi(value());
    else request = arg;
  }

  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", library.c_str(), dlerror());
    return 1;
  }
  auto exchange = reinterpret_cast<ReqToCat_WS_fn>(dlsym(module, "ReqToCat_WS"));
  if (exchange == nullptr) {
    std::fprintf(stderr, "ReqToCat_WS not found in %s\n", library.c_str());
    return 1;
  }

  const std::string port = "COM" + std::to_string(com);
  std::printf("exchange on %s (%s) at %d baud\n", port.c_str(),
              platform::ResolveSerialDevice(port).c_str(), baud);
  std::printf("request : %s\n", request.c_str());
  char response[TELQUIN_RESPONSE_SIZE] = {};
  const int code = exchange(com, baud, request.c_str(), response, ack);
  std::printf("result  : %d (%s)\n", code, Meaning(code));
  if (code == 1) {
    const std::string answer = response;
    std::printf("answer  : %s\n", Printable(Cp949ToUtf8(answer)).c_str());
    std::printf("bytes   :");
    for (unsigned char c : answer) std::printf(" %02X", c);
    std::printf("\n");
  }
  const std::time_t now = std::time(nullptr);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
  std::printf("log     : %s\n",
              platform::DataPath(std::string("C:\\ORVAlog\\") + day + ".log").c_str());
  dlclose(module);
  return code == 1 ? 0 : 1;
}
