// Windows backend of platform/http_server.h: the HTTP Server API 1.0. The
// system's HTTP_REQUEST is received into a buffer of our own (grown and
// fetched again by id when the system says ERROR_MORE_DATA) and translated
// into our record. A translated request whose record does not fit the
// caller's buffer has already left the system, so it waits here, by its
// id, for the caller's second receive.
//
// <windows.h> comes lean from native_win32.h, so WinSock 2 and the HTTP
// Server API's header (which needs WinSock 2's types) follow it without
// meeting the old WinSock header.
#include "native_win32.h"

#include <winsock2.h>
#include <http.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/http_server.h"

namespace platform {

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes,
                      nullptr, nullptr);
  return text;
}

bool IsFieldText(const std::string& text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool FitsUshort(const std::string& text) { return text.size() <= 0xFFFF; }

// The value of a known header, or nothing when the request has none.
std::optional<std::string> KnownHeader(const HTTP_REQUEST& request, HTTP_HEADER_ID id) {
  const HTTP_KNOWN_HEADER& header = request.Headers.KnownHeaders[id];
  if (header.pRawValue == nullptr) return std::nullopt;
  return std::string(header.pRawValue, header.RawValueLength);
}

// The Origin field, which the API counts among the unknown headers. Several
// of them give an empty value, which matches nothing.
std::optional<std::string> OriginHeader(const HTTP_REQUEST& request) {
  std::optional<std::string> origin;
  for (USHORT i = 0; i < request.Headers.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& header = request.Headers.pUnknownHeaders[i];
    if (header.pName == nullptr || header.NameLength != 6 ||
        _strnicmp(header.pName, "Origin", 6) != 0) {
      continue;
    }
    if (origin) return std::string();
    origin = header.pRawValue != nullptr ? std::string(header.pRawValue, header.RawValueLength)
                                         : std::string();
  }
  return origin;
}

uint16_t LocalPort(const HTTP_REQUEST& request) {
  const SOCKADDR* local = request.Address.pLocalAddress;
  if (local == nullptr || local->sa_family != AF_INET) return 0;
  return ntohs(reinterpret_cast<const SOCKADDR_IN*>(local)->sin_port);
}

using Translated = HttpRequestFacts;

Translated Translate(const HTTP_REQUEST& request) {
  Translated out;
  out.host = KnownHeader(request, HttpHeaderHost);
  out.origin = OriginHeader(request);
  out.local_port = LocalPort(request);
  if (request.Verb == HttpVerbGET) out.verb = HttpVerb::kGet;
  if (request.Verb == HttpVerbPOST) out.verb = HttpVerb::kPost;
  if ((request.Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS) != 0) {
    out.flags = kHttpRequestFlagMoreEntityBodyExists;
  }
  if (request.CookedUrl.pQueryString != nullptr) {
    out.query = std::u16string(reinterpret_cast<const char16_t*>(request.CookedUrl.pQueryString),
                               request.CookedUrl.QueryStringLength / sizeof(WCHAR));
  }
  return out;
}

}  // namespace

uint32_t HttpInitializeServer() {
  const HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
  return HttpInitialize(version, HTTP_INITIALIZE_SERVER, nullptr);
}

void HttpTerminateServer() { HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr); }

struct HttpResponseFile::Native {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring path;
};

struct HttpRequestQueue::Native {
  // Closed (and swapped for null) by Close, which may come while another
  // thread waits in a receive on it: the system then ends that wait with
  // ERROR_OPERATION_ABORTED.
  std::atomic<HANDLE> handle{nullptr};
  std::mutex mutex;
  std::map<uint64_t, Translated> waiting;  // taken from the system, not yet handed out
};

HttpRequestQueue::HttpRequestQueue(std::unique_ptr<Native> native) : native_(std::move(native)) {}

HttpRequestQueue::~HttpRequestQueue() { Close(); }

uint32_t HttpRequestQueue::Create(std::unique_ptr<HttpRequestQueue>* queue) {
  HANDLE handle = nullptr;
  const ULONG result = HttpCreateHttpHandle(&handle, 0);
  if (result != NO_ERROR) return result;
  auto native = std::make_unique<Native>();
  native->handle = handle;
  queue->reset(new HttpRequestQueue(std::move(native)));
  return kHttpOk;
}

