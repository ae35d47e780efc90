// The two AJAX servers, their request loop and the sender of complete
// responses. A server procedure is one run from its "Start" line to its
// clean-up; RunAjaxServer runs it again on the same thread, so the owner
// can always stop and join it.
#include "ajax/ajax_server.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "common/agent_config.h"
#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "common/security.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace agent {

std::atomic<int> AjaxPortNumber{0};
std::atomic<int> cErrcnt{0};

namespace {

using platform::HttpRequestQueue;
using platform::HttpRequestRecord;

constexpr const char* kLoopLabel = "DoReceive";
constexpr const char* kResponseLabel = "GetResponse";
constexpr std::u16string_view kDefaultPort = u"9088";
// The platform's request record (472 bytes on Windows) plus 2048 bytes: a
// request with a longer head is fetched again in a buffer of its size.
constexpr uint32_t kFirstRequestBufferSize = 2520;
constexpr uint32_t kUrlBufferSize = 256;

std::string Format(const char* format, unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void LogResult(const char* label, const char* format, uint32_t result) {
  WriteAgentLog(0, label, Format(format, result).c_str());
}

// The box, and the same words in the log.
void ShowAndLog(const char* label, std::string_view utf8) {
  platform::ShowMessageBox(texts::Wide(utf8));
  WriteAgentLog(0, label, texts::Ansi(utf8).c_str());
}

// Reads "ServerPortAjax" (twice when empty, then "9088"), converts its
// leading digits and stores the number in AjaxPortNumber.
int ReadAjaxPort() {
  std::u16string text = ReadAgentSetting(kSectionHttp, kKeyServerPortAjax, u"");
  if (text.empty()) text = ReadAgentSetting(kSectionHttp, kKeyServerPortAjax, u"");
  if (text.empty()) text = kDefaultPort;
  const int number = ParseSettingNumber(text);
  AjaxPortNumber = number;
  return number;
}

// A request buffer from the heap, or null when memory runs out. Aligned for
// the request record, as the platform wants.
std::unique_ptr<std::byte[]> AllocateRequestBuffer(uint32_t size) {
  return std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[size]);
}

// One server run; see AcceptFunc_AJAX.
uint32_t RunServer(AjaxServerControl& control, const char* name, unsigned port_offset) {
  control.run_again = false;
  WriteAgentLog(0, name, "Start");
  const long long port = static_cast<long long>(ReadAjaxPort()) + port_offset;
  char url[kUrlBufferSize];
  std::snprintf(url, sizeof url, "http://127.0.0.1:%lld/", port);

  WriteAgentLog(0, name, "HttpInitialize Start");
  uint32_t result = platform::HttpInitializeServer();
  if (result != platform::kHttpOk) {
    // Nothing to clean up; the server stays down.
    WriteAgentLog(0, name, "HttpInitialize Fail");
    LogResult(name, "retCode : %lu", result);
    ShowAndLog(name, texts::kAjaxInitFailed);
    return result;
  }
  WriteAgentLog(0, name, "HttpInitialize End");

  // A run that never reaches the loop (no queue, no URL) shows the failed
  // step's code as its loop result and counts like a failed loop, so a
  // port held by another program ends the runs after the limit.
  int32_t cDoResult = 0;
  std::unique_ptr<HttpRequestQueue> queue;
  WriteAgentLog(0, name, "HttpCreateHttpHandle Start");
  result = HttpRequestQueue::Create(&queue);
  if (result != platform::kHttpOk) {
    WriteAgentLog(0, name, "HttpCreateHttpHandle Fail");
    LogResult(name, "retCode : %lu", result);
    ShowAndLog(name, texts::kAjaxHandleFailed);
    cDoResult = static_cast<int32_t>(result);
  } else {
    WriteAgentLog(0, name, "HttpCreateHttpHandle End");
    WriteAgentLog(0, name, "HttpAddUrl Start");
    WriteAgentLog(0, name, url);
    result = queue->AddUrl(url);
    if (result != platform::kHttpOk) {
      WriteAgentLog(0, name, "HttpAddUrl Fail");
      LogResult(name, "retCode : %lu", result);
      ShowAndLog(name, texts::kAjaxUrlFailed);
      cDoResult = static_cast<int32_t>(result);
    } else {
      WriteAgentLog(0, name, "HttpAddUrl End");
      WriteAgentLog(0, name, "DoReceiveRequests Start");
      cDoResult = control.Attach(queue.get())
                      ? DoReceiveRequests(*queue, &control)
                      : static_cast<int32_t>(platform::kHttpOperationAborted);
      control.Detach();
      WriteAgentLog(0, name, "DoReceiveRequests End");
    }
  }

  WriteAgentLog(0, name, "CleanUp Start");
  WriteAgentLog(0, name, "HttpRemoveUrl Start");
  if (queue) queue->RemoveUrl(url);
  WriteAgentLog(0, name, "HttpRemoveUrl End");
  queue.reset();
  platform::HttpTerminateServer();
  WriteAgentLog(0, name, "HttpTerminate");

  // A requested stop is no failure and ends the server.
  const bool stopped = control.StopRequested();
  const bool counted = !stopped && cDoResult != kAjaxBodyNotSent;
  const int count = counted ? cErrcnt.fetch_add(1) + 1 : cErrcnt.load();
  WriteAgentLog(0, "cDoResult", Format("%ld", static_cast<long>(cDoResult)).c_str());
  WriteAgentLog(0, "cErrcnt", Format("%ld", static_cast<long>(count)).c_str());
  if (!stopped && count < kAjaxMaxErrcnt) {
    control.run_again = true;
    WriteAgentLog(0, name, "CleanUp End");
  }
  return result;
}

// Under AllowedOrigins, a request from a page of another origin, or one
// that does not name this server by its loopback address or localhost (a
// page on another host name that resolves here), never reaches the
// dispatcher.
bool RequestAllowed(const HttpRequestRecord& request) {
  const std::vector<std::string> origins = ReadAllowedOrigins();
  if (origins.empty()) return true;
  return OriginAllowed(origins, request.origin) &&
         HostIsLoopback(request.host, request.local_port);
}

// What the loop does with a received request; 0 to go on.
int32_t HandleRequest(HttpRequestQueue& queue, const HttpRequestRecord& request) {
  if (!RequestAllowed(request)) {
    WriteAgentLog(0, kLoopLabel, "Origin or Host not allowed: 403");
    const uint32_t result = SendHttpResponse(queue, request, 403, "Forbidden", nullptr);
    LogResult(kLoopLabel, "result : %lu", result);
    return static_cast<int32_t>(result);
  }
  switch (request.verb) {
    case platform::HttpVerb::kGet:
      WriteAgentLog(0, kLoopLabel, "Get request");
      return static_cast<int32_t>(SendHttpGetResponse(queue, request));
    case platform::HttpVerb::kPost: {
      WriteAgentLog(0, kLoopLabel, "Post request");
      WriteAgentLog(0, kLoopLabel, "SendHttpPostResponse Start");
      const int32_t result = SendHttpPostResponse(queue, request);
      LogResult(kLoopLabel, "result : %lu", static_cast<uint32_t>(result));
      WriteAgentLog(0, kLoopLabel, "SendHttpPostResponse End");
      return result;
    }
    case platform::HttpVerb::kOther:
      break;
  }
  WriteAgentLog(0, kLoopLabel, "Default request");
  WriteAgentLog(0, kLoopLabel, "SendHttpResponse Start");
  const uint32_t result = SendHttpResponse(queue, request, 503, "Not Implemented", nullptr);
  LogResult(kLoopLabel, "result : %lu", result);
  WriteAgentLog(0, kLoopLabel, "SendHttpResponse End");
  return static_cast<int32_t>(result);
}

}  // namespace

