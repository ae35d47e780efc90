// HTTP/1.x request parsing with Boost.Beast's parser, fed from our own
// buffers (no Asio networking): the head and body limits, the framing of
// the body (Content-Length or chunked) and the grammar are Beast's; what a
// request must also be to reach the caller is checked here.
#include "http_parse_posix.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace platform::http_parse {

namespace http = boost::beast::http;

struct RequestParser::Impl {
  http::request_parser<http::string_body> parser;
  // Taken when the head is whole, before a trailer can add fields.
  std::optional<std::string> host;
  std::optional<std::string> origin;
};

namespace {

Verdict VerdictOf(const boost::system::error_code& error) {
  if (error == http::error::header_limit) return Verdict::kHeadTooLarge;
  if (error == http::error::body_limit) return Verdict::kBodyTooLarge;
  return Verdict::kBadRequest;
}

// What Beast lets through but a request to this server must not be: another
// HTTP version, a target that is not a path, an HTTP/1.1 request without
// exactly one Host, a transfer coding other than chunked (its body's end
// could not be found).
bool Acceptable(const http::request_parser<http::string_body>& parser) {
  const auto& request = parser.get();
  if (request.version() != 10 && request.version() != 11) return false;
  const auto target = request.target();
  if (target.empty() || target.front() != '/') return false;
  if (request.version() == 11 && request.count(http::field::host) != 1) return false;
  if (request.count(http::field::transfer_encoding) != 0 && !parser.chunked()) return false;
  return true;
}

HttpVerb VerbOf(http::verb verb) {
  switch (verb) {
    case http::verb::get:
      return HttpVerb::kGet;
    case http::verb::post:
      return HttpVerb::kPost;
    default:
      return HttpVerb::kOther;
  }
}

// Length of the UTF-8 sequence at `text[at]` and its code point; 0 when the
// bytes there are not well-formed UTF-8 (overlong forms, surrogates and
// values past U+10FFFF included).
size_t DecodeUtf8(std::string_view text, size_t at, char32_t* code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

void AppendUtf16(char32_t code_point, std::u16string* out) {
  if (code_point < 0x10000) {
    out->push_back(static_cast<char16_t>(code_point));
    return;
  }
  code_point -= 0x10000;
  out->push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
  out->push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

}  // namespace

std::string_view ErrorResponse(Verdict verdict) {
  switch (verdict) {
    case Verdict::kHeadTooLarge:
      return "HTTP/1.1 431 Request Header Fields Too Large\r\n"
             "Content-Length: 0\r\nConnection: close\r\n\r\n";
    case Verdict::kBodyTooLarge:
      return "HTTP/1.1 413 Payload Too Large\r\n"
             "Content-Length: 0\r\nConnection: close\r\n\r\n";
    default:
      return "HTTP/1.1 400 Bad Request\r\n"
             "Content-Length: 0\r\nConnection: close\r\n\r\n";
  }
}

namespace {
constexpr size_t kMinLastChunk = 5;  // "0" CRLF CRLF
}  // namespace

RequestParser::RequestParser() : impl_(std::make_unique<Impl>()) {
  impl_->parser.header_limit(kMaxHeadBytes);
  impl_->parser.body_limit(kMaxBodyBytes);
  // The head alone first, so it is judged as it came: fields of a chunked
  // body's trailer are merged into the head's once the body is read, and a
  // request must not pass or fail on them depending on how it arrived.
  impl_->parser.eager(false);
}

RequestParser::~RequestParser() = default;

Verdict RequestParser::Feed(const char* data, size_t size, size_t* used) {
  *used = 0;
  auto& parser = impl_->parser;
  // Empty lines before a request line are tolerated, as RFC 7230 asks.
  while (!started_ && *used < size && (data[*used] == '\r' || data[*used] == '\n')) ++*used;
  if (*used < size) started_ = true;
  while (*used < size && !parser.is_done()) {
    // Once the parser has seen the first line of the last chunk it expects
    // that chunk ("0" CRLF CRLF, five bytes at the least) to be offered
    // whole again, and a shorter offer trips its own assertion. That can
    // only happen while fewer than five bytes beginning with "0" are in
    // hand; the last chunk cannot end with fewer, so holding them back only
    // waits for bytes the client still has to send.
    if (parser.is_header_done() && parser.chunked() && size - *used < kMinLastChunk &&
        data[*used] == '0') {
      return Verdict::kNeedMore;
    }
    const bool head_was_done = parser.is_header_done();
    boost::system::error_code error;
    const size_t taken =
        parser.put(boost::asio::const_buffer(data + *used, size - *used), error);
    *used += taken;
    if (error && error != http::error::need_more) return VerdictOf(error);
    // Checked as soon as the head is whole, before any of the body counts.
    if (!head_was_done && parser.is_header_done()) {
      if (!Acceptable(parser)) return Verdict::kBadRequest;
      TakeHeadFields();
      parser.eager(true);
    }
    if (error) return Verdict::kNeedMore;
    if (taken == 0 && !parser.is_done()) return Verdict::kNeedMore;
  }
  return parser.is_done() ? Verdict::kComplete : Verdict::kNeedMore;
}

bool RequestParser::WantsContinue() const {
  const auto& parser = impl_->parser;
  if (!parser.is_header_done() || parser.is_done()) return false;
  return boost::beast::iequals(parser.get()[http::field::expect], "100-continue");
}

void RequestParser::TakeHeadFields() {
  const auto& message = impl_->parser.get();
  const auto host = message.find(http::field::host);
  if (host != message.end()) impl_->host = std::string(host->value());
  const size_t origins = message.count(http::field::origin);
  if (origins == 1) {
    impl_->origin = std::string(message.find(http::field::origin)->value());
  } else if (origins > 1) {
    impl_->origin = std::string();
  }
}

ParsedRequest RequestParser::Take() {
  auto& parser = impl_->parser;
  ParsedRequest request;
  const auto& message = parser.get();
  request.verb = VerbOf(message.method());
  const auto target = message.target();
  request.has_query = QueryOf(std::string_view(target.data(), target.size()), &request.query);
  request.keep_alive = parser.keep_alive();
  request.http10 = message.version() == 10;
  request.host = std::move(impl_->host);
  request.origin = std::move(impl_->origin);
  request.body = std::move(parser.get().body());
  return request;
}

bool QueryOf(std::string_view target, std::u16string* query) {
  query->clear();
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return false;
  std::string_view text = target.substr(mark);
  text = text.substr(0, text.find('#'));
  for (size_t at = 0; at < text.size();) {
    char32_t code_point = 0;
    const size_t length = DecodeUtf8(text, at, &code_point);
    if (length == 0) {
      AppendUtf16(static_cast<unsigned char>(text[at]), query);
      ++at;
    } else {
      AppendUtf16(code_point, query);
      at += length;
    }
  }
  return true;
}

}  // namespace platform::http_parse
