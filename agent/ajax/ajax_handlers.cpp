// GET and POST handling of the AJAX servers: the message out of the query
// or the body, percent-decoded and handed to the dispatcher; the reply back
// in UTF-8.
//
// Working buffers are sized to what came, never cut: a query or a body
// longer than the usual 4095 bytes is decoded and dispatched whole (cutting
// would hand the dispatcher a different message), a body that arrives in
// several pieces is joined into one message, and a reply is sent whole
// whatever its UTF-8 length.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ajax/ajax_server.h"
#include "ajax/url_decode.h"
#include "common/agent_config.h"
#include "common/agent_log.h"
#include "common/browser_reply.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/dll_logic.h"
#include "platform/text.h"

namespace agent {

namespace {

using platform::HttpRequestQueue;
using platform::HttpRequestRecord;

constexpr const char* kLoopLabel = "DoReceive";
constexpr const char* kPostLabel = "PostResponse";
constexpr const char* kZeroEscape = "\\u0000";
constexpr const char* kZeroEscapeReplacement = "\\u0008";
// A zero byte inside a POST body would end the message early; it reaches
// the dispatcher as this byte instead.
constexpr char kZeroByteReplacement = '\x08';
constexpr long long kGetRefused = 99;
constexpr uint32_t kEntityBufferSize = 12288;
constexpr const char* kTempDirectory = ".";
constexpr const char* kTempPrefix = "New";
// ERROR_ARITHMETIC_OVERFLOW: the replies of one body would not fit the
// 32-bit length of the response.
constexpr uint32_t kArithmeticOverflow = 534;

void LogResult(const char* label, uint32_t result) {
  char text[32];
  std::snprintf(text, sizeof text, "result : %lu", static_cast<unsigned long>(result));
  WriteAgentLog(0, label, text);
}

// True when the setting "GET" allows GET requests: its first character, in
// the ANSI code page, is an upper-case "Y". Characters after it do not
// matter.
bool GetRequestsAllowed() {
  const std::string setting =
      platform::Utf16ToCp949(ResolveAgentSetting(kSectionHttp, kKeyGet));
  return !setting.empty() && setting[0] == 'Y';
}

// The dispatcher's reply to `message` (NUL-terminated, writable), as the
// browser gets it.
std::string DispatchForBrowser(char* message) {
  std::vector<char> reply(kReplyBufferSize, '\0');
  DllLogic(message, reply.data());
  return ReplyForBrowser(reply.data(), reply.size());
}

// The decoded text of `source` (NUL-terminated) up to its first zero byte,
// in a block of its own with room for its zero.
std::vector<char> DecodeToText(const char* source, std::size_t source_length) {
  std::vector<char> decoded(source_length + 1, '\0');
  UrlDecode(source, decoded.data());
  decoded.resize(std::strlen(decoded.data()) + 1);
  return decoded;
}

// The refusal reply of a GET request while GET requests are not allowed.
std::string RefusalReply() {
  Reply reply;
  AppendFailureReply(reply, kGetRefused);
  return reply.text();
}

// A POST body whole: zero bytes made 0x08, decoded, dispatched.
std::string DispatchBody(std::string body) {
  std::replace(body.begin(), body.end(), '\0', kZeroByteReplacement);
  std::vector<char> message = DecodeToText(body.c_str(), body.size());
  return DispatchForBrowser(message.data());
}

// Where a POST response's body is gathered: in the temp file "New*" when it
// could be created and written, and always in memory too, so that the
// reply of a payment that happened reaches the browser even when the disk
// is full.
class StagedBody {
 public:
  explicit StagedBody(platform::HttpResponseFile* file) : file_(file) {}

  // kHttpOk, or kArithmeticOverflow when the total would not fit the
  // response's 32-bit length. A failed write to the file is logged and
  // leaves the body in memory only.
  uint32_t Append(const void* data, std::size_t size) {
    if (size > std::numeric_limits<uint32_t>::max() - total_) return kArithmeticOverflow;
    memory_.append(static_cast<const char*>(data), size);
    total_ += static_cast<uint32_t>(size);
    if (file_ == nullptr) return platform::kHttpOk;
    const uint32_t written = file_->Write(data, static_cast<uint32_t>(size));
    if (written != platform::kHttpOk) {
      LogResult(kPostLabel, written);
      WriteAgentLog(0, kPostLabel, "WriteFile Fail: the response is sent from memory");
      file_ = nullptr;
    }
    return platform::kHttpOk;
  }

  platform::HttpResponseFile* file() const { return file_; }
  const std::string& memory() const { return memory_; }
  uint32_t total() const { return total_; }

