// The connection worker: the handshake, one text message for DllLogic,
// the reply frame and the closing frame, with every step in the agent log.
//
// Connection states (the worker ends where the table says "end"):
//
//   From              Event                                    To
//   OPENING           head incomplete, buffer not full         OPENING
//   OPENING           head refused, or buffer full without     end (400 sent)
//                     a complete head
//   OPENING           valid head, resource not "/VEVU"         end (404 sent)
//   OPENING           valid head for "/VEVU"                   NORMAL (101 sent;
//                                                              end if the send fails)
//   NORMAL, CLOSING   frame incomplete, buffer not full        same
//   NORMAL, CLOSING   bad frame, or buffer full without a      CLOSING (closing frame
//                     complete frame                           sent; end if that fails)
//   NORMAL            closing frame                            end (closing frame sent)
//   CLOSING           closing frame                            end
//   NORMAL, CLOSING   text frame                               end (reply frame and
//                                                              closing frame sent)
//   NORMAL, CLOSING   binary, ping or pong frame               end
//   any               peer closed or receive failed            end
//   any               21st pass finished                       end
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "common/browser_reply.h"
#include "common/security.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/dll_logic.h"
#include "dispatcher/last_result.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "websocket/frames.h"
#include "websocket/handshake.h"
#include "websocket/listeners.h"

