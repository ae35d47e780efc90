// The agent's WebSocket front end: two TCP listeners, each on a thread of
// its own, and the connection worker.
//
//  - ReqToCatThread listens on the port P of "ServerPortWebsocket" and
//    serves one connection at a time on its own thread: clientWorker
//    answers the opening handshake, takes one text message, hands it to
//    DllLogic, sends the reply as one text frame and a closing frame.
//  - ReqStopThread listens on P + 1. Every connection to it calls ReqStop
//    of the link library, which cancels the exchange the other thread may
//    be running; nothing is read from or written to that connection.
//
// Both listen on all local IPv4 addresses with a backlog of 1. A listener
// whose set-up fails or whose accept loop ends starts again after a pause
// of kListenerRestartPauseMs; the stop listener ends for good when it
// cannot bind the link library.
//
// One front end per process: the worker's buffer is shared by all
// connections of the process (one is served at a time).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/browser_reply.h"
#include "platform/sync.h"

namespace platform {
class Socket;
}  // namespace platform

namespace agent {

// The configured WebSocket port P: written by start-up, and again by each
// listener when it starts (both with the same number).
extern std::atomic<int> WebsocketPortNumber;

// Connection workers running (0 or 1); logged on every change.
extern std::atomic<int> clientWorker_cnt;

// The worker's receive and send buffer holds this many bytes; a handshake
// or a frame that does not fit is refused.
inline constexpr std::size_t kGBufferSize = 65535;

// A connection's limits, so that no client holds the one worker: the text
// message must have arrived within kWsMessageLimitMs of the accept, the
// client's closing frame within kWsClosingLimitMs of the agent's after a
// bad frame, and a send may wait that long for a client that reads
// nothing. Past a limit the agent closes the connection (with a log line)
// and the listener takes the next one. A dispatch in progress is not
// limited.
inline constexpr std::uint32_t kWsMessageLimitMs = 10000;
inline constexpr std::uint32_t kWsClosingLimitMs = 10000;
inline constexpr std::uint32_t kWsSendLimitMs = 10000;

// Connection states, logged as their numbers.
enum WsState : int {
  WS_STATE_OPENING = 0,  // the handshake has not been answered yet
  WS_STATE_NORMAL = 1,   // the 101 answer went out; frames are expected
  WS_STATE_CLOSING = 2,  // a closing frame went out after a bad frame
};

// Results of the listener procedures.
inline constexpr int kListenerLoopEnded = 1;
inline constexpr int kListenerStartupFailed = -1;  // WSAStartup
inline constexpr int kListenerSocketFailed = -2;
inline constexpr int kListenerBindFailed = -3;
inline constexpr int kListenerListenFailed = -4;
inline constexpr int kListenerNoLinkLibrary = -5;  // ReqStopThread only: ends it for good
inline constexpr int kListenerNoReqStop = -6;      // ReqStopThread only: ends it for good

// Pause between a listener's end and its next start: a port held by
// another program costs one attempt (and a few log lines) per pause
// rather than a core.
inline constexpr std::uint32_t kListenerRestartPauseMs = 1000;

// What the listener procedures share with their owner. The procedures get
// it by reference and keep it for their whole run.
struct ListenerControl {
  // Set once to stop: no connection is accepted any more, a worker waiting
  // for data is woken and ends. A DllLogic call in progress runs to its end
  // (its reply is stored and, where the browser still listens, sent).
  platform::Event stop{platform::Event::Mode::kManualReset};
  std::atomic<bool> stopping{false};

  void RequestStop() {
    stopping = true;
    stop.Set();
  }
  bool StopRequested() const { return stopping; }
};

// The listener procedures: one run from "START" to the end of the accept
// loop or a set-up failure; the result is one of kListener*. They do not
// restart themselves: RunListener does, after the pause.
int ReqToCatThread(ListenerControl& control);
int ReqStopThread(ListenerControl& control);

// Runs the procedure again and again, kListenerRestartPauseMs apart, until
// a stop is requested or the procedure ends for good.
void RunListener(int (*procedure)(ListenerControl&), ListenerControl& control);

// Serves one accepted connection and returns; the caller closes the
// socket. `stop` (may be null) wakes its waits for data. Runs on the
// ReqToCatThread thread only.
void clientWorker(platform::Socket& clientSocket, platform::Event* stop);

// Sends all `length` bytes, call after call, and logs every call. Returns
// EXIT_SUCCESS when all went out; EXIT_FAILURE after a box to the user when
// the connection failed (or the stop event was set, or kWsSendLimitMs
// passed, while the peer's window stayed full). A failure before any byte went out tells the user that the
// browser has gone (and, when the reply was stored, to ask for it again
// with LAST); one after a part went out reports the cut message.
int safeSend(platform::Socket& clientSocket, const std::uint8_t* buffer, std::size_t length,
             platform::Event* stop = nullptr);

// Reads "ServerPortWebsocket" (twice when empty, then "8088"), converts
// its leading digits, stores the number in WebsocketPortNumber and returns
// it.
int ReadWebsocketPort();

// The two listeners with their threads: started together, stopped
// together.
class WebSocketFrontEnd {
 public:
  WebSocketFrontEnd();
  // Requests a stop and waits for both threads up to kDestroyJoinMs, which
  // covers the longest terminal exchange; threads that outlive it keep
  // what they use alive themselves.
  ~WebSocketFrontEnd();
  WebSocketFrontEnd(const WebSocketFrontEnd&) = delete;
  WebSocketFrontEnd& operator=(const WebSocketFrontEnd&) = delete;

  // Starts ReqToCatThread, waits 500 ms (less when a stop is requested
  // meanwhile), then starts ReqStopThread. False when a thread could not be
  // created (a listener that did start keeps running until stopped), and
  // for every call after the first, which does nothing.
  bool Start();
  // Returns at once; see ListenerControl::RequestStop.
  void RequestStop();
  // True when both listener threads have ended within `timeout_ms`.
  bool Join(std::uint32_t timeout_ms);

  static constexpr std::uint32_t kStartGapMs = 500;
  static constexpr std::uint32_t kDestroyJoinMs = 120000;

 private:
  std::shared_ptr<ListenerControl> control_;
  std::unique_ptr<platform::Thread> request_thread_;
  std::unique_ptr<platform::Thread> stop_thread_;
  bool started_ = false;
};

namespace testing {
// Replaces kWsMessageLimitMs, kWsClosingLimitMs and kWsSendLimitMs by
// `milliseconds` for connections accepted afterwards; 0 restores them.
// Tests only.
void SetConnectionLimits(std::uint32_t milliseconds);
}  // namespace testing

}  // namespace agent