void AjaxServerControl::RequestStop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  // A request being handled keeps its queue: its response still goes out.
  if (receiving_ && queue_ != nullptr) queue_->Close();
}

bool AjaxServerControl::StopRequested() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

bool AjaxServerControl::Attach(platform::HttpRequestQueue* queue) {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  queue_ = queue;
  return true;
}

void AjaxServerControl::Detach() {
  std::lock_guard lock(mutex_);
  queue_ = nullptr;
  receiving_ = false;
}

bool AjaxServerControl::BeginReceive() {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  receiving_ = true;
  return true;
}

void AjaxServerControl::EndReceive() {
  std::lock_guard lock(mutex_);
  receiving_ = false;
}

uint32_t AcceptFunc_AJAX(AjaxServerControl& control) {
  return RunServer(control, "AcceptFunc_AJAX", 0);
}

uint32_t AcceptFunc_AJAX2(AjaxServerControl& control) {
  return RunServer(control, "AcceptFunc_AJAX2", 1);
}

void RunAjaxServer(uint32_t (*procedure)(AjaxServerControl&), AjaxServerControl& control) {
  do {
    procedure(control);
  } while (control.run_again && !control.StopRequested());
}

int32_t DoReceiveRequests(HttpRequestQueue& queue, AjaxServerControl* control) {
  WriteAgentLog(0, kLoopLabel, "DoReceiveRequests Start");
  uint32_t size = kFirstRequestBufferSize;
  std::unique_ptr<std::byte[]> buffer = AllocateRequestBuffer(size);
  if (!buffer) {
    WriteAgentLog(0, kLoopLabel, "pRequestBuffer == NULL");
    return static_cast<int32_t>(platform::kHttpNotEnoughMemory);
  }
  uint64_t request_id = 0;
  int32_t result = 0;
  WriteAgentLog(0, kLoopLabel, "for Start");
  for (;;) {
    std::memset(buffer.get(), 0, size);
    WriteAgentLog(0, kLoopLabel, "HttpReceiveHttpRequest Start");
    uint32_t received = platform::kHttpOperationAborted;
    uint32_t bytes = 0;
    if (control == nullptr || control->BeginReceive()) {
      received = queue.ReceiveRequest(request_id, buffer.get(), size, &bytes);
      if (control != nullptr) control->EndReceive();
    }
    LogResult(kLoopLabel, "result : %lu", received);
    const auto& request = *reinterpret_cast<const HttpRequestRecord*>(buffer.get());

    if (received == platform::kHttpOk) {
      WriteAgentLog(0, kLoopLabel, "NO_ERROR Start");
      result = HandleRequest(queue, request);
      if (result != 0 && IsClientGone(static_cast<uint32_t>(result))) {
        // A tab closed during a payment, an abandoned request: the browser
        // is gone, not the server. The reply, when stored, waits for LAST.
        WriteAgentLog(0, kLoopLabel, "client gone: request ended");
        result = 0;
      }
      if (result != 0) {
        WriteAgentLog(0, kLoopLabel, "result != NO_ERROR");
        break;
      }
      request_id = 0;
      WriteAgentLog(0, kLoopLabel, "NO_ERROR End");
      continue;
    }
    if (received == platform::kHttpMoreData) {
      WriteAgentLog(0, kLoopLabel, "ERROR_MORE_DATA Start");
      request_id = request.request_id;
      // Never smaller than the record itself, whatever size came back.
      size = bytes > sizeof(HttpRequestRecord) ? bytes
                                               : static_cast<uint32_t>(sizeof(HttpRequestRecord));
      buffer.reset();
      buffer = AllocateRequestBuffer(size);
      if (!buffer) {
        WriteAgentLog(0, kLoopLabel, "pRequestBuffer == NULL");
        result = static_cast<int32_t>(platform::kHttpNotEnoughMemory);
        break;
      }
      WriteAgentLog(0, kLoopLabel, "ERROR_MORE_DATA End");
      continue;
    }
    if (received == platform::kHttpConnectionInvalid && request_id != 0) {
      WriteAgentLog(0, kLoopLabel, "ERROR_CONNECTION_INVALID");
      request_id = 0;
      continue;
    }
    WriteAgentLog(0, kLoopLabel, "ELSE");
    result = static_cast<int32_t>(received);
    break;
  }
  WriteAgentLog(0, kLoopLabel, "for End");
  buffer.reset();
  WriteAgentLog(0, kLoopLabel, "DoReceiveRequests End");
  return result;
}