void HttpRequestQueue::Close() {
  HANDLE handle = native_->handle.exchange(nullptr);
  if (handle != nullptr) CloseHandle(handle);
  std::lock_guard lock(native_->mutex);
  native_->waiting.clear();
}

uint32_t HttpRequestQueue::AddUrl(const std::string& prefix) {
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  const std::wstring wide = Wide(prefix);
  return HttpAddUrl(handle, wide.c_str(), nullptr);
}

uint32_t HttpRequestQueue::RemoveUrl(const std::string& prefix) {
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  const std::wstring wide = Wide(prefix);
  return HttpRemoveUrl(handle, wide.c_str());
}

uint32_t HttpRequestQueue::ReceiveRequest(uint64_t request_id, void* buffer, uint32_t size,
                                          uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  try {
    if (request_id != 0) {
      std::lock_guard lock(native_->mutex);
      const auto found = native_->waiting.find(request_id);
      if (found == native_->waiting.end()) return kHttpConnectionInvalid;
      const Translated& t = found->second;
      const uint32_t result = LayOutRequestRecord(request_id, t, buffer, size, bytes_returned);
      if (result == kHttpOk) native_->waiting.erase(found);
      return result;
    }
    std::vector<ULONGLONG> native((sizeof(HTTP_REQUEST) + 4096) / sizeof(ULONGLONG));
    HTTP_REQUEST_ID native_id = HTTP_NULL_ID;
    for (;;) {
      auto* request = reinterpret_cast<HTTP_REQUEST*>(native.data());
      ULONG bytes = 0;
      const ULONG result = HttpReceiveHttpRequest(
          handle, native_id, 0, request, static_cast<ULONG>(native.size() * sizeof(ULONGLONG)),
          &bytes, nullptr);
      if (result == ERROR_MORE_DATA) {
        native_id = request->RequestId;
        native.assign((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
        continue;
      }
      if (result == ERROR_CONNECTION_INVALID && native_id != HTTP_NULL_ID) {
        native_id = HTTP_NULL_ID;  // that request went; the next one
        continue;
      }
      if (result != NO_ERROR) return result;
      const uint64_t id = request->RequestId;
      Translated translated = Translate(*request);
      const uint32_t laid = LayOutRequestRecord(id, translated, buffer, size, bytes_returned);
      if (laid == kHttpMoreData) {
        std::lock_guard lock(native_->mutex);
        native_->waiting.emplace(id, std::move(translated));
      }
      return laid;
    }
  } catch (const std::bad_alloc&) {
    return kHttpNotEnoughMemory;
  }
}

uint32_t HttpRequestQueue::ReceiveEntityBody(uint64_t request_id, void* buffer, uint32_t size,
                                             uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  ULONG bytes = 0;
  const ULONG result =
      HttpReceiveRequestEntityBody(handle, request_id, 0, buffer, size, &bytes, nullptr);
  if (bytes_returned != nullptr) *bytes_returned = bytes;
  return result;
}

uint32_t HttpRequestQueue::SendResponse(uint64_t request_id, const HttpResponse& response,
                                        uint32_t flags) {
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  const bool more_data = (flags & kHttpSendResponseFlagMoreData) != 0;
  if ((flags & ~kHttpSendResponseFlagMoreData) != 0 || response.status_code < 100 ||
      response.status_code > 999 || !IsFieldText(response.reason) ||
      !IsFieldText(response.content_type) || !IsFieldText(response.content_length) ||
      !FitsUshort(response.reason) || !FitsUshort(response.content_type) ||
      (!more_data && !response.content_length.empty()) ||
      (response.body == nullptr && response.body_size != 0)) {
    return kHttpInvalidParameter;
  }
  HTTP_RESPONSE native;
  ZeroMemory(&native, sizeof native);
  native.StatusCode = response.status_code;
  native.pReason = response.reason.c_str();
  native.ReasonLength = static_cast<USHORT>(response.reason.size());
  if (!response.content_type.empty()) {
    auto& header = native.Headers.KnownHeaders[HttpHeaderContentType];
    header.pRawValue = response.content_type.c_str();
    header.RawValueLength = static_cast<USHORT>(response.content_type.size());
  }
  if (!response.content_length.empty()) {
    auto& header = native.Headers.KnownHeaders[HttpHeaderContentLength];
    header.pRawValue = response.content_length.c_str();
    header.RawValueLength = static_cast<USHORT>(response.content_length.size());
  }
  std::vector<HTTP_UNKNOWN_HEADER> unknown(response.unknown_headers.size());
  for (size_t i = 0; i < unknown.size(); ++i) {
    const auto& [name, value] = response.unknown_headers[i];
    if (name.empty() || !IsFieldText(name) || !IsFieldText(value) || !FitsUshort(name) ||
        !FitsUshort(value)) {
      return kHttpInvalidParameter;
    }
    unknown[i].pName = name.c_str();
    unknown[i].NameLength = static_cast<USHORT>(name.size());
    unknown[i].pRawValue = value.c_str();
    unknown[i].RawValueLength = static_cast<USHORT>(value.size());
  }
  if (!unknown.empty()) {
    native.Headers.UnknownHeaderCount = static_cast<USHORT>(unknown.size());
    native.Headers.pUnknownHeaders = unknown.data();
  }
  HTTP_DATA_CHUNK chunk;
  ZeroMemory(&chunk, sizeof chunk);
  if (response.body != nullptr) {
    chunk.DataChunkType = HttpDataChunkFromMemory;
    chunk.FromMemory.pBuffer = const_cast<void*>(response.body);
    chunk.FromMemory.BufferLength = response.body_size;
    native.EntityChunkCount = 1;
    native.pEntityChunks = &chunk;
  }
  ULONG sent = 0;
  return HttpSendHttpResponse(handle, request_id, more_data ? HTTP_SEND_RESPONSE_FLAG_MORE_DATA : 0,
                              &native, nullptr, &sent, nullptr, 0, nullptr, nullptr);
}

uint32_t HttpRequestQueue::SendResponseBodyFromFile(uint64_t request_id, HttpResponseFile& file) {
  HANDLE handle = native_->handle.load();
  if (handle == nullptr) return kHttpInvalidHandle;
  HTTP_DATA_CHUNK chunk;
  ZeroMemory(&chunk, sizeof chunk);
  chunk.DataChunkType = HttpDataChunkFromFileHandle;
  chunk.FromFileHandle.ByteRange.StartingOffset.QuadPart = 0;
  chunk.FromFileHandle.ByteRange.Length.QuadPart = HTTP_BYTE_RANGE_TO_EOF;
  chunk.FromFileHandle.FileHandle = file.native().handle;
  ULONG sent = 0;
  return HttpSendResponseEntityBody(handle, request_id, 0, 1, &chunk, &sent, nullptr, 0, nullptr,
                                    nullptr);
}

HttpResponseFile::HttpResponseFile(std::unique_ptr<Native> native, std::string path)
    : native_(std::move(native)), path_(std::move(path)) {}

HttpResponseFile::~HttpResponseFile() {
  CloseHandle(native_->handle);
  DeleteFileW(native_->path.c_str());
}

uint32_t HttpResponseFile::Create(const std::string& directory, const std::string& prefix,
                                  std::unique_ptr<HttpResponseFile>* file) {
  auto native = std::make_unique<Native>();
  wchar_t path[MAX_PATH + 1] = {};
  // Creates the empty file under a name no other file has.
  if (GetTempFileNameW(Wide(directory).c_str(), Wide(prefix).c_str(), 0, path) == 0) {
    return GetLastError();
  }
  native->path = path;
  native->handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (native->handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    DeleteFileW(path);
    return code;
  }
  const std::string narrow = Narrow(native->path);
  file->reset(new HttpResponseFile(std::move(native), narrow));
  return kHttpOk;
}

uint32_t HttpResponseFile::Write(const void* data, uint32_t size) {
  DWORD written = 0;
  if (!WriteFile(native_->handle, data, size, &written, nullptr)) return GetLastError();
  return written == size ? kHttpOk : ERROR_WRITE_FAULT;
}

namespace testing {
void SetHttpStallTimeout(uint32_t) {}
}  // namespace testing

}  // namespace platform
