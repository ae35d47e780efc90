// The operating system's HTTP server, as the agent's AJAX front end uses
// it: a request queue that serves one URL prefix on the loopback address and
// hands its requests out one at a time.
//
// Windows: the HTTP Server API 1.0. Elsewhere the layer serves HTTP/1.1
// itself with the same contract: keep-alive and several client connections
// at once, Content-Length and chunked request bodies, its own 400 / 431 /
// 413 answers to malformed or oversized requests (which never reach the
// caller), stalled clients dropped after a time-out.
//
// Every result is a Windows system error number, on every system, so that
// the code above reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

inline constexpr uint32_t kHttpOk = 0;                    // NO_ERROR
inline constexpr uint32_t kHttpPathNotFound = 3;          // ERROR_PATH_NOT_FOUND
inline constexpr uint32_t kHttpAccessDenied = 5;          // ERROR_ACCESS_DENIED
inline constexpr uint32_t kHttpInvalidHandle = 6;         // ERROR_INVALID_HANDLE
inline constexpr uint32_t kHttpNotEnoughMemory = 8;       // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kHttpGenFailure = 31;           // ERROR_GEN_FAILURE
inline constexpr uint32_t kHttpNetnameDeleted = 64;       // ERROR_NETNAME_DELETED
inline constexpr uint32_t kHttpHandleEof = 38;            // ERROR_HANDLE_EOF
inline constexpr uint32_t kHttpInvalidParameter = 87;     // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kHttpDiskFull = 112;            // ERROR_DISK_FULL
inline constexpr uint32_t kHttpAlreadyExists = 183;       // ERROR_ALREADY_EXISTS
inline constexpr uint32_t kHttpMoreData = 234;            // ERROR_MORE_DATA
inline constexpr uint32_t kHttpOperationAborted = 995;    // ERROR_OPERATION_ABORTED
inline constexpr uint32_t kHttpNotFound = 1168;           // ERROR_NOT_FOUND
inline constexpr uint32_t kHttpConnectionInvalid = 1229;  // ERROR_CONNECTION_INVALID

// HttpInitialize(HTTPAPI_VERSION_1, HTTP_INITIALIZE_SERVER) and its
// HttpTerminate. Counted by the system: every successful initialisation
// wants one termination. Nothing to do on POSIX (always kHttpOk).
uint32_t HttpInitializeServer();
void HttpTerminateServer();

enum class HttpVerb : uint32_t { kOther = 0, kGet = 1, kPost = 2 };

// HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS: the request has a body that
// HttpRequestQueue::ReceiveEntityBody delivers.
inline constexpr uint32_t kHttpRequestFlagMoreEntityBodyExists = 0x1;

// The record ReceiveRequest writes at the start of the caller's buffer.
// What the record points to lies in the same buffer, right behind it, so
// the buffer must hold RequestRecordSize() bytes; a smaller one gets
// kHttpMoreData with that size. The buffer must be aligned for the record
// (as new, malloc and HeapAlloc give).
struct HttpRequestRecord {
  uint64_t request_id = 0;
  HttpVerb verb = HttpVerb::kOther;
  uint32_t flags = 0;  // kHttpRequestFlagMoreEntityBodyExists
  // The query string of the URL in UTF-16, beginning with '?', with a
  // terminating zero; nullptr when the URL has no query. Percent escapes
  // are kept as they came.
  const char16_t* query_string = nullptr;
  uint32_t query_string_units = 0;  // without the terminating zero
  // The values of the Host and Origin header fields as they came, with a
  // terminating zero; nullptr when the field is absent. A request with
  // several Origin fields has an empty origin.
  const char* host = nullptr;
  const char* origin = nullptr;
  // The local port the request arrived on.
  uint16_t local_port = 0;
};

// What a backend knows of a request, to be laid out as a record.
struct HttpRequestFacts {
  HttpVerb verb = HttpVerb::kOther;
  uint32_t flags = 0;
  std::optional<std::u16string> query;
  std::optional<std::string> host;
  std::optional<std::string> origin;
  uint16_t local_port = 0;
};

// The bytes the record of `facts` takes (UINT32_MAX when it cannot be
// described in 32 bits).
uint32_t RequestRecordSize(const HttpRequestFacts& facts);

// Writes the record of `facts` and what it points to into `buffer` of
// `size` bytes. kHttpOk and `*bytes_written` the bytes used; kHttpMoreData
// and `*bytes_written` the size needed when the buffer is too small (the
// record's fixed part, with the request id, is then still written when it
// fits); kHttpInvalidParameter for a null or misaligned buffer. Writes
// nothing past `size`. Used by the backends, and by fakes of a queue in
// tests of the code above.
uint32_t LayOutRequestRecord(uint64_t request_id, const HttpRequestFacts& facts, void* buffer,
                             uint32_t size, uint32_t* bytes_written);