bool IsClientGone(uint32_t result) {
  return result == platform::kHttpConnectionInvalid || result == platform::kHttpNetnameDeleted;
}

uint32_t SendHttpResponse(HttpRequestQueue& queue, const HttpRequestRecord& request,
                          uint16_t status_code, const char* reason, const char* body) {
  // The sender of complete responses has always logged under these texts.
  WriteAgentLog(0, kResponseLabel, "SendHttpPostResponse Start");
  platform::HttpResponse response;
  response.status_code = status_code;
  response.reason = reason;
  response.content_type = "text/html";
  response.unknown_headers.emplace_back("Access-Control-Allow-Origin", "*");
  if (body != nullptr) {
    response.body = body;
    response.body_size = static_cast<uint32_t>(std::strlen(body));
  }
  WriteAgentLog(0, kResponseLabel, "HttpSendHttpResponse Start");
  const uint32_t result = queue.SendResponse(request.request_id, response, 0);
  LogResult(kResponseLabel, "result : %lu", result);
  if (result != platform::kHttpOk) WriteAgentLog(0, kResponseLabel, "HttpSendHttpResponse Fail");
  WriteAgentLog(0, kResponseLabel, "HttpSendHttpResponse End");
  WriteAgentLog(0, kResponseLabel, "SendHttpPostResponse End");
  return result;
}

struct AjaxFrontEnd::Shared {
  platform::Event stop{platform::Event::Mode::kManualReset};
  AjaxServerControl first;
  AjaxServerControl second;
};

AjaxFrontEnd::AjaxFrontEnd() : shared_(std::make_shared<Shared>()) {}

AjaxFrontEnd::~AjaxFrontEnd() {
  RequestStop();
  Join(kDestroyJoinMs);
}

bool AjaxFrontEnd::Start() {
  if (started_) return false;
  started_ = true;
  // The threads share the controls with the front end: one that outlives a
  // failed Join still uses live objects.
  first_thread_ = platform::Thread::Start(
      [shared = shared_] { RunAjaxServer(AcceptFunc_AJAX, shared->first); });
  if (!first_thread_) return false;
  if (shared_->stop.Wait(kStartGapMs)) return true;  // stopped meanwhile
  second_thread_ = platform::Thread::Start(
      [shared = shared_] { RunAjaxServer(AcceptFunc_AJAX2, shared->second); });
  return second_thread_ != nullptr;
}

void AjaxFrontEnd::RequestStop() {
  shared_->stop.Set();
  shared_->first.RequestStop();
  shared_->second.RequestStop();
}

bool AjaxFrontEnd::Join(uint32_t timeout_ms) {
  const uint32_t start = platform::TickCount();
  for (const std::unique_ptr<platform::Thread>* thread : {&first_thread_, &second_thread_}) {
    if (!*thread) continue;
    const uint32_t elapsed = platform::TickCount() - start;
    if (!(*thread)->Join(elapsed >= timeout_ms ? 0 : timeout_ms - elapsed)) return false;
  }
  return true;
}

}  // namespace agent
