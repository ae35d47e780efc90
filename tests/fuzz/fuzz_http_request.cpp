// libFuzzer harness for the HTTP server's request parsing: arbitrary bytes
// through the parser the server feeds, once whole and once in pieces whose
// sizes the first byte picks, then the record built from a complete request
// into a buffer of every size around the one it needs. The verdicts must
// agree, nothing may be read or written outside its buffer, a complete
// request's body stays within its limit, and a record never passes the
// size it was given.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http_parse_posix.h"
#include "platform/http_server.h"

namespace {

using platform::http_parse::ParsedRequest;
using platform::http_parse::RequestParser;
using platform::http_parse::Verdict;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_http_request: %s\n", what);
  std::abort();
}

// Feeds `bytes` in pieces of `step` as the server does: what the parser
// leaves is offered again with the next piece. Stops at the first verdict
// other than kNeedMore.
Verdict Run(const std::string& bytes, size_t step, ParsedRequest* request, size_t* rest) {
  RequestParser parser;
  std::string pending;
  Verdict verdict = Verdict::kNeedMore;
  size_t at = 0;
  while (at < bytes.size() && verdict == Verdict::kNeedMore) {
    const size_t take = std::min(step, bytes.size() - at);
    pending.append(bytes, at, take);
    at += take;
    size_t used = 0;
    verdict = parser.Feed(pending.data(), pending.size(), &used);
    if (used > pending.size()) Fail("used more than offered");
    pending.erase(0, used);
  }
  if (verdict == Verdict::kComplete) *request = parser.Take();
  *rest = pending.size() + (bytes.size() - at);
  return verdict;
}

void CheckRecord(const ParsedRequest& request) {
  platform::HttpRequestFacts facts;
  facts.verb = request.verb;
  if (request.has_query) facts.query = request.query;
  facts.host = request.host;
  facts.origin = request.origin;
  const uint32_t needed = platform::RequestRecordSize(facts);
  for (uint32_t size : {0u, needed / 2, needed - 1, needed, needed + 1}) {
    std::vector<uint64_t> storage(size / 8 + 1);
    uint32_t written = 0;
    const uint32_t result =
        platform::LayOutRequestRecord(9, facts, storage.data(), size, &written);
    if (written != needed) Fail("size reported differs");
    if ((result == platform::kHttpOk) != (size >= needed)) Fail("wrong result for the size");
    if (result != platform::kHttpOk) continue;
    const auto& record = *reinterpret_cast<const platform::HttpRequestRecord*>(storage.data());
    if ((record.query_string != nullptr) != request.has_query) Fail("query presence");
    if (record.query_string != nullptr &&
        std::memcmp(record.query_string, request.query.data(),
                    request.query.size() * sizeof(char16_t)) != 0) {
      Fail("query text");
    }
    if ((record.host != nullptr) != request.host.has_value()) Fail("host presence");
    if (record.host != nullptr && std::string(record.host) != request.host->c_str()) {
      Fail("host text");
    }
    if ((record.origin != nullptr) != request.origin.has_value()) Fail("origin presence");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = data[0] % 17 + 1;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  ParsedRequest whole, pieces;
  size_t rest_whole = 0, rest_pieces = 0;
  const Verdict a = Run(bytes, bytes.size() + 1, &whole, &rest_whole);
  const Verdict b = Run(bytes, step, &pieces, &rest_pieces);
  // An unfinished head with a stray byte may be refused at once or only
  // once it is whole, depending on where the pieces end; but a request is
  // complete, and the same request, however it arrives.
  if ((a == Verdict::kComplete) != (b == Verdict::kComplete)) Fail("pieces change the verdict");
  if (a == Verdict::kComplete) {
    if (whole.body != pieces.body || whole.query != pieces.query || whole.verb != pieces.verb ||
        whole.keep_alive != pieces.keep_alive || rest_whole != rest_pieces) {
      Fail("pieces change the request");
    }
    if (whole.body.size() > platform::http_parse::kMaxBodyBytes) Fail("body past its limit");
    CheckRecord(whole);
  }
  return 0;
}
