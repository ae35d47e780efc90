// The library's exports. One call of ReqToCat_WS or ReqToCat is one whole
// exchange on the caller's thread; every step goes to the link log.
#include <cstdio>
#include <cstring>
#include <string>

#include "Telquin.h"
#include "app.h"
#include "base64.h"
#include "link_log.h"
#include "link_timing.h"
#include "platform/clock.h"
#include "sign_bmp.h"

namespace telquin {
namespace {

constexpr const char* kDllVer = "4.0.0.4";
constexpr const char* kDllDate = "22.7.13.1";
constexpr int kReqToCatAckSeconds = 3;
constexpr int kProgress = 1;
constexpr int kReturn = 9999;
const std::string kRule(63, '=');

void Progress(const char* name, const char* text) { WriteLinkLog(kProgress, name, text); }

std::string Decimal(int value) { return std::to_string(value); }

std::string PortName(int port) {
  char name[32];
  std::snprintf(name, sizeof name, port < 10 ? "COM%d" : "\\\\.\\COM%d", port);
  return name;
}

// The "RecvMsg Length" and receive-buffer lines of a finished exchange.
void LogReceived(CCatComm& cat, int count, const char* label) {
  char length[32];
  std::snprintf(length, sizeof length, "Length [%d]", count);
  Progress("RecvMsg Length", length);
  Progress(label, cat.State().m_szRecvMsg.CString().c_str());
}

// Releases the exchange claim and the hot keys on every way out.
class ExchangeScope {
 public:
  explicit ExchangeScope(CTelquinApp& app) : app_(app) {}
  ~ExchangeScope() {
    app_.UnregisterHotKeys();
    if (claimed_) app_.m_CatComm.ReleaseExchange();
  }
  void Claimed() { claimed_ = true; }