// HTTP_SEND_RESPONSE_FLAG_MORE_DATA: SendResponse sends the head (and any
// body from memory) only; the body follows with SendResponseBodyFromFile.
inline constexpr uint32_t kHttpSendResponseFlagMoreData = 0x2;

// A response. Texts must not hold CR, LF or NUL (kHttpInvalidParameter).
struct HttpResponse {
  uint16_t status_code = 200;
  std::string reason;
  std::string content_type;  // known header Content-Type; empty: none
  // Known header Content-Length, decimal digits; only with
  // kHttpSendResponseFlagMoreData (without it the length is the body's).
  // Empty with "more data": the connection closes after the body.
  std::string content_length;
  std::vector<std::pair<std::string, std::string>> unknown_headers;
  const void* body = nullptr;  // one entity chunk from memory; may be null
  uint32_t body_size = 0;
};

// A file that a response body is staged in: created empty under a unique
// name, written, sent whole by SendResponseBodyFromFile, then closed and
// deleted when the object goes.
class HttpResponseFile {
 public:
  // A new empty file in `directory` whose name begins with the (at most
  // three characters of) `prefix` (GetTempFileNameW, then CreateFileW for
  // reading and writing, unshared). kHttpOk, or the system's error.
  static uint32_t Create(const std::string& directory, const std::string& prefix,
                         std::unique_ptr<HttpResponseFile>* file);
  ~HttpResponseFile();
  HttpResponseFile(const HttpResponseFile&) = delete;
  HttpResponseFile& operator=(const HttpResponseFile&) = delete;

  // Appends `size` bytes. kHttpOk, or the system's error.
  uint32_t Write(const void* data, uint32_t size);
  const std::string& path() const { return path_; }

  struct Native;
  Native& native() { return *native_; }

 private:
  HttpResponseFile(std::unique_ptr<Native> native, std::string path);
  std::unique_ptr<Native> native_;
  std::string path_;
};

// A request queue (HttpCreateHttpHandle). The calls may come from several
// threads; Close may come from any thread at any time. The owner destroys
// the object only when no other thread is inside one of its calls.
class HttpRequestQueue {
 public:
  // kHttpOk and `*queue`, or the system's error.
  static uint32_t Create(std::unique_ptr<HttpRequestQueue>* queue);
  ~HttpRequestQueue();  // Close
  HttpRequestQueue(const HttpRequestQueue&) = delete;
  HttpRequestQueue& operator=(const HttpRequestQueue&) = delete;

  // HttpAddUrl for a prefix "http://127.0.0.1:<port>/". On POSIX that form
  // only (anything else: kHttpInvalidParameter), one prefix per queue, and
  // the path "/" takes every request; a port that another socket holds
  // gives kHttpAlreadyExists, as Windows answers for a prefix another
  // process has registered.
  uint32_t AddUrl(const std::string& prefix);
  // HttpRemoveUrl: stops taking connections for the prefix (kHttpNotFound
  // when it is not registered). Connections already open stay.
  uint32_t RemoveUrl(const std::string& prefix);

  // HttpReceiveHttpRequest: waits for the next request (`request_id` 0) and
  // writes its record into `buffer`. kHttpMoreData when the buffer is too
  // small: `*bytes_returned` is the size needed and the record's
  // request_id (when the buffer holds the fixed part) names the request,
  // which the caller fetches again with that id into a buffer of that
  // size; kHttpConnectionInvalid when that request's connection has gone
  // meanwhile (the request is dropped). kHttpOperationAborted when the queue
  // is closed during the wait; kHttpInvalidHandle after Close.
  uint32_t ReceiveRequest(uint64_t request_id, void* buffer, uint32_t size,
                          uint32_t* bytes_returned);

  // HttpReceiveRequestEntityBody: the next piece of the request's body, at
  // most `size` bytes, kHttpOk with the count; kHttpHandleEof (count 0)
  // once the whole body has been delivered.
  uint32_t ReceiveEntityBody(uint64_t request_id, void* buffer, uint32_t size,
                             uint32_t* bytes_returned);

  // HttpSendHttpResponse. Without kHttpSendResponseFlagMoreData the
  // response is complete and the request finished.
  uint32_t SendResponse(uint64_t request_id, const HttpResponse& response, uint32_t flags);

  // HttpSendResponseEntityBody with one chunk from the file's handle, from
  // its start to its end; finishes the request.
  uint32_t SendResponseBodyFromFile(uint64_t request_id, HttpResponseFile& file);

  // CloseHandle: ends every wait in the queue's calls with
  // kHttpOperationAborted, later calls with kHttpInvalidHandle, and drops
  // the connections. Idempotent.
  void Close();

  struct Native;

 private:
  explicit HttpRequestQueue(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

namespace testing {
// The time a client may stall in the middle of a request (or hold an idle
// keep-alive connection, or leave a response unread) before the POSIX
// server drops it; 0 restores the default of 10 seconds. Tests only; no
// effect on Windows. Applies to queues created afterwards.
void SetHttpStallTimeout(uint32_t milliseconds);
}  // namespace testing

}  // namespace platform
