// The agent's AJAX front end: two HTTP servers on the loopback address, each
// on a thread of its own, serving agent messages by GET (in the query) and
// POST (in the body).
//
//  - AcceptFunc_AJAX serves "http://127.0.0.1:P/" with the port P of
//    "ServerPortAjax"; AcceptFunc_AJAX2 serves P + 1, so a STOP can reach
//    the dispatcher while the first server is inside a payment.
//  - Each run creates a request queue, registers its URL and serves one
//    request at a time in DoReceiveRequests until something fails; then it
//    cleans up and runs again while fewer than kAjaxMaxErrcnt runs of both
//    servers together have ended counted (see cErrcnt).
//
// Replies leave in UTF-8 with the header "Access-Control-Allow-Origin: *";
// methods other than GET and POST get 503 "Not Implemented".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/http_server.h"
#include "platform/sync.h"

namespace agent {

// The configured AJAX port P, written by each server when it starts (both
// with the same number).
extern std::atomic<int> AjaxPortNumber;

// Ended server runs of both servers that count as failures; never reset
// while the program runs. A run that ends with cErrcnt at kAjaxMaxErrcnt or
// more does not run again. Runs that end because a stop was requested, or
// with kAjaxBodyNotSent, are not counted.
extern std::atomic<int> cErrcnt;
inline constexpr int kAjaxMaxErrcnt = 3;

// DoReceiveRequests' result when a POST response's body could not be sent
// for another reason than the browser going away: the server runs again
// without counting it.
inline constexpr int32_t kAjaxBodyNotSent = -1;

// The longest POST body that is dispatched, as one message; the POSIX HTTP
// layer refuses a longer one itself (413).
inline constexpr uint32_t kAjaxMaxPostBody = 64 * 1024;

// True for the results that mean the client has gone (a reset or closed
// connection: ERROR_CONNECTION_INVALID, ERROR_NETNAME_DELETED): such a
// failure ends the request only, never the server run.
bool IsClientGone(uint32_t result);

// What a server run shares with its owner: the stop request and the queue
// the run is waiting on. The procedures get it by reference for their whole
// run.
class AjaxServerControl {
 public:
  // Once set, the server takes no further request: a receive that waits is
  // woken (its queue is closed), while a request being handled - a payment
  // included - runs to its end and its response is sent before the run
  // ends. Neither counted nor followed by another run.
  void RequestStop();
  bool StopRequested() const;

  // For the run. Attach registers the queue the run owns (false when a stop
  // was requested: the run ends at once); Detach before the queue goes.
  bool Attach(platform::HttpRequestQueue* queue);
  void Detach();
  // Around each wait for a request: BeginReceive is false when a stop was
  // requested (the loop ends); between the two a stop closes the queue.
  bool BeginReceive();
  void EndReceive();

  // Set by a run that ends wanting another run (cErrcnt below the limit).
  std::atomic<bool> run_again{false};

 private:
  mutable std::mutex mutex_;
  bool stopping_ = false;
  bool receiving_ = false;
  platform::HttpRequestQueue* queue_ = nullptr;
};

// The server procedures: one run from "Start" to the clean-up, or to a
// failed initialisation of the HTTP server (which ends the server for
// good). The result is the last platform result code. They do not restart
// themselves: RunAjaxServer does, on the same thread, when the run asks
// for it (AjaxServerControl::run_again).
uint32_t AcceptFunc_AJAX(AjaxServerControl& control);
uint32_t AcceptFunc_AJAX2(AjaxServerControl& control);

// Runs the procedure again and again while its runs ask for it and no
// stop is requested.
void RunAjaxServer(uint32_t (*procedure)(AjaxServerControl&), AjaxServerControl& control);

// Serves requests on `queue` one at a time until something fails; the
// failing code: a platform result code, kHttpNotEnoughMemory, or
// kAjaxBodyNotSent. `control` (may be null) ends the loop on a stop.
int32_t DoReceiveRequests(platform::HttpRequestQueue& queue, AjaxServerControl* control);

// A complete response from memory: the status and reason, Content-Type
// "text/html", "Access-Control-Allow-Origin: *", and `body` (NUL-
// terminated, sent without its zero) or no body when null. The platform's
// result code of the send.
uint32_t SendHttpResponse(platform::HttpRequestQueue& queue,
                          const platform::HttpRequestRecord& request, uint16_t status_code,
                          const char* reason, const char* body);

// A GET request: the message in the query, dispatched when the setting
// "GET" begins with "Y", else answered with the refusal reply. The result
// of SendHttpResponse (kHttpNotEnoughMemory when memory ran out first).
uint32_t SendHttpGetResponse(platform::HttpRequestQueue& queue,
                             const platform::HttpRequestRecord& request);

// A POST request: every piece of the body dispatched, the replies staged
// in a temporary file "New*" in the working directory and sent from it. 0,
// kHttpNotEnoughMemory, a platform result code, or kAjaxBodyNotSent. The
// file is gone when this returns.
int32_t SendHttpPostResponse(platform::HttpRequestQueue& queue,
                             const platform::HttpRequestRecord& request);

// The two servers with their threads: started together, stopped together.
class AjaxFrontEnd {
 public:
  AjaxFrontEnd();
  // Requests a stop and waits for both threads up to kDestroyJoinMs, which
  // covers the longest terminal exchange; threads that outlive it keep
  // what they use alive themselves.
  ~AjaxFrontEnd();
  AjaxFrontEnd(const AjaxFrontEnd&) = delete;
  AjaxFrontEnd& operator=(const AjaxFrontEnd&) = delete;

  // Starts AcceptFunc_AJAX, waits 500 ms (less when a stop is requested
  // meanwhile), then starts AcceptFunc_AJAX2. False when a thread could not
  // be created (a server that did start keeps running until stopped), and
  // for every call after the first, which does nothing.
  bool Start();
  // Returns at once; see AjaxServerControl::RequestStop.
  void RequestStop();
  // True when both server threads have ended within `timeout_ms`.
  bool Join(uint32_t timeout_ms);

  static constexpr uint32_t kStartGapMs = 500;
  static constexpr uint32_t kDestroyJoinMs = 120000;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<platform::Thread> first_thread_;
  std::unique_ptr<platform::Thread> second_thread_;
  bool started_ = false;
};

}  // namespace agent