 private:
  CTelquinApp& app_;
  bool claimed_ = false;
};

int Fail(int port, const char* error, int code) {
  WriteLinkLog(port, "ERROR", error);
  WriteLinkLog(kReturn, "Return", Decimal(code).c_str());
  return code;
}

// Requests the terminal could not be sent whole, or that cannot be read at
// all, are refused before the port is touched.
const char* RequestProblem(const char* request, const char* response) {
  if (request == nullptr || response == nullptr) return "-1 null argument!";
  const size_t limit = IsRawCommand(request) ? kMaxRawText : kMaxFramedText;
  if (std::strlen(request) > limit) return "-1 request too long!";
  return nullptr;
}

void SendFinalEots(CCatComm& cat) {
  cat.send_packet(kEOT, "");
  platform::SleepMs(Timings().eot_spacing_ms);
  cat.send_packet(kEOT, "");
  platform::SleepMs(Timings().eot_spacing_ms);
  cat.send_packet(kEOT, "");
}

// Copies the answer frame, STX through ETX, and a NUL. The search stays
// inside what was received (and inside the buffer).
void CopyAnswer(const RecvState& state, char* response, int count) {
  const int last = count < kRecvMsgSize ? count : kRecvMsgSize - 1;
  int etx = 0;
  while (etx < last && state.m_szRecvMsg.Load(etx) != kETX) ++etx;
  state.m_szRecvMsg.CopyOut(response, etx + 1);
  response[etx + 1] = '\0';
}

int Exchange(const char* function, int port, int baud, const char* request, char* response,
             int ack_seconds) {
  CTelquinApp& app = TheApp();
  CCatComm& cat = app.m_CatComm;
  ExchangeScope scope(app);

  Progress("=========", kRule.c_str());
  Progress("DLLVER", kDllVer);
  Progress("DLLDATE", kDllDate);
  Progress(function, "Start!");
  Progress("Port", Decimal(port).c_str());
  Progress("Baud", Decimal(baud).c_str());
  Progress("SenBuf", request != nullptr ? request : "");
  PurgeOldLinkLogs();
  const std::string port_name = PortName(port);

  Progress("m_bConnected Chk", "Start!");
  if (cat.IsConnected() || !cat.ClaimExchange()) return Fail(port, "-2 m_bConnected == TRUE", -2);
  scope.Claimed();
  Progress("m_bConnected Chk", "OK!");
  cat.State().m_szRecvMsg.Clear();
  Progress("Initial RecvMsg", cat.State().m_szRecvMsg.CString().c_str());
  cat.ResetLink();

  if (const char* problem = RequestProblem(request, response)) return Fail(port, problem, -1);

  Progress("OpenPort Chk", "Start!");
  if (!cat.OpenPort(port_name, baud, 8, 0, 0)) {
    // The system's own reason, for whoever reads the log on site.
    WriteLinkLog(port, "OpenPort", cat.LastOpenError().text.c_str());
    return Fail(port, "-1 port open error!", -1);
  }
  Progress("OpenPort Chk", "OK!");
  Progress("SendMsg", request);
  Progress("send_packet Chk", "Start!");
  cat.send_packet(0, request);
  Progress("send_packet Chk", "OK!");

  Progress("RecvAck Chk", "Start!");
  if (!cat.RecvAck(ack_seconds)) {
    Fail(port, "-3 Ack error!", -3);
    LogReceived(cat, cat.State().m_nRecvLen, "RecvMsg");
    cat.Close_Port();
    return -3;
  }
  Progress("RecvAck Chk", "OK!");
  Progress("*** Chk", "Start!");

  if (IsRawCommand(request)) {
    const int count = cat.State().m_nRecvLen.load(std::memory_order_acquire);
    cat.State().m_szRecvMsg.CopyOut(response, count);
    response[count] = '\0';
    cat.Close_Port();
    LogReceived(cat, count, "RecvMsg");
    return 1;
  }

  cat.send_packet(kACK, "");
  Progress("*** Chk", "NO!");
  Progress("ReadAnal Chk", "Start!");
  const int answer = cat.ReadAnal();
  if (answer < 1) {
    Progress("ReadAnal Chk", "Fail!");
    const int count = cat.State().m_nRecvLen;
    SendFinalEots(cat);
    cat.Close_Port();
    const int code = answer == -1 ? 0 : -4;
    Fail(port, code == 0 ? "0 Time Out!" : "-4 lrc, cancel!", code);
    LogReceived(cat, count, "RecvMsg");
    return code;
  }

  Progress("ReadAnal Chk", "OK!");
  Progress("ETX Chk", "Start!");
  const int count = cat.State().m_nRecvLen.load(std::memory_order_acquire);
  Progress("ETX Chk", "OK!");
  LogReceived(cat, count, "Final RecvMsg");
  CopyAnswer(cat.State(), response, count);
  cat.Close_Port();
  WriteLinkLog(port, "Close_Port", "1 Close OK!");
  WriteLinkLog(kReturn, "Return", "1");
  Progress(function, "End!");
  Progress("=========", kRule.c_str());
  return 1;
}

}  // namespace
}  // namespace telquin

extern "C" {

TELQUIN_EXPORT int TELQUIN_CALL ReqToCat_WS(int port, int baud, const char* request,
                                            char* response, int ack_timeout) {
  return telquin::Exchange("ReqToCat_WS", port, baud, request, response, ack_timeout);
}

TELQUIN_EXPORT int TELQUIN_CALL ReqToCat(int port, int baud, const char* request,
                                         char* response) {
  return telquin::Exchange("ReqToCat", port, baud, request, response,
                           telquin::kReqToCatAckSeconds);
}

TELQUIN_EXPORT int ReqStop(void) {
  telquin::CCatComm& cat = telquin::TheApp().m_CatComm;
  cat.send_packet(telquin::kEOT, "");
  cat.Close_Port();
  return 1;
}

TELQUIN_EXPORT int TELQUIN_CALL SetBmpFile(const char* sign_data, int sign_len,
                                           const char* path) {
  return telquin::WriteSignatureBmp(sign_data, sign_len, path);
}

TELQUIN_EXPORT void TELQUIN_CALL base64e(const char* input, char* output, int length) {
  telquin::Base64Encode(input, output, length);
}

TELQUIN_EXPORT int TELQUIN_CALL base64d(const char* input, char* output) {
  return telquin::Base64Decode(input, output);
}

}  // extern "C"