namespace agent {

std::atomic<int> clientWorker_cnt{0};

namespace {

// 0: the limits of listeners.h; tests set a shorter one.
std::atomic<std::uint32_t> g_test_limit_ms{0};

std::uint32_t Limit(std::uint32_t normal_ms) {
  const std::uint32_t test_ms = g_test_limit_ms;
  return test_ms != 0 ? test_ms : normal_ms;
}

constexpr const char* kLabel = "clientWorker";
constexpr const char* kStartLine = "==========START==========";
constexpr const char* kEndLine = "===========END===========";
constexpr int kMaxPasses = 20;
// Offsets of the payload where a print request carries its command; such a
// payload is logged only as far as kPrintLogLength bytes (its text is the
// customer's receipt).
constexpr std::size_t kPrintCommandOffsets[] = {16, 17, 18};
constexpr std::string_view kPrintCommand = "PRNT";
constexpr std::size_t kPrintLogLength = 22;
// The head dump of each receive pass shows at most this much of gBuffer.
// A browser's head is well within it; a longer one (only a client that
// means harm sends one) would otherwise be logged whole on every one of up
// to 21 passes, and a slow 64 KB head would write megabytes of log.
constexpr std::size_t kHeadDumpLimit = 2048;

// At most three UTF-8 bytes per reply byte: every reply fits one frame, and
// the frame fits gBuffer.
static_assert(3 * (kReplyBufferSize - 1) <= kWsMaxPayloadLength);
static_assert(3 * (kReplyBufferSize - 1) + 4 <= kGBufferSize);

// The receive buffer of the handshake and the frames, and the send buffer
// of every answer and frame, for every connection; used by the one worker
// running at a time. The byte after it is never written and stays zero, so
// a head in it is always a terminated text for the log.
unsigned char gBuffer[kGBufferSize + 1];

char* Text(unsigned char* bytes) { return reinterpret_cast<char*>(bytes); }

// The head dump of a pass: the text in gBuffer up to its first zero byte,
// cut at kHeadDumpLimit, with a note saying how much was left out.
std::string HeadDump() {
  const std::size_t length = std::strlen(Text(gBuffer));  // the guard byte ends it
  if (length <= kHeadDumpLimit) return std::string(Text(gBuffer), length);
  std::string dump(Text(gBuffer), kHeadDumpLimit);
  dump += " [... cut: ";
  dump += std::to_string(length - kHeadDumpLimit);
  dump += " more bytes not logged]";
  return dump;
}

void Log(const char* text) { WriteAgentLog(0, kLabel, text); }
void Log(long long number, const char* text) {
  WriteAgentLog(static_cast<int>(number), kLabel, text);
}

// Clears the buffer, never its last, guard byte.
void ZeroBuffer() { std::memset(gBuffer, 0, kGBufferSize); }

// A fixed answer of the handshake phase into the cleared buffer.
std::size_t PutAnswer(const char* answer) {
  ZeroBuffer();
  const std::size_t length = std::strlen(answer);
  std::memcpy(gBuffer, answer, length);
  return length;
}

bool IsPrintRequest(const unsigned char* payload, std::size_t length) {
  return std::any_of(std::begin(kPrintCommandOffsets), std::end(kPrintCommandOffsets),
                     [&](std::size_t offset) {
                       return length >= offset + kPrintCommand.size() &&
                              std::memcmp(payload + offset, kPrintCommand.data(),
                                          kPrintCommand.size()) == 0;
                     });
}

class Worker {
 public:
  Worker(platform::Socket& socket, platform::Event* stop)
      : socket_(socket), stop_(stop), socket_number_(socket.Number()) {
    ZeroBuffer();
    wsResetHandshake(record_);
  }
  // Every way out frees what a parse copied into the record.
  ~Worker() { wsReleaseHandshake(record_); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Run();

 private:
  enum class Step { kGoOn, kEnd };

  bool ReceiveMore();
  void Parse();
  void LogPayload() const;
  Step RefuseInput();
  Step Opening();
  Step Frame();
  Step Dispatch();

  bool Send() { return safeSend(socket_, gBuffer, frameSize_, stop_) == EXIT_SUCCESS; }
  void BuildClosingFrame() {
    wsBuildFrame(nullptr, 0, gBuffer, kGBufferSize, frameSize_, WS_CLOSING_FRAME);
  }
  // Ready for the next frame: the buffer emptied.
  void ExpectNewInput() {
    frameType_ = WS_INCOMPLETE_FRAME;
    readedLength_ = 0;
    ZeroBuffer();
  }

  // Every wait for the client's bytes ends by this tick: the client has
  // kWsMessageLimitMs from the accept to deliver its text message, and
  // kWsClosingLimitMs to answer the agent's closing frame. A dispatch (a
  // payment) is never cut by it: nothing is received while it runs.
  void StartDeadline(std::uint32_t limit_ms) {
    deadline_start_ = platform::TickCount();
    deadline_limit_ = limit_ms;
  }
  std::uint32_t TimeLeft() const {
    const std::uint32_t elapsed = platform::TickCount() - deadline_start_;
    return elapsed >= deadline_limit_ ? 0 : deadline_limit_ - elapsed;
  }

  platform::Socket& socket_;
  platform::Event* stop_;
  long long socket_number_;
  std::uint32_t deadline_start_ = platform::TickCount();
  std::uint32_t deadline_limit_ = Limit(kWsMessageLimitMs);
  WsState state_ = WS_STATE_OPENING;
  WsFrameType frameType_ = WS_INCOMPLETE_FRAME;
  std::size_t readedLength_ = 0;
  std::size_t frameSize_ = kGBufferSize;
  int LoopCount_ = 0;
  bool done_ = false;
  std::uint8_t* payload_ = nullptr;
  std::size_t payloadLength_ = 0;
  WsHandshake record_;
};

void Worker::Run() {
  while (frameType_ == WS_INCOMPLETE_FRAME && !done_) {
    if (!ReceiveMore()) return;
    Parse();
    LogPayload();
    if (frameType_ == WS_ERROR_FRAME ||
        (frameType_ == WS_INCOMPLETE_FRAME && readedLength_ == kGBufferSize)) {
      if (RefuseInput() == Step::kEnd) return;
    }
    if ((state_ == WS_STATE_OPENING ? Opening() : Frame()) == Step::kEnd) return;
    ++LoopCount_;
    WriteAgentLog(LoopCount_, kLabel, "LoopCount");
    if (LoopCount_ > kMaxPasses) {
      Log("LoopCount > 20");
      return;
    }
  }
}

bool Worker::ReceiveMore() {
  Log("Websocket Recv Start");
  platform::SystemError error;
  const int received = socket_.Receive(gBuffer + readedLength_, kGBufferSize - readedLength_,
                                       stop_, &error, TimeLeft());
  if (received == platform::kSocketTimedOut) {
    // Closed by the agent so that the listener can take the next browser.
    const std::string line = std::string(state_ == WS_STATE_CLOSING ? "No closing frame"
                                                                     : "No message") +
                             " within " + std::to_string(deadline_limit_) +
                             " ms: connection closed by the agent";
    Log(line.c_str());
  }
  if (received <= 0) {
    Log("Websocket Recv Fail!");
    return false;
  }
  Log("Websocket Recv Success!");
  readedLength_ += static_cast<std::size_t>(received);
  return true;
}

void Worker::Parse() {
  if (state_ == WS_STATE_OPENING) {
    Log("State == Opening");
    WriteAgentLog(static_cast<int>(socket_number_), "HS_gbuf", HeadDump().c_str());
    Log(static_cast<long long>(readedLength_), "readedLength");
    frameType_ = wsParseHandshake(Text(gBuffer), readedLength_, record_);
    Log(frameType_, "frameType");
    Log("wsParseHandshake finished");
    return;
  }
  Log("State <> Opening");
  Log(static_cast<long long>(readedLength_), "readedLength");
  frameType_ = wsParseInputFrame(gBuffer, readedLength_, payload_, payloadLength_);
  Log(state_, "state");
  Log(frameType_, "frameType");
  Log("wsParseInputFrame finished");
}

void Worker::LogPayload() const {
  if (payload_ == nullptr) return;
  const std::size_t shown = IsPrintRequest(payload_, payloadLength_)
                                ? std::min(payloadLength_, kPrintLogLength)
                                : payloadLength_;
  WriteAgentLog(0, "conv data", std::string(Text(payload_), shown).c_str());
}

Worker::Step Worker::RefuseInput() {
  Log(frameType_ == WS_ERROR_FRAME ? "error in incoming frame" : "buffer too small");
  if (state_ == WS_STATE_OPENING) {
    frameSize_ = PutAnswer(kWsBadRequestAnswer);
    Log("State == Opening Send");
    WriteAgentLog(static_cast<int>(frameSize_), "gBuffer", Text(gBuffer));
    Send();
    return Step::kEnd;
  }
  ZeroBuffer();
  BuildClosingFrame();
  Log("State <> Opening Send");
  if (!Send()) {
    Log("safeSend == EXIT_FAILURE");
    return Step::kEnd;
  }
  state_ = WS_STATE_CLOSING;
  StartDeadline(Limit(kWsClosingLimitMs));
  ExpectNewInput();
  return Step::kGoOn;
}

Worker::Step Worker::Opening() {
  Log("state == WS_STATE_OPENING_2");
  if (frameType_ != WS_OPENING_FRAME) {
    Log(frameType_, "frameType != WS_OPENING_FRAME");
    return Step::kGoOn;
  }
  Log("OPENING_FRAME");
  if (std::strcmp(record_.resource, kWsAgentResource) != 0) {
    Log("Not Vevu Send");
    frameSize_ = PutAnswer(kWsNotFoundAnswer);
    Send();
    return Step::kEnd;
  }
  if (!OriginAllowed(ReadAllowedOrigins(), record_.origin)) {
    WriteAgentLog(0, kLabel, (std::string("Origin not allowed: ") + record_.origin).c_str());
    frameSize_ = PutAnswer(kWsForbiddenAnswer);
    Send();
    return Step::kEnd;
  }
  ZeroBuffer();
  Log("HandShake Send");
  frameSize_ = kGBufferSize;
  const bool built = wsBuildHandshakeAnswer(record_, Text(gBuffer), kGBufferSize, frameSize_);
  if (!built) frameSize_ = PutAnswer(kWsBadRequestAnswer);  // a key the parser let through
  WriteAgentLog(static_cast<int>(frameSize_), "gBuffer", Text(gBuffer));
  wsReleaseHandshake(record_);
  if (!Send()) {
    Log("safeSend == EXIT_FAILURE_2");
    return Step::kEnd;
  }
  if (!built) return Step::kEnd;
  state_ = WS_STATE_NORMAL;
  ExpectNewInput();
  return Step::kGoOn;
}

Worker::Step Worker::Frame() {
  switch (frameType_) {
    case WS_CLOSING_FRAME:
      Log("CLOSING_FRAME");
      if (state_ == WS_STATE_CLOSING) {
        Log("state == WS_STATE_CLOSING");
        return Step::kEnd;
      }
      ZeroBuffer();
      Log("CLOSING_FRAME Send");
      BuildClosingFrame();
      Send();
      return Step::kEnd;
    case WS_TEXT_FRAME:
      return Dispatch();
    default:
      // Binary, ping, pong: the pass condition ends the worker. Incomplete:
      // receive more.
      return Step::kGoOn;
  }
}

// The longest UTF-8 prefix of `text` within `limit` bytes that ends on a
// character boundary.
void CutAtCharacter(std::string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

Worker::Step Worker::Dispatch() {
  Log("TEXT_FRAME");
  std::vector<char> request(payloadLength_ + 1, '\0');
  if (payloadLength_ > 0) std::memcpy(request.data(), payload_, payloadLength_);
  std::vector<char> reply(kReplyBufferSize, '\0');
  DllLogic(request.data(), reply.data());
  ZeroBuffer();
  std::string converted = ReplyForBrowser(reply.data(), reply.size());
  // Never cut from the 4096-byte reply buffer (see the static_assert); a
  // longer text is cut where a character ends rather than overrun a frame.
  CutAtCharacter(converted, kWsMaxPayloadLength);
  frameSize_ = kGBufferSize;
  wsBuildFrame(reinterpret_cast<const std::uint8_t*>(converted.data()), converted.size(), gBuffer,
               kGBufferSize, frameSize_, WS_TEXT_FRAME);
  WriteAgentLog(0, kLabel, "orvaResult Send");
  if (!Send()) {
    WriteAgentLog(0, "ClientWorker", "safeSend(clientSocket, gBuffer, frameSize) == EXIT_FAILURE_3");
    return Step::kEnd;
  }
  done_ = true;
  ExpectNewInput();
  Log("CLOSING_FRAME Send");
  BuildClosingFrame();
  Send();
  return Step::kEnd;
}

}  // namespace

int safeSend(platform::Socket& clientSocket, const std::uint8_t* buffer, std::size_t length,
             platform::Event* stop) {
  constexpr const char* kSendLabel = "safeSend";
  WriteAgentLog(0, kSendLabel, kStartLine);
  std::size_t sent = 0;
  while (sent < length) {
    platform::SystemError error;
    const int written =
        clientSocket.Send(buffer + sent, length - sent, stop, &error, Limit(kWsSendLimitMs));
    WriteAgentLog(written, kSendLabel, "send() return");
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
      continue;
    }
    if (sent > 0) {
      // The browser got a cut message; the connection is broken.
      platform::ShowMessageBox(u"Written not all bytes");
      WriteAgentLog(0, kSendLabel, "Written not all bytes");
      WriteAgentLog(0, kSendLabel, "return EXIT_FAILURE_2");
      return EXIT_FAILURE;
    }
    WriteAgentLog(0, kSendLabel, "if (written == -1)");
    if (g_bResultSaved == 1) {
      platform::ShowMessageBox(texts::Wide(texts::kBrowserClosed));
      WriteAgentLog(0, kSendLabel, "Websocket Send Fail! (Browser Finish)");
    } else {
      platform::ShowMessageBox(u"Websocket Send Fail!");
      WriteAgentLog(0, kSendLabel, "Websocket Send Fail!");
    }
    WriteAgentLog(0, kSendLabel, "return EXIT_FAILURE_1");
    return EXIT_FAILURE;
  }
  WriteAgentLog(0, kSendLabel, "Success!");
  WriteAgentLog(0, kSendLabel, kEndLine);
  WriteAgentLog(0, kSendLabel, "return EXIT_SUCCESS");
  return EXIT_SUCCESS;
}

void clientWorker(platform::Socket& clientSocket, platform::Event* stop) {
  const int started = ++clientWorker_cnt;
  WriteAgentLog(0, "clientWorker_cnt++", std::to_string(started).c_str());
  Log(kStartLine);
  {
    Worker worker(clientSocket, stop);
    worker.Run();
  }
  const int left = --clientWorker_cnt;
  WriteAgentLog(0, "clientWorker_cnt--", std::to_string(left).c_str());
  Log(kEndLine);
}

namespace testing {
void SetConnectionLimits(std::uint32_t milliseconds) { g_test_limit_ms = milliseconds; }
}  // namespace testing

}  // namespace agent
