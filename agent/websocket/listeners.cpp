// The two listeners and their owner. Each listener procedure is one run
// from its "START" line to the end of its accept loop or a failed set-up;
// RunListener starts it again after a pause, on the same thread, so the
// owner can always stop and join it.
#include "websocket/listeners.h"

#include <string>

#include "Telquin.h"
#include "common/agent_config.h"
#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "common/security.h"
#include "platform/clock.h"
#include "platform/module.h"
#include "platform/socket.h"

namespace agent {

std::atomic<int> WebsocketPortNumber{0};

namespace {

constexpr const char* kStartLine = "==========START==========";
constexpr const char* kEndLine = "===========END===========";
constexpr int kBacklog = 1;
constexpr std::u16string_view kDefaultPort = u"8088";
constexpr const char* kLinkLibrary = "Telquin.dll";
constexpr const char* kReqStopEntry = "ReqStop";

void Log(const char* label, std::string_view utf8) {
  WriteAgentLog(0, label, texts::Ansi(utf8).c_str());
}

// The port to bind: the low 16 bits of the configured number plus
// `offset`, counted without overflow whatever the number.
int ListenerPort(int number, unsigned offset) {
  return static_cast<int>((static_cast<unsigned>(number) + offset) & 0xFFFFu);
}

// The listening socket of one run, with the socket service it started:
// both are given back when the run ends, however it ends.
class Listener {
 public:
  explicit Listener(const char* label) : label_(label) {}
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Logs the start, then starts the socket service, creates, binds and
  // listens. 0 when listening, otherwise the failed step's result (logged).
  int Open(std::string_view bind_failed, unsigned port_offset) {
    WriteAgentLog(0, label_, kStartLine);
    platform::SystemError error;
    if (!platform::StartSockets(&error)) {
      Log(label_, texts::kWinsockStartFailed);
      return kListenerStartupFailed;
    }
    sockets_started_ = true;
    socket_ = platform::Socket::CreateTcp(&error);
    if (!socket_) {
      Log(label_, texts::kServerSocketFailed);
      return kListenerSocketFailed;
    }
    const int number = ReadWebsocketPort();
    const std::string address = ReadListenAddress();
    if (!address.empty()) WriteAgentLog(0, "ListenAddress", address.c_str());
    if (!socket_->Bind(address, ListenerPort(number, port_offset), &error)) {
      Log(label_, bind_failed);
      WriteAgentLog(static_cast<int>(error.code), label_, error.text.c_str());
      return kListenerBindFailed;
    }
    if (!socket_->Listen(kBacklog, &error)) {
      Log(label_, texts::kServerListenFailed);
      return kListenerListenFailed;
    }
    return 0;
  }

  // The next connection; nullptr when the stop event was set or accept
  // failed.
  std::unique_ptr<platform::Socket> Accept(ListenerControl& control) {
    bool stopped = false;
    platform::SystemError error;
    return socket_->Accept(&control.stop, &stopped, &error);
  }

  void Close() {
    socket_.reset();
    if (sockets_started_) platform::CleanupSockets();
    sockets_started_ = false;
  }

 private:
  const char* label_;
  bool sockets_started_ = false;
  std::unique_ptr<platform::Socket> socket_;
};

// The end of an accept loop. "AcceptFunc Call!" announces the restart,
// which a requested stop does not make.
int EndAcceptLoop(Listener& listener, const char* label, const ListenerControl& control) {
  listener.Close();
  if (!control.StopRequested()) WriteAgentLog(0, label, "AcceptFunc Call!");
  WriteAgentLog(0, label, kEndLine);
  return kListenerLoopEnded;
}

}  // namespace

int ReadWebsocketPort() {
  std::u16string text = ReadAgentSetting(kSectionHttp, kKeyServerPortWebsocket, u"");
  if (text.empty()) text = ReadAgentSetting(kSectionHttp, kKeyServerPortWebsocket, u"");
  if (text.empty()) text = kDefaultPort;
  const int number = ParseSettingNumber(text);
  WebsocketPortNumber = number;
  return number;
}

int ReqToCatThread(ListenerControl& control) {
  constexpr const char* kName = "ReqToCatThread";
  Listener listener(kName);
  if (const int failed = listener.Open(texts::kServerBindFailed, 0); failed != 0) return failed;
  while (std::unique_ptr<platform::Socket> client = listener.Accept(control)) {
    WriteAgentLog(0, kName, "clientWorker Call!");
    clientWorker(*client, &control.stop);
  }
  return EndAcceptLoop(listener, kName, control);
}

int ReqStopThread(ListenerControl& control) {
  constexpr const char* kName = "ReqStopThread";
  Listener listener(kName);
  if (const int failed = listener.Open(texts::kStopServerBindFailed, 1); failed != 0) return failed;
  while (std::unique_ptr<platform::Socket> client = listener.Accept(control)) {
    // The library is shared (by the system's reference count) with the
    // exchange the other listener may be running, whose port ReqStop
    // closes.
    platform::SystemError error;
    std::unique_ptr<platform::Module> library = platform::Module::Load(kLinkLibrary, &error);
    if (!library) {
      Log(kName, std::string(kLinkLibrary) + std::string(texts::kLoadFailed));
      return kListenerNoLinkLibrary;  // the connection and the listener close here
    }
    const auto req_stop = reinterpret_cast<ReqStop_fn>(library->Find(kReqStopEntry));
    if (req_stop == nullptr) {
      Log(kName, std::string(kReqStopEntry) + std::string(texts::kEntryNotFound));
      return kListenerNoReqStop;
    }
    WriteAgentLog(0, kName, "lpReqStop Call!");
    req_stop();
  }
  return EndAcceptLoop(listener, kName, control);
}

void RunListener(int (*procedure)(ListenerControl&), ListenerControl& control) {
  for (;;) {
    const int result = procedure(control);
    if (result == kListenerNoLinkLibrary || result == kListenerNoReqStop) return;
    if (control.StopRequested()) return;
    // Waited on the stop event: a stop never waits for the pause to end.
    if (control.stop.Wait(kListenerRestartPauseMs)) return;
  }
}

WebSocketFrontEnd::WebSocketFrontEnd() : control_(std::make_shared<ListenerControl>()) {}

WebSocketFrontEnd::~WebSocketFrontEnd() {
  RequestStop();
  Join(kDestroyJoinMs);
}

bool WebSocketFrontEnd::Start() {
  if (started_) return false;
  started_ = true;
  // The threads share the control with the front end: one that outlives a
  // failed Join still waits on a live event.
  request_thread_ =
      platform::Thread::Start([control = control_] { RunListener(ReqToCatThread, *control); });
  if (!request_thread_) return false;
  if (control_->stop.Wait(kStartGapMs)) return true;  // stopped meanwhile
  stop_thread_ =
      platform::Thread::Start([control = control_] { RunListener(ReqStopThread, *control); });
  return stop_thread_ != nullptr;
}

void WebSocketFrontEnd::RequestStop() { control_->RequestStop(); }

bool WebSocketFrontEnd::Join(std::uint32_t timeout_ms) {
  const std::uint32_t start = platform::TickCount();
  for (const std::unique_ptr<platform::Thread>* thread : {&request_thread_, &stop_thread_}) {
    if (!*thread) continue;
    const std::uint32_t elapsed = platform::TickCount() - start;
    if (!(*thread)->Join(elapsed >= timeout_ms ? 0 : timeout_ms - elapsed)) return false;
  }
  return true;
}

}  // namespace agent
