// Parsing of HTTP/1.x requests for the POSIX HTTP server: pure functions
// and a parser object over bytes, with no socket, clock or thread inside,
// so that the server and the fuzzer run the same code.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/http_server.h"

namespace platform::http_parse {

// Limits on what a client may send; a request beyond them is answered by
// the server itself and never reaches the caller.
inline constexpr size_t kMaxHeadBytes = 16 * 1024;
inline constexpr size_t kMaxBodyBytes = 64 * 1024;

enum class Verdict {
  kNeedMore,      // every byte offered was taken; the request goes on
  kComplete,      // a whole request; Take() hands it over
  kBadRequest,    // 400: malformed request line, header or body framing
  kHeadTooLarge,  // 431: request line and header beyond kMaxHeadBytes
  kBodyTooLarge,  // 413: body beyond kMaxBodyBytes
};

// The status line and empty header the server answers a failing verdict
// with; the connection closes after it.
std::string_view ErrorResponse(Verdict verdict);

struct ParsedRequest {
  HttpVerb verb = HttpVerb::kOther;
  bool has_query = false;
  std::u16string query;  // from '?' on, when has_query
  // Host and Origin as the head had them (never from a chunked body's
  // trailer); absent when the head had none. Several Origin fields give an
  // empty origin, which matches nothing.
  std::optional<std::string> host;
  std::optional<std::string> origin;
  std::string body;
  bool keep_alive = false;
  bool http10 = false;
};

// One request at a time: after kComplete (and Take) or a failing verdict,
// a new parser reads the next request.
class RequestParser {
 public:
  RequestParser();
  ~RequestParser();
  RequestParser(const RequestParser&) = delete;
  RequestParser& operator=(const RequestParser&) = delete;

  // Offers `size` bytes; `*used` of them were taken. Bytes not taken after
  // kNeedMore must be offered again, followed by more; bytes not taken
  // after kComplete begin the next request.
  Verdict Feed(const char* data, size_t size, size_t* used);

  // True once the head asked for "100-continue" and the body has not come.
  bool WantsContinue() const;

  // True once any byte of the request was taken.
  bool Started() const { return started_; }

  // The request, after kComplete.
  ParsedRequest Take();

 private:
  void TakeHeadFields();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool started_ = false;
};

// The query of a request target ("/path?a=1" -> "?a=1", up to a '#'), in
// UTF-16. UTF-8 sequences are decoded; any other byte stands for the code
// point of its own value, so no byte is lost. False when there is no '?'.
bool QueryOf(std::string_view target, std::u16string* query);

}  // namespace platform::http_parse
