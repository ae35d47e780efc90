// GET and POST handling of the AJAX servers: the message out of the query
// or the body, percent-decoded and handed to the dispatcher; the reply back
// in UTF-8.
//
// Working buffers are sized to what came, never cut: a query or a body
// piece longer than the usual 4095 bytes is decoded and dispatched whole
// (cutting would hand the dispatcher a different message), and a reply is
// sent whole whatever its UTF-8 length.
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

// One piece of a POST body: zero bytes made 0x08, decoded, dispatched.
std::string DispatchPiece(const std::byte* piece, uint32_t size) {
  // The platform never reports more than the entity buffer holds.
  size = std::min(size, kEntityBufferSize);
  std::vector<char> text(static_cast<std::size_t>(size) + 1, '\0');
  std::memcpy(text.data(), piece, size);
  for (uint32_t i = 0; i < size; ++i) {
    if (text[i] == '\0') text[i] = kZeroByteReplacement;
  }
  std::vector<char> message = DecodeToText(text.data(), size);
  return DispatchForBrowser(message.data());
}

// Appends to the response file, counting the bytes in `total`.
uint32_t AppendToFile(platform::HttpResponseFile& file, const void* data, std::size_t size,
                      uint32_t& total) {
  if (size > std::numeric_limits<uint32_t>::max() - total) return kArithmeticOverflow;
  const uint32_t result = file.Write(data, static_cast<uint32_t>(size));
  if (result == platform::kHttpOk) total += static_cast<uint32_t>(size);
  return result;
}

// The end of a POST body: the response head with the total as its length,
// then the file as its body. 0, the head's failed result, or
// kAjaxBodyNotSent.
int32_t SendStagedResponse(HttpRequestQueue& queue, const HttpRequestRecord& request,
                           platform::HttpResponse& response, platform::HttpResponseFile& file,
                           uint32_t total) {
  response.content_length = std::to_string(total);
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
  const uint32_t body = queue.SendResponseBodyFromFile(request.request_id, file);
  LogResult(kPostLabel, body);
  int32_t result = 0;
  if (body != platform::kHttpOk) {
    WriteAgentLog(0, kPostLabel, "HttpSendResponseEntityBody Fail");
    WriteAgentLog(0, "result", std::to_string(static_cast<int32_t>(body)).c_str());
    result = kAjaxBodyNotSent;
  }
  WriteAgentLog(0, kPostLabel, "HttpSendResponseEntityBody End");
  return result;
}

// The body, piece by piece, into the file, then the response. The result
// of SendHttpPostResponse.
int32_t ServeBody(HttpRequestQueue& queue, const HttpRequestRecord& request,
                  platform::HttpResponse& response, platform::HttpResponseFile& file,
                  std::byte* entity) {
  uint32_t total = 0;
  for (;;) {
    uint32_t received = 0;
    WriteAgentLog(0, kPostLabel, "HttpReceiveRequestEntityBody Start");
    const uint32_t result =
        queue.ReceiveEntityBody(request.request_id, entity, kEntityBufferSize, &received);
    LogResult(kPostLabel, result);
    if (result == platform::kHttpOk) {
      WriteAgentLog(0, kPostLabel, "NO_ERROR");
      const std::string output = DispatchPiece(entity, received);
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend Start");
      if (received != 0) {
        // A reply that did not reach the file would leave the response
        // shorter than its length: the request gets no answer instead.
        const uint32_t written = AppendToFile(file, output.data(), output.size(), total);
        if (written != platform::kHttpOk) {
          LogResult(kPostLabel, written);
          return static_cast<int32_t>(written);
        }
      }
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend End");
      continue;
    }
    if (result == platform::kHttpHandleEof) {
      WriteAgentLog(0, kPostLabel, "ERROR_HANDLE_EOF");
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend Start");
      if (received != 0) {
        // The last bytes go out as they came, undecoded and undispatched.
        const uint32_t written = AppendToFile(file, entity, received, total);
        if (written != platform::kHttpOk) {
          LogResult(kPostLabel, written);
          return static_cast<int32_t>(written);
        }
      }
      WriteAgentLog(0, kPostLabel, "orvaResult safeSend End");
      return SendStagedResponse(queue, request, response, file, total);
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
    // The platform creates the uniquely named file and opens it in one.
    WriteAgentLog(0, kPostLabel, "GetTempFileName Start");
    const uint32_t created =
        platform::HttpResponseFile::Create(kTempDirectory, kTempPrefix, &file);
    if (created != platform::kHttpOk) {
      LogResult(kPostLabel, created);
      result = static_cast<int32_t>(created);
    } else {
      WriteAgentLog(0, kPostLabel, "GetTempFileName End");
      WriteAgentLog(0, kPostLabel, "CreateFile Start");
      WriteAgentLog(0, kPostLabel, "CreateFile End");
      WriteAgentLog(0, kPostLabel, "Do Start");
      result = ServeBody(queue, request, response, *file, entity.get());
    }
  }

  WriteAgentLog(0, kPostLabel, "Done Start");
  entity.reset();
  file.reset();
  WriteAgentLog(0, kPostLabel, "Done End");
  return result;
}

}  // namespace agent