 private:
  platform::HttpResponseFile* file_;
  std::string memory_;
  uint32_t total_ = 0;
};

// The end of a POST body: the response head with the total as its length,
// then the file as its body; or, without a file, one response with the body
// from memory. 0, the head's failed result, or kAjaxBodyNotSent
// (kHttpConnectionInvalid when the browser had gone).
int32_t SendStagedResponse(HttpRequestQueue& queue, const HttpRequestRecord& request,
                           platform::HttpResponse& response, const StagedBody& staged) {
  if (staged.file() == nullptr) {
    response.body = staged.memory().data();
    response.body_size = staged.total();
    WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Start (body from memory)");
    const uint32_t sent = queue.SendResponse(request.request_id, response, 0);
    LogResult(kPostLabel, sent);
    if (sent != platform::kHttpOk) WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Fail");
    WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse End");
    return static_cast<int32_t>(sent);
  }
  response.content_length = std::to_string(staged.total());
  WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Start");
  const uint32_t head = queue.SendResponse(request.request_id, response,
                                           platform::kHttpSendResponseFlagMoreData);
  LogResult(kPostLabel, head);
  if (head != platform::kHttpOk) {
    WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Fail");
    return static_cast<int32_t>(head);
  }
  WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse End");
  WriteAgentLog(0, kPostLabel, "HttpSendResponseEntityBody Start");
  const uint32_t body = queue.SendResponseBodyFromFile(request.request_id, *staged.file());
  LogResult(kPostLabel, body);
  int32_t result = 0;
  if (body != platform::kHttpOk) {
    WriteAgentLog(0, kPostLabel, "HttpSendResponseEntityBody Fail");
    WriteAgentLog(0, "result", std::to_string(static_cast<int32_t>(body)).c_str());
    // A browser that went away ends this request only; see DoReceiveRequests.
    result = IsClientGone(body) ? static_cast<int32_t>(body) : kAjaxBodyNotSent;
  }
  WriteAgentLog(0, kPostLabel, "HttpSendResponseEntityBody End");
  return result;
}

// A body beyond kAjaxMaxPostBody (the POSIX layer refuses it before it
// arrives here; the Windows API has no such limit) is not dispatched: the
// request is answered 413 and the loop goes on.
int32_t RefuseLargeBody(HttpRequestQueue& queue, const HttpRequestRecord& request) {
  WriteAgentLog(0, kPostLabel, "body too large: 413");
  return static_cast<int32_t>(SendHttpResponse(queue, request, 413, "Payload Too Large", nullptr));
}

// The body into `body`, piece by piece, until its end; then the whole body
// is one message for the dispatcher, its reply staged and sent. The result
// of SendHttpPostResponse.
int32_t ServeBody(HttpRequestQueue& queue, const HttpRequestRecord& request,
                  platform::HttpResponse& response, platform::HttpResponseFile* file,
                  std::byte* entity) {
  StagedBody staged(file);
  std::string body;
  bool body_pieces = false;  // at least one piece came before the end
  for (;;) {
    uint32_t received = 0;
    WriteAgentLog(0, kPostLabel, "HttpReceiveRequestEntityBody Start");
    const uint32_t result =
        queue.ReceiveEntityBody(request.request_id, entity, kEntityBufferSize, &received);
    LogResult(kPostLabel, result);
    // The platform never reports more than the entity buffer holds.
    received = std::min(received, kEntityBufferSize);
    if (result == platform::kHttpOk) {
      WriteAgentLog(0, kPostLabel, "NO_ERROR");
      // Pieces are joined: a message split by the transfer is still one
      // message, never several.
      if (body.size() + received > kAjaxMaxPostBody) return RefuseLargeBody(queue, request);
      body.append(reinterpret_cast<const char*>(entity), received);
      body_pieces = true;
      continue;
    }
    if (result == platform::kHttpHandleEof) {
      if (body_pieces) {
        // Pieces of no bytes are dispatched too, but give no reply.
        const bool had_bytes = !body.empty();
        const std::string output = DispatchBody(std::move(body));
        WriteAgentLog(0, kPostLabel, "orvaResult safeSend Start");
        if (had_bytes) {
          if (const uint32_t appended = staged.Append(output.data(), output.size())) {
            LogResult(kPostLabel, appended);
            return static_cast<int32_t>(appended);
          }
        }
        WriteAgentLog(0, kPostLabel, "orvaResult safeSend End");
      }
      WriteAgentLog(0, kPostLabel, "ERROR_HANDLE_EOF");
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend Start");
      if (received != 0) {
        // The last bytes go out as they came, undecoded and undispatched.
        if (const uint32_t appended = staged.Append(entity, received)) {
          LogResult(kPostLabel, appended);
          return static_cast<int32_t>(appended);
        }
      }
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend End");
      return SendStagedResponse(queue, request, response, staged);
    }
    WriteAgentLog(0, kPostLabel, "default");
    return static_cast<int32_t>(result);
  }
}

}  // namespace

uint32_t SendHttpGetResponse(HttpRequestQueue& queue, const HttpRequestRecord& request) {
  const bool allowed = GetRequestsAllowed();
  const std::string query =
      request.query_string == nullptr
          ? std::string()
          : platform::Utf16ToCp949(
                std::u16string_view(request.query_string, request.query_string_units));
  WriteAgentLog(0, kLoopLabel, "strQueryString Dec X");
  WriteAgentLog(0, kLoopLabel, query.c_str());

  std::vector<char> decoded = DecodeToText(query.c_str(), query.size());
  WriteAgentLog(0, kLoopLabel, "strQueryString  Dec O");
  WriteAgentLog(0, kLoopLabel, decoded.data());

  // Without the "?" that begins every query.
  char* const text = decoded[0] == '\0' ? decoded.data() : decoded.data() + 1;
  char* const replaced = ReplaceAll(text, kZeroEscape, kZeroEscapeReplacement);
  if (replaced == nullptr) return platform::kHttpNotEnoughMemory;
  WriteAgentLog(0, kLoopLabel, replaced);
  std::vector<char> message(replaced, replaced + std::strlen(replaced) + 1);
  if (replaced != text) std::free(replaced);
  WriteAgentLog(0, "TEST1234", message.data());
  WriteAgentLog(0, kPostLabel, "ReqToCat");

  std::string body;
  if (!allowed) {
    WriteAgentLog(0, kLoopLabel, "GET INI FAIL");
    body = RefusalReply();  // plain ASCII: the same in UTF-8
  } else {
    body = DispatchForBrowser(message.data());
  }

  WriteAgentLog(0, kLoopLabel, "SendHttpResponse Start");
  WriteAgentLog(0, kLoopLabel, body.c_str());
  const uint32_t result = SendHttpResponse(queue, request, 200, "OK", body.c_str());
  LogResult(kLoopLabel, result);
  WriteAgentLog(0, kLoopLabel, "SendHttpResponse End");
  return result;
}

int32_t SendHttpPostResponse(HttpRequestQueue& queue, const HttpRequestRecord& request) {
  WriteAgentLog(0, kPostLabel, "SendHttpPostResponse Start");
  std::unique_ptr<std::byte[]> entity(new (std::nothrow) std::byte[kEntityBufferSize]);
  if (!entity) {
    WriteAgentLog(0, kPostLabel, "pEntityBuffer == NULL");
    return static_cast<int32_t>(platform::kHttpNotEnoughMemory);
  }
  platform::HttpResponse response;
  response.status_code = 200;
  response.reason = "OK";
  response.unknown_headers.emplace_back("Access-Control-Allow-Origin", "*");
  WriteAgentLog(0, kPostLabel, "pEntityBuffer != NULL");

  int32_t result = 0;
  std::unique_ptr<platform::HttpResponseFile> file;  // closed and deleted on every way out
  if ((request.flags & platform::kHttpRequestFlagMoreEntityBodyExists) == 0) {
    WriteAgentLog(0, kPostLabel, "ELSE");
    WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Start");
    const uint32_t sent = queue.SendResponse(request.request_id, response, 0);
    LogResult(kPostLabel, sent);
    if (sent != platform::kHttpOk) WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse Fail");
    WriteAgentLog(0, kPostLabel, "HttpSendHttpResponse End");
    result = static_cast<int32_t>(sent);
  } else {
    // The platform creates the uniquely named file and opens it in one. A
    // file that cannot be made (a full disk) does not keep the message
    // from the dispatcher: its reply is then sent from memory.
    WriteAgentLog(0, kPostLabel, "GetTempFileName Start");
    const uint32_t created =
        platform::HttpResponseFile::Create(kTempDirectory, kTempPrefix, &file);
    if (created != platform::kHttpOk) {
      LogResult(kPostLabel, created);
      WriteAgentLog(0, kPostLabel, "GetTempFileName Fail: the response is sent from memory");
    } else {
      WriteAgentLog(0, kPostLabel, "GetTempFileName End");
      WriteAgentLog(0, kPostLabel, "CreateFile Start");
      WriteAgentLog(0, kPostLabel, "CreateFile End");
    }
    WriteAgentLog(0, kPostLabel, "Do Start");
    result = ServeBody(queue, request, response, file.get(), entity.get());
  }

  WriteAgentLog(0, kPostLabel, "Done Start");
  entity.reset();
  file.reset();
  WriteAgentLog(0, kPostLabel, "Done End");
  return result;
}

}  // namespace agent
